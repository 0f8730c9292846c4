// DES block cipher (FIPS 46-3) with its key schedule.
//
// Two ways to use it:
//  - a caller-owned schedule (`t_desKeySchedule`, `DesScheduleMake`, `DesScheduleRun`), which any
//    number of threads may use at once;
//  - the classic key register (`deskey`, `cpkey`, `usekey`, `des`). The register belongs to the
//    calling thread, so threads that cipher at the same time never disturb each other.
#ifndef KIVO_D3DES_H
#define KIVO_D3DES_H

#include "types.h"

// Direction of a key schedule.
#define EN0 0  // encrypt
#define DE1 1  // decrypt

// Number of 32-bit words in one key schedule: two per round, 16 rounds.
inline constexpr int DES_SCHEDULE_WORDS = 32;

typedef struct s_desKeySchedule {
    INT32U words[DES_SCHEDULE_WORDS];
} t_desKeySchedule;

// Builds the schedule of the 8-byte `key` (parity bits ignored) for encryption (`edf` EN0) or
// decryption (`edf` DE1; any non-zero value decrypts).
void DesScheduleMake(t_desKeySchedule* schedule, const INT8U* key, INT16S edf);
// Runs one 8-byte block through `schedule`; `inblock` and `outblock` may be the same buffer.
void DesScheduleRun(const t_desKeySchedule* schedule, const INT8U* inblock, INT8U* outblock);

// Builds the schedule of `key` into the calling thread's key register (EN0 or DE1).
void deskey(const INT8U* key, INT16S edf);
// Copies the key register (DES_SCHEDULE_WORDS words) to `into`.
void cpkey(INT32U* into);
// Loads a schedule saved with `cpkey` into the key register.
void usekey(const INT32U* from);
// Encrypts or decrypts one 8-byte block with the key register.
void des(const INT8U* inblock, INT8U* outblock);

#endif
