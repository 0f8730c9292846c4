// Parameter value types and the conversions between binary values and text.
//
// The rendering and parsing rules live here once, parameterised by a Codec (byte
// order, product table, ETHIFDRIVER_SPEED names, MAC syntax); the LCMP path below
// and the legacy SCP path (conversion_legacy.cpp) are thin front ends over them.
#include "conversion.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_io.h"
#include "conversion_internal.h"
#include "kivo_protocol.h"

namespace kivo::config {

// ---------------------------------------------------------------------------
// Tables
namespace {

struct EnumName {
    INT32U code;
    const CHAR* name;
};

struct EnumTable {
    std::span<const EnumName> names;
    const CHAR* fallback;  // text of a code that has no name
};

constexpr const CHAR* kUnknown = "Unknown";
constexpr const CHAR* kQuestion = "???";
constexpr const CHAR* kEmpty = "";

constexpr EnumName kFlupSrc[] = {{0, "TFTP"}, {1, "FTP"}, {2, "L2"}};
constexpr EnumName kNodeType[] = {{1, "DOMAIN_MASTER"}, {2, "END_POINT"}};
constexpr EnumName kAuthRender[] = {{0, "LEGACY"}, {1, "LOCAL"}, {3, "RADIUS"}};
// Devices take RADIUS as 2 when it is written, and report it as 3.
constexpr EnumName kAuthParse[] = {{0, "LEGACY"}, {1, "LOCAL"}, {2, "RADIUS"}};
constexpr EnumName kForceNode[] = {{0, "NONE"}, {1, "DOMAIN_MASTER"}, {2, "END_POINT"}};
constexpr EnumName kSpeed[] = {{0, "100"}, {1, "1000"}, {2, "10"}, {3, "2500"}};
constexpr EnumName kSpeedLegacy[] = {{0, "100"}, {1, "1000"}, {2, "10"}};
constexpr EnumName kDuplex[] = {{1, "HALF_DUPLEX"}, {2, "FULL_DUPLEX"}};
constexpr EnumName kIfaceType[] = {{1, "MII"}, {2, "SSMII"}, {3, "RGMII"}, {4, "GMII"}, {5, "SGMII"}};
constexpr EnumName kIfMode[] = {{1, "MAC"}, {2, "PHY"}};
constexpr EnumName kMicSize[] = {{1, "4"}, {3, "8"}, {7, "16"}};
constexpr EnumName kUartSpeed[] = {{1, "b150"},  {2, "b300"},   {3, "b600"},   {4, "b1200"},
                                   {5, "b2400"}, {6, "b4800"},  {7, "b9600"},  {8, "b19k2"},
                                   {9, "b38k4"}, {10, "b57k6"}, {11, "b115k2"}};
constexpr EnumName kUartDataSize[] = {{1, "bits5"}, {2, "bits6"}, {3, "bits7"}, {4, "bits8"}};
constexpr EnumName kUartStopBit[] = {{1, "stop1"}, {2, "stop2"}};
constexpr EnumName kUartParity[] = {{1, "none"}, {2, "even"}, {3, "odd"}};
constexpr EnumName kLogfile[] = {{0, "LOCAL"}, {1, "FTP"}};
constexpr EnumName kCertif[] = {{0, "1.1"}, {1, "1.2"}, {2, "1.3"}};
constexpr EnumName kFecRate[] = {{1, "1/2"}, {2, "2/3"}, {3, "5/6"}, {4, "16/18"}, {5, "20/21"}};
constexpr EnumName kVlanPort[] = {{0, "NONE"}, {1, "ACCESS"}, {2, "TRUNK"}};

// Table of an enumerated type; null for any other type.
const EnumTable* EnumTableOf(const Codec& codec, INT32U type, bool forParsing) {
    static const EnumTable flup{kFlupSrc, kUnknown}, node{kNodeType, kUnknown}, authR{kAuthRender, kUnknown},
        authP{kAuthParse, kUnknown}, force{kForceNode, kEmpty}, speed{kSpeed, kUnknown},
        speedLegacy{kSpeedLegacy, kUnknown}, duplex{kDuplex, kUnknown}, iface{kIfaceType, kUnknown},
        mode{kIfMode, kUnknown}, mic{kMicSize, kUnknown}, uSpeed{kUartSpeed, kEmpty},
        uData{kUartDataSize, kEmpty}, uStop{kUartStopBit, kEmpty}, uParity{kUartParity, kEmpty},
        logP{kLogfile, kQuestion}, logD{kLogfile, kQuestion}, certif{kCertif, kQuestion},
        fec{kFecRate, kQuestion}, vlan{kVlanPort, kQuestion};
    switch (type) {
        case PARAM_TYPE_FLUP_SRC:
            return &flup;
        case PARAM_TYPE_NODE_NODE_TYPE:
            return &node;
        case PARAM_TYPE_CONSOLE_AUTHMETHOD:
            return forParsing ? &authP : &authR;
        case PARAM_TYPE_FORCE_NODE:
            return &force;
        case PARAM_TYPE_ETHIFDRIVER_SPEED:
            return codec.speed2500 ? &speed : &speedLegacy;
        case PARAM_TYPE_ETHIFDRIVER_DUPLEX:
            return &duplex;
        case PARAM_TYPE_ETHIFDRIVER_IFACETYPE:
            return &iface;
        case PARAM_TYPE_ETHIFDRIVER_MODE:
            return &mode;
        case PARAM_TYPE_AKM_MICSIZE:
            return &mic;
        case PARAM_TYPE_UART_SPEED:
            return &uSpeed;
        case PARAM_TYPE_UART_DATA_SIZE:
            return &uData;
        case PARAM_TYPE_UART_STOP_BIT:
            return &uStop;
        case PARAM_TYPE_UART_PARITY:
            return &uParity;
        case PARAM_TYPE_LOGFILE_PROTOCOL:
            return &logP;
        case PARAM_TYPE_LOGFILE_DESTINATION:
            return &logD;
        case PARAM_TYPE_HGF_CERTIF_VERSION:
            return &certif;
        case PARAM_TYPE_FEC_RATE:
            return &fec;
        case PARAM_TYPE_VLAN_PORT_CONFIG:
            return &vlan;
        default:
            return nullptr;
    }
}

// Messages of the device's error codes, indexed by n of the status -n.
constexpr const CHAR* kDeviceErrors[78] = {
    nullptr,
    "Requested action not supported",
    "Component not initialized",
    "Component not started",
    "Wrong parameter",
    "Not enough memory",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Unknown error",
    "Trying to install a group twice",
    "Trying to install a Subgroup twice",
    "Searching for a group that has not been installed",
    "Searching for a subgroup that has not been installed",
    "Searching for a parameter that has not been installed",
    "Parameter not in cache",
    "Error detected when calling param set function",
    "Error detected when calling param change function",
    "Error detected when calling param get function",
    "Could not find a parameter matching an old parameter string",
    "Could not find a parameter matching an old parameter code",
    "Could not convert an old parameter value to the new format",
    "No 'set' function callback was registered for the parameter",
    "No 'get' function callback was registered for the parameter",
    "Cannot register 'get' function for non readable parameter",
    "Cannot register 'set' function for non writable parameter",
    "Cannot open configuration file",
    "The configuration file is corrupt",
    "There are no more parameters in the config file for the current subgroup",
    "There is no such group in the configuration file",
    "There is no such subgroup in the configuration file",
    "There is no such param in the configuration file",
    "The stored flag for the parameter is not set. File operation failed",
    "Trying to perform an operation without the necessary permits",
    "Cannot open file to dump information",
    "Private file hash is not correct",
    "Index used for a parameter is larger than number of elements",
    "Callback passed not registered for this parameter",
    "Parameter cannot be set via scp",
    "There was an error during the process of updating the config files",
    "There was an error during the process of adding a new parameter type",
    "A parameter has been defined with too many '_' in it",
    "The parameter cannot be configured via TXT files",
    "A parameter with STORED flag on cannot change its size at run time",
    "Trying to perform an operation with wrong permit set",
    "There is some error in the parameter documentation. It must not be left empty",
    "Invalid value detected when calling param value check function",
    "Invalid Store operation over a non STORED parameter",
    "Failure accessing configuration file",
    "Failure accessing configuration file",
    "A subgroup in file is corrupted (sizes don't match)",
    "The LCMP message content is too large",
    nullptr,
    nullptr,
    nullptr,
    "LCMP failed due Remote File Access",
};

constexpr const CHAR* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const CHAR* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr CHAR kHexDigits[] = "0123456789ABCDEF";

// ---------------------------------------------------------------------------
// Rendering

// The caller's text area. Keeps the text terminated and never writes past cap; room()
// is what can still be appended with the terminator.
class TextSink {
   public:
    TextSink(CHAR* out, size_t cap) : out_(out), cap_(out ? cap : 0) {
        if (cap_) out_[0] = '\0';
    }
    size_t room() const { return cap_ ? cap_ - 1 - len_ : 0; }
    size_t length() const { return len_; }
    // Appends all n characters or nothing.
    bool put(const CHAR* s, size_t n) {
        if (n > room()) return false;
        if (cap_ == 0) return true;  // an empty text into no area at all
        if (n) std::memcpy(out_ + len_, s, n);
        len_ += n;
        out_[len_] = '\0';
        return true;
    }
    bool put(const CHAR* s) { return put(s, std::strlen(s)); }
    // Appends as much of the n characters as fits.
    void putCut(const CHAR* s, size_t n) { put(s, n < room() ? n : room()); }

