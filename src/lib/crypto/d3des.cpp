// DES block cipher (FIPS 46-3).
//
// The cipher is table driven. Each round's f function is eight lookups in combined
// substitution/permutation tables (S-box output already passed through P). Both halves of the
// block are kept rotated left by one bit, so that the expansion E is two plain shifts: the
// 6-bit groups for S-boxes 1, 3, 5, 7 sit in the bytes of the half rotated right by 4, and the
// groups for S-boxes 2, 4, 6, 8 in the bytes of the half itself. Subkeys are stored in the same
// layout: per round one word with the groups for S-boxes 1, 3, 5, 7 and one with 2, 4, 6, 8.
// The permutations are done with shift-and-mask exchanges. All tables are computed at compile
// time from the standard's tables, and the fast permutations are checked against them.
#include "d3des.h"

#include <array>
#include <bit>
#include <cstring>

#include "d3des_core.h"

namespace {

// ---- The standard's tables (bit 1 is the most significant bit) ----

constexpr int kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                         62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                         57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                         61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr int kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr int kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                          35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                          46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr int kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr int kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// clang-format off
// S-boxes 1 to 8, one row of 16 per line: row = outer input bits, column = inner four.
constexpr INT8U kSBox[8][64] = {
    {14,  4, 13,  1,  2, 15, 11,  8,  3, 10,  6, 12,  5,  9,  0,  7,
      0, 15,  7,  4, 14,  2, 13,  1, 10,  6, 12, 11,  9,  5,  3,  8,
      4,  1, 14,  8, 13,  6,  2, 11, 15, 12,  9,  7,  3, 10,  5,  0,
     15, 12,  8,  2,  4,  9,  1,  7,  5, 11,  3, 14, 10,  0,  6, 13},
    {15,  1,  8, 14,  6, 11,  3,  4,  9,  7,  2, 13, 12,  0,  5, 10,
      3, 13,  4,  7, 15,  2,  8, 14, 12,  0,  1, 10,  6,  9, 11,  5,
      0, 14,  7, 11, 10,  4, 13,  1,  5,  8, 12,  6,  9,  3,  2, 15,
     13,  8, 10,  1,  3, 15,  4,  2, 11,  6,  7, 12,  0,  5, 14,  9},
    {10,  0,  9, 14,  6,  3, 15,  5,  1, 13, 12,  7, 11,  4,  2,  8,
     13,  7,  0,  9,  3,  4,  6, 10,  2,  8,  5, 14, 12, 11, 15,  1,
     13,  6,  4,  9,  8, 15,  3,  0, 11,  1,  2, 12,  5, 10, 14,  7,
      1, 10, 13,  0,  6,  9,  8,  7,  4, 15, 14,  3, 11,  5,  2, 12},
    { 7, 13, 14,  3,  0,  6,  9, 10,  1,  2,  8,  5, 11, 12,  4, 15,
     13,  8, 11,  5,  6, 15,  0,  3,  4,  7,  2, 12,  1, 10, 14,  9,
     10,  6,  9,  0, 12, 11,  7, 13, 15,  1,  3, 14,  5,  2,  8,  4,
      3, 15,  0,  6, 10,  1, 13,  8,  9,  4,  5, 11, 12,  7,  2, 14},
    { 2, 12,  4,  1,  7, 10, 11,  6,  8,  5,  3, 15, 13,  0, 14,  9,
     14, 11,  2, 12,  4,  7, 13,  1,  5,  0, 15, 10,  3,  9,  8,  6,
      4,  2,  1, 11, 10, 13,  7,  8, 15,  9, 12,  5,  6,  3,  0, 14,
     11,  8, 12,  7,  1, 14,  2, 13,  6, 15,  0,  9, 10,  4,  5,  3},
    {12,  1, 10, 15,  9,  2,  6,  8,  0, 13,  3,  4, 14,  7,  5, 11,
     10, 15,  4,  2,  7, 12,  9,  5,  6,  1, 13, 14,  0, 11,  3,  8,
      9, 14, 15,  5,  2,  8, 12,  3,  7,  0,  4, 10,  1, 13, 11,  6,
      4,  3,  2, 12,  9,  5, 15, 10, 11, 14,  1,  7,  6,  0,  8, 13},
    { 4, 11,  2, 14, 15,  0,  8, 13,  3, 12,  9,  7,  5, 10,  6,  1,
     13,  0, 11,  7,  4,  9,  1, 10, 14,  3,  5, 12,  2, 15,  8,  6,
      1,  4, 11, 13, 12,  3,  7, 14, 10, 15,  6,  8,  0,  5,  9,  2,
      6, 11, 13,  8,  1,  4, 10,  7,  9,  5,  0, 15, 14,  2,  3, 12},
    {13,  2,  8,  4,  6, 15, 11,  1, 10,  9,  3, 14,  5,  0, 12,  7,
      1, 15, 13,  8, 10,  3,  7,  4, 12,  5,  6, 11,  0, 14,  9,  2,
      7, 11,  4,  1,  9, 12, 14,  2,  0,  6, 10, 13, 15,  3,  5,  8,
      2,  1, 14,  7,  4, 10,  8, 13, 15, 12,  9,  0,  3,  5,  6, 11},
};
// clang-format on

// Bit `pos` (1 = most significant) of a `width`-bit value.
constexpr INT64U bitOf(INT64U value, int pos, int width) {
    return (value >> (width - pos)) & 1u;
}

// Applies a permutation table: output bit j is input bit table[j].
template <size_t N>
constexpr INT64U permute(INT64U in, int inWidth, const int (&table)[N]) {
    INT64U out = 0;
    for (size_t j = 0; j < N; ++j) out = (out << 1) | bitOf(in, table[j], inWidth);
    return out;
}

// ---- Combined S-box and P tables ----

constexpr std::array<std::array<INT32U, 64>, 8> makeSP() {
    std::array<std::array<INT32U, 64>, 8> sp{};
    for (int box = 0; box < 8; ++box) {
        for (int v = 0; v < 64; ++v) {
            int row = ((v >> 4) & 2) | (v & 1);
            int col = (v >> 1) & 15;
            INT64U sOut = static_cast<INT64U>(kSBox[box][row * 16 + col]) << (28 - 4 * box);
            sp[box][v] = std::rotl(static_cast<INT32U>(permute(sOut, 32, kP)), 1);
        }
    }
    return sp;
}

// ---- Key schedule tables ----

// PC-1 by key byte: for byte i whose seven key bits (the parity bit dropped) are v, the bits it
// contributes to C (high word) and D (low word), 28 bits each.
constexpr std::array<std::array<INT64U, 128>, 8> makePC1() {
    std::array<std::array<INT64U, 128>, 8> t{};
    for (int i = 0; i < 8; ++i) {
        for (int v = 0; v < 128; ++v) {
            INT64U key = static_cast<INT64U>(v << 1) << (56 - 8 * i);
            INT64U cd = permute(key, 64, kPC1);
            t[i][v] = ((cd >> 28) << 32) | (cd & 0x0FFFFFFFu);
        }
    }
    return t;
}

// Places the 48-bit subkey in the round layout: high word the 6-bit groups 1, 3, 5, 7,
// low word the groups 2, 4, 6, 8, one per byte from the top.
constexpr INT64U cookSubkey(INT64U k48) {
    INT64U even = 0, odd = 0;
    for (int g = 0; g < 8; ++g) {
        INT64U group = (k48 >> (42 - 6 * g)) & 0x3F;
        if (g % 2 == 0) {
            even |= group << (24 - 8 * (g / 2));
        } else {
            odd |= group << (24 - 8 * (g / 2));
        }
    }
    return (even << 32) | odd;
}

// PC-2 by 7-bit piece: table[piece][v] is the cooked subkey bits that come from piece `piece`
// of C (pieces 0-3) or of D (pieces 4-7), most significant piece first.
constexpr std::array<std::array<INT64U, 128>, 8> makePC2() {
    std::array<std::array<INT64U, 128>, 8> t{};
    for (int piece = 0; piece < 8; ++piece) {
        for (int v = 0; v < 128; ++v) {
            INT64U cd = static_cast<INT64U>(v) << (49 - 7 * piece);
            t[piece][v] = cookSubkey(permute(cd, 56, kPC2));
        }
    }
    return t;
}

constexpr auto kPC1Table = makePC1();
constexpr auto kPC2Table = makePC2();

// ---- Checks of the fast permutations against the standard's table ----

constexpr bool initialPermutationMatches() {
    for (int bit = 0; bit < 64; ++bit) {
        INT64U block = INT64U{1} << bit;
        INT32U left = static_cast<INT32U>(block >> 32), right = static_cast<INT32U>(block);
        kivo::des_core::initialPermutation(left, right);
        INT64U expected = permute(block, 64, kIP);
        if (left != std::rotl(static_cast<INT32U>(expected >> 32), 1)) return false;
        if (right != std::rotl(static_cast<INT32U>(expected), 1)) return false;
        kivo::des_core::finalPermutation(left, right);
        if (left != static_cast<INT32U>(block >> 32) || right != static_cast<INT32U>(block)) return false;
    }
    return true;
}
static_assert(initialPermutationMatches(), "fast initial/final permutation differs from the table");

thread_local t_desKeySchedule keyRegister{};

}  // namespace

