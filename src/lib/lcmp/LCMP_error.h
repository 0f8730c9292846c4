// Result codes of the LCMP link layer and request engine: 0 is success, failures
// are negative. Codes marked reserved are part of the code set but returned by no
// operation.
#ifndef KIVO_LCMP_ERROR_H
#define KIVO_LCMP_ERROR_H

#include "types.h"

typedef enum e_lcmpErrorCode : INT32S {
    LCMP_ERROR_NONE = 0,
    LCMP_ERROR_SOCKET_NOT_OPENED = -1,
    LCMP_ERROR_ETH_IF = -2,
    LCMP_ERROR_SENDTO = -3,
    LCMP_ERROR_TIMEOUT = -4,      // reserved
    LCMP_ERROR_DROP_PACKET = -5,  // reserved
    LCMP_ERROR_RECV = -6,         // reserved
    LCMP_ERROR_BIND = -7,         // reserved: bind failures give LCMP_ERROR_ETH_IF
    LCMP_ERROR_ROOM_BOOT = -8,    // reserved
    LCMP_ERROR_DISCOVER = -9,     // reserved
    LCMP_ERROR_NULL_MAC = -10,    // reserved
    LCMP_ERROR_PTHREAD_CREATE = -11,
    LCMP_ERROR_PTHREAD_JOIN = -12,  // reserved
    LCMP_ERROR_BAD_ARGS = -13,
    LCMP_ERROR_MALLOC = -14,
    LCMP_ERROR_MAX_IF = -15,             // reserved
    LCMP_ERROR_ADDITIONAL_RESULT = -16,  // reserved
    LCMP_ERROR_TOO_MANY_DEVICES = -17,   // reserved
    LCMP_ERROR_PARAMETER_TYPE = -18,     // reserved
    LCMP_ERROR_SEND_PACKET = -19,
    LCMP_ERROR_UNICAST_READ_TIMEOUT = -20,
    LCMP_ERROR_CALLBACK = -21,
    LCMP_ERROR_WRAPPER = -22,              // reserved
    LCMP_ERROR_ALREADY_INITIALIZED = -23,  // reserved
    LCMP_ERROR_BAD_TRANSID = -24,
    LCMP_ERROR_BAD_FORMAT = -25,
    LCMP_ERROR_MORE_DATA_EXPECTED = -26,  // reserved
    LCMP_ERROR_INCOMPLETE = -27,          // a message of a multi-message answer was lost
} t_lcmpErrorCode;

#endif
