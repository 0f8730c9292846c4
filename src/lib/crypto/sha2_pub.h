// SHA-256 digest of a buffer and the two ways of turning a password into key material.
#ifndef KIVO_SHA2_PUB_H
#define KIVO_SHA2_PUB_H

#include "types.h"

// Size of a SHA-256 digest.
inline constexpr INT32U SHA2_DIGEST_SIZE = 32;
// Size of the key material made from a password: three DES keys and a CBC initialisation vector.
inline constexpr INT32U KEY_MATERIAL_SIZE = 32;
// Number of password bytes the legacy hash takes into account.
inline constexpr INT32U LEGACY_HASH_PASSWORD_MAX = 24;

// Writes the 32-byte SHA-256 digest of `length` bytes at `data` to `hash`.
// A null `data` is hashed as an empty message; a null `hash` does nothing.
void SHA256Hash(INT8U* hash, const INT8U* data, INT32U length);

// Key material from a password with SHA-256: the digest of the `length` password bytes.
void GenerateSha256Hash(INT8U* hash, const INT8U* data, INT32U length);

// Key material from a password with the legacy hash: the password repeated over bytes 0-23
// (only its first 24 bytes count), bytes 24-31 zero; an empty password gives 32 zero bytes.
// A null `data` counts as an empty password; a null `hash` does nothing.
void GenerateLegacyHash(INT8U* hash, const INT8U* data, INT32U length);

#endif
