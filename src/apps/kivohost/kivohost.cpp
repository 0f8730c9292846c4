// kivohost: the UDP request server (reply segmentation, idle watchdog) and the
// request handlers.
#include "kivohost.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LCMP_socket.h"
#include "byte_io.h"
#include "clock.h"
#include "configlayer.h"
#include "device.h"
#include "l2fwserver.h"
#include "log.h"
#include "mac_discover.h"
#include "port.h"
#include "reason.h"
#include "requester_lookup.h"
#include "scp_client_legacy.h"
#include "service_options.h"
#include "unique_fd.h"

namespace {

// Set by the request loop each time it begins to wait; cleared by the watchdog.
std::atomic<bool> watchdogRxMsg{true};
// Seconds the watchdog has counted without seeing the flag; watchdog thread only.
INT32U watchdogCnt = 0;

INT8U message[KIVO_MESSAGE_SIZE];

// Who may send requests; inactive (everyone) unless the command line set it.
AllowList allowList;
// Set at start-up when this process may not open packet sockets: every request that
// needs one fails, and says why.
bool rawSocketsDenied = false;
// The VLAN the last parameter request set for LCMP traffic (0: untagged); an LCMP
// discovery with its own VLAN puts it back afterwards.
INT16U lcmpVlanId = 0;

// The most recent request answered FAILED or REFUSED.
struct FailedRequest {
    bool any = false;
    INT8U seq = 0;
    INT8U code = 0;
    kivo::Failure failure;
};
FailedRequest lastFailed;

// Reads the fields of a request. A fixed-size field beyond the received datagram
// reads as zero (the buffer is cleared before every receive, and short requests are
// defined that way); a variable-length field whose claimed length runs past the
// datagram makes the request invalid. Nothing is ever read past the buffer.
class RequestReader {
   public:
    RequestReader(const INT8U* msg, INT32S inputLength, size_t start)
        : msg_(msg), len_(inputLength > 0 ? static_cast<size_t>(inputLength) : 0), pos_(start) {
        if (len_ > KIVO_MESSAGE_SIZE) len_ = KIVO_MESSAGE_SIZE;
    }
    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }

    INT8U u8() { return static_cast<INT8U>(fixed(1)); }
    INT16U be16() { return static_cast<INT16U>(fixed(2)); }
    INT32U be32() { return static_cast<INT32U>(fixed(4)); }
    // A fixed-size block (MAC address, ...); zero where beyond the datagram.
    void block(INT8U* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = u8();
    }
    // A variable-length field of n bytes that must lie within the datagram.
    const INT8U* field(size_t n) {
        if (!ok_) return nullptr;
        // An empty field is valid wherever it stands, even past a short datagram.
        if (n == 0) return msg_ + (pos_ < KIVO_MESSAGE_SIZE ? pos_ : KIVO_MESSAGE_SIZE - 1);
        if (n > len_ || pos_ > len_ - n) {
            ok_ = false;
            return nullptr;
        }
        const INT8U* p = msg_ + pos_;
        pos_ += n;
        return p;
    }
    // A text field of n bytes within the datagram, returned as a string.
    std::string text(size_t n) {
        const INT8U* p = field(n);
        return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    }

   private:
    uint64_t fixed(size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            INT8U b = 0;
            if (ok_ && pos_ < len_) b = msg_[pos_];
            if (pos_ < KIVO_MESSAGE_SIZE) ++pos_;
            v = (v << 8) | b;
        }
        return v;
    }
    const INT8U* msg_;
    size_t len_;
    size_t pos_;
    bool ok_ = true;
};

// Writes a reply with no body and returns its length.
INT32S ReplyCode(INT8U* msg, INT8U code) {
    msg[3] = code;
    return 4;
}

// Records why a request that must reach devices failed when no layer below said so:
// no permission, no such interface, or silence.
void LinkFailureRecord(const CHAR* ifName, const INT8U* mac) {
    if (rawSocketsDenied) {
        kivo::FailureRecord(
            kivo::Reason::kNoPermission,
            "kivohost may not open raw packet sockets (CAP_NET_RAW): grant it with "
            "'setcap cap_net_raw+ep' on the kivohost binary or AmbientCapabilities=CAP_NET_RAW "
            "in its service unit, then restart it");
        return;
    }
    if (ifName != nullptr && ifName[0] != '\0' && if_nametoindex(ifName) == 0) {
        kivo::FailureRecord(kivo::Reason::kNoInterface,
                            "there is no interface %s on this host: check the name with 'ip link'", ifName);
        return;
    }
    if (mac != nullptr)
        kivo::FailureRecord(kivo::Reason::kNoAnswer,
                            "device %02x:%02x:%02x:%02x:%02x:%02x did not answer on %s: check that it is "
                            "powered and connected and that the password is right",
                            mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], ifName);
    else
        kivo::FailureRecord(kivo::Reason::kNoDevice,
                            "no device answered on %s: check the cabling and the VLAN",
                            ifName != nullptr && ifName[0] != '\0' ? ifName : "any interface");
}

void MalformedRecord(const char* request) {
    kivo::FailureRecord(kivo::Reason::kMalformedRequest,
                        "%s request not well formed: a length field runs past the end of the datagram or a "
                        "text holds a zero byte",
                        request);
}

}  // namespace

// ---------------------------------------------------------------------------
// Request server

INT32U ThreadSleep(INT32U ms) {
    return kivo::SleepMsInterruptible(ms);
}

