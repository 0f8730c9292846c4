// CRC-32 with the reflected polynomial 0xEDB88320, table driven.
#include "crc32.h"

#include <array>

namespace {

constexpr INT32U kPolynomial = 0xEDB88320u;

// Entry i is i shifted right eight times, xored with the polynomial whenever the bit shifted
// out was 1.
constexpr std::array<INT32U, 256> makeTable() {
    std::array<INT32U, 256> table{};
    for (INT32U i = 0; i < 256; ++i) {
        INT32U value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1u) ? (value >> 1) ^ kPolynomial : value >> 1;
        table[i] = value;
    }
    return table;
}

}  // namespace

constexpr std::array<INT32U, 256> crc32_table = makeTable();
static_assert(crc32_table[1] == 0x77073096u && crc32_table[255] == 0x2D02EF8Du);

INT32U crc32(const INT8U* data, INT32U length, INT32U crc) {
    if (data == nullptr) return crc;
    for (INT32U i = 0; i < length; ++i) crc = (crc >> 8) ^ crc32_table[(crc ^ data[i]) & 0xFFu];
    return crc;
}

// The table is a compile-time constant, so there is nothing to fill at run time.
void crc32_gen() {}
