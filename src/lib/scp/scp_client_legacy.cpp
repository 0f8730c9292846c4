// Legacy SCP client.
//
// One operation opens a link-layer port on the host interface, sends a request message
// in an LLC/SNAP frame and collects the device's reply messages. A message is a 14-byte
// header followed by an item list (name, value and error items); set and factory
// reset lists are padded with 0xE6 to a multiple of 8 and enciphered with 3DES-CBC
// under key material made from the password; every payload carries a CRC of its
// plain bytes. Every byte received is checked before it is used: a reply is only
// read within the bytes that arrived.
#include "scp_client_legacy.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <span>
#include <vector>

#include "byte_io.h"
#include "clock.h"
#include "conversion.h"
#include "conversion_legacy.h"
#include "crc32.h"
#include "log.h"
#include "reason.h"
#include "scp_client_legacy_internal.h"
#include "sha2_pub.h"
#include "triple_des.h"

namespace kivo::scp {
namespace {

// Settings (seconds and counts); one instance per process.
std::atomic<uint32_t> timeoutStandard{3};
std::atomic<uint32_t> timeoutLongGet{16};
std::atomic<uint32_t> maxSends{3};
std::atomic<t_scpErrorTimeoutCode> errorTimeoutCode{SCP_ERROR_TIMEOUT_NONE};

// Where the item walk of the previous deciphered reply of this operation left off,
// counted from the start of the next reply's payload.
uint32_t staticPaddingPosition = 0;

// Two padding bytes in a row never start an item: an item's length field is at most
// the size of a frame.
constexpr uint16_t kPadWord = kPadByte << 8 | kPadByte;
constexpr uint8_t kMsgFixedOne = 1;
constexpr char kFactoryResetName[] = "FACTORYRESET.GENERAL.FORCE_RESET";

// Draws the operation number. The sequence is seeded once per process so that the
// numbers a spoofer would have to guess differ from run to run.
uint8_t DrawOpNumber() {
    static std::mutex lock;
    static std::minstd_rand generator{std::random_device{}()};
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<uint8_t>(generator() & 0xFF);
}

// ---------------------------------------------------------------------------
// Port outcomes

enum class Step { kOpen, kSend, kReceive };

// The one translation of port outcomes into SCP results. A receive that fails for any
// reason is a reply that did not come.
t_scpErrorCode ErrorOf(l2::PortStatus status, Step step, const std::string& name) {
    using l2::PortStatus;
    if (status == PortStatus::kOk) return SCP_ERROR_NONE;
    l2::PortFailureRecord(status, name.c_str());
    if (step == Step::kSend) return SCP_ERROR_SENDTO;
    if (step == Step::kReceive) return SCP_ERROR_TIMEOUT;
    switch (status) {
        case PortStatus::kPermission:
        case PortStatus::kSocket:
            return SCP_ERROR_SOCKET_NOT_OPENED;
        case PortStatus::kNoInterface:
            return SCP_ERROR_ETH_IF_MAC;
        default:
            return SCP_ERROR_ETH_IF;  // a name that cannot be an interface's, or one that is unusable
    }
}

// ---------------------------------------------------------------------------
// Lists and texts

// Reply payloads collected by one exchange, bounded in bytes and in messages.
class ReplyCollector {
   public:
    t_scpErrorCode Append(const uint8_t* payload, uint32_t length) {
        if (++messages_ > kReplyMessagesMax) return SCP_ERROR_GET_TOO_BIG;
        if (length > kCollectMax - bytes_.size()) return SCP_ERROR_GET_TOO_BIG;
        bytes_.insert(bytes_.end(), payload, payload + length);
        return SCP_ERROR_NONE;
    }
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

