// kivohost: entry point, UDP request server with reply segmentation and idle
// watchdog, and the request handlers.
#include "kivohost.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "LCMP_socket.h"
#include "byte_io.h"
#include "configlayer.h"
#include "device.h"

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
class [[maybe_unused]] RequestReader {
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
[[maybe_unused]] INT32S ReplyCode(INT8U* msg, INT8U code) {
    msg[3] = code;
    return 4;
}

}  // namespace

//////////////////////////////////////////////////////////////////////////////
// Request server
//////////////////////////////////////////////////////////////////////////////

INT32U ThreadSleep(INT32U ms) {
    struct timespec req;
    struct timespec rem;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    if (nanosleep(&req, &rem) != 0 && errno == EINTR)
        return static_cast<INT32U>(rem.tv_sec * 1000 + rem.tv_nsec / 1000000L);
    return 0;
}

void* WatchdogThreadFunction(void* /*arg*/) {
    for (;;) {
        ThreadSleep(1000);
        if (watchdogRxMsg.exchange(false)) {
            watchdogCnt = 0;
            continue;
        }
        ++watchdogCnt;
        if (watchdogCnt > 60) {
            std::printf("Watchdog: %u seconds without requests!\n", watchdogCnt);
            std::fflush(stdout);
            std::fflush(stdout);
            // Other threads may still be running: end without static destructors.
            _exit(0);
        }
    }
    return nullptr;
}

BOOLEAN UdpMsgSend(INT32S socket_desc, INT8U* message_, INT32S msglength, struct sockaddr_in* client,
                   INT32U client_length, INT32S seq_num, INT32S seg_total, INT32S seg_num) {
    message_[0] = static_cast<INT8U>(seq_num);
    if (msglength > 1) message_[1] = static_cast<INT8U>(seg_total);
    if (msglength > 2) message_[2] = static_cast<INT8U>(seg_num);
    ssize_t sent = sendto(socket_desc, message_, static_cast<size_t>(msglength), 0,
                          reinterpret_cast<struct sockaddr*>(client), client_length);
    if (sent != msglength) {
        std::printf("Send failed\n");
        std::fflush(stdout);
        return TRUE;
    }
    return FALSE;
}

INT32S ServerSegmentCount(INT32S msglength) {
    if (msglength <= KIVO_SEGMENT_SIZE) return 1;
    INT32S auxlength = msglength - KIVO_SEGMENT_SIZE;
    INT32S count = 1;
    while (auxlength > KIVO_SEGMENT_PAYLOAD) {
        auxlength -= KIVO_SEGMENT_PAYLOAD;
        ++count;
    }
    return count + 1;
}

INT32S ServerReplySend(INT32S socket_desc, INT8U* msg, INT32S msglength, struct sockaddr_in* client,
                       INT32U client_length, INT32S seq_num) {
    if (msglength <= 0) return 0;
    if (msglength > KIVO_MESSAGE_SIZE) msglength = KIVO_MESSAGE_SIZE;
    if (msglength <= KIVO_SEGMENT_SIZE) {
        UdpMsgSend(socket_desc, msg, msglength, client, client_length, seq_num, 1, 0);
        return 1;
    }
    INT32S segTotal = ServerSegmentCount(msglength);
    for (INT32S k = 0; k < segTotal; ++k) {
        // Segment k starts 1397*k bytes in: its header overwrites the last three
        // payload bytes of the segment sent before.
        INT32S offset = KIVO_SEGMENT_PAYLOAD * k;
        INT32S len = (k == segTotal - 1) ? msglength - offset : KIVO_SEGMENT_SIZE;
        UdpMsgSend(socket_desc, msg + offset, len, client, client_length, seq_num, segTotal, k);
    }
    return segTotal;
}

INT32S ServerDispatch(INT32S inputLength, INT8U* msg) {
    if (msg[3] != 0) {
        std::printf("Invalid message (%d) received\n", msg[3]);
        std::fflush(stdout);
        return 1;
    }
    switch (msg[4]) {
        case REQUEST_DISCOVER: return DiscoverGet(inputLength, msg);
        case REQUEST_GET_ALL: return GetAllGet(inputLength, msg);
        case REQUEST_GET: return GetGet(inputLength, msg);
        case REQUEST_SET: return SetGet(inputLength, msg);
        case REQUEST_FACTORY_RESET: return FactoryResetGet(inputLength, msg);
        case REQUEST_FW_START: return StartL2FwServerGet(inputLength, msg);
        case REQUEST_FW_STOP: return StopL2FwServerGet(inputLength, msg);
        case REQUEST_FW_STATUS: return GetStatusL2FwServerGet(inputLength, msg);
        case REQUEST_VERSION: return GetKivoVersionGet(inputLength, msg);
        default: return 1;
    }
}

