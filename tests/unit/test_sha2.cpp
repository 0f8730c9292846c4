// SHA-256 engine: published vectors, incremental use, and agreement with OpenSSL.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "crypto_oracle.h"
#include "sha2_protocol_pub.h"

using crypto_oracle::Bytes;
using crypto_oracle::toHex;

namespace {

std::string digestOf(const std::string& s) {
    INT8U out[32];
    SHA256Hash(out, reinterpret_cast<const INT8U*>(s.data()), static_cast<INT32U>(s.size()));
    return toHex(out, 32);
}

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(
        digestOf(
            "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
            "mnopqrstnopqrstu"),
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(digestOf(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256, ByteCountCarriesIntoHighWord) {
    sha2_context ctx;
    sha2_starts(&ctx);
    ctx.total[0] = 0xFFFFFFC0u;  // as if 4 GiB - 64 bytes had been hashed
    unsigned char block[128] = {};
    sha2_update(&ctx, block, 128);
    EXPECT_EQ(ctx.total[1], 1u);
    EXPECT_EQ(ctx.total[0], 0x40u);
}

TEST(Sha256, AgreesWithOpenSslOnRandomInputs) {
    std::mt19937 rng(20240601);
    for (int i = 0; i < 3000; ++i) {
        // Every length up to 300 (all padding cases), then random lengths up to 5000.
        size_t len = i < 300 ? static_cast<size_t>(i) : rng() % 5000;
        Bytes data = crypto_oracle::randomBytes(rng, len);
        INT8U ours[32];
        SHA256Hash(ours, data.data(), static_cast<INT32U>(data.size()));
        ASSERT_EQ(toHex(ours, 32), toHex(crypto_oracle::sha256(data))) << "length " << len;

        // The same message through the engine in random pieces (0 to 130 bytes).
        sha2_context ctx;
        sha2_starts(&ctx);
        for (size_t fed = 0; fed < len;) {
            size_t piece = std::min<size_t>(rng() % 131, len - fed);
            sha2_update(&ctx, data.data() + fed, static_cast<int>(piece));
            fed += piece;
        }
        unsigned char incremental[32];
        sha2_finish(&ctx, incremental);
        ASSERT_EQ(toHex(incremental, 32), toHex(ours, 32)) << "length " << len;
    }
}

TEST(Sha256, EmptyNegativeAndNullInputsAddNothing) {
    sha2_context ctx;
    sha2_starts(&ctx);
    const unsigned char abcx[] = {'a', 'b', 'c', 'x'};
    sha2_update(&ctx, abcx, 0);
    sha2_update(&ctx, abcx + 3, -5);
    sha2_update(&ctx, nullptr, 10);
    sha2_update(&ctx, abcx, 3);
    unsigned char out[32];
    sha2_finish(&ctx, out);
    EXPECT_EQ(toHex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    INT8U digest[32];
    SHA256Hash(digest, nullptr, 10);  // no data: the digest of the empty message
    EXPECT_EQ(toHex(digest, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