   private:
    std::vector<uint8_t> bytes_;
    uint32_t messages_ = 0;
};

// Appends one item (length field, item type, sub-type, content) to an item list of
// at most kPayloadMax bytes; false when the list would grow beyond that.
bool AppendItem(uint8_t* list, uint32_t* listLength, uint8_t itemType, uint8_t subType,
                const uint8_t* content, uint32_t contentLength) {
    if (contentLength > kPayloadMax || *listLength + contentLength + 4 > kPayloadMax) return false;
    ByteWriter w(list + *listLength, contentLength + 4);
    w.be16(static_cast<uint16_t>(contentLength + 2));
    w.u8(itemType);
    w.u8(subType);
    w.bytes(content, contentLength);
    *listLength += contentLength + 4;
    return true;
}

// Length of the zero-terminated text starting at data[pos], or -1 when no zero byte
// follows within the dataLength bytes.
long TextLength(const uint8_t* data, uint32_t dataLength, uint32_t pos) {
    if (pos >= dataLength) return -1;
    const void* zero = std::memchr(data + pos, 0, dataLength - pos);
    if (zero == nullptr) return -1;
    return static_cast<const uint8_t*>(zero) - (data + pos);
}

// Adds n bytes and a zero byte to the info data, within its capacity.
bool AppendText(uint8_t* buffer, uint32_t* size, uint32_t capacity, const uint8_t* text, uint32_t n) {
    if (*size > capacity || n >= capacity - *size) return false;
    if (n) std::memcpy(buffer + *size, text, n);
    buffer[*size + n] = 0;
    *size += n + 1;
    return true;
}

uint32_t PaddedLength(uint32_t length) {
    return (length + 7) & ~7u;
}

// Builds a message: header, item list padded (when asked) and enciphered (when asked).
uint32_t ComposeMessage(uint8_t* message, uint8_t* list, uint8_t opcode, uint8_t opNumber,
                        uint32_t listLength, bool padAndEncipher, const uint8_t* key) {
    std::memset(message, 0, kMsgMax);
    uint32_t length = listLength;
    if (padAndEncipher) {
        length = PaddedLength(listLength);
        if (length > kPayloadMax) return 0;
        std::memset(list + listLength, kPadByte, length - listLength);
    } else if (length > kPayloadMax) {
        return 0;
    }
    ByteWriter w(message, kMsgMax);
    w.u8(opcode);
    w.u8(kMsgFixedOne);
    w.u8(0);
    w.u8(opNumber);
    w.u8(1);  // sequence number
    w.u8(0);  // last item
    w.be16(0);
    w.be16(static_cast<uint16_t>(length));
    w.be32(crc32(list, length, 0xFFFFFFFFu));
    w.bytes(list, length);
    if (padAndEncipher) Encipher(message + kMsgHeaderSize, length, key);
    return kMsgHeaderSize + length;
}

bool MessageHeaderRead(ByteReader& r, MessageHeader& h) {
    return r.u8(h.opcode) && r.skip(2) && r.u8(h.opNumber) && r.u8(h.seq) && r.u8(h.lastItem) && r.skip(2) &&
           r.be16(h.payloadLength) && r.be32(h.crc);
}

// ---------------------------------------------------------------------------
// Exchanges

// The header of a received message (the message buffer holds at least a header).
MessageHeader HeaderOf(const uint8_t* message) {
    MessageHeader h;
    ByteReader r(message, kMsgHeaderSize);
    MessageHeaderRead(r, h);
    return h;
}

// Outcome of one wait for the first reply to a request, sent up to maxSends times.
struct FirstReply {
    t_scpErrorCode result = SCP_ERROR_TIMEOUT;
    bool accepted = false;
};

// Sends message and waits for reply sequence number 1 with the expected opcode, at
// most maxSends sends. Failed waits set waitCode; a send failure sets sendCode (when
// given) and ends with SCP_ERROR_SENDTO.
FirstReply RequestFirstReply(const Link& link, const uint8_t* message, uint32_t messageLength,
                             uint8_t opNumber, uint8_t expectedOpcode, const uint8_t* key, uint8_t* reply,
                             uint32_t* replyLength, t_scpErrorTimeoutCode waitCode,
                             t_scpErrorTimeoutCode sendCode) {
    FirstReply out;
    const uint32_t sendsAllowed = maxSends.load();
    const uint32_t timeout = timeoutStandard.load();
    for (uint32_t sends = 0; sends < sendsAllowed; ++sends) {
        t_scpErrorCode r = SendMessage(link, message, messageLength);
        if (r != SCP_ERROR_NONE) {
            if (sendCode != SCP_ERROR_TIMEOUT_NONE) errorTimeoutCode = sendCode;
            out.result = SCP_ERROR_SENDTO;
            return out;
        }
        r = ReceiveMessage(link, opNumber, 1, reply, replyLength, key, timeout);
        if (r != SCP_ERROR_NONE) {
            errorTimeoutCode = waitCode;
            out.result = r;
            continue;
        }
        if (HeaderOf(reply).opcode != expectedOpcode) {
            out.result = SCP_ERROR_TIMEOUT;
            continue;
        }
        out.result = SCP_ERROR_NONE;
        out.accepted = true;
        return out;
    }
    return out;
}

// Collects the first reply (already in reply) and then the messages that follow it,
// numbered 2, 3, ..., until one has the last-item flag set. A missing message sets
// errorTimeoutCode to timeoutCode.
t_scpErrorCode CollectRemainingReplies(const Link& link, uint8_t opNumber, const uint8_t* key,
                                       uint32_t timeout, t_scpErrorTimeoutCode timeoutCode, uint8_t* reply,
                                       uint32_t replyLength, ReplyCollector& collected) {
    t_scpErrorCode r = collected.Append(reply + kMsgHeaderSize, replyLength);
    if (r != SCP_ERROR_NONE) return r;
    for (uint8_t seq = 2; HeaderOf(reply).lastItem == 0; ++seq) {
        r = ReceiveMessage(link, opNumber, seq, reply, &replyLength, key, timeout);
        if (r != SCP_ERROR_NONE) {
            errorTimeoutCode = timeoutCode;
            return r;
        }
        r = collected.Append(reply + kMsgHeaderSize, replyLength);
        if (r != SCP_ERROR_NONE) return r;
    }
    return SCP_ERROR_NONE;
}

}  // namespace

// ---------------------------------------------------------------------------
// Key material, cipher, messages

uint32_t StaticPaddingPositionGet() {
    return staticPaddingPosition;
}
void StaticPaddingPositionSet(uint32_t position) {
    staticPaddingPosition = position;
}

void KeyMake(const uint8_t* password, uint8_t* key, bool legacyHash) {
    static const uint8_t empty[1] = {0};
    if (password == nullptr) password = empty;
    const uint32_t length = static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(password)));
    if (legacyHash)
        GenerateLegacyHash(key, password, length);
    else
        GenerateSha256Hash(key, password, length);
}