void ServerRxFunction(INT32S socket_desc) {
    struct sockaddr_in client;
    socklen_t clientLength = sizeof(client);
    std::memset(message, 0, sizeof(message));
    std::memset(&client, 0, sizeof(client));
    ssize_t received = recvfrom(socket_desc, message, sizeof(message), 0,
                                reinterpret_cast<struct sockaddr*>(&client), &clientLength);
    if (received <= 0) return;
    INT32S seqNum = message[0];
    INT32S replyLength = ServerDispatch(static_cast<INT32S>(received), message);
    // A handler can never produce more than the buffer; treat anything else as a fault.
    if (replyLength > KIVO_MESSAGE_SIZE) replyLength = 0;
    ServerReplySend(socket_desc, message, replyLength, &client, clientLength, seqNum);
}

INT32S StartServer(INT32S serverPort) {
    pthread_t watchdog;
    if (pthread_create(&watchdog, nullptr, WatchdogThreadFunction, nullptr) != 0) {
        std::printf("Error: pthread_create failed\n");
        std::fflush(stdout);
        return -1;
    }
    pthread_detach(watchdog);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::printf("Error: could not create socket\n");
        std::fflush(stdout);
        return -2;
    }
    struct sockaddr_in server;
    std::memset(&server, 0, sizeof(server));
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(serverPort & 0xFFFF));
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&server), sizeof(server)) < 0) {
        std::printf("Error: bind failed (port %d is already in use)", serverPort);
        std::fflush(stdout);
        close(sock);
        return -3;
    }
    std::printf("Server running in port %d\n", serverPort);
    std::fflush(stdout);
    for (;;) {
        watchdogRxMsg.store(true);
        ServerRxFunction(sock);
    }
}

//////////////////////////////////////////////////////////////////////////////
// Version request
//////////////////////////////////////////////////////////////////////////////

INT32S GetKivoVersionGet(INT32S /*inputLength*/, INT8U* msg) {
    msg[3] = REPLY_VERSION;
    msg[4] = KIVO_VERSION_MAJOR;
    msg[5] = KIVO_VERSION_MINOR;
    msg[6] = KIVO_VERSION_BUILD;
    return 7;
}

//////////////////////////////////////////////////////////////////////////////
// Parameter requests (Get all, Get, Set, Factory reset)
//////////////////////////////////////////////////////////////////////////////

