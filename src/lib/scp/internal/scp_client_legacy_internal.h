// Private steps of the legacy SCP client, shared by its source files and declared for
// its tests.
#ifndef KIVO_SCP_CLIENT_LEGACY_INTERNAL_H
#define KIVO_SCP_CLIENT_LEGACY_INTERNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "port.h"
#include "scp_client_legacy.h"

namespace kivo::scp {

// ---------------------------------------------------------------------------
// Frame and message geometry

inline constexpr uint32_t kFrameSize = 1514;      // largest frame built; longer replies are cut here
inline constexpr uint32_t kFrameHeaderSize = 22;  // addresses, length, LLC/SNAP
inline constexpr uint32_t kMsgHeaderSize = 14;    // opcode ... crc
inline constexpr uint32_t kMsgMax = kFrameSize - kFrameHeaderSize;  // 1492
inline constexpr uint32_t kPayloadMax = kMsgMax - kMsgHeaderSize;   // 1478
// Longest item list that still fits the frame once padded to a multiple of 8.
inline constexpr uint32_t kEncipheredListMax = kPayloadMax & ~7u;  // 1472
inline constexpr uint32_t kMsgMin = 24;                            // shorter messages are zero-filled
// SNAP protocol id of SCP: type 0x16 (the byte replies are recognised by), subtype 1.
inline constexpr uint8_t kSnapType = 0x16;
inline constexpr uint16_t kSnapPid = 0x1601;
inline constexpr uint8_t kPadByte = 0xE6;
// Bound of the reply payloads collected by one exchange.
inline constexpr uint32_t kCollectMax = 80000;
// Bound of the reply messages accepted by one exchange (a device that keeps sending
// empty "more to come" replies would otherwise never let go).
inline constexpr uint32_t kReplyMessagesMax = 2048;
// Longest value text of a set pair.
inline constexpr uint32_t kValueTextMax = 40000;
inline constexpr uint32_t kKeySize = 32;

// Item types and the sub-type byte of a name item.
inline constexpr uint8_t kItemName = 1;
inline constexpr uint8_t kItemValue = 2;
inline constexpr uint8_t kItemError = 3;
inline constexpr uint8_t kNameSubtype = 0x0A;

// Opcodes of requests and replies.
inline constexpr uint8_t kOpcodeGet = 1;
inline constexpr uint8_t kOpcodeSet = 2;
inline constexpr uint8_t kOpcodeFactoryReset = 3;
inline constexpr uint8_t kOpcodeGetReply = 4;
inline constexpr uint8_t kOpcodeSetReply = 5;
inline constexpr uint8_t kOpcodeFactoryResetReply = 6;
inline constexpr uint8_t kOpcodeGetp = 7;
inline constexpr uint8_t kOpcodeSetp = 8;
inline constexpr uint8_t kOpcodeGetpReply = 9;
inline constexpr uint8_t kOpcodeSetpReply = 10;

// The message header: opcode, a fixed 1, a reserved byte, op number, sequence number,
// last-item flag, two reserved bytes, payload length and CRC (big-endian).
struct MessageHeader {
    uint8_t opcode = 0;
    uint8_t opNumber = 0;
    uint8_t seq = 0;
    uint8_t lastItem = 0;
    uint16_t payloadLength = 0;
    uint32_t crc = 0;
};

// ---------------------------------------------------------------------------
// Key material, cipher, message composition

void KeyMake(const uint8_t* password, uint8_t* key, bool legacyHash);
t_scpErrorCode Encipher(uint8_t* data, uint32_t length, const uint8_t* key);
t_scpErrorCode Decipher(uint8_t* data, uint32_t length, const uint8_t* key);

// message holds kMsgMax bytes; list holds its item list and room for 7 padding
// bytes. Returns the message length, or 0 when the (padded) list does not fit a frame.
uint32_t ComposeGetMessage(uint8_t* message, uint8_t* list, uint8_t opNumber, uint32_t listLength,
                           bool isPrivate, const uint8_t* key);
uint32_t ComposeSetMessage(uint8_t* message, uint8_t* list, uint8_t opNumber, uint32_t listLength,
                           const uint8_t* key, bool factory, bool isPrivate);

// Reads the header of a message; false when fewer than kMsgHeaderSize bytes remain.
bool MessageHeaderRead(ByteReader& r, MessageHeader& h);

// Where the padding of a deciphered reply payload starts, 0 when it holds none (the
// walk then carries over into the next reply). carry is where the item walk of the
// previous reply of the same operation left off, counted from the start of this
// payload (0: the payload starts with an item); it is updated for the next reply.
uint32_t PaddingPositionGet(const uint8_t* data, uint32_t length, uint32_t& carry);

// ---------------------------------------------------------------------------
// Item lists and info data

// list holds at least kPayloadMax + 8 bytes.
t_scpErrorCode BuildGetList(const uint8_t* data, uint32_t dataLength, uint8_t* list, uint32_t* listLength);
Status BuildSetList(const uint8_t* data, uint32_t dataLength, const uint8_t* types, uint32_t typeCount,
                    uint8_t* list, uint32_t* listLength);
t_scpErrorCode BuildFactoryResetList(uint8_t* list, uint32_t* listLength);
// Turns collected reply payloads into info data (or, with typesOnly, into the list of
// value types). Writes at most capacity bytes.
Status ParseInfoData(const uint8_t* replies, uint32_t length, uint8_t* buffer, uint32_t* size, bool typesOnly,
                     uint32_t capacity);

// ---------------------------------------------------------------------------
// One attempt of an operation, over an open port

// The one translation of port outcomes into SCP results. A receive that fails for any
// reason is a reply that did not come.
enum class PortStep { kOpen, kSend, kReceive };
Status PortResult(l2::PortStatus status, PortStep step, const std::string& name);
t_scpErrorCode PortCode(l2::PortStatus status, PortStep step);

// Reply payloads collected by one exchange, bounded in bytes and in messages.
class ReplyCollector {
   public:
    t_scpErrorCode Append(const uint8_t* payload, uint32_t length);
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

