// Prints test vectors of the library's SHA-256, legacy hash and 3DES-CBC as a Lua table,
// for check_crypto.lua to compare the dissector's own Lua codecs against. Inputs are
// fixed pseudo-random bytes, so the file is the same on every run.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "sha2_pub.h"
#include "triple_des.h"

namespace {

using Bytes = std::vector<INT8U>;

std::string Hex(const Bytes& b) {
    std::string s;
    char digits[3];
    for (INT8U x : b) {
        std::snprintf(digits, sizeof(digits), "%02x", x);
        s += digits;
    }
    return s;
}

Bytes Random(std::mt19937& gen, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<INT8U>(gen() & 0xFF);
    return b;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

int main() {
    std::mt19937 gen(20261210);
    std::printf("return {\n  sha256 = {\n");
    // Lengths around the padding boundaries: one block, the length spilling into a second.
    std::vector<Bytes> messages = {Text(""), Text("abc"), Text("demo")};
    for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u}) messages.push_back(Random(gen, n));
    for (const Bytes& m : messages) {
        Bytes digest(SHA2_DIGEST_SIZE);
        SHA256Hash(digest.data(), m.data(), static_cast<INT32U>(m.size()));
        std::printf("    {msg = \"%s\", digest = \"%s\"},\n", Hex(m).c_str(), Hex(digest).c_str());
    }
    std::printf("  },\n  legacy = {\n");
    std::vector<Bytes> passwords = {Text(""),        Text("a"),       Text("legacy"),  Text("demo"),
                                    Random(gen, 23), Random(gen, 24), Random(gen, 25), Random(gen, 40)};
    for (const Bytes& p : passwords) {
        Bytes key(KEY_MATERIAL_SIZE);
        GenerateLegacyHash(key.data(), p.data(), static_cast<INT32U>(p.size()));
        std::printf("    {password = \"%s\", key = \"%s\"},\n", Hex(p).c_str(), Hex(key).c_str());
    }
    std::printf("  },\n  des3 = {\n");
    // Key material of both derivations (the empty password's legacy key is all zeros),
    // random material, and K1 = K2 = K3, where 3DES is single DES.
    std::vector<Bytes> keys;
    for (const Bytes& p : passwords) {
        Bytes sha(KEY_MATERIAL_SIZE), legacy(KEY_MATERIAL_SIZE);
        GenerateSha256Hash(sha.data(), p.data(), static_cast<INT32U>(p.size()));
        GenerateLegacyHash(legacy.data(), p.data(), static_cast<INT32U>(p.size()));
        keys.push_back(sha);
        keys.push_back(legacy);
    }
    keys.push_back(Random(gen, KEY_MATERIAL_SIZE));
    Bytes single = Random(gen, 8);
    Bytes same;
    for (int i = 0; i < 3; ++i) same.insert(same.end(), single.begin(), single.end());
    same.resize(KEY_MATERIAL_SIZE, 0);
    keys.push_back(same);
    size_t lengths[] = {8, 16, 112, 1400};
    size_t i = 0;
    for (const Bytes& key : keys) {
        Bytes plain = Random(gen, lengths[i++ % 4]);
        Bytes cipher = plain;
        if (DES3CBCCipher(cipher.data(), static_cast<INT32S>(cipher.size()), key.data()) != 0) return 1;
        std::printf("    {key = \"%s\", plain = \"%s\", cipher = \"%s\"},\n", Hex(key).c_str(),
                    Hex(plain).c_str(), Hex(cipher).c_str());
    }
    std::printf("  },\n}\n");
    return 0;
}
