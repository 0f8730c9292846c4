// Rendering: binary values of every type as the text front-ends read.
#include <charconv>
#include <cstdint>
#include <cstring>

#include "byte_io.h"
#include "conversion_internal.h"

namespace kivo::config {
namespace {

constexpr const CHAR* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr CHAR kHexDigits[] = "0123456789ABCDEF";

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
    add(mon >= 0 && mon <= 11 ? kMonthNames[mon] : "Err", 3);
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

// A value that is no list.
void RenderSingle(const Codec& codec, INT32U type, const INT8U* data, size_t length, TextSink& sink) {
    CHAR buf[32];
    switch (type) {
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
                sink.put(kUnknownText);
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
}

}  // namespace

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
    // The whole numbers, BOOL and the addresses are lists.
    if (ListElementSize(type) != 0)
        count = renderList(type, data, length, codec.order, filterMac, sink);
    else
        RenderSingle(codec, type, data, length, sink);
    if (nElem != nullptr) *nElem = count;
    return sink.length();
}

}  // namespace kivo::config