void* WatchdogThreadFunction(void* /*arg*/) {
    for (;;) {
        // Signal-proof: a signal must not make the idle count run fast.
        kivo::SleepMs(1000);
        if (watchdogRxMsg.exchange(false)) {
            watchdogCnt = 0;
            continue;
        }
        ++watchdogCnt;
        if (watchdogCnt > 60) {
            kivo::Log(kivo::LogStream::kOut, "Watchdog: %u seconds without requests!\n", watchdogCnt);
            // Other threads may still be running: end without static destructors.
            _exit(0);
        }
    }
    return nullptr;
}

BOOLEAN UdpMsgSend(INT32S socketFd, INT8U* msg, INT32S msgLength, struct sockaddr_in* client,
                   INT32U clientLength, INT32S seqNum, INT32S segTotal, INT32S segNum) {
    msg[0] = static_cast<INT8U>(seqNum);
    if (msgLength > 1) msg[1] = static_cast<INT8U>(segTotal);
    if (msgLength > 2) msg[2] = static_cast<INT8U>(segNum);
    const ssize_t sent = sendto(socketFd, msg, static_cast<size_t>(msgLength), 0,
                                reinterpret_cast<struct sockaddr*>(client), clientLength);
    if (sent != msgLength) {
        kivo::Log(kivo::LogStream::kOut, "Send failed\n");
        return TRUE;
    }
    return FALSE;
}

INT32S ServerSegmentCount(INT32S msgLength) {
    if (msgLength <= KIVO_SEGMENT_SIZE) return 1;
    // The first segment carries 1400 bytes, each further one 1397 more.
    return 1 + (msgLength - KIVO_SEGMENT_SIZE + KIVO_SEGMENT_PAYLOAD - 1) / KIVO_SEGMENT_PAYLOAD;
}

INT32S ServerReplySend(INT32S socketFd, INT8U* msg, INT32S msgLength, struct sockaddr_in* client,
                       INT32U clientLength, INT32S seqNum) {
    if (msgLength <= 0) return 0;
    if (msgLength > KIVO_MESSAGE_SIZE) msgLength = KIVO_MESSAGE_SIZE;
    const INT32S segTotal = ServerSegmentCount(msgLength);
    for (INT32S k = 0; k < segTotal; ++k) {
        // Segment k starts 1397*k bytes in: its header overwrites the last three
        // payload bytes of the segment sent before.
        const INT32S offset = KIVO_SEGMENT_PAYLOAD * k;
        const INT32S length = (k == segTotal - 1) ? msgLength - offset : KIVO_SEGMENT_SIZE;
        UdpMsgSend(socketFd, msg + offset, length, client, clientLength, seqNum, segTotal, k);
    }
    return segTotal;
}

