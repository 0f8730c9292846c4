// Parameter values of simulated devices: the text of a "param = NAME TYPE VALUE"
// configuration line turned into the bytes a device sends, in either byte order
// (big-endian for SCP devices, little-endian for LCMP devices).
//
// A value is written the way the service shows it to the front-end, so that a
// parameter reads back as it stands in the file:
//   INT8S ... INT32U, INT64U   decimal numbers, comma-separated lists ("1,256")
//   EVENT                      one number 0-255
//   BOOL                       YES / NO (or 1 / 0), comma-separated
//   MAC_ADDR                   00:11:22:33:44:55, comma-separated
//   IP_ADDR, IPV6_ADDR         dotted / colon addresses (:: allowed), comma-separated
//   STRING                     the rest of the line, as is
//   enumerated types           the name the service shows ("FTP", "1000", "RADIUS") or a code
//   HW_PROD, ASIC              a number
//   HW_REVISION                A_B, as shown
//   TIME                       Tue Jan 2 03:04:05 2024
//   MPP2IGMP_PORT, POWERSAVINGMODE   raw hex only (or empty)
// Any type also takes raw bytes as "0x" followed by hexadecimal digits, copied as
// they stand (no byte-order change).
#ifndef KIVO_DEVSIM_SIM_VALUES_H
#define KIVO_DEVSIM_SIM_VALUES_H

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

enum class ByteOrder { Big, Little };

// The text without the blanks, tabs and line ends around it.
std::string Trim(const std::string& s);

// Highest code of a value type.
inline constexpr int kLastValueType = 36;

// Code of a type given by name ("MAC_ADDR") or as a decimal code 0-36; -1 when unknown.
int ValueTypeFromName(const std::string& name);
// Name of a type code; "?" when unknown.
const char* ValueTypeName(int type);

// Encodes text as a value of the type in the given byte order. On failure returns
// false and, when error is given, says why.
bool EncodeValue(int type, const std::string& text, ByteOrder order, std::vector<uint8_t>& out,
                 std::string* error = nullptr);

// One parameter of a device's table.
struct ParamLine {
    std::string name;
    int type = 0;
    std::vector<uint8_t> value;
};

// Parses "NAME TYPE VALUE..." (the value is the rest of the line, trimmed; it may be
// empty for list and text types).
bool ParseParamLine(const std::string& line, ByteOrder order, ParamLine& out, std::string* error = nullptr);

}  // namespace devsim

#endif
