// OpenSSL (libcrypto, EVP) as a reference for the cipher and hash tests, plus small helpers.
#ifndef KIVO_TEST_CRYPTO_ORACLE_H
#define KIVO_TEST_CRYPTO_ORACLE_H

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace crypto_oracle {

using Bytes = std::vector<std::uint8_t>;

inline Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const std::uint8_t* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}
inline std::string toHex(const Bytes& b) {
    return toHex(b.data(), b.size());
}

inline Bytes randomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

inline Bytes sha256(const Bytes& data) {
    Bytes out(32);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != 32)
        throw std::runtime_error("EVP_Digest failed");
    return out;
}

// DES-EDE3-CBC without padding under 32 bytes of key material (K1 K2 K3 IV).
inline Bytes des3Cbc(const Bytes& data, const std::uint8_t* keyMaterial, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Bytes out(data.size() + 8);
    int n1 = 0, n2 = 0;
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, keyMaterial, keyMaterial + 24,
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &n1, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n1, &n2) != 1)
        throw std::runtime_error("EVP cipher failed");
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

}  // namespace crypto_oracle

#endif