   private:
    CHAR* out_;
    size_t cap_;
    size_t len_ = 0;
};

INT16U load16(const INT8U* p, ByteOrder o) {
    return o == ByteOrder::Little ? loadLe16(p) : loadBe16(p);
}
INT32U load32(const INT8U* p, ByteOrder o) {
    return o == ByteOrder::Little ? loadLe32(p) : loadBe32(p);
}
INT64U load64(const INT8U* p, ByteOrder o) {
    return o == ByteOrder::Little ? loadLe64(p) : loadBe64(p);
}

// Number formatting into a buffer of at least 24 characters; returns the length.
template <typename T>
size_t FormatNumber(CHAR* buf, T v) {
    return static_cast<size_t>(std::to_chars(buf, buf + 24, v).ptr - buf);
}

size_t FormatHexByte(CHAR* buf, INT8U b) {
    buf[0] = kHexDigits[b >> 4];
    buf[1] = kHexDigits[b & 0x0F];
    return 2;
}

// Element size of a list type, 0 for types that are not lists.
size_t ListElementSize(INT32U type) {
    switch (type) {
        case PARAM_TYPE_INT8S:
        case PARAM_TYPE_INT8U:
        case PARAM_TYPE_BOOL:
            return 1;
        case PARAM_TYPE_INT16S:
        case PARAM_TYPE_INT16U:
            return 2;
        case PARAM_TYPE_INT32S:
        case PARAM_TYPE_INT32U:
        case PARAM_TYPE_IP_ADDR:
            return 4;
        case PARAM_TYPE_MAC_ADDR:
            return 6;
        case PARAM_TYPE_INT64U:
            return 8;
        case PARAM_TYPE_IPV6_ADDR:
            return 16;
        default:
            return 0;
    }
}

// Formats one list element (at most 39 characters) into buf; returns its length.
// Sets skip for an element that is left out altogether (a filtered MAC address).
size_t FormatElement(INT32U type, const INT8U* p, ByteOrder o, bool filterMac, CHAR* buf, bool& skip) {
    skip = false;
    switch (type) {
        case PARAM_TYPE_INT8S:
            return FormatNumber(buf, static_cast<int>(static_cast<INT8S>(p[0])));
        case PARAM_TYPE_INT8U:
            return FormatNumber(buf, static_cast<unsigned>(p[0]));
        case PARAM_TYPE_INT16S:
            return FormatNumber(buf, static_cast<int>(static_cast<INT16S>(load16(p, o))));
        case PARAM_TYPE_INT16U:
            return FormatNumber(buf, static_cast<unsigned>(load16(p, o)));
        case PARAM_TYPE_INT32S:
            return FormatNumber(buf, static_cast<INT32S>(load32(p, o)));
        case PARAM_TYPE_INT32U:
            return FormatNumber(buf, load32(p, o));
        case PARAM_TYPE_INT64U:
            return FormatNumber(buf, load64(p, o));
        case PARAM_TYPE_BOOL:
            if (p[0] == 1) return std::memcpy(buf, "YES", 3), 3;
            if (p[0] == 0) return std::memcpy(buf, "NO", 2), 2;
            return 0;  // neither: no characters, the separators stay
        case PARAM_TYPE_MAC_ADDR: {
            if (filterMac && (p[0] | p[1] | p[2] | p[3] | p[4] | p[5]) == 0) {
                skip = true;
                return 0;
            }
            size_t n = 0;
            for (int i = 0; i < 6; ++i) {
                if (i) buf[n++] = ':';
                n += FormatHexByte(buf + n, p[i]);
            }
            return n;
        }
        case PARAM_TYPE_IP_ADDR: {
            size_t n = 0;
            for (int i = 0; i < 4; ++i) {
                if (i) buf[n++] = '.';
                n += FormatNumber(buf + n, static_cast<unsigned>(p[i]));
            }
            return n;
        }
        case PARAM_TYPE_IPV6_ADDR: {
            size_t n = 0;
            for (int i = 0; i < 16; ++i) {
                n += FormatHexByte(buf + n, p[i]);
                if ((i & 1) && i != 15) buf[n++] = ':';
            }
            return n;
        }
        default:
            return 0;
    }
}

// A list: whole elements separated by single commas. Counters are as wide as the
// value length, and an element that would not fit the area ends the text (with no
// trailing separator). A trailing partial element is ignored.
INT32U renderList(INT32U type, const INT8U* data, size_t length, ByteOrder o, bool filterMac,
                  TextSink& sink) {
    const size_t size = ListElementSize(type);
    const size_t count = length / size;
    size_t placed = 0;
    CHAR buf[48];
    for (size_t i = 0; i < count; ++i) {
        bool skip;
        const size_t n = FormatElement(type, data + i * size, o, filterMac, buf + 1, skip);
        if (skip) continue;
        buf[0] = ',';
        const CHAR* start = placed ? buf : buf + 1;
        if (!sink.put(start, n + (placed ? 1 : 0))) break;
        ++placed;
    }
    return placed ? static_cast<INT32U>(placed) : 1u;
}

// Day of month (width 1 for 0 to 9) and clock fields (width 2, "0" before 0 to 9);
// other numbers, negative ones included, keep the first two characters of their
// decimal form.
size_t FormatTimeField(CHAR* buf, INT32S v, bool pad) {
    if (v >= 0 && v <= 9) {
        size_t n = 0;
        if (pad) buf[n++] = '0';
        buf[n++] = static_cast<CHAR>('0' + v);
        return n;
    }
    CHAR digits[24];
    FormatNumber(digits, v);
    std::memcpy(buf, digits, 2);  // every number outside 0..9 has at least two characters
    return 2;
}

// "Www Mmm D HH:MM:SS YYYY" from the first seven 32-bit fields.
void RenderTime(const INT8U* data, size_t length, ByteOrder o, TextSink& sink) {
    if (length < 28) return;
    INT32S f[7];
    for (int i = 0; i < 7; ++i) f[i] = static_cast<INT32S>(load32(data + 4 * i, o));
    const INT32S sec = f[0], min = f[1], hour = f[2], mday = f[3], mon = f[4], year = f[5], wday = f[6];
    CHAR buf[64];
    size_t n = 0;
    auto add = [&](const CHAR* s, size_t len) {
        std::memcpy(buf + n, s, len);
        n += len;
    };
    add(wday >= 0 && wday <= 6 ? kWeekdays[wday] : "Err", 3);
    buf[n++] = ' ';
    add(mon >= 0 && mon <= 11 ? kMonths[mon] : "Err", 3);
    buf[n++] = ' ';
    n += FormatTimeField(buf + n, mday, false);
    buf[n++] = ' ';
    n += FormatTimeField(buf + n, hour, true);
    buf[n++] = ':';
    n += FormatTimeField(buf + n, min, true);
    buf[n++] = ':';
    n += FormatTimeField(buf + n, sec, true);
    buf[n++] = ' ';
    CHAR digits[24];
    const size_t yn = FormatNumber(digits, static_cast<int64_t>(year) + 1900);
    add(digits, yn < 4 ? yn : 4);
    sink.put(buf, n);
}

void RenderEnum(const Codec& codec, INT32U type, const INT8U* data, size_t length, TextSink& sink) {
    const EnumTable* table = EnumTableOf(codec, type, false);
    const bool oneByte = type == PARAM_TYPE_CONSOLE_AUTHMETHOD;
    const size_t need = oneByte ? 1 : 4;
    if (length < need) {
        sink.put(table->fallback);
        return;
    }
    const INT32U code = oneByte ? data[0] : load32(data, codec.order);
    for (const EnumName& e : table->names)
        if (e.code == code) {
            sink.put(e.name);
            return;
        }
    sink.put(table->fallback);
}

// ---------------------------------------------------------------------------
// Parsing

bool IsSpace(CHAR c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(CHAR c, int base) {
    int d;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    else
        return -1;
    return d < base ? d : -1;
}

// A number read from a piece of text the way the C library reads one: optional white
// space, an optional sign, for base 16 an optional 0x prefix, digits. Magnitudes
// beyond 64 bits (or below the signed 64-bit minimum) saturate and set overflow.
struct Number {
    bool negative = false;
    bool sign = false;    // a sign character was present
    bool digits = false;  // at least one digit was read
    bool overflow = false;
    uint64_t magnitude = 0;
    size_t used = 0;  // characters taken (0 when no digits)

    // The low bits of the value in two's complement.
    uint64_t bits() const { return negative ? 0 - magnitude : magnitude; }
    // min <= value <= max, with the range test done in 32 bits.
    bool inRange(INT32S min, INT32S max) const {
        if (overflow) return false;
        if (!negative && magnitude > 0x7FFFFFFFu) return false;
        if (negative && magnitude > 0x80000000u) return false;
        const int64_t v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        return CheckRange(static_cast<INT32S>(v), min, max);
    }
    // min <= value <= max in 64 bits, for ranges beyond those of a signed 32-bit number.
    bool within(int64_t min, uint64_t max) const {
        if (overflow) return false;
        if (negative) return magnitude == 0 || (min < 0 && magnitude <= 0 - static_cast<uint64_t>(min));
        return magnitude <= max;
    }
};

Number ReadNumber(const CHAR* p, size_t n, int base) {
    Number r;
    size_t i = 0;
    while (i < n && IsSpace(p[i])) ++i;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
        r.sign = true;
        r.negative = p[i] == '-';
        ++i;
    }
    if (base == 16 && i + 2 < n && p[i] == '0' && (p[i + 1] == 'x' || p[i + 1] == 'X') &&
        DigitValue(p[i + 2], 16) >= 0)
        i += 2;
    for (; i < n; ++i) {
        const int d = DigitValue(p[i], base);
        if (d < 0) break;
        r.digits = true;
        if (!r.overflow) {
            if (r.magnitude > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
                r.overflow = true;
                r.magnitude = UINT64_MAX;
            } else {
                r.magnitude = r.magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            }
        }
    }
    if (r.negative && r.magnitude > (uint64_t{1} << 63)) {
        r.overflow = true;
        r.magnitude = uint64_t{1} << 63;
    }
    r.used = r.digits ? i : 0;
    return r;
}

// Strict read: the whole piece must be the number; an empty piece reads as 0.
bool ReadStrict(const CHAR* p, size_t n, int base, Number& out) {
    out = ReadNumber(p, n, base);
    if (n == 0) return true;
    return out.digits && out.used == n && !out.overflow;
}

bool PutUint(ByteWriter& w, uint64_t v, size_t size, ByteOrder o) {
    const bool le = o == ByteOrder::Little;
    switch (size) {
        case 1:
            return w.u8(static_cast<uint8_t>(v));
        case 2:
            return le ? w.le16(static_cast<uint16_t>(v)) : w.be16(static_cast<uint16_t>(v));
        case 4:
            return le ? w.le32(static_cast<uint32_t>(v)) : w.be32(static_cast<uint32_t>(v));
        default:
            return le ? w.le64(v) : w.be64(v);
    }
}

// Calls f(piece, length) for every comma-separated piece, empty ones included, until
// f returns false. Returns false when f did.
template <typename F>
bool ForEachPiece(const CHAR* text, F f) {
    const CHAR* p = text;
    for (;;) {
        const CHAR* e = p;
        while (*e != '\0' && *e != ',') ++e;
        if (!f(p, static_cast<size_t>(e - p))) return false;
        if (*e == '\0') return true;
        p = e + 1;
    }
}

// What a Set accepts for a whole-number type: the type's own range for 8 and 16 bits;
// for 32 bits either the signed or the unsigned range, because front-ends write -1 for
// 4294967295 (and the reverse) and rely on both reaching the device as the same bits.
struct NumberRange {
    int64_t min;
    uint64_t max;
};
NumberRange NumberRangeOf(INT32U type) {
    switch (type) {
        case PARAM_TYPE_INT8S:
            return {-128, 127};
        case PARAM_TYPE_INT8U:
            return {0, 255};
        case PARAM_TYPE_INT16S:
            return {-32768, 32767};
        case PARAM_TYPE_INT16U:
            return {0, 65535};
        default:
            return {INT32_MIN, UINT32_MAX};
    }
}

// Every element must be exactly one number of the range, white space around it allowed:
// "12abc" written as 12, 99999999999 as its low 32 bits or "1,,2" as 1,0,2 would each
// store something other than what the user typed, and report it as written. A lone
// empty value still writes one 0, as it always has.
bool ParseNumberList(INT32U type, const CHAR* text, ByteOrder o, ByteWriter& w) {
    const size_t size = ListElementSize(type);
    const NumberRange range = NumberRangeOf(type);
    const bool list = std::strchr(text, ',') != nullptr;
    bool ok = true;
    const bool fits = ForEachPiece(text, [&](const CHAR* p, size_t n) {
        const Number num = ReadNumber(p, n, 10);
        size_t end = num.used;
        while (end < n && IsSpace(p[end])) ++end;
        if (n == 0 ? list : !num.digits || end != n || !num.within(range.min, range.max)) ok = false;
        return PutUint(w, num.bits(), size, o);
    });
    return fits && ok;
}

bool ParseBoolList(const CHAR* text, ByteWriter& w) {
    bool ok = true;
    const bool fits = ForEachPiece(text, [&](const CHAR* p, size_t n) {
        INT8U b = 0;
        if (n == 3 && std::memcmp(p, "YES", 3) == 0)
            b = 1;
        else if (!(n == 2 && std::memcmp(p, "NO", 2) == 0))
            ok = false;
        return w.u8(b);
    });
    return fits && ok;
}

// A list of MAC addresses; a comma with nothing after it ends the list.
bool ParseMacList(const CHAR* text, ByteWriter& w) {
    const CHAR* p = text;
    for (;;) {
        const CHAR* e = p;
        while (*e != '\0' && *e != ',') ++e;
        INT8U mac[6];
        if (!ConvertStringToMac(p, static_cast<size_t>(e - p), mac, false) || !w.bytes(mac, 6)) return false;
        if (*e == '\0' || e[1] == '\0') return true;
        p = e + 1;
    }
}

bool ParseIpv4Item(const CHAR* p, size_t n, INT8U* out) {
    size_t field = 0, start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && p[i] != '.') continue;
        if (field == 4) return false;  // a fourth dot
        Number num;
        if (i == start || !ReadStrict(p + start, i - start, 10, num) || !num.inRange(0, 255)) return false;
        out[field++] = static_cast<INT8U>(num.magnitude);
        start = i + 1;
    }
    return field == 4;
}