namespace {

const char* RequestName(INT8U code) {
    switch (code) {
        case REQUEST_DISCOVER:
            return "Discover";
        case REQUEST_GET_ALL:
            return "Get all";
        case REQUEST_GET:
            return "Get";
        case REQUEST_SET:
            return "Set";
        case REQUEST_FACTORY_RESET:
            return "Factory reset";
        case REQUEST_FW_START:
            return "Firmware start";
        case REQUEST_FW_STOP:
            return "Firmware stop";
        case REQUEST_FW_STATUS:
            return "Firmware status";
        case REQUEST_VERSION:
            return "Version";
        case REQUEST_FAILURE_DETAIL:
            return "Failure detail";
        case REQUEST_DISCOVER_LCMP:
            return "LCMP discover";
        default:
            return nullptr;
    }
}

bool FwServerRunning();

// The firmware server's most recent error: its own words when it recorded them, else its
// error code in the reason table's terms. The one place that asks the firmware layer.
kivo::Failure FwServerLastFailure() {
    kivo::Failure f = L2FwServerLastFailure();
    if (!f.empty()) return f;
    const t_l2fwserverErrorCode error = L2FwServerErrorGet();
    auto set = [&](kivo::Reason reason, const char* text) {
        f.reason = reason;
        f.text = text;
    };
    switch (error) {
        case L2FWSERVER_ERROR_NONE:
            break;
        case L2FWSERVER_ERROR_ETH_IF:
        case L2FWSERVER_ERROR_ETH_IF_MAC:
            set(kivo::Reason::kNoInterface,
                "the firmware transfer's interface does not exist: check its name");
            break;
        case L2FWSERVER_ERROR_ETH_IF_INACTIVE:
            set(kivo::Reason::kInterfaceDown, "the firmware transfer's interface is down: bring it up");
            break;
        case L2FWSERVER_ERROR_SOCKET:
        case L2FWSERVER_ERROR_BIND:
            if (rawSocketsDenied)
                set(kivo::Reason::kNoPermission,
                    "kivohost may not open raw packet sockets: grant it CAP_NET_RAW and restart it");
            else
                set(kivo::Reason::kInternal, "the firmware transfer could not open its packet socket");
            break;
        case L2FWSERVER_ERROR_OPENING_FILE:
            set(kivo::Reason::kFileUnreadable,
                "the firmware or loader file could not be opened: check the path and its permissions");
            break;
        case L2FWSERVER_ERROR_READING_FILE:
            set(kivo::Reason::kFileUnreadable, "reading the firmware or loader file failed");
            break;
        case L2FWSERVER_ERROR_MAGIC_WORD:
            set(kivo::Reason::kFileBadMagic, "the firmware file does not start with the firmware magic word");
            break;
        case L2FWSERVER_ERROR_TIMEOUT:
        case L2FWSERVER_ERROR_DISCOVER:
            set(kivo::Reason::kNoFileRequest,
                "the device did not ask for the file in time: start the transfer, then restart the device");
            break;
        case L2FWSERVER_ERROR_DROP_PACKET:
        case L2FWSERVER_ERROR_RECVFROM:
            set(kivo::Reason::kAckMissing, "the device stopped acknowledging during the transfer");
            break;
        case L2FWSERVER_ERROR_CANCELLED:
            set(kivo::Reason::kCancelled, "the transfer was stopped on request");
            break;
        default:
            f.reason = kivo::Reason::kInternal;
            f.text = "the firmware server failed with error " + std::to_string(static_cast<int>(error));
            break;
    }
    return f;
}

// The reason for a failed request when its handler recorded none.
kivo::Failure GenericFailure(INT8U code, INT8U replyCode) {
    kivo::Failure f;
    if (code == REQUEST_FW_START && replyCode == REPLY_REFUSED) {
        if (FwServerRunning()) {
            f.reason = kivo::Reason::kBusy;
            f.text = "a firmware transfer is running: wait for it to end or stop it first";
        } else {
            f.reason = kivo::Reason::kMalformedRequest;
            f.text =
                "the firmware start was refused: it needs an interface, a firmware file and a VLAN id other "
                "than 4095";
        }
    } else if (replyCode == REPLY_REFUSED) {
        f.reason = kivo::Reason::kMalformedRequest;
        f.text = std::string(RequestName(code)) + " request refused: it is not well formed";
    } else {
        f.reason = kivo::Reason::kInternal;
        f.text = std::string(RequestName(code)) + " request failed; the service's log may tell more";
    }
    return f;
}

// Keeps the detail of a request answered FAILED or REFUSED (or a firmware start whose
// transfer is already in its error state) and logs it; forgets this request's record
// otherwise.
void FailedRequestNote(INT8U seq, INT8U code, INT32S replyLength, const INT8U* msg) {
    kivo::Failure failure = kivo::FailureTake();
    bool failed = replyLength == 4 && (msg[3] == REPLY_FAILED || msg[3] == REPLY_REFUSED);
    if (!failed && code == REQUEST_FW_START && replyLength == 4 && msg[3] == REPLY_DONE &&
        L2FwServerStateGet() == L2FWSERVER_STATE_ERROR) {
        failed = true;
        if (failure.empty()) failure = FwServerLastFailure();
    }
    if (!failed) return;
    if (failure.empty()) failure = GenericFailure(code, msg[3]);
    lastFailed.any = true;
    lastFailed.seq = seq;
    lastFailed.code = code;
    lastFailed.failure = failure;
    kivo::Log(kivo::LogStream::kOut, "%s request (seq %u) failed: %s: %s\n", RequestName(code),
              static_cast<unsigned>(seq), kivo::ReasonName(failure.reason), failure.text.c_str());
}

// False, with the refusal logged and recorded, when the allow-list keeps the sender out.
// Version and failure detail are open to everyone: they show no device and change nothing.
bool RequestAllowed(INT8U code) {
    if (!allowList.active() || code == REQUEST_VERSION || code == REQUEST_FAILURE_DETAIL) return true;
    const kivo::Requester& requester = CurrentRequester();
    if (allowList.Allows(requester)) return true;
    if (requester.known) {
        kivo::Log(kivo::LogStream::kOut, "Refused %s request from uid %u: not in the allow-list\n",
                  RequestName(code), static_cast<unsigned>(requester.uid));
        kivo::FailureRecord(
            kivo::Reason::kNotAllowed,
            "uid %u may not send %s requests: an administrator can add the user or one of its "
            "groups to kivohost's allow-list (--allow-user, --allow-group)",
            static_cast<unsigned>(requester.uid), RequestName(code));
    } else {
        kivo::Log(kivo::LogStream::kOut, "Refused %s request from an unidentified sender\n",
                  RequestName(code));
        kivo::FailureRecord(kivo::Reason::kNotAllowed,
                            "the sender of the %s request could not be identified, and only listed users may "
                            "send it",
                            RequestName(code));
    }
    return false;
}

INT32S RequestRun(INT32S inputLength, INT8U* msg) {
    switch (msg[4]) {
        case REQUEST_DISCOVER:
            return DiscoverGet(inputLength, msg);
        case REQUEST_GET_ALL:
            return GetAllGet(inputLength, msg);
        case REQUEST_GET:
            return GetGet(inputLength, msg);
        case REQUEST_SET:
            return SetGet(inputLength, msg);
        case REQUEST_FACTORY_RESET:
            return FactoryResetGet(inputLength, msg);
        case REQUEST_FW_START:
            return StartL2FwServerGet(inputLength, msg);
        case REQUEST_FW_STOP:
            return StopL2FwServerGet(inputLength, msg);
        case REQUEST_FW_STATUS:
            return GetStatusL2FwServerGet(inputLength, msg);
        case REQUEST_VERSION:
            return GetKivoVersionGet(inputLength, msg);
        case REQUEST_FAILURE_DETAIL:
            return FailureDetailGet(inputLength, msg);
        case REQUEST_DISCOVER_LCMP:
            return DiscoverLcmpGet(inputLength, msg);
        default:
            return 1;
    }
}

}  // namespace

void ServerAllowListSet(const AllowList& allow) {
    allowList = allow;
}

void ServerFailureDetailReset() {
    lastFailed = FailedRequest();
}

INT32S ServerDispatch(INT32S inputLength, INT8U* msg) {
    if (msg[3] != 0) {
        kivo::Log(kivo::LogStream::kOut, "Invalid message (%d) received\n", msg[3]);
        return 1;
    }
    const INT8U seq = msg[0];
    const INT8U code = msg[4];
    // An unassigned code keeps its one-byte answer, whoever sends it.
    if (RequestName(code) == nullptr) return 1;
    kivo::FailureClear();
    const INT32S replyLength =
        RequestAllowed(code) ? RequestRun(inputLength, msg) : ReplyCode(msg, REPLY_REFUSED);
    if (code != REQUEST_FAILURE_DETAIL)
        FailedRequestNote(seq, code, replyLength, msg);
    else
        kivo::FailureClear();
    return replyLength;
}

