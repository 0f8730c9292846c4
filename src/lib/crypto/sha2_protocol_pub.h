// SHA-256 (FIPS 180-4) as an incremental engine, plus the digest and key-material helpers.
#ifndef KIVO_SHA2_PROTOCOL_PUB_H
#define KIVO_SHA2_PROTOCOL_PUB_H

#include "sha2_pub.h"
#include "types.h"

typedef struct s_sha2_context {
    INT32U total[2];           // bytes hashed so far: low word, high word
    INT32U state[8];           // working hash value
    unsigned char buffer[64];  // partial block not yet compressed
} sha2_context;

// Starts a new digest in `ctx`.
void sha2_starts(sha2_context* ctx);
// Adds `ilen` bytes at `input`; an `ilen` of 0 or less adds nothing.
void sha2_update(sha2_context* ctx, const unsigned char* input, int ilen);
// Pads the message, writes the 32-byte digest to `output` and leaves `ctx` to be started anew.
void sha2_finish(sha2_context* ctx, unsigned char* output);

#endif
