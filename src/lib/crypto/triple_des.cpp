// Triple DES (EDE, three independent keys) in CBC mode.
//
// The three key schedules live on the stack of each call, so calls on different threads are
// independent. Each block runs its 48 rounds between a single initial and final permutation:
// the final permutation of one DES stage and the initial permutation of the next cancel out.
#include "triple_des.h"

#include "d3des.h"
#include "d3des_core.h"

namespace {

using kivo::des_core::finalPermutation;
using kivo::des_core::initialPermutation;
using kivo::des_core::loadBlockWord;
using kivo::des_core::sixteenRounds;
using kivo::des_core::storeBlockWord;

bool argumentsValid(const INT8U* data, INT32S length, const INT8U* key) {
    return data != nullptr && key != nullptr && length >= 0 && length % DES3CBC_BLOCK_SIZE == 0;
}

// Runs one block (as two big-endian words) through the three schedules in turn.
inline void threeStages(INT32U& hi, INT32U& lo, const t_desKeySchedule& first, const t_desKeySchedule& second,
                        const t_desKeySchedule& third) {
    INT32U l = hi, r = lo;
    initialPermutation(l, r);
    sixteenRounds(l, r, first.words);
    // Each stage leaves its halves swapped, which is the next stage's input order.
    sixteenRounds(r, l, second.words);
    sixteenRounds(l, r, third.words);
    finalPermutation(r, l);
    hi = r;
    lo = l;
}

}  // namespace

INT32S DES3CBCCipher(INT8U* data, INT32S length, const INT8U* key) {
    if (!argumentsValid(data, length, key)) return -1;
    t_desKeySchedule k1, k2, k3;
    DesScheduleMake(&k1, key + DES3CBC_K1_OFFSET, EN0);
    DesScheduleMake(&k2, key + DES3CBC_K2_OFFSET, DE1);
    DesScheduleMake(&k3, key + DES3CBC_K3_OFFSET, EN0);

    INT32U chainHi = loadBlockWord(key + DES3CBC_IV_OFFSET);
    INT32U chainLo = loadBlockWord(key + DES3CBC_IV_OFFSET + 4);
    for (INT32S offset = 0; offset < length; offset += DES3CBC_BLOCK_SIZE) {
        INT8U* block = data + offset;
        INT32U hi = loadBlockWord(block) ^ chainHi;
        INT32U lo = loadBlockWord(block + 4) ^ chainLo;
        threeStages(hi, lo, k1, k2, k3);
        storeBlockWord(block, hi);
        storeBlockWord(block + 4, lo);
        chainHi = hi;
        chainLo = lo;
    }
    return 0;
}

INT32S DES3CBCDecipher(INT8U* data, INT32S length, const INT8U* key) {
    if (!argumentsValid(data, length, key)) return -1;
    t_desKeySchedule k3, k2, k1;
    DesScheduleMake(&k3, key + DES3CBC_K3_OFFSET, DE1);
    DesScheduleMake(&k2, key + DES3CBC_K2_OFFSET, EN0);
    DesScheduleMake(&k1, key + DES3CBC_K1_OFFSET, DE1);

    INT32U chainHi = loadBlockWord(key + DES3CBC_IV_OFFSET);
    INT32U chainLo = loadBlockWord(key + DES3CBC_IV_OFFSET + 4);
    for (INT32S offset = 0; offset < length; offset += DES3CBC_BLOCK_SIZE) {
        INT8U* block = data + offset;
        INT32U cipherHi = loadBlockWord(block);
        INT32U cipherLo = loadBlockWord(block + 4);
        INT32U hi = cipherHi, lo = cipherLo;
        threeStages(hi, lo, k3, k2, k1);
        storeBlockWord(block, hi ^ chainHi);
        storeBlockWord(block + 4, lo ^ chainLo);
        chainHi = cipherHi;
        chainLo = cipherLo;
    }
    return 0;
}
