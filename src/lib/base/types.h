// Basic fixed-width types shared by every module.
#ifndef KIVO_TYPES_H
#define KIVO_TYPES_H

#include <cstdint>

typedef uint8_t INT8U;
typedef int8_t INT8S;
typedef uint16_t INT16U;
typedef int16_t INT16S;
typedef uint32_t INT32U;
typedef int32_t INT32S;
typedef uint64_t INT64U;
typedef int64_t INT64S;
typedef char CHAR;
typedef uint8_t BOOLEAN;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif
