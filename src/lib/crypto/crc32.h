// CRC-32 with the reflected polynomial 0xEDB88320, table driven.
#ifndef KIVO_CRC32_H
#define KIVO_CRC32_H

#include <array>

#include "types.h"

// The 256-entry table of the reflected polynomial; constant, built at compile time.
extern const std::array<INT32U, 256> crc32_table;

// Runs `crc` over `length` bytes at `data` and returns it. It neither presets nor inverts:
// callers that want the common CRC-32 start from 0xFFFFFFFF and invert the result.
// A null `data` leaves `crc` unchanged.
INT32U crc32(const INT8U* data, INT32U length, INT32U crc);

// Kept for callers that prepare the table before use. The table is constant and already holds
// its values, so there is nothing left to compute.
void crc32_gen();

#endif
