// Result codes and operations of the legacy SCP client. They live with the value
// conversions, which name them in texts, so that the conversions need nothing of the
// client itself.
#ifndef KIVO_SCP_CODES_H
#define KIVO_SCP_CODES_H

typedef enum e_scpErrorCode {
    SCP_ERROR_NONE = 0,
    SCP_ERROR_SOCKET_NOT_OPENED = -1,
    SCP_ERROR_ETH_IF = -2,
    SCP_ERROR_ETH_IF_MAC = -3,
    SCP_ERROR_SENDTO = -4,
    SCP_ERROR_TIMEOUT = -5,
    SCP_ERROR_DROP_PACKET = -6,
    SCP_ERROR_RECVFROM = -7,
    SCP_ERROR_BIND = -8,
    SCP_ERROR_CRC = -9,
    SCP_ERROR_FORMAT = -10,
    SCP_ERROR_BAD_ARGS = -11,
    SCP_ERROR_MALLOC = -12,
    SCP_ERROR_GET_TOO_BIG = -13,
    SCP_ERROR_ETH_IF_INACTIVE = -14,
    SCP_ERROR_RX_FORMAT = -15,
    SCP_ERROR_PARAM_OP_FAILED = -16,
} t_scpErrorCode;

typedef enum e_scpOp {
    SCP_OP_SET = 0,
    SCP_OP_GET = 1,
    SCP_OP_FACTORY_RESET = 2,
    SCP_OP_SETP = 3,
    SCP_OP_GETP = 4,
} t_scpOp;

#endif
