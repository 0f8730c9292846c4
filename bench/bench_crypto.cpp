// Throughput of our SHA-256 and 3DES-CBC beside OpenSSL's libcrypto, and the per-request
// cost of the cipher path (key material from a password, three key schedules, 64 bytes of
// 3DES-CBC), ours and OpenSSL's doing the same steps.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "crc32.h"
#include "sha2_pub.h"
#include "triple_des.h"

namespace {

std::vector<INT8U> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<INT8U> v(n);
    for (auto& b : v) b = static_cast<INT8U>(rng());
    return v;
}

struct EvpMdDeleter {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct EvpCipherDeleter {
    void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct EvpCtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

std::unique_ptr<EVP_MD, EvpMdDeleter> fetchSha256() {
    std::unique_ptr<EVP_MD, EvpMdDeleter> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!md) std::abort();
    return md;
}

std::unique_ptr<EVP_CIPHER, EvpCipherDeleter> fetchDes3Cbc() {
    std::unique_ptr<EVP_CIPHER, EvpCipherDeleter> c(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr));
    if (!c) std::abort();
    return c;
}

const char kPassword[] = "Kv8#pLm2Qz!r";  // 12 characters
static_assert(sizeof(kPassword) - 1 == 12);

// ---- SHA-256 throughput ----

void BM_Sha256_Ours(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 1);
    INT8U digest[32];
    for (auto _ : state) {
        SHA256Hash(digest, data.data(), static_cast<INT32U>(data.size()));
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Sha256_OpenSSL(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 1);
    auto md = fetchSha256();
    unsigned char digest[32];
    unsigned int len = 0;
    for (auto _ : state) {
        if (EVP_Digest(data.data(), data.size(), digest, &len, md.get(), nullptr) != 1)
            state.SkipWithError("digest");
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// ---- 3DES-CBC throughput ----

// Ours: every call prepares its three key schedules and starts from the IV, as the service does.
void BM_Des3CbcEncrypt_Ours(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 2);
    auto key = randomBytes(32, 3);
    for (auto _ : state) {
        if (DES3CBCCipher(data.data(), static_cast<INT32S>(data.size()), key.data()) != 0)
            state.SkipWithError("cipher");
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// OpenSSL: keyed once outside the loop; each iteration only restarts the chain from the IV.
void BM_Des3CbcEncrypt_OpenSSL(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 2);
    auto key = randomBytes(32, 3);
    auto cipher = fetchDes3Cbc();
    std::unique_ptr<EVP_CIPHER_CTX, EvpCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key.data(), key.data() + 24, nullptr) != 1) {
        state.SkipWithError("init");
        return;
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    for (auto _ : state) {
        int outLen = 0;
        if (EVP_EncryptInit_ex2(ctx.get(), nullptr, nullptr, key.data() + 24, nullptr) != 1 ||
            EVP_EncryptUpdate(ctx.get(), data.data(), &outLen, data.data(), static_cast<int>(data.size())) !=
                1) {
            state.SkipWithError("encrypt");
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Des3CbcDecrypt_Ours(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 2);
    auto key = randomBytes(32, 3);
    for (auto _ : state) {
        if (DES3CBCDecipher(data.data(), static_cast<INT32S>(data.size()), key.data()) != 0)
            state.SkipWithError("decipher");
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Des3CbcDecrypt_OpenSSL(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 2);
    auto key = randomBytes(32, 3);
    auto cipher = fetchDes3Cbc();
    std::unique_ptr<EVP_CIPHER_CTX, EvpCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex2(ctx.get(), cipher.get(), key.data(), key.data() + 24, nullptr) != 1) {
        state.SkipWithError("init");
        return;
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    for (auto _ : state) {
        int outLen = 0;
        if (EVP_DecryptInit_ex2(ctx.get(), nullptr, nullptr, key.data() + 24, nullptr) != 1 ||
            EVP_DecryptUpdate(ctx.get(), data.data(), &outLen, data.data(), static_cast<int>(data.size())) !=
                1) {
            state.SkipWithError("decrypt");
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// ---- Per-request cost: key material from a 12-character password, three key schedules,
// 3DES-CBC of 64 bytes ----

void BM_PerRequest_Ours(benchmark::State& state) {
    auto payload = randomBytes(64, 4);
    INT8U buffer[64];
    INT8U key[32];
    for (auto _ : state) {
        std::memcpy(buffer, payload.data(), sizeof(buffer));
        GenerateSha256Hash(key, reinterpret_cast<const INT8U*>(kPassword), 12);
        if (DES3CBCCipher(buffer, sizeof(buffer), key) != 0) state.SkipWithError("cipher");
        benchmark::DoNotOptimize(buffer);
    }
}

void BM_PerRequest_OpenSSL(benchmark::State& state) {
    auto payload = randomBytes(64, 4);
    auto md = fetchSha256();
    auto cipher = fetchDes3Cbc();
    std::unique_ptr<EVP_CIPHER_CTX, EvpCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    unsigned char buffer[64];
    unsigned char key[32];
    for (auto _ : state) {
        std::memcpy(buffer, payload.data(), sizeof(buffer));
        unsigned int len = 0;
        int outLen = 0;
        if (EVP_Digest(kPassword, 12, key, &len, md.get(), nullptr) != 1 ||
            EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key, key + 24, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
            EVP_EncryptUpdate(ctx.get(), buffer, &outLen, buffer, sizeof(buffer)) != 1) {
            state.SkipWithError("openssl");
        }
        benchmark::DoNotOptimize(buffer);
    }
}

// ---- Key material alone: SHA-256 of a 12-character password ----

void BM_PasswordKey_Ours(benchmark::State& state) {
    INT8U key[32];
    for (auto _ : state) {
        GenerateSha256Hash(key, reinterpret_cast<const INT8U*>(kPassword), 12);
        benchmark::DoNotOptimize(key);
    }
}

void BM_PasswordKey_OpenSSL(benchmark::State& state) {
    auto md = fetchSha256();
    unsigned char key[32];
    unsigned int len = 0;
    for (auto _ : state) {
        if (EVP_Digest(kPassword, 12, key, &len, md.get(), nullptr) != 1) state.SkipWithError("digest");
        benchmark::DoNotOptimize(key);
    }
}

// ---- CRC-32 (no OpenSSL counterpart; reported for reference) ----

void BM_Crc32_Ours(benchmark::State& state) {
    auto data = randomBytes(static_cast<size_t>(state.range(0)), 5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(data.data(), static_cast<INT32U>(data.size()), 0xFFFFFFFFu));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_Sha256_Ours)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Sha256_OpenSSL)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Des3CbcEncrypt_Ours)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Des3CbcEncrypt_OpenSSL)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Des3CbcDecrypt_Ours)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Des3CbcDecrypt_OpenSSL)->Arg(1024)->Arg(65536);
BENCHMARK(BM_PerRequest_Ours);
BENCHMARK(BM_PerRequest_OpenSSL);
BENCHMARK(BM_PasswordKey_Ours);
BENCHMARK(BM_PasswordKey_OpenSSL);
BENCHMARK(BM_Crc32_Ours)->Arg(1492);

BENCHMARK_MAIN();
