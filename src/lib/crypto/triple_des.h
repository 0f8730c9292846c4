// Triple DES (EDE, three independent keys) in CBC mode over 32 bytes of key material.
#ifndef KIVO_TRIPLE_DES_H
#define KIVO_TRIPLE_DES_H

#include "types.h"

// Layout of the key material: K1, K2, K3 and the CBC initialisation vector, 8 bytes each.
inline constexpr INT32U DES3CBC_KEY_MATERIAL_SIZE = 32;
inline constexpr INT32U DES3CBC_K1_OFFSET = 0;
inline constexpr INT32U DES3CBC_K2_OFFSET = 8;
inline constexpr INT32U DES3CBC_K3_OFFSET = 16;
inline constexpr INT32U DES3CBC_IV_OFFSET = 24;
inline constexpr INT32U DES3CBC_BLOCK_SIZE = 8;

// Encrypts `length` bytes of `data` in place with the key material at `key`. Every call starts a
// new chain from the initialisation vector. Returns 0, or -1 without touching `data` when `data`
// or `key` is null or `length` is negative or not a multiple of 8. A length of 0 returns 0.
INT32S DES3CBCCipher(INT8U* data, INT32S length, const INT8U* key);
// Decrypts in place what DES3CBCCipher produced; same arguments and results.
INT32S DES3CBCDecipher(INT8U* data, INT32S length, const INT8U* key);

#endif
