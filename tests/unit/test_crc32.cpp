// CRC-32 (reflected 0xEDB88320) as the SCP client uses it: no preset, no final inversion.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "crc32.h"

namespace {

// Bit-at-a-time CRC over the same polynomial, an independent way to the same result.
INT32U bitwiseCrc(const INT8U* data, size_t n, INT32U crc) {
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

TEST(Crc32, CheckValues) {
    const char* digits = "123456789";
    const INT8U* d = reinterpret_cast<const INT8U*>(digits);
    EXPECT_EQ(crc32(d, 9, 0xFFFFFFFFu), 0x340BC6D9u);
    EXPECT_EQ(~crc32(d, 9, 0xFFFFFFFFu), 0xCBF43926u);  // the common CRC-32 check value
    EXPECT_EQ(crc32(d, 0, 0), 0u);
    EXPECT_EQ(crc32(d, 0, 0x12345678u), 0x12345678u);
    EXPECT_EQ(crc32(nullptr, 9, 0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(Crc32, TableFollowsThePolynomialAndSurvivesGen) {
    EXPECT_EQ(crc32_table[0], 0u);
    EXPECT_EQ(crc32_table[1], 0x77073096u);
    EXPECT_EQ(crc32_table[255], 0x2D02EF8Du);
    crc32_gen();
    for (INT32U i = 0; i < 256; ++i) {
        INT8U byte = static_cast<INT8U>(i);
        ASSERT_EQ(crc32_table[i], bitwiseCrc(&byte, 1, 0)) << i;
    }
}

TEST(Crc32, RandomBuffersMatchBitwiseAndCanBeSplit) {
    std::mt19937 rng(5);
    for (int i = 0; i < 500; ++i) {
        std::vector<INT8U> data(rng() % 1600);
        for (auto& b : data) b = static_cast<INT8U>(rng());
        INT32U start = rng();
        INT32U whole = crc32(data.data(), static_cast<INT32U>(data.size()), start);
        ASSERT_EQ(whole, bitwiseCrc(data.data(), data.size(), start));
        size_t split = data.empty() ? 0 : rng() % data.size();
        INT32U first = crc32(data.data(), static_cast<INT32U>(split), start);
        ASSERT_EQ(crc32(data.data() + split, static_cast<INT32U>(data.size() - split), first), whole);
    }
}

}  // namespace