t_scpErrorCode Encipher(uint8_t* data, uint32_t length, const uint8_t* key) {
    if (length > 0x7FFFFFFFu) return SCP_ERROR_BAD_ARGS;
    return DES3CBCCipher(data, static_cast<int32_t>(length), key) == 0 ? SCP_ERROR_NONE : SCP_ERROR_BAD_ARGS;
}

t_scpErrorCode Decipher(uint8_t* data, uint32_t length, const uint8_t* key) {
    if (length > 0x7FFFFFFFu) return SCP_ERROR_BAD_ARGS;
    return DES3CBCDecipher(data, static_cast<int32_t>(length), key) == 0 ? SCP_ERROR_NONE
                                                                         : SCP_ERROR_BAD_ARGS;
}

uint32_t ComposeGetMessage(uint8_t* message, uint8_t* list, uint8_t opNumber, uint32_t listLength,
                           bool isPrivate, const uint8_t* key) {
    return ComposeMessage(message, list, isPrivate ? kOpcodeGetp : kOpcodeGet, opNumber, listLength,
                          isPrivate, key);
}

uint32_t ComposeSetMessage(uint8_t* message, uint8_t* list, uint8_t opNumber, uint32_t listLength,
                           const uint8_t* key, bool factory, bool isPrivate) {
    const uint8_t opcode = factory ? kOpcodeFactoryReset : (isPrivate ? kOpcodeSetp : kOpcodeSet);
    return ComposeMessage(message, list, opcode, opNumber, listLength, true, key);
}

uint32_t PaddingPositionGet(const uint8_t* data, uint32_t length) {
    if (length < 2) return 0;
    ByteReader r(data, length);
    uint32_t p = staticPaddingPosition;
    if (p == 0) {
        uint16_t first = 0;
        r.be16(first);
        p = first + 2u;
    }
    while (p + 2 <= length) {
        uint16_t field = 0;
        r.seek(p);
        r.be16(field);
        if (field == kPadWord) break;
        p += field + 2u;
    }
    if (p < length) {
        staticPaddingPosition = 0;
        return p;
    }
    staticPaddingPosition = p - length;
    return 0;
}

// ---------------------------------------------------------------------------
// Item lists and info data

