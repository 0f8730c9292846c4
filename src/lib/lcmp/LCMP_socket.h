// LCMP link layer: the opcodes of the 8-byte management message header (MMH). The
// framing, segmentation, tagging and reassembly are in LCMP_socket.cpp, behind the
// session (LCMP_comm.h).
#ifndef KIVO_LCMP_SOCKET_H
#define KIVO_LCMP_SOCKET_H

#include "LCMP_error.h"
#include "types.h"

// LCMP opcodes: a 12-bit field of the MMH.
typedef enum e_lcmpOpcodeType {
    LCMP_READ_REQ = 352,
    LCMP_READ_CNF = 353,
    LCMP_WRITE_REQ = 354,
    LCMP_WRITE_CNF = 355,
    LCMP_CTRL_REQ = 356,
    LCMP_CTRL_CNF = 357,
    LCMP_NOTIFY_IND = 358,
    LCMP_NOTIFY_RSP = 359,
    LCMP_IND = 360,
    LCMP_RSP = 361,
    NUM_OPCODES = 362,
} t_lcmpOpcodeType;

#endif
