// Legacy SCP messages: key material, the cipher, message composition, the padding walk
// of enciphered replies, the item lists of requests and the info data made of replies.
//
// A message is a 14-byte header followed by an item list (name, value and error
// items); set and factory reset lists are padded with 0xE6 to a multiple of 8 and
// enciphered with 3DES-CBC under key material made from the password; every payload
// carries a CRC of its plain bytes. Every byte received is checked before it is used.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "byte_io.h"
#include "conversion.h"
#include "conversion_legacy.h"
#include "crc32.h"
#include "scp_client_legacy_internal.h"
#include "sha2_pub.h"
#include "triple_des.h"

namespace kivo::scp {
namespace {

// Two padding bytes in a row never start an item: an item's length field is at most
// the size of a frame.
constexpr uint16_t kPadWord = kPadByte << 8 | kPadByte;
constexpr uint8_t kMsgFixedOne = 1;
constexpr char kFactoryResetName[] = "FACTORYRESET.GENERAL.FORCE_RESET";

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

// Appends the name that starts at pos as an item and moves pos past its terminating zero;
// its length, or -1 when the data holds no name there or the list has no room.
long AppendName(const uint8_t* data, uint32_t dataLength, uint32_t& pos, uint8_t* list,
                uint32_t* listLength) {
    const long nameLength = TextLength(data, dataLength, pos);
    if (nameLength < 0 ||
        !AppendItem(list, listLength, kItemName, kNameSubtype, data + pos, static_cast<uint32_t>(nameLength)))
        return -1;
    pos += static_cast<uint32_t>(nameLength) + 1;
    return nameLength;
}

}  // namespace

bool MessageHeaderRead(ByteReader& r, MessageHeader& h) {
    return r.u8(h.opcode) && r.skip(2) && r.u8(h.opNumber) && r.u8(h.seq) && r.u8(h.lastItem) && r.skip(2) &&
           r.be16(h.payloadLength) && r.be32(h.crc);
}

t_scpErrorCode ReplyCollector::Append(const uint8_t* payload, uint32_t length) {
    if (++messages_ > kReplyMessagesMax) return SCP_ERROR_GET_TOO_BIG;
    if (length > kCollectMax - bytes_.size()) return SCP_ERROR_GET_TOO_BIG;
    bytes_.insert(bytes_.end(), payload, payload + length);
    return SCP_ERROR_NONE;
}

// ---------------------------------------------------------------------------
// Key material, cipher, messages

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

uint32_t PaddingPositionGet(const uint8_t* data, uint32_t length, uint32_t& carry) {
    if (length < 2) return 0;
    ByteReader r(data, length);
    uint32_t p = carry;
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
        carry = 0;
        return p;
    }
    carry = p - length;
    return 0;
}

// ---------------------------------------------------------------------------
// Item lists and info data

t_scpErrorCode BuildGetList(const uint8_t* data, uint32_t dataLength, uint8_t* list, uint32_t* listLength) {
    if (data == nullptr || list == nullptr || listLength == nullptr) return SCP_ERROR_BAD_ARGS;
    *listLength = 0;
    uint32_t pos = 0;
    while (pos < dataLength)
        if (AppendName(data, dataLength, pos, list, listLength) < 0) return SCP_ERROR_FORMAT;
    return SCP_ERROR_NONE;
}

Status BuildSetList(const uint8_t* data, uint32_t dataLength, const uint8_t* types, uint32_t typeCount,
                    uint8_t* list, uint32_t* listLength) {
    if (data == nullptr || list == nullptr || listLength == nullptr) return SCP_ERROR_BAD_ARGS;
    *listLength = 0;
    std::vector<uint8_t> encoded;
    if (types != nullptr) encoded.resize(LEGACY_VALUE_AREA_SIZE);
    uint32_t typeIndex = 0;
    uint32_t pos = 0;
    while (pos < dataLength) {
        const uint8_t* name = data + pos;
        const long nameLength = AppendName(data, dataLength, pos, list, listLength);
        if (nameLength < 0) return SCP_ERROR_FORMAT;
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
            return Status(SCP_ERROR_FORMAT).Explain(Reason::kInvalidValue, "%s", reason);
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

namespace {

// The items of ParseInfoData; refused gets the words of the first item the device refused.
t_scpErrorCode ParseItems(const uint8_t* replies, uint32_t length, uint8_t* buffer, uint32_t* size,
                          bool typesOnly, uint32_t capacity, Status& refused) {
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
                    refused.Explain(
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

}  // namespace

Status ParseInfoData(const uint8_t* replies, uint32_t length, uint8_t* buffer, uint32_t* size, bool typesOnly,
                     uint32_t capacity) {
    Status refused;
    const t_scpErrorCode result = ParseItems(replies, length, buffer, size, typesOnly, capacity, refused);
    return refused.Recode(result);
}

}  // namespace kivo::scp
