// Private steps of the legacy SCP client, declared for its unit tests only.
#ifndef KIVO_SCP_CLIENT_LEGACY_INTERNAL_H
#define KIVO_SCP_CLIENT_LEGACY_INTERNAL_H

#include <linux/if_packet.h>

#include "scp_client_legacy.h"
#include "types.h"

namespace scp_internal {

// Frame and message geometry.
inline constexpr INT32U SCP_FRAME_SIZE = 1514;        // largest frame built or received
inline constexpr INT32U SCP_FRAME_HEADER_SIZE = 22;   // addresses, length, LLC/SNAP
inline constexpr INT32U SCP_MSG_HEADER_SIZE = 14;     // opcode ... crc
inline constexpr INT32U SCP_MSG_MAX = SCP_FRAME_SIZE - SCP_FRAME_HEADER_SIZE;  // 1492
inline constexpr INT32U SCP_PAYLOAD_MAX = SCP_MSG_MAX - SCP_MSG_HEADER_SIZE;   // 1478
// Longest item list that still fits the frame once padded to a multiple of 8.
inline constexpr INT32U SCP_ENCIPHERED_LIST_MAX = SCP_PAYLOAD_MAX & ~7u;      // 1472
inline constexpr INT32U SCP_MSG_MIN = 24;             // shorter messages are zero-filled
inline constexpr INT32U SCP_MIN_FRAME_RX = SCP_FRAME_HEADER_SIZE + SCP_MSG_HEADER_SIZE;  // 36
inline constexpr INT8U SCP_FRAME_TYPE = 0x16;
inline constexpr INT8U SCP_PAD_BYTE = 0xE6;
// Bound of the reply payloads collected by one exchange.
inline constexpr INT32U SCP_COLLECT_MAX = 80000;
// Bound of the reply messages accepted by one exchange (a device that keeps sending
// empty "more to come" replies would otherwise never let go).
inline constexpr INT32U SCP_REPLY_MESSAGES_MAX = 2048;
// Longest value text of a set pair.
inline constexpr INT32U SCP_VALUE_TEXT_MAX = 40000;
inline constexpr INT32U SCP_KEY_SIZE = 32;

// Item types and the sub-type byte of a name item.
inline constexpr INT8U SCP_ITEM_NAME = 1;
inline constexpr INT8U SCP_ITEM_VALUE = 2;
inline constexpr INT8U SCP_ITEM_ERROR = 3;
inline constexpr INT8U SCP_NAME_SUBTYPE = 0x0A;

// Opcodes of requests and replies.
inline constexpr INT8U SCP_OPCODE_GET = 1;
inline constexpr INT8U SCP_OPCODE_SET = 2;
inline constexpr INT8U SCP_OPCODE_FACTORY_RESET = 3;
inline constexpr INT8U SCP_OPCODE_GET_REPLY = 4;
inline constexpr INT8U SCP_OPCODE_SET_REPLY = 5;
inline constexpr INT8U SCP_OPCODE_FACTORY_RESET_REPLY = 6;
inline constexpr INT8U SCP_OPCODE_GETP = 7;
inline constexpr INT8U SCP_OPCODE_SETP = 8;
inline constexpr INT8U SCP_OPCODE_GETP_REPLY = 9;
inline constexpr INT8U SCP_OPCODE_SETP_REPLY = 10;

// Where the item walk of the previous reply of this operation left off.
INT32U StaticPaddingPositionGet();
void StaticPaddingPositionSet(INT32U position);

// Key material and the cipher twins of the SCP client.
void scpClientSHA2Hash(INT8U* hash, const INT8U* data, INT32U length);
void scpClientLegacyHash(INT8U* hash, const INT8U* data, INT32U length);
void get_key(const INT8U* password, INT8U* key, BOOLEAN scpLegacyHash);
t_scpErrorCode scpClientImprovedEncipher(INT8U* data, INT32U length, INT8U* key);
t_scpErrorCode scpClientImprovedDecipher(INT8U* data, INT32U length, INT8U* key);

// Message composition. scp_msg holds SCP_MSG_MAX bytes; data holds its item list
// and room for 7 padding bytes. Returns the message length, or 0 when the (padded)
// list does not fit a frame.
INT32U compose_scp_get_msg(INT8U* scp_msg, INT8U* data, INT8U op_number, INT32U data_length,
                           BOOLEAN get_private, INT8U* key);
INT32U compose_scp_set_msg(INT8U* scp_msg, INT8U* data, INT8U op_number, INT32U data_length, INT8U* key,
                           BOOLEAN factory, BOOLEAN set_private);

t_scpErrorCode send_packet(int s, struct sockaddr_ll* socket_address, const INT8U* src_mac,
                           const INT8U* dst_mac, INT8U* data, INT32U data_length);
// Waits up to timeout seconds in all for the reply op/seq from dst_mac (the device)
// to src_mac (the host). data receives the message (SCP_MSG_MAX bytes); *data_length
// the number of payload bytes to use (padding removed).
t_scpErrorCode receive_packet(int s, const INT8U* src_mac, const INT8U* dst_mac, INT8U* waiting_op_number,
                              INT8U* waiting_seq_number, INT8U* data, INT32U* data_length, INT8U* key,
                              INT32U timeout);
INT32U paddingPositionGet(INT8U* data, INT32U length);

// Item lists. parsed_data holds at least SCP_PAYLOAD_MAX + 8 bytes.
t_scpErrorCode parse_get_data(const INT8U* data, INT32U data_length, INT8U* parsed_data,
                              INT32U* parsed_data_length);
t_scpErrorCode parse_set_data(const INT8U* data, INT32U data_length, INT8U* typeOfdata_buffer,
                              INT32U typeOfdata_buffer_size, INT8U* parsed_data, INT32U* parsed_data_length);
t_scpErrorCode factory_reset_set_data(INT8U* parsed_data, INT32U* parsed_data_length);
// Turns collected reply payloads into info data (or, with get_type_param, into the
// list of value types). Writes at most buffer_capacity bytes.
t_scpErrorCode parse_scp_info_msg(INT8U* scp_res, INT32U res_length, INT8U* buffer, INT32U* size,
                                  BOOLEAN get_type_param, INT32U buffer_capacity);

// The exchanges of one attempt, over a bound socket.
struct ScpLink {
    int s;
    struct sockaddr_ll* socket_address;
    const INT8U* host_mac;
    const INT8U* device_mac;
};
t_scpErrorCode getOperation(const ScpLink& link, INT8U op_number, const INT8U* data, INT32U data_length,
                            BOOLEAN get_private, INT8U* key, INT8U* scp_info_buffer,
                            INT32U* scp_info_buffer_size);
t_scpErrorCode setOperation(const ScpLink& link, t_scpOp op, INT8U op_number, const INT8U* data,
                            INT32U data_length, INT8U* key, INT8U* scp_info_buffer,
                            INT32U* scp_info_buffer_size);
t_scpErrorCode setOrder(const ScpLink& link, t_scpOp op, INT8U op_number, const INT8U* data,
                        INT32U data_length, INT8U* key, INT8U* typeOfdata_buffer,
                        INT32U typeOfdata_buffer_size, INT8U* scp_info_buffer, INT32U* scp_info_buffer_size);

}  // namespace scp_internal

#endif
