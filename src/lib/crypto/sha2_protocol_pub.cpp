// SHA-256 (FIPS 180-4) compression engine.
#include "sha2_protocol_pub.h"

#include <bit>
#include <cstring>

namespace {

constexpr INT32U kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr INT32U kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline INT32U loadBe32(const unsigned char* p) {
    return (static_cast<INT32U>(p[0]) << 24) | (static_cast<INT32U>(p[1]) << 16) |
           (static_cast<INT32U>(p[2]) << 8) | static_cast<INT32U>(p[3]);
}

inline void storeBe32(unsigned char* p, INT32U v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline INT32U bigSigma0(INT32U x) {
    return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
inline INT32U bigSigma1(INT32U x) {
    return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
inline INT32U smallSigma0(INT32U x) {
    return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
inline INT32U smallSigma1(INT32U x) {
    return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}
inline INT32U choose(INT32U x, INT32U y, INT32U z) {
    return z ^ (x & (y ^ z));
}
inline INT32U majority(INT32U x, INT32U y, INT32U z) {
    return (x & y) | (z & (x | y));
}

// Compresses `blocks` consecutive 64-byte blocks into `state`.
void compress(INT32U state[8], const unsigned char* data, size_t blocks) {
    INT32U w[16];
    while (blocks-- > 0) {
        INT32U a = state[0], b = state[1], c = state[2], d = state[3];
        INT32U e = state[4], f = state[5], g = state[6], h = state[7];

        // One round; the eight working variables rotate by renaming instead of moving.
#define KIVO_SHA2_ROUND(a, b, c, d, e, f, g, h, k, wt)                       \
    do {                                                                     \
        INT32U t1 = (h) + bigSigma1(e) + choose((e), (f), (g)) + (k) + (wt); \
        (d) += t1;                                                           \
        (h) = t1 + bigSigma0(a) + majority((a), (b), (c));                   \
    } while (0)

        for (int i = 0; i < 16; i += 8) {
            for (int j = 0; j < 8; ++j) w[i + j] = loadBe32(data + 4 * (i + j));
            KIVO_SHA2_ROUND(a, b, c, d, e, f, g, h, kRound[i + 0], w[i + 0]);
            KIVO_SHA2_ROUND(h, a, b, c, d, e, f, g, kRound[i + 1], w[i + 1]);
            KIVO_SHA2_ROUND(g, h, a, b, c, d, e, f, kRound[i + 2], w[i + 2]);
            KIVO_SHA2_ROUND(f, g, h, a, b, c, d, e, kRound[i + 3], w[i + 3]);
            KIVO_SHA2_ROUND(e, f, g, h, a, b, c, d, kRound[i + 4], w[i + 4]);
            KIVO_SHA2_ROUND(d, e, f, g, h, a, b, c, kRound[i + 5], w[i + 5]);
            KIVO_SHA2_ROUND(c, d, e, f, g, h, a, b, kRound[i + 6], w[i + 6]);
            KIVO_SHA2_ROUND(b, c, d, e, f, g, h, a, kRound[i + 7], w[i + 7]);
        }
        // Rounds 16-63 extend the message schedule in place, 16 words at a time.
        for (int i = 16; i < 64; i += 16) {
            for (int j = 0; j < 16; ++j) {
                w[j] += smallSigma1(w[(j + 14) & 15]) + w[(j + 9) & 15] + smallSigma0(w[(j + 1) & 15]);
            }
            for (int j = 0; j < 16; j += 8) {
                KIVO_SHA2_ROUND(a, b, c, d, e, f, g, h, kRound[i + j + 0], w[j + 0]);
                KIVO_SHA2_ROUND(h, a, b, c, d, e, f, g, kRound[i + j + 1], w[j + 1]);
                KIVO_SHA2_ROUND(g, h, a, b, c, d, e, f, kRound[i + j + 2], w[j + 2]);
                KIVO_SHA2_ROUND(f, g, h, a, b, c, d, e, kRound[i + j + 3], w[j + 3]);
                KIVO_SHA2_ROUND(e, f, g, h, a, b, c, d, kRound[i + j + 4], w[j + 4]);
                KIVO_SHA2_ROUND(d, e, f, g, h, a, b, c, kRound[i + j + 5], w[j + 5]);
                KIVO_SHA2_ROUND(c, d, e, f, g, h, a, b, kRound[i + j + 6], w[j + 6]);
                KIVO_SHA2_ROUND(b, c, d, e, f, g, h, a, kRound[i + j + 7], w[j + 7]);
            }
        }
#undef KIVO_SHA2_ROUND

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
        data += 64;
    }
}

}  // namespace

void sha2_starts(sha2_context* ctx) {
    if (ctx == nullptr) return;
    ctx->total[0] = 0;
    ctx->total[1] = 0;
    std::memcpy(ctx->state, kInitial, sizeof(kInitial));
    std::memset(ctx->buffer, 0, sizeof(ctx->buffer));
}

void sha2_update(sha2_context* ctx, const unsigned char* input, int ilen) {
    if (ctx == nullptr || input == nullptr || ilen <= 0) return;
    size_t length = static_cast<size_t>(ilen);
    size_t filled = ctx->total[0] & 63u;

    // 64-bit byte count kept in two words.
    ctx->total[0] += static_cast<INT32U>(length);
    if (ctx->total[0] < static_cast<INT32U>(length)) ctx->total[1]++;

    if (filled != 0) {
        size_t room = 64 - filled;
        if (length < room) {
            std::memcpy(ctx->buffer + filled, input, length);
            return;
        }
        std::memcpy(ctx->buffer + filled, input, room);
        compress(ctx->state, ctx->buffer, 1);
        input += room;
        length -= room;
    }
    if (length >= 64) {
        compress(ctx->state, input, length / 64);
        input += length & ~static_cast<size_t>(63);
        length &= 63;
    }
    if (length > 0) std::memcpy(ctx->buffer, input, length);
}

void sha2_finish(sha2_context* ctx, unsigned char* output) {
    if (ctx == nullptr || output == nullptr) return;
    size_t filled = ctx->total[0] & 63u;
    // Message length in bits, as a 64-bit big-endian number.
    INT32U bitsHigh = (ctx->total[1] << 3) | (ctx->total[0] >> 29);
    INT32U bitsLow = ctx->total[0] << 3;

    ctx->buffer[filled++] = 0x80;
    if (filled > 56) {
        std::memset(ctx->buffer + filled, 0, 64 - filled);
        compress(ctx->state, ctx->buffer, 1);
        filled = 0;
    }
    std::memset(ctx->buffer + filled, 0, 56 - filled);
    storeBe32(ctx->buffer + 56, bitsHigh);
    storeBe32(ctx->buffer + 60, bitsLow);
    compress(ctx->state, ctx->buffer, 1);

    for (int i = 0; i < 8; ++i) storeBe32(output + 4 * i, ctx->state[i]);
}
