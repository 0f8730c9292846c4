// Shared machinery of the two value conversions (LCMP path and legacy SCP path).
//
// The two paths render and parse the same types with the same rules except for the
// byte order of multi-byte integers, the product table, the ETHIFDRIVER_SPEED names
// and the MAC address syntax accepted when parsing. A Codec names those differences;
// everything else is one implementation. Not part of any public interface.
#ifndef KIVO_CONVERSION_INTERNAL_H
#define KIVO_CONVERSION_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "conversion.h"
#include "types.h"

namespace kivo::config {

// Slots of a product table; the entries come first, the rest are all zero.
inline constexpr size_t kProductSlots = 100;

// The product rows shared by both paths (our own product line); the legacy table
// holds the first kLegacyProductCount of them.
inline constexpr size_t kProductCount = 43;
inline constexpr size_t kLegacyProductCount = 39;
inline constexpr t_flashProduct kProductRows[kProductCount] = {
    {"ALDER-100", 0x00010100},  {"ALDER-110", 0x00010110},   {"ALDER-200", 0x00010200},
    {"ALDER-210W", 0x00010210}, {"BIRCH-10", 0x00020010},    {"BIRCH-20", 0x00020020},
    {"BIRCH-20P", 0x00020021},  {"BIRCH-40", 0x00020040},    {"CEDAR-1", 0x00030001},
    {"CEDAR-2", 0x00030002},    {"CEDAR-2X", 0x00030012},    {"CEDAR-4", 0x00030004},
    {"DUNE-A", 0x0004000A},     {"DUNE-B", 0x0004000B},      {"DUNE-C", 0x0004000C},
    {"ELM-300", 0x00050300},    {"ELM-310", 0x00050310},     {"ELM-320", 0x00050320},
    {"ELM-330T", 0x00050331},   {"FJORD-S", 0x00060001},     {"FJORD-M", 0x00060002},
    {"FJORD-L", 0x00060003},    {"GROVE-5", 0x00070005},     {"GROVE-7", 0x00070007},
    {"GROVE-9", 0x00070009},    {"HAVEN-1G", 0x00080001},    {"HAVEN-2G", 0x00080002},
    {"HAVEN-2GW", 0x00080102},  {"ISLE-50", 0x00090050},     {"ISLE-60", 0x00090060},
    {"JUNIPER-1", 0x000A0001},  {"JUNIPER-2", 0x000A0002},   {"JUNIPER-3", 0x000A0003},
    {"KELP-EB", 0x000B00EB},    {"KELP-ET", 0x000B00E7},     {"LARCH-800", 0x000C0800},
    {"LARCH-900", 0x000C0900},  {"MAPLE-1100X", 0x80000001}, {"MAPLE-1200", 0x80000002},
    {"NOVA-10G", 0x000E0010},   {"NOVA-20G", 0x000E0020},    {"OAK-7000", 0x000F7000},
    {"PINE-M2", 0xFFFF0002},
};

enum class ByteOrder { Little, Big };

struct Codec {
    ByteOrder order;
    const t_flashProduct* products;  // kProductSlots slots
    bool speed2500;                  // ETHIFDRIVER_SPEED knows code 3 "2500"
    bool singleStrictMac;            // MAC_ADDR parses one address with non-empty fields
};

// Renders a value of a known type (0 to 36) into out (cap bytes, always terminated
// when cap > 0); returns the text's length. Lists stop before an element that would
// not fit; STRING is cut at the bound; any other text is written whole or not at all.
size_t RenderValue(const Codec& codec, INT32U type, const INT8U* data, size_t length, CHAR* out, size_t cap,
                   INT32U* nElem, bool filterMac);

// Writes text (whole or not at all, terminated) into out; returns the length written.
size_t PutText(CHAR* out, size_t cap, const CHAR* text, size_t length);

// Parses text as a value of type into out (cap bytes); *outLength receives the bytes
// produced. FALSE for invalid text, unknown types and output beyond cap.
bool ParseValue(const Codec& codec, INT32U type, const CHAR* text, INT8U* out, size_t cap, INT32U* outLength);

// Message of device error n, or null when n has none. lcmp selects the LCMP
// table (1 to 5, 31 to 73, 77); otherwise only the range shared with SCP (1 to 5,
// 31 to 63) is known.
const CHAR* DeviceErrorMessage(INT32U n, bool lcmp);

// The names of an enumerated type's codes, and the text of a code without one.
struct EnumName {
    INT32U code;
    const CHAR* name;
};
struct EnumTable {
    std::span<const EnumName> names;
    const CHAR* fallback;
};

// Table of an enumerated type; null for any other type. CONSOLE_AUTHMETHOD reads
// RADIUS as 3 and writes it as 2, so forParsing chooses which.
const EnumTable* EnumTableOf(const Codec& codec, INT32U type, bool forParsing);

// Element size of a list type, 0 for types that are not lists.
size_t ListElementSize(INT32U type);

inline constexpr const CHAR* kUnknownText = "Unknown";
inline constexpr const CHAR* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Text of a status value too short to hold a status.
inline constexpr const CHAR* kInvalidStatusText = "ERROR INVALID STATUS VALUE";

// Helpers, exposed for the modules and their tests.
BOOLEAN CheckRange(INT32S value, INT32S min, INT32S max);
BOOLEAN ExpandIPv6(const CHAR* input, CHAR* output);
BOOLEAN ConvertStringToMac(const CHAR* text, size_t length, INT8U* mac, bool nonEmptyFields);
BOOLEAN HWProductIdToStr(const t_flashProduct* table, INT32U id, CHAR* productName);
BOOLEAN StrToHWProduct(const t_flashProduct* table, const CHAR* productName, INT32U* id);

// A 100-slot table holding the first count shared rows, the rest zero.
struct ProductSlots {
    t_flashProduct slot[kProductSlots];
};
constexpr ProductSlots MakeProductTable(size_t count) {
    ProductSlots table{};
    for (size_t i = 0; i < count && i < kProductCount; ++i) table.slot[i] = kProductRows[i];
    return table;
}

}  // namespace kivo::config

#endif
