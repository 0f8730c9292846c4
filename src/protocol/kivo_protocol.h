// The request protocol between front-ends and kivohost, written down once: port,
// segmentation, request and reply codes and their names, reason codes and names, the
// parameter type names, MAC address text and the interface-name rule. The service, the
// client library, kivoctl and the test bed all take these from here, so that a code or a
// name cannot drift between the two ends. (The device simulator keeps its own codecs on
// purpose and does not use this header.)
//
// Header-only and free of the library: it sits below the service and the client.
#ifndef KIVO_PROTOCOL_H
#define KIVO_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::protocol {

// ---------------------------------------------------------------------------
// Transport

inline constexpr uint16_t kDefaultPort = 55567;
// Replies are cut into datagrams of at most this many bytes, each starting with the
// three-byte segment header (sequence number, segment count, segment number).
inline constexpr size_t kSegmentSize = 1400;
inline constexpr size_t kHeaderSize = 3;
inline constexpr size_t kSegmentPayload = kSegmentSize - kHeaderSize;
// The largest reply the service builds (header included).
inline constexpr size_t kMessageSize = 300000;
// The largest datagram a request can be (UDP over IPv4).
inline constexpr size_t kMaxDatagram = 65507;

// ---------------------------------------------------------------------------
// Requests (byte 4 of a request) and replies (byte 3 of a reply)

enum class RequestCode : uint8_t {
    kDiscover = 0,
    kGetAll = 2,
    kGet = 3,
    kSet = 4,
    kFactoryReset = 5,
    kFwStart = 6,
    kFwStop = 7,
    kFwStatus = 8,
    kVersion = 9,
    kFailureDetail = 0xF0,
    kDiscoverLcmp = 0xF1,
    kFwTransfers = 0xF2,   // every firmware transfer, running and recently finished
    kFwStopDevice = 0xF3,  // stop the transfer to one device, or all
};

enum class ReplyCode : uint8_t {
    kDone = 1,
    kRefused = 3,
    kFailed = 4,
    kDevices = 5,
    kScpData = 6,
    kParams = 7,
    kFwStatus = 8,
    kVersion = 9,
    kDetail = 0xF0,
    kFwTransfers = 0xF2,
};

// The one table of request names ("get all", "firmware status" ...): the service's log
// and failure texts start a sentence with them (RequestTitle), front-ends use them
// within one.
struct RequestInfo {
    RequestCode code;
    const char* name;
};
inline constexpr RequestInfo kRequests[] = {
    {RequestCode::kDiscover, "discover"},
    {RequestCode::kGetAll, "get all"},
    {RequestCode::kGet, "get"},
    {RequestCode::kSet, "set"},
    {RequestCode::kFactoryReset, "factory reset"},
    {RequestCode::kFwStart, "firmware start"},
    {RequestCode::kFwStop, "firmware stop"},
    {RequestCode::kFwStatus, "firmware status"},
    {RequestCode::kVersion, "version"},
    {RequestCode::kFailureDetail, "failure detail"},
    {RequestCode::kDiscoverLcmp, "LCMP discover"},
    {RequestCode::kFwTransfers, "firmware transfers"},
    {RequestCode::kFwStopDevice, "firmware stop by device"},
};

// The request's name; "request" for a code outside the table.
constexpr std::string_view RequestName(RequestCode code) {
    for (const RequestInfo& r : kRequests)
        if (r.code == code) return r.name;
    return "request";
}
// The same at the start of a sentence: "Get all", "LCMP discover", "Request".
inline std::string RequestTitle(RequestCode code) {
    std::string t(RequestName(code));
    if (t[0] >= 'a' && t[0] <= 'z') t[0] = static_cast<char>(t[0] - 'a' + 'A');
    return t;
}

// Name of a reply code ("FAILED", "PARAMS" ...); empty for a code outside the table.
constexpr std::string_view ReplyCodeName(uint8_t code) {
    switch (static_cast<ReplyCode>(code)) {
        case ReplyCode::kDone:
            return "DONE";
        case ReplyCode::kRefused:
            return "REFUSED";
        case ReplyCode::kFailed:
            return "FAILED";
        case ReplyCode::kDevices:
            return "DEVICES";
        case ReplyCode::kScpData:
            return "SCP_DATA";
        case ReplyCode::kParams:
            return "PARAMS";
        case ReplyCode::kFwStatus:
            return "FW_STATUS";
        case ReplyCode::kVersion:
            return "VERSION";
        case ReplyCode::kDetail:
            return "DETAIL";
        case ReplyCode::kFwTransfers:
            return "FW_TRANSFERS";
    }
    return {};
}