void ServerRxFunction(INT32S socketFd) {
    struct sockaddr_in client;
    socklen_t clientLength = sizeof(client);
    std::memset(message, 0, sizeof(message));
    std::memset(&client, 0, sizeof(client));
    const ssize_t received = recvfrom(socketFd, message, sizeof(message), 0,
                                      reinterpret_cast<struct sockaddr*>(&client), &clientLength);
    if (received <= 0) return;
    const INT32S seqNum = message[0];
    CurrentClientSet(client);
    INT32S replyLength = ServerDispatch(static_cast<INT32S>(received), message);
    // A handler can never produce more than the buffer; treat anything else as a fault.
    if (replyLength > KIVO_MESSAGE_SIZE) replyLength = 0;
    ServerReplySend(socketFd, message, replyLength, &client, clientLength, seqNum);
}

namespace {

// Without CAP_NET_RAW no request can reach a device. Say so once at start-up, with the
// remedy, and keep serving: Version and the failure detail still work, and every other
// request fails with the no-permission reason.
void RawSocketCheck() {
    kivo::l2::Port probe;
    if (probe.Open("lo") != kivo::l2::PortStatus::kPermission) return;
    rawSocketsDenied = true;
    char path[PATH_MAX] = "kivohost";
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) path[n] = '\0';
    kivo::Log(kivo::LogStream::kErr,
              "Warning: kivohost may not open raw packet sockets (CAP_NET_RAW is missing), so requests to "
              "devices will fail: run 'setcap cap_net_raw+ep %s' or set AmbientCapabilities=CAP_NET_RAW in "
              "the service unit\n",
              path);
}

}  // namespace

INT32S StartServer(INT32S serverPort) {
    pthread_t watchdog;
    if (pthread_create(&watchdog, nullptr, WatchdogThreadFunction, nullptr) != 0) {
        kivo::Log(kivo::LogStream::kOut, "Error: pthread_create failed\n");
        return -1;
    }
    pthread_detach(watchdog);
    // Started by systemd with its socket: serve on that one instead of binding.
    const int activated = sd_listen_fds(0);
    if (activated > 1 ||
        (activated == 1 && sd_is_socket(SD_LISTEN_FDS_START, AF_INET, SOCK_DGRAM, -1) <= 0)) {
        kivo::Log(kivo::LogStream::kOut,
                  "Error: systemd passed %d sockets; kivohost needs exactly one UDP socket on 127.0.0.1 "
                  "(ListenDatagram=127.0.0.1:PORT in its socket unit)\n",
                  activated);
        return -2;
    }
    if (activated == 1) {
        kivo::UniqueFd sock(SD_LISTEN_FDS_START);
        struct sockaddr_in bound;
        socklen_t boundLength = sizeof(bound);
        std::memset(&bound, 0, sizeof(bound));
        getsockname(sock.get(), reinterpret_cast<struct sockaddr*>(&bound), &boundLength);
        kivo::Log(kivo::LogStream::kOut, "Server running in port %d\n",
                  static_cast<int>(ntohs(bound.sin_port)));
        RawSocketCheck();
        for (;;) {
            watchdogRxMsg.store(true);
            ServerRxFunction(sock.get());
        }
    }
    kivo::UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        kivo::Log(kivo::LogStream::kOut, "Error: could not create socket\n");
        return -2;
    }
    struct sockaddr_in server;
    std::memset(&server, 0, sizeof(server));
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(serverPort & 0xFFFF));
    if (bind(sock.get(), reinterpret_cast<struct sockaddr*>(&server), sizeof(server)) < 0) {
        // No line end: front-end scripts match this text as it has always been.
        kivo::Log(kivo::LogStream::kOut, "Error: bind failed (port %d is already in use)", serverPort);
        return -3;
    }
    kivo::Log(kivo::LogStream::kOut, "Server running in port %d\n", serverPort);
    RawSocketCheck();
    for (;;) {
        watchdogRxMsg.store(true);
        ServerRxFunction(sock.get());
    }
}

// ---------------------------------------------------------------------------
// Version request

INT32S GetKivoVersionGet(INT32S /*inputLength*/, INT8U* msg) {
    msg[3] = REPLY_VERSION;
    msg[4] = KIVO_VERSION_MAJOR;
    msg[5] = KIVO_VERSION_MINOR;
    msg[6] = KIVO_VERSION_BUILD;
    return 7;
}

// ---------------------------------------------------------------------------
// Failure detail request

namespace {

// At most limit bytes of text, cut where no UTF-8 character is split.
size_t Utf8Prefix(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

// Longest text a detail reply carries; the layers' texts are a line or two.
constexpr size_t kDetailTextMax = 2000;

}  // namespace

INT32S FailureDetailGet(INT32S /*inputLength*/, INT8U* msg) {
    const kivo::Failure fw = FwServerLastFailure();
    const size_t textLength = Utf8Prefix(lastFailed.failure.text, kDetailTextMax);
    const size_t fwLength = Utf8Prefix(fw.text, kDetailTextMax);
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_FAILURE_DETAIL);
    w.u8(lastFailed.any ? 1 : 0);
    w.u8(lastFailed.seq);
    w.u8(lastFailed.code);
    w.be16(static_cast<INT16U>(lastFailed.failure.reason));
    w.be16(static_cast<INT16U>(textLength));
    w.bytes(lastFailed.failure.text.data(), textLength);
    w.be16(static_cast<INT16U>(fw.reason));
    w.be16(static_cast<INT16U>(fwLength));
    w.bytes(fw.text.data(), fwLength);
    return static_cast<INT32S>(w.pos());
}