   private:
    std::vector<uint8_t> bytes_;
    uint32_t messages_ = 0;
};

// The exchanges of one attempt with one device: it owns everything the attempt keeps
// from one message to the next (operation number, the padding walk, which wait failed
// last). The port is the caller's and stays open while the exchange is used; frames
// of other devices, of other operations and of other sequence numbers that reach it
// are skipped.
class Exchange {
   public:
    Exchange(l2::Port& port, const uint8_t* deviceMac, const Settings& settings, uint8_t opNumber)
        : port_(port), deviceMac_(deviceMac), settings_(settings), opNumber_(opNumber) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    t_scpErrorCode Send(const uint8_t* message, uint32_t length);
    // Waits up to timeout seconds in all for reply seq of this operation from the
    // device to this host. message receives the message (kMsgMax bytes);
    // *payloadLength the number of payload bytes to use (padding removed). With a key
    // the reply must be enciphered under it: one that cannot be deciphered is refused
    // like a bad CRC. Without a key (null) the reply is read as clear text.
    t_scpErrorCode Receive(uint8_t seq, uint8_t* message, uint32_t* payloadLength, const uint8_t* key,
                           uint32_t timeout);

    // The operations; info receives the info data (at most SCP_INFO_BUFFER_SIZE bytes).
    t_scpErrorCode Get(const uint8_t* data, uint32_t dataLength, bool isPrivate, const uint8_t* key,
                       std::vector<uint8_t>& info);
    // A type query under this operation number, then the set under the next one.
    t_scpErrorCode Set(t_scpOp op, const uint8_t* data, uint32_t dataLength, const uint8_t* key,
                       std::vector<uint8_t>& info);
    // The set (or factory reset) request itself, with the value types the device gave.
    t_scpErrorCode SetOrder(t_scpOp op, const uint8_t* data, uint32_t dataLength, const uint8_t* key,
                            const uint8_t* types, uint32_t typeCount, std::vector<uint8_t>& info);

    t_scpErrorTimeoutCode timeoutCode() const { return timeoutCode_; }
    // The words of the exchange's first trouble (a port failure, a refused value, a
    // refusal of the device), whether or not the exchange went on.
    const Status& words() const { return words_; }

   private:
    struct FirstReply {
        t_scpErrorCode result = SCP_ERROR_TIMEOUT;
        bool accepted = false;
    };
    FirstReply RequestFirstReply(const uint8_t* message, uint32_t messageLength, uint8_t expectedOpcode,
                                 const uint8_t* key, uint8_t* reply, uint32_t* replyLength,
                                 t_scpErrorTimeoutCode waitCode, t_scpErrorTimeoutCode sendCode);
    t_scpErrorCode CollectRemainingReplies(const uint8_t* key, uint32_t timeout,
                                           t_scpErrorTimeoutCode timeoutCode, uint8_t* reply,
                                           uint32_t replyLength, ReplyCollector& collected);
    bool FromTheDevice(const l2::FrameView& frame) const;
    // Keeps the words of a step's status unless the exchange has some; gives its code.
    t_scpErrorCode Note(const Status& status);

    l2::Port& port_;
    const uint8_t* deviceMac_;
    const Settings settings_;
    uint8_t opNumber_;
    uint32_t paddingCarry_ = 0;
    Status words_;
    t_scpErrorTimeoutCode timeoutCode_ = SCP_ERROR_TIMEOUT_NONE;
};

}  // namespace kivo::scp

#endif
