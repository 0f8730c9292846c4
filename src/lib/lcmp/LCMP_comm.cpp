// LCMP messaging: value lists, request building with encryption after the marker
// value, the confirm parser, the numbering of requests, and the multicast read on
// several interfaces.
#include "LCMP_comm.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "LCMP_internal.h"
#include "byte_io.h"
#include "clock.h"
#include "failpoint.h"
#include "log.h"
#include "port.h"
#include "sha2_pub.h"
#include "status.h"
#include "triple_des.h"

const INT8U lcmpMulticastMACAddr[6] = {0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
const INT8U lcmpBroadcastMACAddr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

namespace {

constexpr size_t kRequestHeaderLength = 11;
constexpr size_t kConfirmHeaderLength = 5;
constexpr size_t kValueHeaderLength = 3;

t_lcmpValueList* ValueListCreate() {
    return new (std::nothrow) t_lcmpValueList{0, nullptr, nullptr};
}

}  // namespace

using namespace kivo::lcmp;
using kivo::ByteWriter;
using kivo::FailPointHit;
using kivo::Log;
using kivo::LogStream;

// ---------------------------------------------------------------------------
// Value lists

t_lcmpErrorCode LCMPValueAdd(t_lcmpValueList** valueList, t_lcmpValueType dataType, INT16U dataLength,
                             const INT8U* data) {
    return LCMPFullValueAdd(valueList, nullptr, 0, dataType, dataLength, data);
}

t_lcmpErrorCode LCMPFullValueAdd(t_lcmpValueList** valueList, INT8U* srcMAC, INT32U responseTime,
                                 t_lcmpValueType type, INT16U dataLength, const INT8U* data) {
    if (valueList == nullptr || (data == nullptr && dataLength > 0)) return LCMP_ERROR_BAD_ARGS;
    if (*valueList == nullptr) {
        *valueList = ValueListCreate();
        if (*valueList == nullptr) return LCMP_ERROR_MALLOC;
    }
    t_lcmpValueList* list = *valueList;
    // The count is 16 bits wide; a full list takes no more.
    if (list->numValues == UINT16_MAX) return LCMP_ERROR_MALLOC;
    if (FailPointHit("lcmp.value")) return LCMP_ERROR_MALLOC;
    t_lcmpValue* v = new (std::nothrow) t_lcmpValue();
    if (v == nullptr) return LCMP_ERROR_MALLOC;
    v->value = new (std::nothrow) INT8U[dataLength > 0 ? dataLength : 1];
    if (v->value == nullptr) {
        delete v;
        return LCMP_ERROR_MALLOC;
    }
    if (dataLength > 0) std::memcpy(v->value, data, dataLength);
    if (srcMAC != nullptr) std::memcpy(v->srcMAC, srcMAC, 6);
    v->responseTime = responseTime;
    v->type = type;
    v->valueLength = dataLength;
    v->next = nullptr;
    if (list->tail != nullptr)
        list->tail->next = v;
    else
        list->head = v;
    list->tail = v;
    ++list->numValues;
    return LCMP_ERROR_NONE;
}

t_lcmpErrorCode LCMPValueListDestroy(t_lcmpValueList* valueList) {
    if (valueList == nullptr) return LCMP_ERROR_NONE;
    t_lcmpValue* v = valueList->head;
    while (v != nullptr) {
        t_lcmpValue* next = v->next;
        delete[] v->value;
        delete v;
        v = next;
    }
    delete valueList;
    return LCMP_ERROR_NONE;
}

// ---------------------------------------------------------------------------
// Keys and ciphers

namespace kivo::lcmp {

t_lcmpErrorCode GetKey(const CHAR* password, INT8U key[32], t_lcmpEncryptionHash hashType) {
    if (password == nullptr || key == nullptr) return LCMP_ERROR_BAD_ARGS;
    const auto* bytes = reinterpret_cast<const INT8U*>(password);
    const size_t length = std::strlen(password);
    if (length > UINT32_MAX) return LCMP_ERROR_BAD_ARGS;
    switch (hashType) {
        case LCMP_HASH_SHA256:
            GenerateSha256Hash(key, bytes, static_cast<INT32U>(length));
            return LCMP_ERROR_NONE;
        case LCMP_HASH_LEGACY:
            GenerateLegacyHash(key, bytes, static_cast<INT32U>(length));
            return LCMP_ERROR_NONE;
        default:
            // No key can be made: the cipher must not run with whatever the buffer holds.
            return LCMP_ERROR_BAD_ARGS;
    }
}

namespace {
t_lcmpErrorCode CipherRun(bool encrypt, INT8U* data, INT32U length, const CHAR* password,
                          t_lcmpEncryptionHash hashType) {
    if (length > static_cast<INT32U>(INT32_MAX)) return LCMP_ERROR_BAD_ARGS;
    INT8U key[32];
    t_lcmpErrorCode rc = GetKey(password, key, hashType);
    if (rc == LCMP_ERROR_NONE) {
        const INT32S r = encrypt ? DES3CBCCipher(data, static_cast<INT32S>(length), key)
                                 : DES3CBCDecipher(data, static_cast<INT32S>(length), key);
        if (r != 0) rc = LCMP_ERROR_BAD_ARGS;
    }
    explicit_bzero(key, sizeof(key));
    return rc;
}
}  // namespace

t_lcmpErrorCode Cipher(INT8U* data, INT32U length, const CHAR* password, t_lcmpEncryptionHash hashType) {
    return CipherRun(true, data, length, password, hashType);
}

t_lcmpErrorCode Decipher(INT8U* data, INT32U length, const CHAR* password, t_lcmpEncryptionHash hashType) {
    return CipherRun(false, data, length, password, hashType);
}

// ---------------------------------------------------------------------------
// Requests

RequestLayout RequestLayoutGet(const t_lcmpValueList* values, const t_lcmpEncryptionConf* encryptionConf) {
    RequestLayout layout;
    uint64_t pos = kRequestHeaderLength;
    bool marker = false;
    uint64_t start = 0;
    for (const t_lcmpValue* v = values ? values->head : nullptr; v != nullptr; v = v->next) {
        if (encryptionConf != nullptr && v->type == encryptionConf->encryptAfterThisValue) {
            marker = true;
            layout.markerLengthOffset = pos + 1;
            start = pos + kValueHeaderLength + v->valueLength;
        }
        pos += kValueHeaderLength + v->valueLength;
    }
    layout.valuesLength = pos - kRequestHeaderLength;
    layout.mmplLength = pos;
    if (marker && start < pos) {
        const uint64_t n = pos - start;
        layout.encrypted = true;
        layout.encryptedOffset = start;
        layout.encryptedLength = n + (8 - n % 8) % 8;
        layout.mmplLength = start + layout.encryptedLength;
    }
    return layout;
}

BuildResult RequestBuild(t_lcmpControlCode controlCode, const t_lcmpValueList* values,
                         const t_lcmpEncryptionConf* encryptionConf, const uint8_t myMAC[6],
                         uint16_t transactionId, std::unique_ptr<uint8_t[]>& mmpl, size_t& mmplLength) {
    const RequestLayout layout = RequestLayoutGet(values, encryptionConf);
    if (layout.mmplLength > kMaxMessageLength) return BuildResult::kTooLong;
    if (layout.encrypted && layout.encryptedLength + encryptionConf->originalValueLength > UINT16_MAX)
        return BuildResult::kTooLong;
    if (FailPointHit("lcmp.request_buffer")) return BuildResult::kNoMemory;
    const size_t length = static_cast<size_t>(layout.mmplLength);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[length]());
    if (!buf) return BuildResult::kNoMemory;
    ByteWriter w(buf.get(), length);
    w.u8(static_cast<uint8_t>(controlCode));
    w.bytes(myMAC, 6);
    w.le16(static_cast<uint16_t>(layout.valuesLength));
    w.le16(transactionId);
    for (const t_lcmpValue* v = values ? values->head : nullptr; v != nullptr; v = v->next) {
        w.u8(static_cast<uint8_t>(v->type));
        w.le16(v->valueLength);
        w.bytes(v->value, v->valueLength);
    }
    if (!w.ok()) return BuildResult::kNoMemory;
    // The padding bytes are already zero.
    if (layout.encrypted) {
        if (Cipher(buf.get() + layout.encryptedOffset, static_cast<INT32U>(layout.encryptedLength),
                   encryptionConf->password, encryptionConf->hashType) != LCMP_ERROR_NONE)
            return BuildResult::kCipherRefused;
        storeLe16(buf.get() + layout.markerLengthOffset,
                  static_cast<uint16_t>(layout.encryptedLength + encryptionConf->originalValueLength));
    }
    mmpl = std::move(buf);
    mmplLength = length;
    return BuildResult::kOk;
}

// ---------------------------------------------------------------------------
// Confirms

Answer::Answer(t_lcmpValueList** values, INT16U id, const t_lcmpEncryptionConf* encryption)
    : receivedValues(values), transactionId(id), timestamp(kivo::NowMs()) {
    if (encryption != nullptr) {
        encrypted = true;
        encryptionConf = *encryption;
    }
}

namespace {

// Checks a confirm's opcode, its transaction id and the length it declares, which must
// lie within the message.
t_lcmpErrorCode ConfirmHeaderCheck(t_lcmpOpcodeType opcode, const INT8U* data, INT16U length,
                                   const Answer& answer, uint16_t& declared) {
    if (opcode != LCMP_READ_CNF && opcode != LCMP_WRITE_CNF && opcode != LCMP_CTRL_CNF) {
        kivo::LogLimited("LCMP confirm opcode", LogStream::kErr, "Error: Opcode %d is not supported!\n",
                         static_cast<int>(opcode));
        return LCMP_ERROR_BAD_ARGS;
    }
    ByteReader header(data, length);
    uint16_t transactionId = 0;
    if (!header.skip(1) || !header.le16(declared) || !header.le16(transactionId))
        return LCMP_ERROR_BAD_FORMAT;
    if (transactionId != answer.transactionId) {
        // Any frame on the segment can carry a wrong identifier: a flood of them must
        // not fill the disk with this line.
        kivo::LogLimited("LCMP bad transaction id", LogStream::kErr,
                         "Warning: Discard data, bad Transaction ID (RX %d != TX %d).\n", transactionId,
                         answer.transactionId);
        return LCMP_ERROR_BAD_TRANSID;
    }
    // The declared length is a claim: it must lie within the message.
    if (declared <= 2 || declared > header.remaining()) return LCMP_ERROR_BAD_FORMAT;
    return LCMP_ERROR_NONE;
}

// Adds the values of a confirm's body, `remaining` bytes as declared, to list, deciphering
// what follows the encryption marker. lastType receives the type of the last value read.
t_lcmpErrorCode ConfirmValuesRead(const INT8U* srcMAC, ByteReader& r, INT32S remaining, const Answer& answer,
                                  t_lcmpValueList** list, INT8U& lastType) {
    const t_lcmpEncryptionConf* enc = answer.encrypted ? &answer.encryptionConf : nullptr;
    t_lcmpErrorCode result = LCMP_ERROR_NONE;
    while (result == LCMP_ERROR_NONE && remaining > 2) {
        uint8_t type = 0;
        uint16_t valueLength = 0;
        if (!r.u8(type) || !r.le16(valueLength) || !r.has(valueLength)) return LCMP_ERROR_BAD_FORMAT;
        INT8U* value = const_cast<INT8U*>(r.current());
        bool lastOne = false;
        if (enc != nullptr && type == static_cast<uint8_t>(enc->encryptAfterThisValue)) {
            // The marker holds its own data and then the encrypted values.
            if (valueLength < enc->originalValueLength) return LCMP_ERROR_BAD_FORMAT;
            if (Decipher(value + enc->originalValueLength, valueLength - enc->originalValueLength,
                         enc->password, enc->hashType) != LCMP_ERROR_NONE) {
                result = LCMP_ERROR_BAD_FORMAT;
                lastOne = true;
            }
            valueLength = enc->originalValueLength;
        }
        const INT32U responseTime = kivo::NowMs() - answer.timestamp;
        remaining -= static_cast<INT32S>(kValueHeaderLength + valueLength);
        if (remaining < 0) return LCMP_ERROR_BAD_FORMAT;
        if (valueLength != 0) {
            if (*list != nullptr && (*list)->numValues >= kMaxReceivedValues) return LCMP_ERROR_BAD_FORMAT;
            const t_lcmpErrorCode add =
                LCMPFullValueAdd(list, const_cast<INT8U*>(srcMAC), responseTime,
                                 static_cast<t_lcmpValueType>(type), valueLength, value);
            if (add != LCMP_ERROR_NONE) return add;
        }
        lastType = type;
        r.skip(valueLength);
        if (lastOne) break;
    }
    return result;
}

}  // namespace

t_lcmpErrorCode ConfirmParse(const INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length,
                             Answer& answer) {
    if (data == nullptr) return LCMP_ERROR_BAD_ARGS;
    uint16_t declared = 0;
    const t_lcmpErrorCode header = ConfirmHeaderCheck(opcode, data, length, answer, declared);
    if (header != LCMP_ERROR_NONE) return header;

    t_lcmpValueList* temporary = nullptr;
    t_lcmpValueList** list = answer.receivedValues != nullptr ? answer.receivedValues : &temporary;
    if (*list != nullptr && (*list)->numValues >= kMaxReceivedValues) {
        return LCMP_ERROR_BAD_FORMAT;  // a reply cannot grow the list without bound
    }
    ByteReader r(data + kConfirmHeaderLength, length - kConfirmHeaderLength);
    INT8U lastType = 0;
    const t_lcmpErrorCode result = ConfirmValuesRead(srcMAC, r, declared, answer, list, lastType);
    if (result == LCMP_ERROR_NONE) {
        answer.frameReceived = true;
        answer.allFramesReceived = lastType == LCMP_VALUE_VENDOR_TORVIX_TLV_END_MARKER;
    }
    LCMPValueListDestroy(temporary);
    return result;
}

bool UnicastConfirm(const INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length,
                    const DispatchInfo& info, Answer& answer) {
    if (answer.frameReceived || ConfirmParse(srcMAC, opcode, data, length, answer) != LCMP_ERROR_NONE)
        return answer.frameReceived && answer.allFramesReceived;
    // A device numbers its messages of one opcode one after the other: a message of the
    // answer lost on the way shows as a partial message given up or still waiting, or as
    // a jump in the numbers. The end marker must not then pass a part of the answer off
    // as all of it.
    if (info.incompleteBefore) answer.incomplete = true;
    if (info.seqKnown) {
        if (answer.seqKnown && info.seq != static_cast<INT16U>(answer.lastSeq + 1)) answer.incomplete = true;
        answer.seqKnown = true;
        answer.lastSeq = info.seq;
    }
    if (answer.allFramesReceived) return true;
    // More confirm messages follow; they are parsed too. Their marker value holds one
    // byte of its own.
    answer.frameReceived = false;
    if (answer.encrypted) answer.encryptionConf.originalValueLength = 1;
    return false;
}

// ---------------------------------------------------------------------------
// Numbering

Numbering::Numbering() : pid_(static_cast<uint32_t>(getpid())) {}

uint16_t Numbering::NextTransactionId() {
    const uint32_t n = transactions_.fetch_add(1, std::memory_order_relaxed);
    return static_cast<uint16_t>((pid_ + 256u * n) & 0xFFFF);
}

uint16_t Numbering::NextSequence(t_lcmpOpcodeType opcode) {
    if (opcode < LCMP_READ_REQ || opcode >= NUM_OPCODES) return 0;
    return sequences_[opcode - LCMP_READ_REQ].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace kivo::lcmp

kivo::Status kivo::lcmp::MulticastReadEvery(t_lcmpControlCode controlCode,
                                            const t_lcmpValueList* controlValues,
                                            const CHAR* const* interfaceNames, INT32U count,
                                            t_lcmpValueList** answers, const SessionSettings& settings) {
    if (interfaceNames == nullptr || answers == nullptr) return LCMP_ERROR_BAD_ARGS;
    if (settings.vlanId > 4094 || settings.vlanPriority > 7) return LCMP_ERROR_BAD_ARGS;
    std::vector<std::string> names;
    for (INT32U i = 0; i < count; ++i) {
        if (interfaceNames[i] == nullptr) return LCMP_ERROR_BAD_ARGS;
        names.emplace_back(interfaceNames[i]);
        answers[i] = nullptr;
    }
    Numbering own;
    Numbering& numbering = settings.numbering != nullptr ? *settings.numbering : own;
    std::vector<std::optional<Answer>> collected(count);
    const auto build = [&](size_t i, const uint8_t* myMAC, std::unique_ptr<uint8_t[]>& mmpl, size_t& length) {
        const INT16U transactionId = numbering.NextTransactionId();
        collected[i].emplace(&answers[i], transactionId, nullptr);
        switch (RequestBuild(controlCode, controlValues, nullptr, myMAC, transactionId, mmpl, length)) {
            case BuildResult::kOk:
                return LCMP_ERROR_NONE;
            case BuildResult::kNoMemory:
                return LCMP_ERROR_MALLOC;
            default:
                return LCMP_ERROR_BAD_ARGS;
        }
    };
    const auto handle = [&](size_t i, const INT8U* srcMAC, INT16U opcode, INT8U* data, INT16U length) {
        if (opcode == LCMP_READ_CNF && collected[i])
            ConfirmParse(srcMAC, LCMP_READ_CNF, data, length, *collected[i]);
    };
    const kivo::l2::VlanTag tag = kivo::l2::VlanTag::Make(settings.vlanId, settings.vlanPriority);
    return MulticastOnEvery(names, lcmpMulticastMACAddr, build, kivo::Deadline::AfterMs(settings.timeoutMs),
                            handle, settings.vlanId != 0 ? &tag : nullptr, numbering);
}