// ---------------------------------------------------------------------------
// Parameter requests (Get all, Get, Set, Factory reset)

BOOLEAN ConfiglayerParamsInputBuild(INT32S paramslength, const INT8U* msg, BOOLEAN withValues,
                                    t_configlayerParam** params) {
    if (params == nullptr || (paramslength > 0 && msg == nullptr)) return FALSE;
    const size_t end = paramslength > 0 ? static_cast<size_t>(paramslength) : 0;
    size_t offset = 0;
    // Each text must end with its zero byte inside the block.
    auto nextText = [&](const CHAR*& text) {
        const void* zero = std::memchr(msg + offset, 0, end - offset);
        if (zero == nullptr) return false;
        text = reinterpret_cast<const CHAR*>(msg + offset);
        offset = static_cast<size_t>(static_cast<const INT8U*>(zero) - msg) + 1;
        return true;
    };
    while (offset < end) {
        const CHAR* name = nullptr;
        const CHAR* value = nullptr;
        if (!nextText(name)) return FALSE;
        // A Set block holds pairs: a name that ends the block has no value.
        if (withValues && (offset >= end || !nextText(value))) return FALSE;
        if (ConfiglayerParamAdd(params, name, value) != CONFIGLAYER_ERROR_NONE) return FALSE;
    }
    return TRUE;
}

BOOLEAN ConfiglayerResponseToMessage(const t_configlayerParam* params, INT32U* length, INT8U* msg,
                                     INT32U capacity) {
    if (params == nullptr || length == nullptr || msg == nullptr) return TRUE;
    kivo::ByteWriter w(msg, capacity);
    for (const t_configlayerParam* p = params; p != nullptr; p = p->next) {
        const CHAR* value = p->value != nullptr ? p->value : "";
        w.bytes(p->name, std::strlen(p->name) + 1);
        w.bytes(value, std::strlen(value) + 1);
        w.u8(static_cast<INT8U>(p->type));
        w.be32(static_cast<INT32U>(p->nElem));
        if (!w.ok()) return FALSE;
    }
    *length = static_cast<INT32U>(w.pos());
    return TRUE;
}