constexpr std::array<std::array<INT32U, 64>, 8> kivo::des_core::kSPTable = makeSP();

void DesScheduleMake(t_desKeySchedule* schedule, const INT8U* key, INT16S edf) {
    if (schedule == nullptr || key == nullptr) return;
    INT64U cd = 0;
    for (int i = 0; i < 8; ++i) cd |= kPC1Table[i][key[i] >> 1];
    INT32U c = static_cast<INT32U>(cd >> 32);
    INT32U d = static_cast<INT32U>(cd);

    INT64U subkeys[16];
    for (int round = 0; round < 16; ++round) {
        int s = kShifts[round];
        c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFFu;
        d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFFu;
        subkeys[round] = kPC2Table[0][(c >> 21) & 0x7F] | kPC2Table[1][(c >> 14) & 0x7F] |
                         kPC2Table[2][(c >> 7) & 0x7F] | kPC2Table[3][c & 0x7F] |
                         kPC2Table[4][(d >> 21) & 0x7F] | kPC2Table[5][(d >> 14) & 0x7F] |
                         kPC2Table[6][(d >> 7) & 0x7F] | kPC2Table[7][d & 0x7F];
    }
    // Decryption runs the same rounds with the subkeys in reverse order.
    for (int round = 0; round < 16; ++round) {
        INT64U k = subkeys[edf == EN0 ? round : 15 - round];
        schedule->words[2 * round] = static_cast<INT32U>(k >> 32);
        schedule->words[2 * round + 1] = static_cast<INT32U>(k);
    }
}

void DesScheduleRun(const t_desKeySchedule* schedule, const INT8U* inblock, INT8U* outblock) {
    if (schedule == nullptr || inblock == nullptr || outblock == nullptr) return;
    using namespace kivo::des_core;
    INT32U left = loadBlockWord(inblock), right = loadBlockWord(inblock + 4);
    initialPermutation(left, right);
    sixteenRounds(left, right, schedule->words);
    // The halves leave the last round swapped.
    finalPermutation(right, left);
    storeBlockWord(outblock, right);
    storeBlockWord(outblock + 4, left);
}

void deskey(const INT8U* key, INT16S edf) {
    DesScheduleMake(&keyRegister, key, edf);
}

void cpkey(INT32U* into) {
    if (into == nullptr) return;
    std::memcpy(into, keyRegister.words, sizeof(keyRegister.words));
}

void usekey(const INT32U* from) {
    if (from == nullptr) return;
    std::memcpy(keyRegister.words, from, sizeof(keyRegister.words));
}

void des(const INT8U* inblock, INT8U* outblock) {
    DesScheduleRun(&keyRegister, inblock, outblock);
}
