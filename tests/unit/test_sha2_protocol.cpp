// Key material from a password: the legacy hash and the SHA-256 key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto_oracle.h"
#include "sha2_pub.h"
#include "triple_des.h"

using crypto_oracle::Bytes;

namespace {

Bytes legacyKey(const std::string& password) {
    Bytes key(32, 0xA5);  // pre-filled so that bytes left unwritten would show
    GenerateLegacyHash(key.data(), reinterpret_cast<const INT8U*>(password.data()),
                       static_cast<INT32U>(password.size()));
    return key;
}

Bytes sha256Key(const std::string& password) {
    Bytes key(32, 0xA5);
    GenerateSha256Hash(key.data(), reinterpret_cast<const INT8U*>(password.data()),
                       static_cast<INT32U>(password.size()));
    return key;
}

TEST(LegacyHash, ShortPasswordRepeatsOverTheThreeKeysAndLeavesAZeroIv) {
    Bytes key = legacyKey("abc");
    EXPECT_EQ(std::string(key.begin(), key.begin() + 24), "abcabcabcabcabcabcabcabc");
    EXPECT_EQ(Bytes(key.begin() + 24, key.end()), Bytes(8, 0));

    // A length that does not divide 24: byte k is password byte k mod 5.
    key = legacyKey("pass1");
    EXPECT_EQ(std::string(key.begin(), key.begin() + 24), "pass1pass1pass1pass1pass");
    EXPECT_EQ(Bytes(key.begin() + 24, key.end()), Bytes(8, 0));
}

TEST(LegacyHash, EmptyPasswordGivesAllZeroKeyMaterial) {
    EXPECT_EQ(legacyKey(""), Bytes(32, 0));
    Bytes key(32, 0xA5);
    GenerateLegacyHash(key.data(), nullptr, 5);  // no password bytes at all
    EXPECT_EQ(key, Bytes(32, 0));
}

TEST(LegacyHash, OnlyTheFirst24CharactersCount) {
    const std::string p23 = "0123456789abcdefghijklm";
    const std::string p24 = p23 + "n";
    Bytes k23 = legacyKey(p23);
    EXPECT_EQ(k23[23], '0');  // 23 characters still wrap around once
    Bytes k24 = legacyKey(p24);
    EXPECT_EQ(std::string(k24.begin(), k24.begin() + 24), p24);
    EXPECT_EQ(Bytes(k24.begin() + 24, k24.end()), Bytes(8, 0));
    EXPECT_EQ(legacyKey(p24 + "tail one"), k24);
    EXPECT_EQ(legacyKey(p24 + "another tail, longer than 32 bytes in all"), k24);
    EXPECT_NE(legacyKey("x" + p24), k24);
}

TEST(Sha256Key, IsExactlyTheDigestOfThePassword) {
    for (const std::string& password :
         {std::string(""), std::string("a"), std::string("Kv8#pLm2Qz!r"), std::string(100, 'z')}) {
        Bytes expected = crypto_oracle::sha256(Bytes(password.begin(), password.end()));
        EXPECT_EQ(sha256Key(password), expected) << password;
    }
    EXPECT_EQ(crypto_oracle::toHex(sha256Key("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(KeyMaterial, PasswordToCiphertextMatchesOpenSsl) {
    // The whole path the protocols take: key material from a password, then 3DES-CBC.
    std::mt19937 rng(77);
    for (int i = 0; i < 200; ++i) {
        std::string password(rng() % 30, ' ');
        for (auto& c : password) c = static_cast<char>(33 + rng() % 94);
        Bytes plain = crypto_oracle::randomBytes(rng, 8 * (1 + rng() % 20));
        for (bool legacy : {false, true}) {
            Bytes key = legacy ? legacyKey(password) : sha256Key(password);
            Bytes data = plain;
            ASSERT_EQ(DES3CBCCipher(data.data(), static_cast<INT32S>(data.size()), key.data()), 0);
            ASSERT_EQ(data, crypto_oracle::des3Cbc(plain, key.data(), true))
                << password << " legacy " << legacy;
        }
    }
}

}  // namespace