namespace {

// The fields of a parameter request (codes 2 to 5).
struct ParamRequest {
    INT8U deviceType = 0;
    CHAR ifName[256] = {};
    INT16U vlanId = 0;
    INT8U deviceMac[6] = {};
    CHAR password[256] = {};
    const INT8U* block = nullptr;  // parameter block inside the request (Get and Set)
    INT32U blockLength = 0;
};

// Copies a text field of n bytes with a terminator; false when it holds a zero byte,
// which would silently shorten it.
bool ParamRequestText(const INT8U* field, size_t n, CHAR* out) {
    if (n != 0 && std::memchr(field, 0, n) != nullptr) return false;
    if (n != 0) std::memcpy(out, field, n);
    out[n] = '\0';
    return true;
}

// Reads the request fields. Fixed fields past the datagram read as zero; the
// interface name, the password and the parameter block must lie within it and the
// two texts must not hold zero bytes. False for a request that breaks these rules.
bool ParamRequestRead(INT32S inputLength, const INT8U* msg, bool withBlock, ParamRequest& req) {
    RequestReader r(msg, inputLength, 5);
    req.deviceType = r.u8();
    const INT8U nameLength = r.u8();
    const INT8U* name = r.field(nameLength);
    req.vlanId = static_cast<INT16U>(r.be16() & 0x0FFF);
    r.block(req.deviceMac, 6);
    const INT8U passwordLength = r.u8();
    const INT8U* password = r.field(passwordLength);
    if (withBlock) {
        req.blockLength = r.be32();
        req.block = r.field(req.blockLength);
    }
    if (!r.ok()) return false;
    return ParamRequestText(name, nameLength, req.ifName) &&
           ParamRequestText(password, passwordLength, req.password);
}

// Reply with the SCP info data: code, 32-bit length, data. The buffer is cleared
// first; data that would not fit the buffer gives REPLY_FAILED.
INT32S ScpDataReply(INT8U* msg, const INT8U* info, INT32U infoLength) {
    if (static_cast<size_t>(infoLength) > KIVO_MESSAGE_SIZE - 8) {
        kivo::FailureRecord(kivo::Reason::kRequestTooLarge,
                            "the device's answer does not fit one reply: ask for fewer parameters at a time");
        return ReplyCode(msg, REPLY_FAILED);
    }
    std::memset(msg, 0, KIVO_MESSAGE_SIZE);
    msg[3] = REPLY_SCP_DATA;
    kivo::storeBe32(msg + 4, infoLength);
    if (infoLength != 0) std::memcpy(msg + 8, info, infoLength);
    return static_cast<INT32S>(8 + infoLength);
}

// The SCP path of the four parameter requests.
INT32S ScpParamRequest(INT8U code, ParamRequest& req, INT8U* msg) {
    // The factory reset hands the client this fixed block; the client sends its own
    // fixed item list for it.
    static const INT8U kFactoryResetBlock[36] = {'F', 'A', 'C', 'T', 'O', 'R', 'Y', 'R', 'E', 'S', 'E', 'T',
                                                 '.', 'G', 'E', 'N', 'E', 'R', 'A', 'L', '.', 'F', 'O', 'R',
                                                 'C', 'E', '_', 'R', 'E', 'S', 'E', 'T', 0,   ' ', '1', 0};
    t_scpOp op = SCP_OP_GET;
    const INT8U* data = nullptr;
    INT32U dataLength = 0;
    switch (code) {
        case REQUEST_GET_ALL:
            break;
        case REQUEST_GET:
            data = req.block;
            dataLength = req.blockLength;
            break;
        case REQUEST_SET:
            op = SCP_OP_SET;
            data = req.block;
            dataLength = req.blockLength;
            break;
        default:
            op = SCP_OP_FACTORY_RESET;
            data = kFactoryResetBlock;
            dataLength = sizeof(kFactoryResetBlock);
            break;
    }
    std::vector<INT8U> info(SCP_INFO_BUFFER_SIZE, 0);
    INT32U infoLength = 0;
    t_scpErrorCode result =
        ScpClient(req.ifName, req.deviceMac, op, reinterpret_cast<const INT8U*>(req.password), data,
                  dataLength, info.data(), &infoLength);
    if (code == REQUEST_FACTORY_RESET) {
        // Only a reset the device confirmed counts as done; a status of failure for
        // the reset parameter is a failure.
        if (result != SCP_ERROR_NONE) return ReplyCode(msg, REPLY_FAILED);
        std::memset(msg, 0, KIVO_MESSAGE_SIZE);
        return ReplyCode(msg, REPLY_DONE);
    }
    if (result != SCP_ERROR_NONE && result != SCP_ERROR_PARAM_OP_FAILED) return ReplyCode(msg, REPLY_FAILED);
    return ScpDataReply(msg, info.data(), std::min<INT32U>(infoLength, SCP_INFO_BUFFER_SIZE));
}

// Writes a REPLY_PARAMS reply with the records of params over the cleared buffer, or
// REPLY_FAILED when the records would not fit it.
INT32S ParamsReply(const t_configlayerParam* params, INT8U* msg) {
    std::memset(msg, 0, KIVO_MESSAGE_SIZE);
    INT32U length = 0;
    if (!ConfiglayerResponseToMessage(params, &length, msg + 8, KIVO_MESSAGE_SIZE - 8)) {
        kivo::FailureRecord(kivo::Reason::kRequestTooLarge,
                            "the device's answer does not fit one reply: ask for fewer parameters at a time");
        std::memset(msg, 0, KIVO_MESSAGE_SIZE);
        return ReplyCode(msg, REPLY_FAILED);
    }
    msg[3] = REPLY_PARAMS;
    kivo::storeBe32(msg + 4, length);
    return static_cast<INT32S>(8 + length);
}

// The LCMP path of a parameter request: one configuration-layer operation on the
// device named in the request, answered with its parameter records.
INT32S ConfiglayerRequest(INT8U code, ParamRequest& req, INT8U* msg) {
    t_configlayerParam* input = nullptr;
    if (code == REQUEST_GET || code == REQUEST_SET) {
        if (!ConfiglayerParamsInputBuild(static_cast<INT32S>(req.blockLength), req.block,
                                         code == REQUEST_SET ? TRUE : FALSE, &input)) {
            kivo::FailureRecord(
                kivo::Reason::kMalformedRequest,
                "the parameter block is not well formed: every name%s must end with a zero byte",
                code == REQUEST_SET ? " and every value" : "");
            ConfiglayerParamsDestroy(input);
            return ReplyCode(msg, REPLY_REFUSED);
        }
    } else if (code == REQUEST_FACTORY_RESET) {
        ConfiglayerParamAdd(&input, "FACTORYRESET.GENERAL.FORCE_RESET", "1");
    }
    t_device* device = nullptr;
    DeviceListAdd(&device, req.deviceMac, req.ifName, nullptr, DEVICE_TORVIX_LCMP);
    t_configlayerParam* output = nullptr;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_BAD_ARGS;
    if (device != nullptr) {
        switch (code) {
            case REQUEST_GET_ALL:
                result = ConfiglayerGetAll(device, CONFIGLAYER_PUBLIC, req.password, &output, FALSE);
                break;
            case REQUEST_GET:
                result = ConfiglayerGet(device, CONFIGLAYER_PUBLIC, req.password, input, &output, FALSE);
                break;
            case REQUEST_SET:
            case REQUEST_FACTORY_RESET:
                result = ConfiglayerSet(device, CONFIGLAYER_PUBLIC, req.password, input, &output);
                break;
        }
    }
    INT32S replyLength;
    if (code == REQUEST_FACTORY_RESET) {
        std::memset(msg, 0, KIVO_MESSAGE_SIZE);
        replyLength = ReplyCode(msg, result == CONFIGLAYER_ERROR_NONE ? REPLY_DONE : REPLY_FAILED);
    } else if (result == CONFIGLAYER_ERROR_NONE || result == CONFIGLAYER_ERROR_PARAM) {
        replyLength = ParamsReply(output, msg);
    } else {
        if (code == REQUEST_SET) {
            kivo::Log(kivo::LogStream::kOut, "Configlayer error %d\n", static_cast<int>(result));
        }
        replyLength = ReplyCode(msg, REPLY_FAILED);
    }
    ConfiglayerParamsDestroy(output);
    ConfiglayerParamsDestroy(input);
    DeviceListFree(device);
    return replyLength;
}

// Common handling of requests 2 to 5: read the request, then branch on the device type.
INT32S ParamRequestHandle(INT8U code, INT32S inputLength, INT8U* msg) {
    ParamRequest req;
    const bool withBlock = code == REQUEST_GET || code == REQUEST_SET;
    if (!ParamRequestRead(inputLength, msg, withBlock, req)) {
        MalformedRecord(RequestName(code));
        return ReplyCode(msg, REPLY_REFUSED);
    }
    // The request's VLAN id applies to LCMP traffic from now on, whatever the device
    // type; an id LCMP refuses leaves the previous setting. SCP frames are never tagged.
    if (req.vlanId != 0) {
        if (LCMPVLANConfigure(TRUE, req.vlanId, 0) == LCMP_ERROR_NONE) lcmpVlanId = req.vlanId;
    } else {
        LCMPVLANConfigure(FALSE, 0, 0);
        lcmpVlanId = 0;
    }
    INT32S replyLength;
    switch (req.deviceType) {
        case DEVICE_TORVIX_SCP:
            replyLength = ScpParamRequest(code, req, msg);
            break;
        case DEVICE_TORVIX_LCMP:
            replyLength = ConfiglayerRequest(code, req, msg);
            break;
        default:
            kivo::FailureRecord(kivo::Reason::kMalformedRequest,
                                "unknown device type %u: use %d for SCP devices or %d for LCMP devices",
                                static_cast<unsigned>(req.deviceType), DEVICE_TORVIX_SCP, DEVICE_TORVIX_LCMP);
            return ReplyCode(msg, REPLY_REFUSED);
    }
    if (replyLength == 4 && msg[3] == REPLY_FAILED) LinkFailureRecord(req.ifName, req.deviceMac);
    return replyLength;
}

}  // namespace