bool ParseIpv4List(const CHAR* text, ByteWriter& w) {
    return ForEachPiece(text, [&](const CHAR* p, size_t n) {
        INT8U addr[4];
        return ParseIpv4Item(p, n, addr) && w.bytes(addr, 4);
    });
}

bool ParseIpv6Item(const CHAR* p, size_t n, ByteWriter& w) {
    CHAR item[40], expanded[40];
    if (n >= sizeof(item)) return false;
    std::memcpy(item, p, n);
    item[n] = '\0';
    if (!ExpandIPv6(item, expanded)) return false;
    // Exactly seven colons now: eight groups, empty ones reading as 0.
    const CHAR* g = expanded;
    for (int group = 0; group < 8; ++group) {
        const CHAR* e = g;
        while (*e != '\0' && *e != ':') ++e;
        Number num;
        if (!ReadStrict(g, static_cast<size_t>(e - g), 16, num) || !num.inRange(0, 65535)) return false;
        if (!w.be16(static_cast<INT16U>(num.magnitude))) return false;
        g = *e ? e + 1 : e;
    }
    return true;
}

bool ParseIpv6List(const CHAR* text, ByteWriter& w) {
    return ForEachPiece(text, [&](const CHAR* p, size_t n) { return ParseIpv6Item(p, n, w); });
}

