// Legacy SCP client: get, set and factory reset of older devices over LLC/SNAP
// frames (type 0x16) with an item list, a CRC and a password-based 3DES-CBC cipher.
#ifndef KIVO_SCP_CLIENT_LEGACY_H
#define KIVO_SCP_CLIENT_LEGACY_H

#include "scp_codes.h"
#include "types.h"

// Which wait of the last attempt failed last (reset at the start of every attempt).
typedef enum e_scpErrorTimeoutCode {
    SCP_ERROR_TIMEOUT_NONE = 0,
    SCP_ERROR_TIMEOUT_GET_1 = 1,   // get: a wait for the first reply failed
    SCP_ERROR_TIMEOUT_GET_2 = 2,   // get: no send was allowed
    SCP_ERROR_TIMEOUT_GET_3 = 3,   // get: a further reply did not come
    SCP_ERROR_TIMEOUT_SET_1 = 4,   // set / factory reset: a wait for the set reply failed, or no send allowed
    SCP_ERROR_TIMEOUT_SET_2 = 5,   // reserved
    SCP_ERROR_TIMEOUT_SET_3 = 6,   // set: sending the type query failed
    SCP_ERROR_TIMEOUT_SET_4 = 7,   // set: a wait for the first reply to the type query failed
    SCP_ERROR_TIMEOUT_SET_5 = 8,   // reserved
    SCP_ERROR_TIMEOUT_SET_6 = 9,   // set: the type query got no accepted reply after all its sends
    SCP_ERROR_TIMEOUT_SET_7 = 10,  // set: a further reply to the type query did not come
} t_scpErrorTimeoutCode;

// Capacity of the caller's info buffer: ScpClient never writes more than this many
// bytes of info data (more gives SCP_ERROR_GET_TOO_BIG).
#define SCP_INFO_BUFFER_SIZE 80000u

// Runs one operation on the device device_mac behind the host interface if_name:
// first with SHA-256 key material, and when that attempt gives anything but
// SCP_ERROR_NONE, a second complete attempt with the legacy hash, whose result is
// returned.
//  - SCP_OP_GET / SCP_OP_GETP: data holds names, each followed by a zero byte;
//    data_length 0 asks for every parameter.
//  - SCP_OP_SET / SCP_OP_SETP: data holds name, zero, value text, zero pairs.
//  - SCP_OP_FACTORY_RESET: data is not used.
// password is a zero-terminated text (null counts as empty). On SCP_ERROR_NONE and
// SCP_ERROR_PARAM_OP_FAILED, scp_info_buffer (SCP_INFO_BUFFER_SIZE bytes) holds the
// info data: one zero-terminated text per reply item (name, value text or error
// text) and *scp_info_buffer_size its length.
t_scpErrorCode ScpClient(CHAR* if_name, const INT8U* device_mac, t_scpOp op, const INT8U* password,
                         const INT8U* data, INT32U data_length, INT8U* scp_info_buffer,
                         INT32U* scp_info_buffer_size);

// Seconds to wait for a reply after a send (default 3); further replies of a get are
// waited for five times as long (16 until this is first called).
void ScpClientTimeoutSet(INT32U timeout);
// Number of sends of one request before the exchange gives up (default 3).
void ScpClientMaxRetransmissionsSet(INT32U value);
t_scpErrorTimeoutCode ScpClientErrorTimeoutCodeGet(void);

#endif
