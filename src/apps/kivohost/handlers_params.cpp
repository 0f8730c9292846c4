// The parameter requests (Get all, Get, Set, Factory reset) on LCMP and SCP devices.
#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "byte_io.h"
#include "configlayer.h"
#include "device.h"
#include "kivohost.h"
#include "log.h"
#include "mac_discover.h"
#include "scp_client_legacy.h"
#include "service_internal.h"

using namespace kivo::service;

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

HandlerReply TooLarge(INT8U* msg) {
    return {ReplyCode(msg, REPLY_FAILED),
            kivo::Because(kivo::Reason::kRequestTooLarge,
                          "the device's answer does not fit one reply: ask for fewer parameters at a time")};
}

// Reply with the SCP info data: code, 32-bit length, data; REPLY_FAILED for data that
// would not fit the buffer.
HandlerReply ScpDataReply(INT8U* msg, const INT8U* info, INT32U infoLength) {
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_SCP_DATA);
    w.be32(infoLength);
    w.bytes(info, infoLength);
    if (!w.ok()) return TooLarge(msg);
    return {static_cast<INT32S>(w.pos()), {}};
}

// The SCP path of the four parameter requests.
HandlerReply ScpParamRequest(INT8U code, ParamRequest& req, INT8U* msg) {
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
    std::array<uint8_t, 6> mac;
    std::copy(std::begin(req.deviceMac), std::end(req.deviceMac), mac.begin());
    const kivo::scp::Session session(req.ifName, mac, ScpSettings());
    const kivo::scp::Answer answer = session.Run(op, req.password, std::span<const INT8U>(data, dataLength));
    const kivo::Status& why = answer.result;
    if (code == REQUEST_FACTORY_RESET) {
        // Only a reset the device confirmed counts as done; a status of failure for
        // the reset parameter is a failure.
        return {ReplyCode(msg, answer.result == SCP_ERROR_NONE ? REPLY_DONE : REPLY_FAILED), why};
    }
    if (answer.result != SCP_ERROR_NONE && answer.result != SCP_ERROR_PARAM_OP_FAILED)
        return {ReplyCode(msg, REPLY_FAILED), why};
    HandlerReply reply = ScpDataReply(msg, answer.info.data(), static_cast<INT32U>(answer.info.size()));
    reply.why.Follows(why);
    return reply;
}

// Writes a REPLY_PARAMS reply with the records of params, or REPLY_FAILED when the
// records would not fit the buffer.
HandlerReply ParamsReply(const t_configlayerParam* params, INT8U* msg) {
    INT32U length = 0;
    if (!ConfiglayerResponseToMessage(params, &length, msg + 8, KIVO_MESSAGE_SIZE - 8)) return TooLarge(msg);
    kivo::ByteWriter w(msg, 8);
    w.seek(3);
    w.u8(REPLY_PARAMS);
    w.be32(length);
    return {static_cast<INT32S>(8 + length), {}};
}

// The LCMP path of a parameter request: one configuration-layer operation on the
// device named in the request, answered with its parameter records.
HandlerReply ConfiglayerRequest(INT8U code, ParamRequest& req, const t_configlayerOptions& options,
                                INT8U* msg) {
    t_configlayerParam* input = nullptr;
    if (code == REQUEST_GET || code == REQUEST_SET) {
        if (!ConfiglayerParamsInputBuild(static_cast<INT32S>(req.blockLength), req.block,
                                         code == REQUEST_SET ? TRUE : FALSE, &input)) {
            ConfiglayerParamsDestroy(input);
            return {ReplyCode(msg, REPLY_REFUSED),
                    kivo::Because(
                        kivo::Reason::kMalformedRequest,
                        "the parameter block is not well formed: every name%s must end with a zero byte",
                        code == REQUEST_SET ? " and every value" : "")};
        }
    } else if (code == REQUEST_FACTORY_RESET) {
        ConfiglayerParamAdd(&input, "FACTORYRESET.GENERAL.FORCE_RESET", "1");
    }
    t_device* device = nullptr;
    DeviceListAdd(&device, req.deviceMac, req.ifName, nullptr, DEVICE_TORVIX_LCMP);
    t_configlayerParam* output = nullptr;
    kivo::Status result(CONFIGLAYER_ERROR_BAD_ARGS);
    if (device != nullptr) {
        switch (code) {
            case REQUEST_GET_ALL:
                result = ConfiglayerGetAll(device, CONFIGLAYER_PUBLIC, req.password, &output, FALSE, options);
                break;
            case REQUEST_GET:
                result =
                    ConfiglayerGet(device, CONFIGLAYER_PUBLIC, req.password, input, &output, FALSE, options);
                break;
            case REQUEST_SET:
            case REQUEST_FACTORY_RESET:
                result = ConfiglayerSet(device, CONFIGLAYER_PUBLIC, req.password, input, &output, options);
                break;
        }
    }
    HandlerReply reply;
    if (code == REQUEST_FACTORY_RESET) {
        reply.length = ReplyCode(msg, result == CONFIGLAYER_ERROR_NONE ? REPLY_DONE : REPLY_FAILED);
    } else if (result == CONFIGLAYER_ERROR_NONE || result == CONFIGLAYER_ERROR_PARAM) {
        reply = ParamsReply(output, msg);
    } else {
        if (code == REQUEST_SET) {
            kivo::Log(kivo::LogStream::kOut, "Configlayer error %d\n", static_cast<int>(result.code));
        }
        reply.length = ReplyCode(msg, REPLY_FAILED);
    }
    ConfiglayerParamsDestroy(output);
    ConfiglayerParamsDestroy(input);
    DeviceListFree(device);
    reply.why.Follows(result);
    return reply;
}

