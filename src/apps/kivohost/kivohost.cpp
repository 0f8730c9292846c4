// kivohost: the UDP request server (reply segmentation, idle watchdog) and the
// request handlers.
#include "kivohost.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "requester_lookup.h"
#include "scp_client_legacy.h"
#include "unique_fd.h"

namespace {

// Set by the request loop each time it begins to wait; cleared by the watchdog.
std::atomic<bool> watchdogRxMsg{true};
// Seconds the watchdog has counted without seeing the flag; watchdog thread only.
INT32U watchdogCnt = 0;

INT8U message[KIVO_MESSAGE_SIZE];

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

INT32S ServerDispatch(INT32S inputLength, INT8U* msg) {
    if (msg[3] != 0) {
        kivo::Log(kivo::LogStream::kOut, "Invalid message (%d) received\n", msg[3]);
        return 1;
    }
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
        default:
            return 1;
    }
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

INT32S StartServer(INT32S serverPort) {
    pthread_t watchdog;
    if (pthread_create(&watchdog, nullptr, WatchdogThreadFunction, nullptr) != 0) {
        kivo::Log(kivo::LogStream::kOut, "Error: pthread_create failed\n");
        return -1;
    }
    pthread_detach(watchdog);
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
    if (static_cast<size_t>(infoLength) > KIVO_MESSAGE_SIZE - 8) return ReplyCode(msg, REPLY_FAILED);
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
    if (!ParamRequestRead(inputLength, msg, withBlock, req)) return ReplyCode(msg, REPLY_REFUSED);
    // The request's VLAN id applies to LCMP traffic from now on, whatever the device
    // type; an id LCMP refuses leaves the previous setting. SCP frames are never tagged.
    if (req.vlanId != 0)
        LCMPVLANConfigure(TRUE, req.vlanId, 0);
    else
        LCMPVLANConfigure(FALSE, 0, 0);
    switch (req.deviceType) {
        case DEVICE_TORVIX_SCP:
            return ScpParamRequest(code, req, msg);
        case DEVICE_TORVIX_LCMP:
            return ConfiglayerRequest(code, req, msg);
        default:
            return ReplyCode(msg, REPLY_REFUSED);
    }
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

INT32S DiscoverGet(INT32S inputLength, INT8U* msg) {
    RequestReader r(msg, inputLength, 5);
    INT8U nameLength = r.u8();
    // An empty name needs no bytes, wherever the datagram ends (a one-byte datagram
    // is a Discover on every interface).
    std::string interfaceName = nameLength > 0 ? r.text(nameLength) : std::string();
    INT16U vlanId = static_cast<INT16U>(r.be16() & 0x0FFF);
    // An interface name that runs past the datagram: a malformed request.
    if (!r.ok()) return ReplyCode(msg, REPLY_REFUSED);
    // The name is used as a C string, as far as its first zero byte.
    CHAR name[256];
    std::memcpy(name, interfaceName.data(), interfaceName.size());
    name[interfaceName.size()] = '\0';

    if (vlanId != 0)
        MACDiscoverVLANConfigure(TRUE, vlanId, 0);
    else
        MACDiscoverVLANConfigure(FALSE, 0, 0);

    t_device* list = nullptr;
    t_macDiscoverErrorCode result = MACDiscoverGet(nameLength > 0 ? name : nullptr, TRUE, &list);
    if (result != MACDISCOVER_ERROR_NONE || list == nullptr) {
        DeviceListFree(list);
        return ReplyCode(msg, REPLY_FAILED);
    }
    INT32S length = DiscoverReplyBuild(msg, list);
    DeviceListFree(list);
    // Records that would not fit the buffer are not sent cut short.
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