t_scpErrorCode BuildGetList(const uint8_t* data, uint32_t dataLength, uint8_t* list, uint32_t* listLength) {
    if (data == nullptr || list == nullptr || listLength == nullptr) return SCP_ERROR_BAD_ARGS;
    *listLength = 0;
    uint32_t pos = 0;
    while (pos < dataLength) {
        const long nameLength = TextLength(data, dataLength, pos);
        if (nameLength < 0) return SCP_ERROR_FORMAT;
        if (!AppendItem(list, listLength, kItemName, kNameSubtype, data + pos,
                        static_cast<uint32_t>(nameLength)))
            return SCP_ERROR_FORMAT;
        pos += static_cast<uint32_t>(nameLength) + 1;
    }
    return SCP_ERROR_NONE;
}

t_scpErrorCode BuildSetList(const uint8_t* data, uint32_t dataLength, const uint8_t* types,
                            uint32_t typeCount, uint8_t* list, uint32_t* listLength) {
    if (data == nullptr || list == nullptr || listLength == nullptr) return SCP_ERROR_BAD_ARGS;
    *listLength = 0;
    std::vector<uint8_t> encoded;
    if (types != nullptr) encoded.resize(LEGACY_VALUE_AREA_SIZE);
    uint32_t typeIndex = 0;
    uint32_t pos = 0;
    while (pos < dataLength) {
        const long nameLength = TextLength(data, dataLength, pos);
        if (nameLength < 0) return SCP_ERROR_FORMAT;
        if (!AppendItem(list, listLength, kItemName, kNameSubtype, data + pos,
                        static_cast<uint32_t>(nameLength)))
            return SCP_ERROR_FORMAT;
        const uint8_t* name = data + pos;
        pos += static_cast<uint32_t>(nameLength) + 1;
        // Every name must be followed by its value text.
        const long valueLength = TextLength(data, dataLength, pos);
        if (valueLength < 0 || static_cast<uint32_t>(valueLength) > kValueTextMax) return SCP_ERROR_FORMAT;
        const uint8_t* valueText = data + pos;
        pos += static_cast<uint32_t>(valueLength) + 1;
        if (types == nullptr) continue;
        if (typeIndex >= typeCount) return SCP_ERROR_FORMAT;
        const uint8_t type = types[typeIndex++];
        uint32_t encodedLength = 0;
        if (!stringToValue(type, valueText, &encodedLength, encoded.data(),
                           static_cast<uint32_t>(encoded.size())) ||
            encodedLength > encoded.size()) {
            char reason[512];
            ConversionRefusalText(reinterpret_cast<const char*>(name), static_cast<uint32_t>(nameLength),
                                  reinterpret_cast<const char*>(valueText),
                                  static_cast<uint32_t>(valueLength), static_cast<t_paramType>(type), reason,
                                  sizeof(reason));
            kivo::FailureRecord(kivo::Reason::kInvalidValue, "%s", reason);
            return SCP_ERROR_FORMAT;
        }
        if (!AppendItem(list, listLength, kItemValue, type, encoded.data(), encodedLength))
            return SCP_ERROR_FORMAT;
    }
    return SCP_ERROR_NONE;
}

t_scpErrorCode BuildFactoryResetList(uint8_t* list, uint32_t* listLength) {
    if (list == nullptr || listLength == nullptr) return SCP_ERROR_BAD_ARGS;
    *listLength = 0;
    AppendItem(list, listLength, kItemName, kNameSubtype, reinterpret_cast<const uint8_t*>(kFactoryResetName),
               sizeof(kFactoryResetName) - 1);
    static const uint8_t one[] = "1";
    std::array<uint8_t, 8> value{};
    uint32_t valueLength = 0;
    if (!stringToValue(PARAM_TYPE_INT8U, one, &valueLength, value.data(),
                       static_cast<uint32_t>(value.size())) ||
        valueLength > value.size())
        return SCP_ERROR_FORMAT;
    AppendItem(list, listLength, kItemValue, PARAM_TYPE_INT8U, value.data(), valueLength);
    return SCP_ERROR_NONE;
}