// Whether the device answers on the request's interface when asked in the clear: an
// LCMP device the public read of LCMP discovery, an SCP device the MAC discovery probe.
// Nullopt when the question could not be asked.
std::optional<bool> DeviceAnswersInTheClear(const ParamRequest& req, const t_configlayerOptions& options) {
    if (req.deviceType == DEVICE_TORVIX_LCMP) {
        BOOLEAN answers = FALSE;
        if (!ConfiglayerDeviceAnswers(req.ifName, req.deviceMac, &answers, options).ok()) return std::nullopt;
        return answers != FALSE;
    }
    // SCP frames are never tagged: neither is this probe.
    t_device* devices = nullptr;
    kivo::discovery::MacDiscovery discovery(DiscoverySettingsUntagged());
    // The probe's own failures are not the request's.
    if (discovery.Run(req.ifName, true, &devices) != MACDISCOVER_ERROR_NONE) {
        DeviceListFree(devices);
        return std::nullopt;
    }
    bool answers = false;
    for (const t_device* d = devices; d != nullptr; d = d->next)
        if (d->type == DEVICE_TORVIX_SCP && std::memcmp(d->deviceMACAddr, req.deviceMac, 6) == 0)
            answers = true;
    DeviceListFree(devices);
    return answers;
}

// A device drops a request enciphered under a password it does not have, so a wrong
// password and an absent device both look like silence. The first thing a technician
// needs is which of the two it is: on the failure path only, one exchange in the clear
// (which every device answers, whatever its password) tells them apart. The words of the
// silence, replaced by better ones when the probe could be made.
kivo::Status SilenceExplain(INT8U code, const ParamRequest& req, const t_configlayerOptions& options,
                            kivo::Status silence) {
    if (silence.reason != kivo::Reason::kNoAnswer) return silence;
    // SCP reads travel in the clear: their silence is already the answer.
    const bool enciphered =
        req.deviceType == DEVICE_TORVIX_LCMP || code == REQUEST_SET || code == REQUEST_FACTORY_RESET;
    std::optional<bool> answers = false;
    if (enciphered) {
        // The probe's own failures are not the request's.
        answers = DeviceAnswersInTheClear(req, options);
        if (!answers) return silence;
    }
    const std::string mac = kivo::protocol::MacText(req.deviceMac);
    std::string where = req.ifName;
    if (req.vlanId != 0 && req.deviceType == DEVICE_TORVIX_LCMP)
        where += " (VLAN " + std::to_string(req.vlanId) + ")";
    if (*answers)
        return kivo::Because(
            kivo::Reason::kPasswordRejected,
            "device %s answers on %s but not to requests under this password: check the password",
            mac.c_str(), where.c_str());
    return kivo::Because(kivo::Reason::kNoAnswer,
                         "no device %s answers on %s: check the MAC address, the interface and the cabling",
                         mac.c_str(), where.c_str());
}

// Common handling of requests 2 to 5: read the request, then branch on the device type.
HandlerReply ParamRequestHandle(INT8U code, INT32S inputLength, INT8U* msg) {
    ParamRequest req;
    const bool withBlock = code == REQUEST_GET || code == REQUEST_SET;
    if (!ParamRequestRead(inputLength, msg, withBlock, req))
        return {ReplyCode(msg, REPLY_REFUSED), Malformed(RequestName(code))};
    // The request's VLAN id applies to LCMP traffic from now on, whatever the device
    // type; an id that cannot be tagged leaves the previous choice. SCP frames are never
    // tagged.
    const t_configlayerOptions options = ConfiglayerOptionsFor(LcmpVlanChoose(req.vlanId));
    HandlerReply reply;
    switch (req.deviceType) {
        case DEVICE_TORVIX_SCP:
            reply = ScpParamRequest(code, req, msg);
            break;
        case DEVICE_TORVIX_LCMP:
            reply = ConfiglayerRequest(code, req, options, msg);
            break;
        default:
            return {
                ReplyCode(msg, REPLY_REFUSED),
                kivo::Because(kivo::Reason::kMalformedRequest,
                              "unknown device type %u: use %d for SCP devices or %d for LCMP devices",
                              static_cast<unsigned>(req.deviceType), DEVICE_TORVIX_SCP, DEVICE_TORVIX_LCMP)};
    }
    if (reply.length == 4 && msg[3] == REPLY_FAILED) {
        reply.why = SilenceExplain(code, req, options, std::move(reply.why));
        reply.why.Explain(LinkFailure(req.ifName, req.deviceMac));
    }
    return reply;
}

}  // namespace

HandlerReply GetAllGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_GET_ALL, inputLength, msg);
}
HandlerReply GetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_GET, inputLength, msg);
}
HandlerReply SetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_SET, inputLength, msg);
}
HandlerReply FactoryResetGet(INT32S inputLength, INT8U* msg) {
    return ParamRequestHandle(REQUEST_FACTORY_RESET, inputLength, msg);
}