BOOLEAN ConfiglayerParamsInputBuild(INT32S paramslength, INT8U* msg, BOOLEAN withValues,
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

// The fields common to the four parameter requests.
struct ParamRequest {
    INT8U deviceType = 0;
    CHAR interfaceName[256] = {};
    CHAR password[256] = {};
    INT8U deviceMAC[6] = {};
    INT32U blockLength = 0;
    INT8U* block = nullptr;
};

// Reads a parameter request (with N and its block when withBlock) and applies its
// VLAN setting to LCMP, whatever the device type. False when a variable-length field
// runs past the datagram.
bool ParamRequestRead(INT32S inputLength, INT8U* msg, bool withBlock, ParamRequest& req) {
    RequestReader r(msg, inputLength, 5);
    req.deviceType = r.u8();
    const INT8U l = r.u8();
    const std::string ifname = r.text(l);
    const INT16U vlan = r.be16() & 0x0FFF;
    r.block(req.deviceMAC, 6);
    const INT8U p = r.u8();
    const std::string password = r.text(p);
    if (withBlock) {
        req.blockLength = r.be32();
        const INT8U* block = r.field(req.blockLength);
        req.block = const_cast<INT8U*>(block);
    }
    if (!r.ok()) return false;
    std::memcpy(req.interfaceName, ifname.c_str(), ifname.size() + 1);
    std::memcpy(req.password, password.c_str(), password.size() + 1);
    if (vlan != 0)
        LCMPVLANConfigure(TRUE, vlan, 0);
    else
        LCMPVLANConfigure(FALSE, 0, 0);
    return true;
}

enum class ParamOperation { GetAll, Get, Set, FactoryReset };

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
INT32S ConfiglayerRequest(ParamOperation op, ParamRequest& req, INT8U* msg) {
    t_configlayerParam* input = nullptr;
    if (op == ParamOperation::Get || op == ParamOperation::Set) {
        if (!ConfiglayerParamsInputBuild(static_cast<INT32S>(req.blockLength), req.block,
                                         op == ParamOperation::Set ? TRUE : FALSE, &input)) {
            ConfiglayerParamsDestroy(input);
            return ReplyCode(msg, REPLY_REFUSED);
        }
    } else if (op == ParamOperation::FactoryReset) {
        ConfiglayerParamAdd(&input, "FACTORYRESET.GENERAL.FORCE_RESET", "1");
    }
    t_device* device = nullptr;
    DeviceListAdd(&device, req.deviceMAC, req.interfaceName, nullptr, DEVICE_TORVIX_LCMP);
    t_configlayerParam* output = nullptr;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_BAD_ARGS;
    if (device != nullptr) {
        switch (op) {
            case ParamOperation::GetAll:
                result = ConfiglayerGetAll(device, CONFIGLAYER_PUBLIC, req.password, &output, FALSE);
                break;
            case ParamOperation::Get:
                result = ConfiglayerGet(device, CONFIGLAYER_PUBLIC, req.password, input, &output, FALSE);
                break;
            case ParamOperation::Set:
            case ParamOperation::FactoryReset:
                result = ConfiglayerSet(device, CONFIGLAYER_PUBLIC, req.password, input, &output);
                break;
        }
    }
    INT32S replyLength;
    if (op == ParamOperation::FactoryReset) {
        std::memset(msg, 0, KIVO_MESSAGE_SIZE);
        replyLength = ReplyCode(msg, result == CONFIGLAYER_ERROR_NONE ? REPLY_DONE : REPLY_FAILED);
    } else if (result == CONFIGLAYER_ERROR_NONE || result == CONFIGLAYER_ERROR_PARAM) {
        replyLength = ParamsReply(output, msg);
    } else {
        if (op == ParamOperation::Set) {
            std::printf("Configlayer error %d\n", static_cast<int>(result));
            std::fflush(stdout);
        }
        replyLength = ReplyCode(msg, REPLY_FAILED);
    }
    ConfiglayerParamsDestroy(output);
    ConfiglayerParamsDestroy(input);
    DeviceListFree(device);
    return replyLength;
}

INT32S ParamRequestHandle(ParamOperation op, INT32S inputLength, INT8U* msg) {
    ParamRequest req;
    const bool withBlock = op == ParamOperation::Get || op == ParamOperation::Set;
    if (!ParamRequestRead(inputLength, msg, withBlock, req)) return ReplyCode(msg, REPLY_REFUSED);
    switch (req.deviceType) {
        case DEVICE_TORVIX_LCMP: return ConfiglayerRequest(op, req, msg);
        case DEVICE_TORVIX_SCP: return ReplyCode(msg, REPLY_FAILED);
        default: return ReplyCode(msg, REPLY_REFUSED);
    }
}

}  // namespace

INT32S GetAllGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(ParamOperation::GetAll, inputLength, msg);
}
INT32S GetGet(INT32S inputLength, INT8U* msg) { return ParamRequestHandle(ParamOperation::Get, inputLength, msg); }
INT32S SetGet(INT32S inputLength, INT8U* msg) { return ParamRequestHandle(ParamOperation::Set, inputLength, msg); }
INT32S FactoryResetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(ParamOperation::FactoryReset, inputLength, msg);
}

//////////////////////////////////////////////////////////////////////////////
// Discover request
//////////////////////////////////////////////////////////////////////////////

INT32S DiscoverGet(INT32S /*inputLength*/, INT8U* /*msg*/) { return 1; }

//////////////////////////////////////////////////////////////////////////////
// Firmware server requests
//////////////////////////////////////////////////////////////////////////////

INT32S StartL2FwServerGet(INT32S /*inputLength*/, INT8U* /*msg*/) { return 1; }
INT32S StopL2FwServerGet(INT32S /*inputLength*/, INT8U* /*msg*/) { return 1; }
INT32S GetStatusL2FwServerGet(INT32S /*inputLength*/, INT8U* /*msg*/) { return 1; }

//////////////////////////////////////////////////////////////////////////////
// Entry point
//////////////////////////////////////////////////////////////////////////////

#ifndef KIVOHOST_NO_MAIN
namespace {
// atoi's reading of the port argument (leading decimal digits, 0 when there are
// none), without its undefined behaviour on overflow: the value wraps at 32 bits.
INT32S PortArgument(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    uint32_t value = 0;
    while (*text >= '0' && *text <= '9') value = value * 10u + static_cast<uint32_t>(*text++ - '0');
    return static_cast<INT32S>(negative ? 0u - value : value);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return StartServer(KIVO_DEFAULT_PORT);
    if (argc == 2) return StartServer(PortArgument(argv[1]));
    std::printf("Usage: %s <port>\n", argv[0]);
    std::fflush(stdout);
    return 0;
}
#endif