bool ParseEnum(const Codec& codec, INT32U type, const CHAR* text, ByteWriter& w) {
    const EnumTable* table = EnumTableOf(codec, type, true);
    for (const EnumName& e : table->names)
        if (std::strcmp(text, e.name) == 0)
            return type == PARAM_TYPE_CONSOLE_AUTHMETHOD ? w.u8(static_cast<INT8U>(e.code))
                                                         : PutUint(w, e.code, 4, codec.order);
    return false;
}

bool ParseRevision(const CHAR* text, ByteOrder o, ByteWriter& w) {
    const size_t n = std::strlen(text);
    const CHAR* underscore = static_cast<const CHAR*>(std::memchr(text, '_', n));
    Number first, second;
    if (underscore == nullptr) {
        // No "_": the whole text is the second number; the first field stays 0.
        if (!ReadStrict(text, n, 10, second)) return false;
    } else {
        const size_t firstLen = static_cast<size_t>(underscore - text);
        if (!ReadStrict(text, firstLen, 10, first) ||
            !ReadStrict(underscore + 1, n - firstLen - 1, 10, second))
            return false;
    }
    return PutUint(w, first.bits() & 0xFF, 2, o) && PutUint(w, second.bits(), 2, o);
}

// One field of a time text: at most three characters and unsigned.
bool ReadTimeField(const CHAR* p, size_t n, INT32S& v) {
    if (n > 3) return false;
    const Number num = ReadNumber(p, n, 10);
    if (num.sign) return false;
    v = static_cast<INT32S>(num.magnitude);
    return true;
}

