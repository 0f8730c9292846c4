// SHA-256 digest of a buffer and key material from a password.
#include "sha2_pub.h"

#include <climits>
#include <cstring>

#include "sha2_protocol_pub.h"

void SHA256Hash(INT8U* hash, const INT8U* data, INT32U length) {
    if (hash == nullptr) return;
    sha2_context ctx;
    sha2_starts(&ctx);
    if (data != nullptr) {
        // The engine takes an int length; feed longer buffers in pieces.
        while (length > 0) {
            INT32U piece =
                length > static_cast<INT32U>(INT_MAX) ? static_cast<INT32U>(INT_MAX) & ~63u : length;
            sha2_update(&ctx, data, static_cast<int>(piece));
            data += piece;
            length -= piece;
        }
    }
    sha2_finish(&ctx, hash);
}

void GenerateSha256Hash(INT8U* hash, const INT8U* data, INT32U length) {
    SHA256Hash(hash, data, length);
}

void GenerateLegacyHash(INT8U* hash, const INT8U* data, INT32U length) {
    if (hash == nullptr) return;
    std::memset(hash, 0, KEY_MATERIAL_SIZE);
    if (data == nullptr || length == 0) return;
    if (length >= LEGACY_HASH_PASSWORD_MAX) {
        std::memcpy(hash, data, LEGACY_HASH_PASSWORD_MAX);
        return;
    }
    // Bytes 0-23 hold the password repeated from its start; bytes 24-31 stay zero.
    for (INT32U k = 0; k < LEGACY_HASH_PASSWORD_MAX; ++k) hash[k] = data[k % length];
}