// ---------------------------------------------------------------------------
// Device records of the discovery replies, and firmware transfers

enum class DeviceKind : uint8_t { kBootRom = 0, kBootRomV3 = 1, kScp = 2, kLcmp = 3 };
// "bootrom", "bootrom-v3", "scp", "lcmp", or "type N".
inline std::string DeviceKindName(uint8_t type) {
    constexpr const char* kNames[] = {"bootrom", "bootrom-v3", "scp", "lcmp"};
    return type < std::size(kNames) ? kNames[type] : "type " + std::to_string(type);
}

enum class FwState : uint8_t {
    kIdle = 0,
    kWaiting = 1,
    kUpgrading = 2,
    kLoader = 3,
    kFirmware = 4,
    kSucceeded = 5,
    kFailed = 6,
};
// "idle", "waiting", "upgrading", "loader", "firmware", "succeeded", "failed", or "state N".
inline std::string FwStateName(uint8_t state) {
    constexpr const char* kNames[] = {"idle",     "waiting",   "upgrading", "loader",
                                      "firmware", "succeeded", "failed"};
    return state < std::size(kNames) ? kNames[state] : "state " + std::to_string(state);
}
// A sentence for people: "waiting for the device to ask for a file ..." ...
inline std::string FwStateDescription(uint8_t state) {
    constexpr const char* kTexts[] = {
        "idle: no transfer since the service started",
        "waiting for the device to ask for a file (a boot ROM: to announce itself)",
        "sending the firmware image",
        "sending the Ethernet loader",
        "sending the chunked firmware",
        "the last transfer succeeded",
        "the last transfer failed or was stopped",
    };
    return state < std::size(kTexts) ? kTexts[state] : "unknown state " + std::to_string(state);
}

enum class FwKind : uint8_t { kUpgrade = 1, kBoot = 2 };
// "upgrade", "boot", or "kind N".
inline std::string FwKindName(uint8_t kind) {
    if (kind == static_cast<uint8_t>(FwKind::kUpgrade)) return "upgrade";
    if (kind == static_cast<uint8_t>(FwKind::kBoot)) return "boot";
    return "kind " + std::to_string(kind);
}

// ---------------------------------------------------------------------------
// Reasons: why a request failed, as the failure detail (request 0xF0) reports it.
// Codes front-ends see; never renumber, only append.

enum class Reason : uint16_t {
    kNone = 0,
    kNoInterface = 1,        // no interface of that name
    kInterfaceDown = 2,      // the interface exists but is down
    kNoPermission = 3,       // raw sockets need CAP_NET_RAW
    kNoAnswer = 4,           // the device did not answer in time
    kDeviceRefused = 5,      // the device answered with an error status
    kInvalidValue = 6,       // a value does not fit its parameter's type
    kRequestTooLarge = 7,    // the request does not fit the protocol's limits
    kFileMissing = 8,        // firmware or loader file does not exist
    kFileNotRegular = 9,     // ... is a directory, a device, ...
    kFileUnreadable = 10,    // ... cannot be read (permissions, I/O error)
    kFileTooLarge = 11,      // ... larger than a transfer can carry
    kFileBadMagic = 12,      // ... does not start with the firmware magic word
    kNoFileRequest = 13,     // the device did not ask for the file in time
    kAckMissing = 14,        // acknowledgements stopped during a transfer
    kCancelled = 15,         // stopped on request
    kNotAllowed = 16,        // the requester may not do this
    kIncompleteAnswer = 17,  // parts of the device's answer were lost
    kMalformedRequest = 18,  // the request is not well formed
    kBusy = 19,              // another operation is running
    kNoDevice = 20,          // nothing answered a discovery
    kInternal = 21,          // out of memory, no thread, ...
    kFileEmpty = 22,         // firmware, loader or image file holds no byte
    kPasswordRejected = 23,  // the device answers, but not to requests under this password
};

// The table's name of a reason ("no answer"); "unknown" for a code outside the table.
constexpr const char* ReasonName(uint16_t code) {
    constexpr const char* kNames[] = {
        "none",
        "no such interface",
        "interface down",
        "no permission",
        "no answer",
        "device refused",
        "value not valid",
        "request too large",
        "file missing",
        "not a regular file",
        "file unreadable",
        "file too large",
        "bad magic word",
        "no file request",
        "acknowledgement missing",
        "cancelled",
        "not allowed",
        "incomplete answer",
        "malformed request",
        "busy",
        "no device",
        "internal error",
        "file empty",
        "password rejected",
    };
    return code < std::size(kNames) ? kNames[code] : "unknown";
}
constexpr const char* ReasonName(Reason reason) {
    return ReasonName(static_cast<uint16_t>(reason));
}