bool ParseTime(const CHAR* text, ByteOrder o, ByteWriter& w) {
    const size_t n = std::strlen(text);
    if (n < 15) return false;
    size_t i = text[0] == '"' ? 1 : 0;
    i += 4;  // day-of-week name and blank
    INT32S month = -1;
    for (INT32S m = 0; m < 12; ++m)
        if (std::memcmp(text + i, kMonths[m], 3) == 0) month = m;
    if (month < 0) return false;
    i += 4;  // month name and blank
    // Day, hours, minutes, seconds: each up to its expected delimiter.
    const CHAR delims[4] = {' ', ':', ':', ' '};
    INT32S f[4];
    for (int k = 0; k < 4; ++k) {
        const CHAR* d = static_cast<const CHAR*>(std::memchr(text + i, delims[k], n - i));
        if (d == nullptr) return false;
        const size_t len = static_cast<size_t>(d - (text + i));
        if (!ReadTimeField(text + i, len, f[k])) return false;
        i += len + 1;
    }
    const size_t yearLen = n - i < 4 ? n - i : 4;
    const Number year = ReadNumber(text + i, yearLen, 10);
    if (!year.inRange(1900, 2899)) return false;
    const INT32S fields[9] = {f[3], f[2], f[1], f[0], month, static_cast<INT32S>(year.magnitude) - 1900,
                              0,    0,    0};
    for (INT32S v : fields)
        if (!PutUint(w, static_cast<uint32_t>(v), 4, o)) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared entry points

BOOLEAN CheckRange(INT32S value, INT32S min, INT32S max) {
    return (value >= min && value <= max) ? TRUE : FALSE;
}

BOOLEAN ExpandIPv6(const CHAR* input, CHAR* output) {
    if (input == nullptr || output == nullptr) return FALSE;
    const size_t len = std::strlen(input);
    if (len >= 40) return FALSE;
    size_t colons = 0, doubles = 0, firstDouble = 0;
    for (size_t i = 0; i < len; ++i) {
        if (input[i] != ':') continue;
        ++colons;
        if (i == 0 && input[1] != ':') return FALSE;
        if (i > 0 && input[i - 1] == ':') {
            if (++doubles > 1) return FALSE;
            firstDouble = i;  // position of the second colon of the pair
        }
        if (i == len - 1 && (i == 0 || input[i - 1] != ':')) return FALSE;
    }
    if (colons > 7) return FALSE;
    if (colons <= 6 && doubles == 0) return FALSE;
    if (colons == 7) {
        std::memcpy(output, input, len + 1);
        return TRUE;
    }
    const size_t extra = 7 - colons;
    if (len + extra >= 40) return FALSE;
    std::memcpy(output, input, firstDouble + 1);
    std::memset(output + firstDouble + 1, ':', extra);
    std::memcpy(output + firstDouble + 1 + extra, input + firstDouble + 1,
                len - firstDouble);  // with terminator
    return TRUE;
}

BOOLEAN ConvertStringToMac(const CHAR* text, size_t length, INT8U* mac, bool nonEmptyFields) {
    if (text == nullptr || mac == nullptr || length > 17) return FALSE;
    size_t field = 0, start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != ':') continue;
        if (field == 6) return FALSE;  // a seventh field
        Number num;
        if ((nonEmptyFields && i == start) || !ReadStrict(text + start, i - start, 16, num) ||
            !num.inRange(0, 255))
            return FALSE;
        mac[field++] = static_cast<INT8U>(num.magnitude);
        start = i + 1;
    }
    return field == 6 ? TRUE : FALSE;
}

