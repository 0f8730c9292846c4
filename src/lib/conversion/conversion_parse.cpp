// Parsing: the text of a Set as the bytes of a value, with the checks that refuse
// what the device would store as something other than what the user typed.
#include <cstdint>
#include <cstring>

#include "byte_io.h"
#include "conversion_internal.h"

namespace kivo::config {
namespace {

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
        if (std::memcmp(text + i, kMonthNames[m], 3) == 0) month = m;
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
