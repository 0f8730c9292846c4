// DES and 3DES-CBC: published vectors, agreement with OpenSSL, argument checks and use from
// two threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "crypto_oracle.h"
#include "d3des.h"
#include "triple_des.h"

using crypto_oracle::Bytes;
using crypto_oracle::fromHex;
using crypto_oracle::toHex;

namespace {

struct DesVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// FIPS 81 (ECB example), NIST SP 800-17 known answers, and widely published test pairs.
const DesVector kDesVectors[] = {
    {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
    {"0123456789abcdef", "68652074696d6520", "6a271787ab8883f9"},
    {"0123456789abcdef", "666f7220616c6c20", "893d51ec4b563b53"},
    {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
    {"0101010101010101", "4000000000000000", "dd7f121ca5015619"},
    {"0101010101010101", "2000000000000000", "2e8653104f3834ea"},
    {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
    {"4001010101010101", "0000000000000000", "0eec1487dd8c26d5"},
    {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
    {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
    {"0131d9619dc1376e", "5cd54ca83def57da", "7a389d10354bd271"},
};

Bytes desBlock(const Bytes& key, const Bytes& in, INT16S edf) {
    Bytes out(8);
    deskey(key.data(), edf);
    des(in.data(), out.data());
    return out;
}

TEST(Des, PublishedVectorsBothDirections) {
    for (const auto& v : kDesVectors) {
        Bytes key = fromHex(v.key), plain = fromHex(v.plain);
        EXPECT_EQ(toHex(desBlock(key, plain, EN0)), v.cipher) << v.key << " " << v.plain;
        EXPECT_EQ(toHex(desBlock(key, fromHex(v.cipher), DE1)), v.plain) << v.key << " " << v.cipher;

        t_desKeySchedule schedule;
        DesScheduleMake(&schedule, key.data(), EN0);
        Bytes block = plain;
        DesScheduleRun(&schedule, block.data(), block.data());  // in place
        EXPECT_EQ(toHex(block), v.cipher);
    }
}

TEST(Des, ParityBitsOfTheKeyAreIgnored) {
    Bytes key = fromHex("133457799bbcdff1"), plain = fromHex("0123456789abcdef");
    Bytes flipped = key;
    for (auto& b : flipped) b ^= 1;
    EXPECT_EQ(desBlock(flipped, plain, EN0), desBlock(key, plain, EN0));
}

TEST(Des, KeyRegisterCanBeSavedAndRestored) {
    Bytes keyA = fromHex("0123456789abcdef"), keyB = fromHex("7ca110454a1a6e57"),
          plain = fromHex("4e6f772069732074");
    INT32U saved[DES_SCHEDULE_WORDS];
    deskey(keyA.data(), EN0);
    cpkey(saved);
    deskey(keyB.data(), EN0);
    Bytes out(8);
    des(plain.data(), out.data());
    EXPECT_NE(toHex(out), "3fa40e8a984d4815");
    usekey(saved);
    des(plain.data(), out.data());
    EXPECT_EQ(toHex(out), "3fa40e8a984d4815");
}

// ---- 3DES-CBC ----

Bytes cipher(Bytes data, const Bytes& key, bool encrypt) {
    INT32S rc = encrypt ? DES3CBCCipher(data.data(), static_cast<INT32S>(data.size()), key.data())
                        : DES3CBCDecipher(data.data(), static_cast<INT32S>(data.size()), key.data());
    EXPECT_EQ(rc, 0);
    return data;
}

TEST(TripleDesCbc, FipsCbcExampleWithThreeEqualKeys) {
    // With K1 = K2 = K3 the cipher is single DES in CBC mode (FIPS 81 CBC example).
    Bytes key = fromHex("0123456789abcdef0123456789abcdef0123456789abcdef1234567890abcdef");
    Bytes plain(reinterpret_cast<const INT8U*>("Now is the time for all "),
                reinterpret_cast<const INT8U*>("Now is the time for all ") + 24);
    EXPECT_EQ(toHex(cipher(plain, key, true)), "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6");
    EXPECT_EQ(cipher(cipher(plain, key, true), key, false), plain);
}

TEST(TripleDesCbc, AgreesWithOpenSslOnRandomKeysAndData) {
    std::mt19937 rng(4242);
    for (int i = 0; i < 3000; ++i) {
        Bytes key = crypto_oracle::randomBytes(rng, 32);
        switch (i % 10) {  // degenerate key material now and then
            case 0:
                std::memcpy(key.data() + 8, key.data(), 8);
                std::memcpy(key.data() + 16, key.data(), 8);
                break;
            case 1:
                std::fill(key.begin(), key.end(), 0);
                break;
            case 2:
                std::memcpy(key.data() + 8, key.data(), 8);
                break;  // K1 = K2
            case 3:
                std::memcpy(key.data() + 16, key.data() + 8, 8);
                break;  // K2 = K3
            case 4:
                std::memcpy(key.data() + 16, key.data(), 8);
                break;  // K1 = K3
            default:
                break;
        }
        Bytes plain = crypto_oracle::randomBytes(rng, 8 * (1 + rng() % 40));
        Bytes encrypted = cipher(plain, key, true);
        ASSERT_EQ(toHex(encrypted), toHex(crypto_oracle::des3Cbc(plain, key.data(), true))) << "case " << i;
        ASSERT_EQ(cipher(encrypted, key, false), plain) << "case " << i;
        Bytes foreign = crypto_oracle::randomBytes(rng, plain.size());
        ASSERT_EQ(toHex(cipher(foreign, key, false)),
                  toHex(crypto_oracle::des3Cbc(foreign, key.data(), false)));
    }
}

TEST(TripleDesCbc, EdeOrderCollapsesWithTwoEqualNeighbouringKeys) {
    // E(K1) D(K2) E(K3): with K1 = K2 the first two stages cancel, leaving single DES under K3.
    Bytes k3 = fromHex("0123456789abcdef"), k1 = fromHex("133457799bbcdff1");
    Bytes key = k1;
    key.insert(key.end(), k1.begin(), k1.end());
    key.insert(key.end(), k3.begin(), k3.end());
    key.insert(key.end(), 8, 0);  // zero IV: the first block is plain ECB
    EXPECT_EQ(toHex(cipher(fromHex("4e6f772069732074"), key, true)), "3fa40e8a984d4815");
}

TEST(TripleDesCbc, RefusesBadArgumentsAndLeavesDataUntouched) {
    Bytes key(32, 7);
    Bytes data = fromHex("00112233445566778899aabb");  // 12 bytes
    const Bytes original = data;
    EXPECT_EQ(DES3CBCCipher(data.data(), 12, key.data()), -1);
    EXPECT_EQ(DES3CBCDecipher(data.data(), 12, key.data()), -1);
    EXPECT_EQ(DES3CBCCipher(data.data(), -8, key.data()), -1);
    EXPECT_EQ(DES3CBCDecipher(data.data(), -8, key.data()), -1);
    EXPECT_EQ(DES3CBCCipher(data.data(), 8, nullptr), -1);
    EXPECT_EQ(DES3CBCDecipher(data.data(), 8, nullptr), -1);
    EXPECT_EQ(DES3CBCCipher(nullptr, 8, key.data()), -1);
    EXPECT_EQ(DES3CBCDecipher(nullptr, 0, key.data()), -1);
    EXPECT_EQ(DES3CBCCipher(data.data(), 0, key.data()), 0);
    EXPECT_EQ(DES3CBCDecipher(data.data(), 0, key.data()), 0);
    EXPECT_EQ(data, original);
}

TEST(TripleDesCbc, ChainsBlocksAndRestartsFromTheIvEachCall) {
    Bytes key = fromHex("0123456789abcdeffedcba987654321089abcdef01234567a1b2c3d4e5f60718");
    Bytes plain(32, 0x5A);  // four identical blocks
    Bytes once = cipher(plain, key, true);
    for (int b = 1; b < 4; ++b)
        EXPECT_NE(Bytes(once.begin() + 8 * b, once.begin() + 8 * b + 8),
                  Bytes(once.begin(), once.begin() + 8));
    EXPECT_EQ(cipher(plain, key, true), once);  // no state carried from the previous call
    Bytes otherIv = key;
    otherIv[31] ^= 1;
    EXPECT_NE(cipher(plain, otherIv, true), once);
}

// ---- Two threads ciphering at once with different keys ----

TEST(TripleDesCbc, TwoThreadsWithDifferentKeysDoNotDisturbEachOther) {
    struct Job {
        Bytes key, plain, expected, desKey, desPlain, desExpected;
        std::atomic<int> failures{0};
    };
    std::mt19937 rng(99);
    Job jobs[2];
    for (auto& job : jobs) {
        job.key = crypto_oracle::randomBytes(rng, 32);
        job.plain = crypto_oracle::randomBytes(rng, 64);
        job.expected = crypto_oracle::des3Cbc(job.plain, job.key.data(), true);
        job.desKey = crypto_oracle::randomBytes(rng, 8);
        job.desPlain = crypto_oracle::randomBytes(rng, 8);
        job.desExpected = desBlock(job.desKey, job.desPlain, EN0);
    }
    ASSERT_NE(jobs[0].expected, jobs[1].expected);
    ASSERT_NE(jobs[0].desExpected, jobs[1].desExpected);

    auto work = [](Job* job) {
        // Each thread keys the register once and keeps using it while the other thread rekeys its own.
        deskey(job->desKey.data(), EN0);
        for (int i = 0; i < 3000; ++i) {
            Bytes data = job->plain;
            if (DES3CBCCipher(data.data(), static_cast<INT32S>(data.size()), job->key.data()) != 0 ||
                data != job->expected)
                job->failures++;
            if (DES3CBCDecipher(data.data(), static_cast<INT32S>(data.size()), job->key.data()) != 0 ||
                data != job->plain)
                job->failures++;
            Bytes block(8);
            des(job->desPlain.data(), block.data());
            if (block != job->desExpected) job->failures++;
            if (i % 7 == 0) deskey(job->desKey.data(), EN0);
        }
    };
    std::thread a(work, &jobs[0]), b(work, &jobs[1]);
    a.join();
    b.join();
    EXPECT_EQ(jobs[0].failures.load(), 0);
    EXPECT_EQ(jobs[1].failures.load(), 0);
}

}  // namespace