BOOLEAN HWProductIdToStr(const t_flashProduct* table, INT32U id, CHAR* productName) {
    if (table == nullptr || productName == nullptr) return FALSE;
    for (size_t i = 0; i < kProductSlots; ++i)
        if (table[i].prodId == id) {
            std::memcpy(productName, table[i].prodName, sizeof(table[i].prodName));
            return TRUE;
        }
    return FALSE;
}

BOOLEAN StrToHWProduct(const t_flashProduct* table, const CHAR* productName, INT32U* id) {
    if (table == nullptr || productName == nullptr || id == nullptr) return FALSE;
    const size_t len = std::strlen(productName);
    if (len >= sizeof(table[0].prodName)) return FALSE;
    for (size_t i = 0; i < kProductSlots; ++i)
        if (std::memcmp(table[i].prodName, productName, len + 1) == 0) {
            *id = table[i].prodId;
            return TRUE;
        }
    return FALSE;
}

const CHAR* DeviceErrorMessage(INT32U n, bool lcmp) {
    if (n >= sizeof(kDeviceErrors) / sizeof(kDeviceErrors[0])) return nullptr;
    if (!lcmp && n > 63) return nullptr;
    return kDeviceErrors[n];
}

size_t PutText(CHAR* out, size_t cap, const CHAR* text, size_t length) {
    TextSink sink(out, cap);
    sink.put(text, length);
    return sink.length();
}