INT32S GetAllGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_GET_ALL, inputLength, msg);
}
INT32S GetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_GET, inputLength, msg);
}
INT32S SetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_SET, inputLength, msg);
}
INT32S FactoryResetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_FACTORY_RESET, inputLength, msg);
}

// ---------------------------------------------------------------------------
// Discover request

namespace {

// Writes one device record per list node, newest first, from byte 5 on; at most 255
// records (the count is one byte). Returns the reply length, or 0 when the records
// would not fit the message buffer.
INT32S DiscoverReplyBuild(INT8U* msg, const t_device* list) {
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_DEVICES);
    w.u8(0);  // count, written at the end
    unsigned count = 0;
    for (const t_device* d = list; d != nullptr && count < MACDISCOVER_MAX_DEVICES; d = d->next) {
        size_t nameLength = d->interfaceName ? std::strlen(d->interfaceName) : 0;
        if (nameLength > 255) continue;  // cannot be described in one length byte
        w.u8(static_cast<INT8U>(d->type));
        w.u8(static_cast<INT8U>(nameLength));
        w.bytes(d->interfaceName, nameLength);
        w.bytes(d->deviceMACAddr, 6);
        if (!w.ok()) return 0;
        ++count;
    }
    msg[4] = static_cast<INT8U>(count);
    return static_cast<INT32S>(w.pos());
}

}  // namespace

namespace {

// The fields of a Discover request (also those of an LCMP discover).
struct DiscoverRequest {
    INT8U nameLength = 0;
    CHAR name[256] = {};  // used as a C string, as far as its first zero byte
    INT16U vlanId = 0;
};

bool DiscoverRequestRead(INT32S inputLength, const INT8U* msg, DiscoverRequest& req) {
    RequestReader r(msg, inputLength, 5);
    req.nameLength = r.u8();
    // An empty name needs no bytes, wherever the datagram ends (a one-byte datagram
    // is a Discover on every interface).
    std::string interfaceName = req.nameLength > 0 ? r.text(req.nameLength) : std::string();
    req.vlanId = static_cast<INT16U>(r.be16() & 0x0FFF);
    // An interface name that runs past the datagram: a malformed request.
    if (!r.ok()) return false;
    std::memcpy(req.name, interfaceName.data(), interfaceName.size());
    req.name[interfaceName.size()] = '\0';
    return true;
}

}  // namespace

INT32S DiscoverGet(INT32S inputLength, INT8U* msg) {
    DiscoverRequest req;
    if (!DiscoverRequestRead(inputLength, msg, req)) {
        MalformedRecord("Discover");
        return ReplyCode(msg, REPLY_REFUSED);
    }
    const INT8U nameLength = req.nameLength;
    const INT16U vlanId = req.vlanId;
    CHAR* name = req.name;

    if (vlanId != 0)
        MACDiscoverVLANConfigure(TRUE, vlanId, 0);
    else
        MACDiscoverVLANConfigure(FALSE, 0, 0);

    t_device* list = nullptr;
    t_macDiscoverErrorCode result = MACDiscoverGet(nameLength > 0 ? name : nullptr, TRUE, &list);
    if (result != MACDISCOVER_ERROR_NONE || list == nullptr) {
        DeviceListFree(list);
        LinkFailureRecord(nameLength > 0 ? name : nullptr, nullptr);
        return ReplyCode(msg, REPLY_FAILED);
    }
    INT32S length = DiscoverReplyBuild(msg, list);
    DeviceListFree(list);
    // Records that would not fit the buffer are not sent cut short.
    if (length <= 0) return ReplyCode(msg, REPLY_FAILED);
    return length;
}