// ---------------------------------------------------------------------------
// Parameter types of the PARAMS records (and of the LCMP configuration layer)

inline constexpr std::array<std::string_view, 37> kTypeNames = {
    "EVENT",
    "INT8S",
    "INT8U",
    "INT16S",
    "INT16U",
    "INT32S",
    "INT32U",
    "BOOL",
    "MAC_ADDR",
    "IP_ADDR",
    "STRING",
    "IPV6_ADDR",
    "FLUP_SRC",
    "NODE_NODE_TYPE",
    "MPP2IGMP_PORT",
    "HW_PROD",
    "HW_REVISION",
    "ASIC",
    "POWERSAVINGMODE",
    "CONSOLE_AUTHMETHOD",
    "FORCE_NODE",
    "ETHIFDRIVER_SPEED",
    "ETHIFDRIVER_DUPLEX",
    "ETHIFDRIVER_IFACETYPE",
    "ETHIFDRIVER_MODE",
    "AKM_MICSIZE",
    "UART_SPEED",
    "UART_DATA_SIZE",
    "UART_STOP_BIT",
    "UART_PARITY",
    "TIME",
    "INT64U",
    "LOGFILE_PROTOCOL",
    "LOGFILE_DESTINATION",
    "HGF_CERTIF_VERSION",
    "FEC_RATE",
    "VLAN_PORT_CONFIG",
};
// Markers of the record type field: the parameter was written / refused.
inline constexpr uint8_t kTypeSetOk = 254;
inline constexpr uint8_t kTypeError = 255;

// "INT16U", "SET_OK", "ERROR" ..., or an empty text for a code without a name.
constexpr std::string_view TypeName(uint8_t type) {
    if (type < kTypeNames.size()) return kTypeNames[type];
    if (type == kTypeSetOk) return "SET_OK";
    if (type == kTypeError) return "ERROR";
    return {};
}

// ---------------------------------------------------------------------------
// Addresses and names

using Mac = std::array<uint8_t, 6>;

// "02:00:00:00:10:01" (lower case).
inline std::string MacText(const uint8_t* mac) {
    char buf[18];
    std::snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return buf;
}
inline std::string MacText(const Mac& mac) {
    return MacText(mac.data());
}

// Accepts 02:00:00:00:00:01 and 02-00-00-00-00-01 (either case, one separator
// throughout); nullopt otherwise.
constexpr std::optional<Mac> ParseMac(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    const char sep = text[2];
    if (sep != ':' && sep != '-') return std::nullopt;
    Mac mac{};
    for (size_t i = 0; i < 6; ++i) {
        const int hi = hex(text[3 * i]);
        const int lo = hex(text[3 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        if (i < 5 && text[3 * i + 2] != sep) return std::nullopt;
        mac[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return mac;
}

// A device has an individual address: the group bit (broadcast, multicast) is never one.
constexpr bool IsDeviceAddress(const Mac& mac) {
    return (mac[0] & 0x01) == 0;
}
// The refusal a front-end shows for a group address given as a device's.
inline std::string GroupAddressRefusal(const Mac& mac) {
    return MacText(mac) +
           " is a group (broadcast or multicast) address, not a device's: give the device's own MAC";
}

// Interface names travel with a one-byte length; the kernel takes at most 15 bytes
// (IFNAMSIZ - 1), and a name with a zero byte inside could never be one. A name that does
// not fit an interface request with its terminator would be cut and could name another
// interface: the service and the library take no other.
inline constexpr size_t kMaxInterfaceName = 15;
constexpr bool InterfaceNameFits(std::string_view name) {
    return !name.empty() && name.size() <= kMaxInterfaceName && name.find('\0') == std::string_view::npos;
}
// What front-ends take as an interface name: one that fits and that the kernel could have
// given a link: not "." or "..", without '/', ':', blanks or control characters.
constexpr bool InterfaceNameValid(std::string_view name) {
    if (!InterfaceNameFits(name) || name == "." || name == "..") return false;
    for (const char c : name)
        if (c == '/' || c == ':' || c == ' ' || c == 0x7F || (c >= 0 && c < ' ')) return false;
    return true;
}

}  // namespace kivo::protocol

#endif