size_t RenderValue(const Codec& codec, INT32U type, const INT8U* data, size_t length, CHAR* out, size_t cap,
                   INT32U* nElem, bool filterMac) {
    TextSink sink(out, cap);
    if (data == nullptr) length = 0;
    INT32U count = 1;
    CHAR buf[32];
    switch (type) {
        case PARAM_TYPE_INT8S:
        case PARAM_TYPE_INT8U:
        case PARAM_TYPE_INT16S:
        case PARAM_TYPE_INT16U:
        case PARAM_TYPE_INT32S:
        case PARAM_TYPE_INT32U:
        case PARAM_TYPE_BOOL:
        case PARAM_TYPE_MAC_ADDR:
        case PARAM_TYPE_IP_ADDR:
        case PARAM_TYPE_IPV6_ADDR:
        case PARAM_TYPE_INT64U:
            count = renderList(type, data, length, codec.order, filterMac, sink);
            break;
        case PARAM_TYPE_EVENT:
            if (length >= 1) sink.put(buf, FormatNumber(buf, static_cast<unsigned>(data[0])));
            break;
        case PARAM_TYPE_STRING: {
            const void* zero = length ? std::memchr(data, 0, length) : nullptr;
            const size_t n = zero ? static_cast<size_t>(static_cast<const INT8U*>(zero) - data) : length;
            sink.putCut(reinterpret_cast<const CHAR*>(data), n);
            break;
        }
        case PARAM_TYPE_HW_PROD: {
            CHAR name[sizeof(t_flashProduct::prodName) + 1] = {};
            if (length >= 4 && HWProductIdToStr(codec.products, load32(data, codec.order), name))
                sink.put(name);  // the 12 bytes copied plus our own terminator
            else
                sink.put(kUnknown);
            break;
        }
        case PARAM_TYPE_HW_REVISION:
            if (length >= 4) {
                // Upper half "_" lower half of the 32-bit number in the path's byte order.
                const INT32U v = load32(data, codec.order);
                size_t n = FormatNumber(buf, v >> 16);
                buf[n++] = '_';
                n += FormatNumber(buf + n, v & 0xFFFF);
                sink.put(buf, n);
            }
            break;
        case PARAM_TYPE_ASIC:
            if (length >= 4) sink.put(buf, FormatNumber(buf, static_cast<INT32S>(load32(data, codec.order))));
            break;
        case PARAM_TYPE_TIME:
            RenderTime(data, length, codec.order, sink);
            break;
        case PARAM_TYPE_MPP2IGMP_PORT:
        case PARAM_TYPE_POWERSAVINGMODE:
            break;
        default:
            if (EnumTableOf(codec, type, false) != nullptr) RenderEnum(codec, type, data, length, sink);
            break;
    }
    if (nElem != nullptr) *nElem = count;
    return sink.length();
}

bool ParseValue(const Codec& codec, INT32U type, const CHAR* text, INT8U* out, size_t cap,
                INT32U* outLength) {
    if (outLength == nullptr) return false;
    *outLength = 0;
    if (out != nullptr && cap > 0) out[0] = 0;
    if (text == nullptr || out == nullptr) return false;
    ByteWriter w(out, cap);
    bool ok = false;
    switch (type) {
        case PARAM_TYPE_EVENT:
        case PARAM_TYPE_STRING:
            ok = w.bytes(text, std::strlen(text));
            break;
        case PARAM_TYPE_INT8S:
        case PARAM_TYPE_INT8U:
        case PARAM_TYPE_INT16S:
        case PARAM_TYPE_INT16U:
        case PARAM_TYPE_INT32S:
        case PARAM_TYPE_INT32U:
            ok = ParseNumberList(type, text, codec.order, w);
            break;
        case PARAM_TYPE_BOOL:
            ok = ParseBoolList(text, w);
            break;
        case PARAM_TYPE_MAC_ADDR:
            if (codec.singleStrictMac) {
                INT8U mac[6];
                ok = ConvertStringToMac(text, std::strlen(text), mac, true) && w.bytes(mac, 6);
            } else {
                ok = ParseMacList(text, w);
            }
            break;
        case PARAM_TYPE_IP_ADDR:
            ok = ParseIpv4List(text, w);
            break;
        case PARAM_TYPE_IPV6_ADDR:
            ok = ParseIpv6List(text, w);
            break;
        case PARAM_TYPE_HW_PROD: {
            INT32U id = 0;
            ok = StrToHWProduct(codec.products, text, &id) && PutUint(w, id, 4, codec.order);
            break;
        }
        case PARAM_TYPE_HW_REVISION:
            ok = ParseRevision(text, codec.order, w);
            break;
        case PARAM_TYPE_TIME:
            ok = ParseTime(text, codec.order, w);
            break;
        case PARAM_TYPE_INT64U:
            ok = false;
            break;  // never written
        case PARAM_TYPE_MPP2IGMP_PORT:
        case PARAM_TYPE_ASIC:
        case PARAM_TYPE_POWERSAVINGMODE:
            ok = true;
            break;  // accepted, nothing to send
        default:
            if (EnumTableOf(codec, type, true) != nullptr) ok = ParseEnum(codec, type, text, w);
            break;
    }
    *outLength = static_cast<INT32U>(w.pos());
    return ok;
}

}  // namespace kivo::config

// ---------------------------------------------------------------------------
// LCMP path
namespace {

using namespace kivo::config;

constexpr ProductSlots kProductTypes = MakeProductTable(kProductCount);

constexpr Codec kLcmpCodec{ByteOrder::Little, kProductTypes.slot, true, false};

// Type names by code, kept as zero-terminated texts for the C interface; the three slots after
// the last wire type hold the marker names, as they always have.
constexpr std::string_view kMarkerNames[] = {"NOT_DEFINED", "SET_OK", "ERROR"};
constexpr size_t kTypeNameSlots = kivo::protocol::kTypeNames.size() + std::size(kMarkerNames);
struct TypeNameSlots {
    std::array<CHAR, 24> text[kTypeNameSlots];
};
constexpr TypeNameSlots MakeTypeNames() {
    TypeNameSlots t{};
    for (size_t i = 0; i < kTypeNameSlots; ++i) {
        const std::string_view name = i < kivo::protocol::kTypeNames.size()
                                          ? kivo::protocol::kTypeNames[i]
                                          : kMarkerNames[i - kivo::protocol::kTypeNames.size()];
        for (size_t k = 0; k < name.size() && k + 1 < t.text[i].size(); ++k) t.text[i][k] = name[k];
    }
    return t;
}
constexpr TypeNameSlots kTypeToString = MakeTypeNames();

}  // namespace

