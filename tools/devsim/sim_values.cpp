// Text to device value encoding for simulated devices (see sim_values.h).
#include "sim_values.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace devsim {

namespace {

const char* const kTypeNames[kLastValueType + 1] = {
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

enum TypeCode {
    kEvent = 0,
    kInt8s,
    kInt8u,
    kInt16s,
    kInt16u,
    kInt32s,
    kInt32u,
    kBool,
    kMac,
    kIp,
    kString,
    kIpv6,
    kFlupSrc,
    kNodeType,
    kMpp2igmp,
    kHwProd,
    kHwRevision,
    kAsic,
    kPowerSaving,
    kConsoleAuth,
    kForceNode,
    kSpeed,
    kDuplex,
    kIfaceType,
    kEthMode,
    kMicSize,
    kUartSpeed,
    kUartDataSize,
    kUartStopBit,
    kUartParity,
    kTime,
    kInt64u,
    kLogProtocol,
    kLogDestination,
    kCertifVersion,
    kFecRate,
    kVlanPortConfig,
};

struct EnumName {
    int type;
    uint32_t code;
    const char* name;
};

// The names the service shows for the codes of each enumerated type.
const EnumName kEnumNames[] = {
    {kFlupSrc, 0, "TFTP"},
    {kFlupSrc, 1, "FTP"},
    {kFlupSrc, 2, "L2"},
    {kNodeType, 1, "DOMAIN_MASTER"},
    {kNodeType, 2, "END_POINT"},
    {kConsoleAuth, 0, "LEGACY"},
    {kConsoleAuth, 1, "LOCAL"},
    {kConsoleAuth, 3, "RADIUS"},
    {kForceNode, 0, "NONE"},
    {kForceNode, 1, "DOMAIN_MASTER"},
    {kForceNode, 2, "END_POINT"},
    {kSpeed, 0, "100"},
    {kSpeed, 1, "1000"},
    {kSpeed, 2, "10"},
    {kSpeed, 3, "2500"},
    {kDuplex, 1, "HALF_DUPLEX"},
    {kDuplex, 2, "FULL_DUPLEX"},
    {kIfaceType, 1, "MII"},
    {kIfaceType, 2, "SSMII"},
    {kIfaceType, 3, "RGMII"},
    {kIfaceType, 4, "GMII"},
    {kIfaceType, 5, "SGMII"},
    {kEthMode, 1, "MAC"},
    {kEthMode, 2, "PHY"},
    {kMicSize, 1, "4"},
    {kMicSize, 3, "8"},
    {kMicSize, 7, "16"},
    {kUartSpeed, 1, "b150"},
    {kUartSpeed, 2, "b300"},
    {kUartSpeed, 3, "b600"},
    {kUartSpeed, 4, "b1200"},
    {kUartSpeed, 5, "b2400"},
    {kUartSpeed, 6, "b4800"},
    {kUartSpeed, 7, "b9600"},
    {kUartSpeed, 8, "b19k2"},
    {kUartSpeed, 9, "b38k4"},
    {kUartSpeed, 10, "b57k6"},
    {kUartSpeed, 11, "b115k2"},
    {kUartDataSize, 1, "bits5"},
    {kUartDataSize, 2, "bits6"},
    {kUartDataSize, 3, "bits7"},
    {kUartDataSize, 4, "bits8"},
    {kUartStopBit, 1, "stop1"},
    {kUartStopBit, 2, "stop2"},
    {kUartParity, 1, "none"},
    {kUartParity, 2, "even"},
    {kUartParity, 3, "odd"},
    {kLogProtocol, 0, "LOCAL"},
    {kLogProtocol, 1, "FTP"},
    {kLogDestination, 0, "LOCAL"},
    {kLogDestination, 1, "FTP"},
    {kCertifVersion, 0, "1.1"},
    {kCertifVersion, 1, "1.2"},
    {kCertifVersion, 2, "1.3"},
    {kFecRate, 1, "1/2"},
    {kFecRate, 2, "2/3"},
    {kFecRate, 3, "5/6"},
    {kFecRate, 4, "16/18"},
    {kFecRate, 5, "20/21"},
    {kVlanPortConfig, 0, "NONE"},
    {kVlanPortConfig, 1, "ACCESS"},
    {kVlanPortConfig, 2, "TRUNK"},
};

bool IsEnumType(int type) {
    switch (type) {
        case kFlupSrc:
        case kNodeType:
        case kConsoleAuth:
        case kForceNode:
        case kSpeed:
        case kDuplex:
        case kIfaceType:
        case kEthMode:
        case kMicSize:
        case kUartSpeed:
        case kUartDataSize:
        case kUartStopBit:
        case kUartParity:
        case kLogProtocol:
        case kLogDestination:
        case kCertifVersion:
        case kFecRate:
        case kVlanPortConfig:
            return true;
        default:
            return false;
    }
}

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        items.push_back(
            Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

void PutUint(std::vector<uint8_t>& out, uint64_t v, int bytes, ByteOrder order) {
    for (int i = 0; i < bytes; ++i) {
        int shift = order == ByteOrder::Big ? 8 * (bytes - 1 - i) : 8 * i;
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

bool ParseSigned(const std::string& t, long long min, long long max, long long& v) {
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtoll(t.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && v >= min && v <= max;
}

bool ParseUnsigned(const std::string& t, unsigned long long max, unsigned long long& v) {
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtoull(t.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && v <= max;
}

bool ParseRawHex(const std::string& text, std::vector<uint8_t>& out) {
    std::string digits = text.substr(2);
    if (digits.size() % 2 != 0) return false;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char pair[3] = {digits[i], digits[i + 1], 0};
        char* end = nullptr;
        unsigned long b = std::strtoul(pair, &end, 16);
        if (*end != '\0' || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ') return false;
        bytes.push_back(static_cast<uint8_t>(b));
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
}

bool EncodeNumberList(int type, const std::string& text, ByteOrder order, std::vector<uint8_t>& out,
                      std::string* error) {
    if (text.empty()) return true;  // an empty list
    for (const std::string& item : SplitList(text)) {
        long long s = 0;
        unsigned long long u = 0;
        bool ok = false;
        switch (type) {
            case kInt8s:
                ok = ParseSigned(item, -128, 127, s);
                PutUint(out, static_cast<uint64_t>(s), 1, order);
                break;
            case kInt8u:
                ok = ParseUnsigned(item, 0xFF, u);
                PutUint(out, u, 1, order);
                break;
            case kInt16s:
                ok = ParseSigned(item, -32768, 32767, s);
                PutUint(out, static_cast<uint64_t>(s), 2, order);
                break;
            case kInt16u:
                ok = ParseUnsigned(item, 0xFFFF, u);
                PutUint(out, u, 2, order);
                break;
            case kInt32s:
            case kAsic:
                ok = ParseSigned(item, -2147483648LL, 2147483647LL, s);
                PutUint(out, static_cast<uint64_t>(s), 4, order);
                break;
            case kInt32u:
            case kHwProd:
                ok = ParseUnsigned(item, 0xFFFFFFFFull, u);
                PutUint(out, u, 4, order);
                break;
            case kInt64u:
                ok = ParseUnsigned(item, ~0ull, u);
                PutUint(out, u, 8, order);
                break;
            case kEvent:
                ok = ParseUnsigned(item, 0xFF, u);
                PutUint(out, u, 1, order);
                break;
            default:
                break;
        }
        if (!ok) return Fail(error, "\"" + item + "\" is not a valid " + ValueTypeName(type) + " number");
    }
    return true;
}

bool EncodeMac(const std::string& item, std::vector<uint8_t>& out) {
    unsigned v[6];
    char extra;
    if (std::sscanf(item.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &extra) != 6)
        return false;
    for (unsigned b : v) out.push_back(static_cast<uint8_t>(b));
    return true;
}

bool EncodeTime(const std::string& text, ByteOrder order, std::vector<uint8_t>& out, std::string* error) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char day[4] = {0}, month[4] = {0};
    int mday = 0, hour = 0, min = 0, sec = 0, year = 0;
    char extra;
    if (std::sscanf(text.c_str(), "%3s %3s %d %d:%d:%d %d%c", day, month, &mday, &hour, &min, &sec, &year,
                    &extra) != 7)
        return Fail(error, "TIME must read like \"Tue Jan 2 03:04:05 2024\"");
    int wday = -1, mon = -1;
    for (int i = 0; i < 7; ++i)
        if (std::strcmp(day, days[i]) == 0) wday = i;
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(month, months[i]) == 0) mon = i;
    if (wday < 0 || mon < 0 || year < 1900 || year > 9999)
        return Fail(error, "TIME: unknown day or month name, or year out of range");
    const int fields[9] = {sec, min, hour, mday, mon, year - 1900, wday, 0, 0};
    for (int f : fields) PutUint(out, static_cast<uint32_t>(f), 4, order);
    return true;
}

}  // namespace

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

int ValueTypeFromName(const std::string& name) {
    for (int i = 0; i <= kLastValueType; ++i)
        if (name == kTypeNames[i]) return i;
    unsigned long long code = 0;
    if (ParseUnsigned(name, kLastValueType, code)) return static_cast<int>(code);
    return -1;
}

const char* ValueTypeName(int type) {
    return type >= 0 && type <= kLastValueType ? kTypeNames[type] : "?";
}

namespace {

bool EncodeBoolList(const std::string& text, std::vector<uint8_t>& out, std::string* error) {
    if (text.empty()) return true;
    for (const std::string& item : SplitList(text)) {
        if (item == "YES" || item == "1")
            out.push_back(1);
        else if (item == "NO" || item == "0")
            out.push_back(0);
        else
            return Fail(error, "\"" + item + "\" is not YES or NO");
    }
    return true;
}

// IP_ADDR or IPV6_ADDR lists.
bool EncodeAddressList(int type, const std::string& text, std::vector<uint8_t>& out, std::string* error) {
    if (text.empty()) return true;
    for (const std::string& item : SplitList(text)) {
        uint8_t addr[16];
        int family = type == kIp ? AF_INET : AF_INET6;
        if (inet_pton(family, item.c_str(), addr) != 1)
            return Fail(error, "\"" + item + "\" is not an " + ValueTypeName(type));
        out.insert(out.end(), addr, addr + (type == kIp ? 4 : 16));
    }
    return true;
}

bool EncodeRevision(const std::string& text, ByteOrder order, std::vector<uint8_t>& out, std::string* error) {
    size_t us = text.find('_');
    unsigned long long a = 0, b = 0;
    if (us == std::string::npos || !ParseUnsigned(text.substr(0, us), 0xFFFF, a) ||
        !ParseUnsigned(text.substr(us + 1), 0xFFFF, b))
        return Fail(error, "HW_REVISION must read A_B");
    // Shown as A_B: big-endian devices report A first, little-endian ones
    // report the field shown first at offset 2.
    if (order == ByteOrder::Big) {
        PutUint(out, a, 2, order);
        PutUint(out, b, 2, order);
    } else {
        PutUint(out, b, 2, order);
        PutUint(out, a, 2, order);
    }
    return true;
}

// An enumerated type: one of its names, or its code as a number.
bool EncodeEnum(int type, const std::string& text, ByteOrder order, std::vector<uint8_t>& out,
                std::string* error) {
    const int width = type == kConsoleAuth ? 1 : 4;
    for (const EnumName& e : kEnumNames) {
        if (e.type == type && text == e.name) {
            PutUint(out, e.code, width, order);
            return true;
        }
    }
    unsigned long long code = 0;
    if (ParseUnsigned(text, width == 1 ? 0xFF : 0xFFFFFFFFull, code)) {
        PutUint(out, code, width, order);
        return true;
    }
    return Fail(error, "\"" + text + "\" is no name of " + ValueTypeName(type));
}

}  // namespace

bool EncodeValue(int type, const std::string& rawText, ByteOrder order, std::vector<uint8_t>& out,
                 std::string* error) {
    out.clear();
    if (type < 0 || type > kLastValueType) return Fail(error, "unknown type");
    // Text values keep their blanks; everything else is read trimmed.
    const std::string text = type == kString ? rawText : Trim(rawText);
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (!ParseRawHex(text, out)) return Fail(error, "bad raw hex \"" + text + "\"");
        return true;
    }
    switch (type) {
        case kString:
            out.assign(text.begin(), text.end());
            return true;
        case kEvent:
        case kInt8s:
        case kInt8u:
        case kInt16s:
        case kInt16u:
        case kInt32s:
        case kInt32u:
        case kInt64u:
        case kAsic:
        case kHwProd:
            if ((type == kEvent || type == kAsic || type == kHwProd) && text.find(',') != std::string::npos)
                return Fail(error, std::string(ValueTypeName(type)) + " takes one number");
            if ((type == kEvent || type == kAsic || type == kHwProd) && text.empty())
                return Fail(error, std::string(ValueTypeName(type)) + " needs a number");
            return EncodeNumberList(type, text, order, out, error);
        case kBool:
            return EncodeBoolList(text, out, error);
        case kMac:
            if (text.empty()) return true;
            for (const std::string& item : SplitList(text))
                if (!EncodeMac(item, out)) return Fail(error, "\"" + item + "\" is not a MAC address");
            return true;
        case kIp:
        case kIpv6:
            return EncodeAddressList(type, text, out, error);
        case kHwRevision:
            return EncodeRevision(text, order, out, error);
        case kTime:
            return EncodeTime(text, order, out, error);
        case kMpp2igmp:
        case kPowerSaving:
            if (text.empty()) return true;
            return Fail(error, std::string(ValueTypeName(type)) + " takes raw hex (0x...) only");
        default:
            break;
    }
    if (IsEnumType(type)) return EncodeEnum(type, text, order, out, error);
    return Fail(error, "unknown type");
}

bool ParseParamLine(const std::string& line, ByteOrder order, ParamLine& out, std::string* error) {
    std::string t = Trim(line);
    size_t nameEnd = t.find_first_of(" \t");
    if (nameEnd == std::string::npos) return Fail(error, "expected NAME TYPE VALUE");
    std::string name = t.substr(0, nameEnd);
    size_t typeStart = t.find_first_not_of(" \t", nameEnd);
    size_t typeEnd = t.find_first_of(" \t", typeStart);
    std::string typeName =
        t.substr(typeStart, typeEnd == std::string::npos ? std::string::npos : typeEnd - typeStart);
    std::string value;
    if (typeEnd != std::string::npos) {
        size_t valueStart = t.find_first_not_of(" \t", typeEnd);
        if (valueStart != std::string::npos) value = t.substr(valueStart);
    }
    int type = ValueTypeFromName(typeName);
    if (type < 0) return Fail(error, "unknown type " + typeName);
    ParamLine entry;
    entry.name = std::move(name);
    entry.type = type;
    std::string why;
    if (!EncodeValue(type, value, order, entry.value, &why)) return Fail(error, entry.name + ": " + why);
    out = std::move(entry);
    return true;
}

}  // namespace devsim