// Every LCMP device that answers the multicast read, on the named interface or on all
// of them. The VLAN applies to this discovery only: later parameter requests keep the
// one the last parameter request chose.
INT32S DiscoverLcmpGet(INT32S inputLength, INT8U* msg) {
    DiscoverRequest req;
    if (!DiscoverRequestRead(inputLength, msg, req)) {
        MalformedRecord("LCMP discover");
        return ReplyCode(msg, REPLY_REFUSED);
    }
    auto vlanSet = [](INT16U vlanId) {
        return vlanId != 0 ? LCMPVLANConfigure(TRUE, vlanId, 0) : LCMPVLANConfigure(FALSE, 0, 0);
    };
    if (vlanSet(req.vlanId) != LCMP_ERROR_NONE) {
        kivo::FailureRecord(kivo::Reason::kInvalidValue,
                            "VLAN id %u cannot be tagged: use 1 to 4094, or 0 for untagged frames",
                            static_cast<unsigned>(req.vlanId));
        return ReplyCode(msg, REPLY_REFUSED);
    }
    t_device* list = nullptr;
    ConfiglayerDiscoverAll(req.nameLength > 0 ? req.name : nullptr, &list);
    vlanSet(lcmpVlanId);
    // Devices found before an interface failed are still worth showing.
    if (list == nullptr) {
        LinkFailureRecord(req.nameLength > 0 ? req.name : nullptr, nullptr);
        return ReplyCode(msg, REPLY_FAILED);
    }
    const INT32S length = DiscoverReplyBuild(msg, list);
    DeviceListFree(list);
    if (length <= 0) return ReplyCode(msg, REPLY_FAILED);
    return length;
}

// ---------------------------------------------------------------------------
// Firmware server requests

namespace {

// Announcement time-out of every transfer started by a request, seconds.
constexpr INT32S kFwAnnouncementTimeout = 10;

bool FwServerRunning() {
    t_l2fwserverState state = L2FwServerStateGet();
    return state != L2FWSERVER_STATE_IDLE && state != L2FWSERVER_STATE_SUCCESSFUL &&
           state != L2FWSERVER_STATE_ERROR;
}

}  // namespace

// Start: interface name, VLAN, device MAC, firmware file name, loader file name. A
// loader name makes it an Ethernet boot; without one it is an upgrade of that MAC.
INT32S StartL2FwServerGet(INT32S inputLength, INT8U* msg) {
    RequestReader r(msg, inputLength, 5);
    INT8U ifLength = r.u8();
    std::string ifName = r.text(ifLength);
    INT16U vlan = r.be16();
    INT8U deviceMac[6];
    r.block(deviceMac, sizeof(deviceMac));
    INT16U fwLength = r.be16();
    std::string fwFile = r.text(fwLength);
    INT16U loaderLength = r.be16();
    std::string loaderFile = r.text(loaderLength);
    if (!r.ok()) return ReplyCode(msg, REPLY_REFUSED);
    // A zero byte would cut the name or a path short: the transfer would use another
    // interface or file than the one named.
    for (const std::string* text : {&ifName, &fwFile, &loaderFile})
        if (text->find('\0') != std::string::npos) return ReplyCode(msg, REPLY_REFUSED);
    // A running transfer is left entirely alone, its VLAN setting included.
    if (FwServerRunning()) {
        kivo::FailureRecord(kivo::Reason::kBusy,
                            "a firmware transfer is running; stop it (request 7) or wait for it to end");
        return ReplyCode(msg, REPLY_REFUSED);
    }
    // Without an interface or a firmware file there is nothing to start.
    if (ifLength == 0 || fwLength == 0) return ReplyCode(msg, REPLY_REFUSED);

    INT16U vlanId = vlan & 0x0FFF;
    if (vlanId != 0) {
        // 4095 cannot be tagged; refusing beats sending on whatever VLAN was set before.
        if (L2FwServerVLANConfigure(TRUE, vlanId, 0) != L2FWSERVER_ERROR_NONE)
            return ReplyCode(msg, REPLY_REFUSED);
        kivo::Log(kivo::LogStream::kOut, "VLAN %u\n", static_cast<unsigned>(vlanId));
    } else {
        L2FwServerVLANConfigure(FALSE, 0, 0);
    }

    // The files are read with the rights of the user who asked, not the service's: a
    // file that user could not read ends the transfer as a missing one does (DONE, then
    // the error state), with the reason recorded.
    const kivo::Requester& requester = CurrentRequester();
    t_l2fwserverErrorCode result;
    if (loaderLength > 0)
        result = L2FwServerEthBootStartAs(requester, loaderFile.c_str(), fwFile.c_str(), ifName.c_str(),
                                          kFwAnnouncementTimeout);
    else
        result = L2FwServerUpgradeStartAs(requester, fwFile.c_str(), ifName.c_str(), kFwAnnouncementTimeout,
                                          deviceMac);
    if (result == L2FWSERVER_ERROR_INVALID_STATE)
        kivo::FailureRecord(kivo::Reason::kBusy,
                            "a firmware transfer is running; stop it (request 7) or wait for it to end");
    return ReplyCode(msg, result == L2FWSERVER_ERROR_NONE ? REPLY_DONE : REPLY_REFUSED);
}

INT32S StopL2FwServerGet(INT32S /*inputLength*/, INT8U* msg) {
    L2FwServerStop();
    return ReplyCode(msg, REPLY_DONE);
}

// Status: state (1 byte), bytes uploaded and bytes to upload (4 bytes each). A final
// state also reclaims the finished server thread.
INT32S GetStatusL2FwServerGet(INT32S /*inputLength*/, INT8U* msg) {
    t_l2fwserverState state = L2FwServerStateGet();
    INT32U uploaded = L2FwServerUploadedBytesGet();
    INT32U total = L2FwServerTotalBytesGet();
    if (state == L2FWSERVER_STATE_SUCCESSFUL || state == L2FWSERVER_STATE_ERROR) L2FwServerWait();
    kivo::ByteWriter w(msg + 3, 10);
    w.u8(REPLY_FW_STATUS);
    w.u8(static_cast<INT8U>(state));
    w.be32(uploaded);
    w.be32(total);
    return 13;
}