const CHAR* ConversionTypeToString(t_paramType type) {
    switch (type) {
        case PARAM_TYPE_NOT_DEFINED:
            return "NOT_DEFINED";
        case PARAM_TYPE_SET_OK:
            return "SET_OK";
        case PARAM_TYPE_ERROR:
            return "ERROR";
        default:
            break;
    }
    const INT32U code = type;
    return code < kTypeNameSlots ? kTypeToString.text[code].data() : nullptr;
}

void ConversionValueToString(t_paramType type, INT32U param_length, const INT8U* getItem, CHAR* value,
                             INT32U valueSize, INT32U* nElem, BOOLEAN filterMac) {
    if (type > PARAM_TYPE_LAST_VALUE_TYPE) {
        PutText(value, valueSize, "Unknown", 7);
        if (nElem != nullptr) *nElem = 1;
        return;
    }
    RenderValue(kLcmpCodec, type, getItem, param_length, value, valueSize, nElem, filterMac != FALSE);
}

void ConversionValueToString(t_paramType type, INT32U param_length, const INT8U* getItem, CHAR* value,
                             INT32U* nElem, BOOLEAN filterMac) {
    ConversionValueToString(type, param_length, getItem, value, CONVERSION_TEXT_AREA_SIZE, nElem, filterMac);
}

BOOLEAN ConversionStringToValue(t_paramType type, const CHAR* value, INT8U* valueToSet, INT32U valueToSetSize,
                                INT32U* param_length) {
    return ParseValue(kLcmpCodec, type, value, valueToSet, valueToSetSize, param_length) ? TRUE : FALSE;
}

BOOLEAN ConversionStringToValue(t_paramType type, const CHAR* value, INT8U* valueToSet,
                                INT32U* param_length) {
    return ConversionStringToValue(type, value, valueToSet, CONVERSION_VALUE_AREA_SIZE, param_length);
}

void ConversionRefusalText(const CHAR* name, INT32U nameLength, const CHAR* value, INT32U valueLength,
                           t_paramType type, CHAR* out, INT32U outSize) {
    const CHAR* typeName = ConversionTypeToString(type);
    const CHAR* rule = nullptr;
    switch (type) {
        case PARAM_TYPE_INT8S:
            rule = "whole numbers from -128 to 127";
            break;
        case PARAM_TYPE_INT8U:
            rule = "whole numbers from 0 to 255";
            break;
        case PARAM_TYPE_INT16S:
            rule = "whole numbers from -32768 to 32767";
            break;
        case PARAM_TYPE_INT16U:
            rule = "whole numbers from 0 to 65535";
            break;
        case PARAM_TYPE_INT32S:
            rule = "whole numbers from -2147483648 to 2147483647";
            break;
        case PARAM_TYPE_INT32U:
            rule = "whole numbers from 0 to 4294967295";
            break;
        case PARAM_TYPE_BOOL:
            rule = "YES or NO";
            break;
        default:
            break;
    }
    CHAR text[512];
    const int len = std::snprintf(
        text, sizeof(text), "the value \"%.*s\" is not valid for %.*s (type %s%s%s%s); nothing was written",
        static_cast<int>(value ? (valueLength < 200 ? valueLength : 200) : 0), value ? value : "",
        static_cast<int>(name ? (nameLength < 200 ? nameLength : 200) : 0), name ? name : "",
        typeName ? typeName : "unknown", rule ? ": " : "", rule ? rule : "",
        rule ? ", a list separated by commas with no empty element" : "");
    PutText(out, outSize, text, len > 0 ? std::min<size_t>(static_cast<size_t>(len), sizeof(text) - 1) : 0);
}

INT32S ConversionValueToErrorString(const INT8U* errorValue, INT32U errorLength, CHAR* errorString,
                                    INT32U errorStringSize) {
    if (errorValue == nullptr || errorLength < 4) {
        PutText(errorString, errorStringSize, kInvalidStatusText, std::strlen(kInvalidStatusText));
        return CONVERSION_ERROR_OTHER;
    }
    // The status is -n; n is taken as unsigned, so a positive status gives a huge n.
    const INT32U n = 0u - kivo::loadLe32(errorValue);
    if (n == 0) {
        PutText(errorString, errorStringSize, "OK", 2);
        return CONVERSION_ERROR_NONE;
    }
    const CHAR* message = DeviceErrorMessage(n, true);
    CHAR text[160];
    const int len =
        std::snprintf(text, sizeof(text), "ERROR -%u %s", n, message ? message : "Unknown error code");
    PutText(errorString, errorStringSize, text, static_cast<size_t>(len));
    if (n == 77) {
        std::fputs("LCMP failed due to Remote File Access\n", stderr);
        return CONVERSION_ERROR_RFA;
    }
    return CONVERSION_ERROR_OTHER;
}

INT32S ConversionValueToErrorString(const INT8U* errorValue, CHAR* errorString) {
    return ConversionValueToErrorString(errorValue, 4, errorString, CONVERSION_TEXT_AREA_SIZE);
}