t_scpErrorCode ParseInfoData(const uint8_t* replies, uint32_t length, uint8_t* buffer, uint32_t* size,
                             bool typesOnly, uint32_t capacity) {
    if (replies == nullptr || buffer == nullptr || size == nullptr) return SCP_ERROR_BAD_ARGS;
    *size = 0;
    t_scpErrorCode result = SCP_ERROR_NONE;
    // Scratch areas: the item's content followed by zero bytes (some renderings read
    // up to a zero byte or a fixed width), and the text rendered from it.
    std::vector<uint8_t> content;
    std::vector<uint8_t> text;
    ByteReader r(replies, length);
    while (r.remaining() > 0) {
        uint16_t itemLength = 0;
        uint8_t itemType = 0;
        uint8_t subType = 0;
        std::span<const uint8_t> itemContent;
        // The length field counts the type bytes and the content.
        if (!r.be16(itemLength) || !r.u8(itemType) || !r.u8(subType) || itemLength < 2 ||
            !r.view(itemContent, itemLength - 2u))
            return SCP_ERROR_RX_FORMAT;
        const uint32_t contentLength = static_cast<uint32_t>(itemContent.size());
        switch (itemType) {
            case kItemName:
                if (!typesOnly && !AppendText(buffer, size, capacity, itemContent.data(), contentLength))
                    return SCP_ERROR_GET_TOO_BIG;
                break;
            case kItemValue: {
                if (typesOnly) {
                    if (*size >= capacity) return SCP_ERROR_GET_TOO_BIG;
                    buffer[(*size)++] = subType;
                    break;
                }
                content.assign(contentLength + 64, 0);
                std::copy(itemContent.begin(), itemContent.end(), content.begin());
                // The longest rendering is five characters per value byte ("-128,").
                text.assign(5 * static_cast<size_t>(contentLength) + 128, 0);
                uint32_t textLength = itemLength;
                valueToString(subType, content.data(), &textLength, text.data(),
                              static_cast<uint32_t>(text.size()));
                textLength = std::min<uint32_t>(textLength, static_cast<uint32_t>(text.size()));
                if (!AppendText(buffer, size, capacity, text.data(), textLength))
                    return SCP_ERROR_GET_TOO_BIG;
                break;
            }
            case kItemError: {
                text.assign(256, 0);
                uint32_t textLength = itemLength;
                const int32_t status = errorToString(itemContent.data(), &textLength, text.data(),
                                                     static_cast<uint32_t>(text.size()));
                textLength = std::min<uint32_t>(textLength, static_cast<uint32_t>(text.size()));
                if (status != 0) {
                    result = SCP_ERROR_PARAM_OP_FAILED;
                    FailureRecord(
                        Reason::kDeviceRefused, "the device refused: %.*s",
                        static_cast<int>(strnlen(reinterpret_cast<const char*>(text.data()), textLength)),
                        reinterpret_cast<const char*>(text.data()));
                }
                // A device that reports on a name while types are asked for does
                // not know that name.
                if (typesOnly) return SCP_ERROR_RX_FORMAT;
                if (!AppendText(buffer, size, capacity, text.data(), textLength))
                    return SCP_ERROR_GET_TOO_BIG;
                break;
            }
            default:
                return SCP_ERROR_RX_FORMAT;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// Exchanges

t_scpErrorCode SendMessage(const Link& link, const uint8_t* message, uint32_t length) {
    if (message == nullptr || link.deviceMac == nullptr || length > kMsgMax) return SCP_ERROR_BAD_ARGS;
    // Short messages are zero-filled to kMsgMin bytes; the length field keeps the
    // unfilled size. The frame goes out as built, without further padding.
    std::array<uint8_t, kFrameSize> frame{};
    const size_t frameLength = kFrameHeaderSize + std::max(length, kMsgMin);
    ByteWriter w(frame.data(), frameLength);
    l2::EthernetWrite(w, link.deviceMac, link.port.mac().data(), nullptr,
                      static_cast<uint16_t>(l2::kSnapHeaderLength + length));
    l2::SnapWrite(w, kSnapPid);
    w.bytes(message, length);
    if (!w.ok()) return SCP_ERROR_BAD_ARGS;
    return ErrorOf(link.port.SendFrame(frame.data(), frameLength), Step::kSend, link.port.name());
}

t_scpErrorCode ReceiveMessage(const Link& link, uint8_t opNumber, uint8_t seq, uint8_t* message,
                              uint32_t* payloadLength, const uint8_t* key, uint32_t timeout) {
    const Deadline deadline = Deadline::After(std::chrono::seconds(timeout));
    l2::FrameView frame;
    for (;;) {
        // Checked before every frame: a stream of frames that are not the reply must
        // not hold the wait past its end.
        if (deadline.passed()) return SCP_ERROR_TIMEOUT;
        const l2::PortStatus status = link.port.Recv(frame, deadline);
        if (status != l2::PortStatus::kOk) return ErrorOf(status, Step::kReceive, link.port.name());
        if (!std::equal(frame.eth.src.begin(), frame.eth.src.end(), link.deviceMac) ||
            frame.eth.dst != link.port.mac())
            continue;
        ByteReader r = frame.payloadReader();
        l2::SnapHeader snap;
        if (!l2::SnapRead(r, snap) || (snap.pid >> 8) != kSnapType) continue;
        // What lies beyond the largest SCP frame is not looked at.
        const uint32_t messageLength = static_cast<uint32_t>(std::min<size_t>(r.remaining(), kMsgMax));
        ByteReader m(r.current(), messageLength);
        MessageHeader h;
        if (!MessageHeaderRead(m, h) || h.opNumber != opNumber || h.seq != seq) continue;
        // The length is the sender's claim: a frame that does not hold the payload it
        // announces is not a reply of this device.
        if (h.payloadLength > m.remaining()) continue;
        std::memcpy(message, r.current(), messageLength);
        uint8_t* payload = message + kMsgHeaderSize;
        *payloadLength = h.payloadLength;
        uint32_t padding = 0;
        if (key != nullptr) {
            // Whether a reply is enciphered follows from the operation, never from the
            // frame: a payload that cannot be deciphered was not made with the key, and
            // taking it as clear text would let anyone who sees the op number answer.
            if (h.payloadLength % 8 != 0 || Decipher(payload, h.payloadLength, key) != SCP_ERROR_NONE)
                return SCP_ERROR_CRC;
            padding = PaddingPositionGet(payload, h.payloadLength);
        }
        if (crc32(payload, h.payloadLength, 0xFFFFFFFFu) != h.crc) return SCP_ERROR_CRC;
        if (padding != 0) *payloadLength = padding;
        return SCP_ERROR_NONE;
    }
}

t_scpErrorCode GetOperation(const Link& link, uint8_t opNumber, const uint8_t* data, uint32_t dataLength,
                            bool isPrivate, const uint8_t* key, uint8_t* info, uint32_t* infoSize) {
    std::array<uint8_t, kPayloadMax + 8> list{};
    uint32_t listLength = 0;
    if (dataLength != 0 && BuildGetList(data, dataLength, list.data(), &listLength) != SCP_ERROR_NONE)
        return SCP_ERROR_FORMAT;
    if (isPrivate && listLength > kEncipheredListMax) return SCP_ERROR_FORMAT;
    const uint8_t expected = isPrivate ? kOpcodeGetpReply : kOpcodeGetReply;
    std::array<uint8_t, kMsgMax> message;
    const uint32_t messageLength =
        ComposeGetMessage(message.data(), list.data(), opNumber, listLength, isPrivate, key);
    if (messageLength == 0) return SCP_ERROR_FORMAT;

    // Replies to a plain get come in clear text, those to a private get enciphered.
    const uint8_t* replyKey = isPrivate ? key : nullptr;
    std::array<uint8_t, kMsgMax> reply;
    uint32_t replyLength = 0;
    const FirstReply first =
        RequestFirstReply(link, message.data(), messageLength, opNumber, expected, replyKey, reply.data(),
                          &replyLength, SCP_ERROR_TIMEOUT_GET_1, SCP_ERROR_TIMEOUT_NONE);
    if (!first.accepted) {
        if (maxSends.load() == 0) errorTimeoutCode = SCP_ERROR_TIMEOUT_GET_2;
        return first.result;
    }
    ReplyCollector collected;
    const t_scpErrorCode r =
        CollectRemainingReplies(link, opNumber, replyKey, timeoutLongGet.load(), SCP_ERROR_TIMEOUT_GET_3,
                                reply.data(), replyLength, collected);
    if (r != SCP_ERROR_NONE) return r;
    return ParseInfoData(collected.data(), collected.size(), info, infoSize, false, SCP_INFO_BUFFER_SIZE);
}

t_scpErrorCode SetOperation(const Link& link, t_scpOp op, uint8_t opNumber, const uint8_t* data,
                            uint32_t dataLength, const uint8_t* key, uint8_t* info, uint32_t* infoSize) {
    // Nothing to set: refuse before asking the device for anything.
    if (dataLength == 0) return SCP_ERROR_FORMAT;
    const bool isPrivate = op == SCP_OP_SETP;
    std::array<uint8_t, kPayloadMax + 8> list{};
    uint32_t listLength = 0;
    if (BuildSetList(data, dataLength, nullptr, 0, list.data(), &listLength) != SCP_ERROR_NONE)
        return SCP_ERROR_FORMAT;
    if (isPrivate && listLength > kEncipheredListMax) return SCP_ERROR_FORMAT;
    // The type query of a plain set goes out unenciphered and its replies are read
    // as they come.
    const uint8_t* queryKey = isPrivate ? key : nullptr;
    const uint8_t expected = isPrivate ? kOpcodeGetpReply : kOpcodeGetReply;
    std::array<uint8_t, kMsgMax> message;
    const uint32_t messageLength =
        ComposeGetMessage(message.data(), list.data(), opNumber, listLength, isPrivate, queryKey);
    if (messageLength == 0) return SCP_ERROR_FORMAT;

    std::array<uint8_t, kMsgMax> reply;
    uint32_t replyLength = 0;
    const FirstReply first =
        RequestFirstReply(link, message.data(), messageLength, opNumber, expected, queryKey, reply.data(),
                          &replyLength, SCP_ERROR_TIMEOUT_SET_4, SCP_ERROR_TIMEOUT_SET_3);
    if (first.result == SCP_ERROR_SENDTO) return first.result;
    if (!first.accepted) {
        errorTimeoutCode = SCP_ERROR_TIMEOUT_SET_6;
        return SCP_ERROR_TIMEOUT;
    }
    ReplyCollector collected;
    t_scpErrorCode r = CollectRemainingReplies(link, opNumber, queryKey, timeoutStandard.load(),
                                               SCP_ERROR_TIMEOUT_SET_7, reply.data(), replyLength, collected);
    if (r != SCP_ERROR_NONE) return r;
    std::vector<uint8_t> types(kCollectMax, 0);
    uint32_t typeCount = 0;
    r = ParseInfoData(collected.data(), collected.size(), types.data(), &typeCount, true,
                      static_cast<uint32_t>(types.size()));
    if (r != SCP_ERROR_NONE) return r;
    return SetOrder(link, op, static_cast<uint8_t>(opNumber + 1), data, dataLength, key, types.data(),
                    typeCount, info, infoSize);
}

t_scpErrorCode SetOrder(const Link& link, t_scpOp op, uint8_t opNumber, const uint8_t* data,
                        uint32_t dataLength, const uint8_t* key, const uint8_t* types, uint32_t typeCount,
                        uint8_t* info, uint32_t* infoSize) {
    const bool factory = op == SCP_OP_FACTORY_RESET;
    std::array<uint8_t, kPayloadMax + 8> list{};
    uint32_t listLength = 0;
    if (factory) {
        const t_scpErrorCode r = BuildFactoryResetList(list.data(), &listLength);
        if (r != SCP_ERROR_NONE) return r;
    } else {
        if (dataLength == 0) return SCP_ERROR_FORMAT;
        const t_scpErrorCode r = BuildSetList(data, dataLength, types, typeCount, list.data(), &listLength);
        if (r != SCP_ERROR_NONE) return r;
    }
    // Padding must still fit the frame.
    if (listLength > kEncipheredListMax) return SCP_ERROR_FORMAT;
    const uint8_t expected =
        factory ? kOpcodeFactoryResetReply : (op == SCP_OP_SETP ? kOpcodeSetpReply : kOpcodeSetReply);
    std::array<uint8_t, kMsgMax> message;
    const uint32_t messageLength =
        ComposeSetMessage(message.data(), list.data(), opNumber, listLength, key, factory, op == SCP_OP_SETP);
    if (messageLength == 0) return SCP_ERROR_FORMAT;

    std::array<uint8_t, kMsgMax> reply;
    uint32_t replyLength = 0;
    ReplyCollector collected;
    for (;;) {
        const FirstReply first =
            RequestFirstReply(link, message.data(), messageLength, opNumber, expected, key, reply.data(),
                              &replyLength, SCP_ERROR_TIMEOUT_SET_1, SCP_ERROR_TIMEOUT_NONE);
        if (!first.accepted) {
            // No send allowed at all is a time-out too, never a success.
            if (maxSends.load() == 0) errorTimeoutCode = SCP_ERROR_TIMEOUT_SET_1;
            return first.result;
        }
        const t_scpErrorCode r = collected.Append(reply.data() + kMsgHeaderSize, replyLength);
        if (r != SCP_ERROR_NONE) return r;
        if (HeaderOf(reply.data()).lastItem != 0) break;
    }
    return ParseInfoData(collected.data(), collected.size(), info, infoSize, false, SCP_INFO_BUFFER_SIZE);
}

namespace {

// One complete attempt with one kind of key material.
t_scpErrorCode Attempt(const CHAR* ifName, const uint8_t* deviceMac, t_scpOp op, const uint8_t* password,
                       bool legacyHash, const uint8_t* data, uint32_t dataLength, uint8_t* info,
                       uint32_t* infoSize) {
    errorTimeoutCode = SCP_ERROR_TIMEOUT_NONE;
    staticPaddingPosition = 0;
    if (deviceMac == nullptr || ifName == nullptr) return SCP_ERROR_BAD_ARGS;
    const bool knownOp = op >= SCP_OP_SET && op <= SCP_OP_GETP;
    if (knownOp && (info == nullptr || infoSize == nullptr)) return SCP_ERROR_BAD_ARGS;
    if (dataLength != 0 && data == nullptr && op != SCP_OP_FACTORY_RESET) return SCP_ERROR_BAD_ARGS;

    l2::Port port;
    const t_scpErrorCode opened = ErrorOf(port.Open(ifName), Step::kOpen, ifName);
    if (opened == SCP_ERROR_SOCKET_NOT_OPENED) Log(LogStream::kOut, "socket not opened\n");
    if (opened != SCP_ERROR_NONE) return opened;

    const uint8_t opNumber = DrawOpNumber();
    const Link link{port, deviceMac};
    std::array<uint8_t, kKeySize> key{};
    switch (op) {
        case SCP_OP_SET:
        case SCP_OP_SETP:
            KeyMake(password, key.data(), legacyHash);
            return SetOperation(link, op, opNumber, data, dataLength, key.data(), info, infoSize);
        case SCP_OP_GET:
            return GetOperation(link, opNumber, data, dataLength, false, key.data(), info, infoSize);
        case SCP_OP_FACTORY_RESET:
            KeyMake(password, key.data(), legacyHash);
            return SetOrder(link, op, opNumber, nullptr, 0, key.data(), nullptr, 0, info, infoSize);
        case SCP_OP_GETP:
            KeyMake(password, key.data(), legacyHash);
            return GetOperation(link, opNumber, data, dataLength, true, key.data(), info, infoSize);
    }
    return SCP_ERROR_NONE;
}

}  // namespace
}  // namespace kivo::scp

t_scpErrorCode ScpClient(CHAR* if_name, const INT8U* device_mac, t_scpOp op, const INT8U* password,
                         const INT8U* data, INT32U data_length, INT8U* scp_info_buffer,
                         INT32U* scp_info_buffer_size) {
    using kivo::scp::Attempt;
    t_scpErrorCode result = Attempt(if_name, device_mac, op, password, false, data, data_length,
                                    scp_info_buffer, scp_info_buffer_size);
    if (result != SCP_ERROR_NONE)
        result = Attempt(if_name, device_mac, op, password, true, data, data_length, scp_info_buffer,
                         scp_info_buffer_size);
    if ((result == SCP_ERROR_TIMEOUT || result == SCP_ERROR_CRC) && device_mac != nullptr &&
        if_name != nullptr) {
        // Without the key the device drops the request, or its reply does not check:
        // both look like silence.
        const bool enciphered =
            op == SCP_OP_SET || op == SCP_OP_SETP || op == SCP_OP_GETP || op == SCP_OP_FACTORY_RESET;
        kivo::FailureRecord(kivo::Reason::kNoAnswer,
                            "device %02x:%02x:%02x:%02x:%02x:%02x did not answer on %s within %u s per try%s",
                            device_mac[0], device_mac[1], device_mac[2], device_mac[3], device_mac[4],
                            device_mac[5], if_name, static_cast<unsigned>(kivo::scp::timeoutStandard.load()),
                            enciphered ? " (a wrong password looks the same: check the password)"
                                       : "; check that it is on and connected");
    }
    return result;
}

void ScpClientTimeoutSet(INT32U timeout) {
    kivo::scp::timeoutStandard = timeout;
    kivo::scp::timeoutLongGet = 5 * timeout;
}

void ScpClientMaxRetransmissionsSet(INT32U value) {
    kivo::scp::maxSends = value;
}

t_scpErrorTimeoutCode ScpClientErrorTimeoutCodeGet(void) {
    return kivo::scp::errorTimeoutCode.load();
}
