// Internal building blocks of the DES cipher, shared by the single-DES and triple-DES code so
// that triple DES can run its 48 rounds between one initial and one final permutation.
// Not a public interface.
#ifndef KIVO_D3DES_CORE_H
#define KIVO_D3DES_CORE_H

#include <array>
#include <bit>

#include "types.h"

namespace kivo::des_core {

// Combined S-box and P tables, outputs rotated left by one bit like the block halves.
extern const std::array<std::array<INT32U, 64>, 8> kSPTable;

inline INT32U loadBlockWord(const INT8U* p) {
    return (static_cast<INT32U>(p[0]) << 24) | (static_cast<INT32U>(p[1]) << 16) |
           (static_cast<INT32U>(p[2]) << 8) | static_cast<INT32U>(p[3]);
}

inline void storeBlockWord(INT8U* p, INT32U v) {
    p[0] = static_cast<INT8U>(v >> 24);
    p[1] = static_cast<INT8U>(v >> 16);
    p[2] = static_cast<INT8U>(v >> 8);
    p[3] = static_cast<INT8U>(v);
}

// Exchanges the bits of `a` selected by `mask` << `shift` with the bits of `b` selected by `mask`.
constexpr void swapMove(INT32U& a, INT32U& b, int shift, INT32U mask) {
    INT32U t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

// Initial permutation; leaves both halves rotated left by one bit.
constexpr void initialPermutation(INT32U& left, INT32U& right) {
    swapMove(left, right, 4, 0x0F0F0F0Fu);
    swapMove(left, right, 16, 0x0000FFFFu);
    swapMove(right, left, 2, 0x33333333u);
    swapMove(right, left, 8, 0x00FF00FFu);
    right = std::rotl(right, 1);
    INT32U t = (left ^ right) & 0xAAAAAAAAu;
    left ^= t;
    right ^= t;
    left = std::rotl(left, 1);
}

// Final permutation, the inverse of initialPermutation, taking halves rotated left by one bit.
constexpr void finalPermutation(INT32U& left, INT32U& right) {
    left = std::rotr(left, 1);
    INT32U t = (left ^ right) & 0xAAAAAAAAu;
    left ^= t;
    right ^= t;
    right = std::rotr(right, 1);
    swapMove(right, left, 8, 0x00FF00FFu);
    swapMove(right, left, 2, 0x33333333u);
    swapMove(left, right, 16, 0x0000FFFFu);
    swapMove(left, right, 4, 0x0F0F0F0Fu);
}

// The round function f of the half `r` with the round's two cooked subkey words.
inline INT32U roundFunction(INT32U r, const INT32U* k) {
    const auto& sp = kSPTable;
    INT32U x = std::rotr(r, 4) ^ k[0];
    INT32U y = r ^ k[1];
    return sp[0][(x >> 24) & 0x3F] ^ sp[2][(x >> 16) & 0x3F] ^ sp[4][(x >> 8) & 0x3F] ^ sp[6][x & 0x3F] ^
           sp[1][(y >> 24) & 0x3F] ^ sp[3][(y >> 16) & 0x3F] ^ sp[5][(y >> 8) & 0x3F] ^ sp[7][y & 0x3F];
}

// Sixteen rounds with a 32-word schedule. On return `left` holds L16 and `right` R16; the
// cipher's pre-output block is R16 L16.
inline void sixteenRounds(INT32U& left, INT32U& right, const INT32U* ks) {
    INT32U l = left, r = right;
    for (int round = 0; round < 16; round += 2) {
        l ^= roundFunction(r, ks + 2 * round);
        r ^= roundFunction(l, ks + 2 * round + 2);
    }
    left = l;
    right = r;
}

}  // namespace kivo::des_core

#endif
