// LCMP messaging: value lists, request building with encryption after the marker
// value, the confirm parser, and the request engine with its waits.
#include "LCMP_comm.h"

#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "LCMP_internal.h"
#include "byte_io.h"
#include "clock.h"
#include "failpoint.h"
#include "log.h"
#include "reason.h"
#include "sha2_pub.h"
#include "triple_des.h"
#include "version.h"

const INT8U lcmpMulticastMACAddr[6] = {0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
const INT8U lcmpBroadcastMACAddr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

namespace {

std::string MacText(const INT8U* mac) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

constexpr size_t kRequestHeaderLength = 11;
constexpr size_t kConfirmHeaderLength = 5;
constexpr size_t kNotifyHeaderLength = 6;
constexpr size_t kValueHeaderLength = 3;

// The LCMP lock, held from a successful LCMPInit until LCMPEnd.
std::mutex lock;
std::atomic<bool> lcmpOpen{false};
CHAR* initializedInterface = nullptr;
INT32U transactionIdCnt = 0;
std::atomic<INT32U> timeoutRefConf{3000};
t_lcmpCallbackData* lcmpNotifyCallbackData = nullptr;
// The registration that goes with lcmpNotifyCallbackData, retired before the data is
// destroyed so that it never points at freed memory.
t_lcmpCallback* lcmpNotifyRegistration = nullptr;

void LockLcmp() {
    lock.lock();
}
void unLockLcmp() {
    lock.unlock();
}

t_lcmpValueList* ValueListCreate() {
    return new (std::nothrow) t_lcmpValueList{0, nullptr, nullptr};
}

INT16U GetNewTransactionId() {
    const INT32U id = static_cast<INT32U>(getpid()) + 256u * transactionIdCnt;
    ++transactionIdCnt;
    return static_cast<INT16U>(id & 0xFFFF);
}

// Destination of a request or notification; null for an unknown transmission type
// or a unicast without an address.
const INT8U* Destination(t_lcmpTransmissionType type, const INT8U* dstMAC) {
    switch (type) {
        case LCMP_UNICAST:
            return dstMAC;
        case LCMP_MULTICAST:
            return lcmpMulticastMACAddr;
        case LCMP_BROADCAST:
            return lcmpBroadcastMACAddr;
    }
    return nullptr;
}

t_lcmpErrorCode LCMPReqSend(t_lcmpOpcodeType opcode, t_lcmpControlCode controlCode,
                            const t_lcmpValueList* controlValues, const t_lcmpEncryptionConf* encryptionConf,
                            t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                            t_lcmpValueList** comfirmValues, INT32S retry);

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

t_lcmpErrorCode ConfirmParse(const INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length,
                             t_lcmpCallbackData* cd) {
    if (data == nullptr || cd == nullptr) return LCMP_ERROR_BAD_ARGS;
    if (opcode != LCMP_READ_CNF && opcode != LCMP_WRITE_CNF && opcode != LCMP_CTRL_CNF) {
        kivo::LogLimited("LCMP confirm opcode", LogStream::kErr, "Error: Opcode %d is not supported!\n",
                         static_cast<int>(opcode));
        return LCMP_ERROR_BAD_ARGS;
    }
    ByteReader header(data, length);
    uint16_t declared = 0;
    uint16_t transactionId = 0;
    if (!header.skip(1) || !header.le16(declared) || !header.le16(transactionId))
        return LCMP_ERROR_BAD_FORMAT;
    if (transactionId != cd->transactionId) {
        // Any frame on the segment can carry a wrong identifier: a flood of them must
        // not fill the disk with this line.
        kivo::LogLimited("LCMP bad transaction id", LogStream::kErr,
                         "Warning: Discard data, bad Transaction ID (RX %d != TX %d).\n", transactionId,
                         cd->transactionId);
        return LCMP_ERROR_BAD_TRANSID;
    }
    // The declared length is a claim: it must lie within the message.
    if (declared <= 2 || declared > header.remaining()) return LCMP_ERROR_BAD_FORMAT;

    t_lcmpValueList* temporary = nullptr;
    t_lcmpValueList** list = cd->receivedValues != nullptr ? cd->receivedValues : &temporary;
    if (*list != nullptr && (*list)->numValues >= kMaxReceivedValues) {
        return LCMP_ERROR_BAD_FORMAT;  // a reply cannot grow the list without bound
    }
    const t_lcmpEncryptionConf* enc = cd->encryptionConf;
    ByteReader r(data + kConfirmHeaderLength, length - kConfirmHeaderLength);
    INT32S remaining = declared;
    INT8U lastType = 0;
    t_lcmpErrorCode result = LCMP_ERROR_NONE;
    while (result == LCMP_ERROR_NONE && remaining > 2) {
        uint8_t type = 0;
        uint16_t valueLength = 0;
        if (!r.u8(type) || !r.le16(valueLength) || !r.has(valueLength)) {
            result = LCMP_ERROR_BAD_FORMAT;
            break;
        }
        INT8U* value = const_cast<INT8U*>(r.current());
        bool lastOne = false;
        if (enc != nullptr && type == static_cast<uint8_t>(enc->encryptAfterThisValue)) {
            // The marker holds its own data and then the encrypted values.
            if (valueLength < enc->originalValueLength) {
                result = LCMP_ERROR_BAD_FORMAT;
                break;
            }
            if (Decipher(value + enc->originalValueLength, valueLength - enc->originalValueLength,
                         enc->password, enc->hashType) != LCMP_ERROR_NONE) {
                result = LCMP_ERROR_BAD_FORMAT;
                lastOne = true;
            }
            valueLength = enc->originalValueLength;
        }
        const INT32U responseTime = kivo::NowMs() - cd->timestamp;
        remaining -= static_cast<INT32S>(kValueHeaderLength + valueLength);
        if (remaining < 0) {
            result = LCMP_ERROR_BAD_FORMAT;
            break;
        }
        if (valueLength != 0) {
            if (*list != nullptr && (*list)->numValues >= kMaxReceivedValues) {
                result = LCMP_ERROR_BAD_FORMAT;
                break;
            }
            const t_lcmpErrorCode add =
                LCMPFullValueAdd(list, const_cast<INT8U*>(srcMAC), responseTime,
                                 static_cast<t_lcmpValueType>(type), valueLength, value);
            if (add != LCMP_ERROR_NONE) {
                result = add;
                break;
            }
        }
        lastType = type;
        r.skip(valueLength);
        if (lastOne) break;
    }
    if (result == LCMP_ERROR_NONE) {
        cd->frameReceived.store(TRUE);
        cd->allFramesReceived.store(lastType == LCMP_VALUE_VENDOR_TORVIX_TLV_END_MARKER ? TRUE : FALSE);
        if (cd->notifyCallback != nullptr) {
            cd->notifyCallback(*list);
            kivo::LogLimited("LCMP notify", LogStream::kOut, "notify\n");
        }
    }
    LCMPValueListDestroy(temporary);
    return result;
}

void Callback(INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length, void* callbackData) {
    ConfirmParse(srcMAC, opcode, data, length, static_cast<t_lcmpCallbackData*>(callbackData));
}

void CallbackUnicast(INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length, void* callbackData) {
    auto* cd = static_cast<t_lcmpCallbackData*>(callbackData);
    if (cd == nullptr) return;
    cd->callbackRunning.store(TRUE);
    if (!cd->frameReceived.load() && ConfirmParse(srcMAC, opcode, data, length, cd) == LCMP_ERROR_NONE) {
        // A device numbers its messages of one opcode one after the other: a message
        // of the answer lost on the way shows as a partial message given up or still
        // waiting, or as a jump in the numbers. The end marker must not then pass a
        // part of the answer off as all of it.
        const DispatchInfo& info = CurrentDispatch();
        if (info.incompleteBefore) cd->incomplete.store(TRUE);
        if (info.seqKnown) {
            if (cd->seqKnown && info.seq != static_cast<INT16U>(cd->lastSeq + 1)) cd->incomplete.store(TRUE);
            cd->seqKnown = TRUE;
            cd->lastSeq = info.seq;
        }
        if (cd->allFramesReceived.load()) {
            SignalCallbackFinished(cd);
        } else {
            // More confirm messages follow; they are parsed too. Their marker value
            // holds one byte of its own.
            cd->frameReceived.store(FALSE);
            if (cd->encryptionConf != nullptr) cd->encryptionConf->originalValueLength = 1;
        }
    }
    cd->callbackRunning.store(FALSE);
}

bool WaitCallback(INT32U timeInMs, t_lcmpCallbackData* cd) {
    if (cd == nullptr || cd->semaphore == nullptr) return false;
    // The steady clock is CLOCK_MONOTONIC, the clock the semaphore waits on.
    const auto at = kivo::Deadline::AfterMs(timeInMs).at().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(at);
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(seconds.count());
    deadline.tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(at - seconds).count());
    for (;;) {
        if (sem_clockwait(cd->semaphore, CLOCK_MONOTONIC, &deadline) == 0) return true;
        if (errno != EINTR) return false;  // a signal does not end the wait early
    }
}

void SignalCallbackFinished(t_lcmpCallbackData* cd) {
    if (cd != nullptr && cd->semaphore != nullptr) sem_post(cd->semaphore);
}

}  // namespace kivo::lcmp

// ---------------------------------------------------------------------------
// Callback data

void* CallbackDataCreate(t_lcmpValueList** receivedValues, INT16U transactionId,
                         const t_lcmpEncryptionConf* encryptionConf, t_lcmpNotifyCallback notifyCallback) {
    if (FailPointHit("lcmp.callback_data")) return nullptr;
    auto* cd = new (std::nothrow) t_lcmpCallbackData();
    if (cd == nullptr) return nullptr;
    cd->receivedValues = receivedValues;
    cd->transactionId = transactionId;
    if (encryptionConf != nullptr) {
        cd->encryptionConf = new (std::nothrow) t_lcmpEncryptionConf(*encryptionConf);
        if (cd->encryptionConf == nullptr) {
            delete cd;
            return nullptr;
        }
    }
    cd->semaphore = new (std::nothrow) sem_t;
    if (cd->semaphore == nullptr || sem_init(cd->semaphore, 0, 0) != 0) {
        delete cd->semaphore;
        delete cd->encryptionConf;
        delete cd;
        return nullptr;
    }
    cd->timestamp = kivo::NowMs();
    cd->frameReceived.store(FALSE);
    cd->allFramesReceived.store(FALSE);
    cd->callbackRunning.store(FALSE);
    cd->seqKnown = FALSE;
    cd->lastSeq = 0;
    cd->incomplete.store(FALSE);
    cd->sendack = FALSE;
    cd->notifyCallback = notifyCallback;
    return cd;
}

void CallbackDataDestroy(t_lcmpCallbackData* cd) {
    if (cd == nullptr) return;
    if (cd->semaphore != nullptr) {
        sem_destroy(cd->semaphore);
        delete cd->semaphore;
    }
    delete cd->encryptionConf;
    delete cd;
}

// ---------------------------------------------------------------------------
// The engine

namespace {

t_lcmpErrorCode LCMPReqSend(t_lcmpOpcodeType opcode, t_lcmpControlCode controlCode,
                            const t_lcmpValueList* controlValues, const t_lcmpEncryptionConf* encryptionConf,
                            t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                            t_lcmpValueList** comfirmValues, INT32S retry) {
    const INT8U* destination = Destination(transmisionType, dstMAC);
    if (destination == nullptr) {
        Log(LogStream::kErr, "Warning: LCMPReqSend - bad args #1\n");
        return LCMP_ERROR_BAD_ARGS;
    }
    t_lcmpOpcodeType confirmOpcode;
    switch (opcode) {
        case LCMP_READ_REQ:
            confirmOpcode = LCMP_READ_CNF;
            break;
        case LCMP_WRITE_REQ:
            confirmOpcode = LCMP_WRITE_CNF;
            break;
        case LCMP_CTRL_REQ:
            confirmOpcode = LCMP_CTRL_CNF;
            break;
        default:
            return LCMP_ERROR_BAD_ARGS;
    }

    t_lcmpErrorCode result = LCMP_ERROR_SEND_PACKET;
    bool sent = false;
    t_lcmpCallbackData* cd = nullptr;
    t_lcmpCallback* registration = nullptr;
    std::unique_ptr<uint8_t[]> mmpl;
    size_t mmplLength = 0;
    INT8U myMAC[6];

    // A request too long for 16 segments is refused before anything is allocated.
    const uint64_t requestLength = RequestLayoutGet(controlValues, encryptionConf).mmplLength;
    if (requestLength > kMaxMessageLength) {
        kivo::FailureRecord(kivo::Reason::kRequestTooLarge,
                            "the request needs %llu bytes, more than the %zu bytes one LCMP message carries; "
                            "ask for fewer parameters or shorter values at a time",
                            static_cast<unsigned long long>(requestLength), kMaxMessageLength);
    } else if (LCMPMyMACGet(myMAC) != LCMP_ERROR_NONE) {
        Log(LogStream::kErr, "Warning: LCMPReqSend - LCMPMyMACGet() error\n");
    } else {
        const INT16U transactionId = GetNewTransactionId();
        const BuildResult built =
            RequestBuild(controlCode, controlValues, encryptionConf, myMAC, transactionId, mmpl, mmplLength);
        if (built == BuildResult::kNoMemory) {
            Log(LogStream::kErr, "Warning: LCMPReqSend - malloc() error\n");
            return LCMP_ERROR_MALLOC;
        }
        if (built == BuildResult::kOk) {
            // Registered before sending, so that no answer can arrive unseen.
            cd = static_cast<t_lcmpCallbackData*>(
                CallbackDataCreate(comfirmValues, transactionId, encryptionConf, nullptr));
            if (cd != nullptr) {
                registration = transmisionType == LCMP_UNICAST
                                   ? Register(CallbackUnicast, destination, confirmOpcode, cd)
                                   : Register(Callback, nullptr, confirmOpcode, cd);
            }
            if (registration == nullptr) {
                // Without a registration no answer could ever be seen: do not send.
                Log(LogStream::kErr, "Warning: LCMPReqSend - malloc() error\n");
            } else {
                INT16U numSeq = 0;
                sent = LCMPPacketSend(destination, opcode, static_cast<INT16U>(mmplLength), mmpl.get(),
                                      &numSeq) == LCMP_ERROR_NONE;
            }
        }
    }

    if (!sent) {
        Log(LogStream::kErr, "Warning: LCMPReqSend - No packets sent\n");
        result = LCMP_ERROR_SEND_PACKET;
    } else if (transmisionType != LCMP_UNICAST) {
        // Collect the answers of every device for the reference time.
        const kivo::Deadline deadline = kivo::Deadline::AfterMs(timeoutRefConf.load());
        if (Receive(deadline, [] { return false; }) == Reception::kReader)
            kivo::SleepMs(static_cast<uint32_t>(deadline.msLeft()));
        result = LCMP_ERROR_NONE;
    } else {
        const uint64_t tries = static_cast<uint64_t>(retry > 0 ? retry : 0) + 1;
        const uint64_t wait = std::min<uint64_t>(tries * timeoutRefConf.load(), UINT32_MAX);
        const std::string device = MacText(destination);
        const char* iface = initializedInterface != nullptr ? initializedInterface : "?";
        // The answer is read on this thread, unless the reader runs and hands it over.
        const Reception got = Receive(kivo::Deadline::AfterMs(static_cast<int64_t>(wait)),
                                      [cd] { return sem_trywait(cd->semaphore) == 0; });
        if (got == Reception::kDone ||
            (got == Reception::kReader && WaitCallback(static_cast<INT32U>(wait), cd))) {
            result = LCMP_ERROR_NONE;
        } else {
            Log(LogStream::kErr, "Warning: device did not reply in time\n");
            result = LCMP_ERROR_UNICAST_READ_TIMEOUT;
            const bool encrypted =
                encryptionConf != nullptr && RequestLayoutGet(controlValues, encryptionConf).encrypted;
            kivo::FailureRecord(kivo::Reason::kNoAnswer, "device %s did not answer on %s within %llu s%s",
                                device.c_str(), iface, static_cast<unsigned long long>((wait + 999) / 1000),
                                encrypted ? " (a wrong password looks the same: check the password)"
                                          : "; check that it is on and connected");
        }
    }
    // A callback running on the reader finishes before what it found is read, and before
    // its data is freed.
    if (registration != nullptr) {
        LCMPCallBackUninstall(registration);  // waits for a running callback
        registration = nullptr;
        if (result == LCMP_ERROR_NONE && transmisionType == LCMP_UNICAST && cd->incomplete.load()) {
            Log(LogStream::kErr, "Warning: part of the device's answer was lost\n");
            result = LCMP_ERROR_INCOMPLETE;
            kivo::FailureRecord(kivo::Reason::kIncompleteAnswer,
                                "part of the answer of device %s on %s was lost on the link; try again, and "
                                "check the cabling or the link's load if it keeps happening",
                                MacText(destination).c_str(),
                                initializedInterface != nullptr ? initializedInterface : "?");
        }
    }
    CallbackDataDestroy(cd);
    return result;
}

}  // namespace

t_lcmpErrorCode LCMPInit(const CHAR* interfaceName) {
    if (interfaceName == nullptr) return LCMP_ERROR_BAD_ARGS;
    LockLcmp();
    initializedInterface = strdup(interfaceName);
    if (initializedInterface == nullptr) {
        Log(LogStream::kErr, "Warning: LCMPInit - malloc() error\n");
        unLockLcmp();
        return LCMP_ERROR_MALLOC;
    }
    const t_lcmpErrorCode rc = LCMPSocketInit(interfaceName);
    if (rc != LCMP_ERROR_NONE) {
        std::free(initializedInterface);
        initializedInterface = nullptr;
        unLockLcmp();
        return rc;
    }
    lcmpOpen.store(true);
    return LCMP_ERROR_NONE;
}

void LCMPEnd() {
    // Without an open period there is nothing to close and no lock to release.
    if (!lcmpOpen.load()) return;
    if (initializedInterface != nullptr) {
        LCMPSocketEnd();
        // The receive thread freed the notification registration when it ended.
        lcmpNotifyRegistration = nullptr;
        CallbackDataDestroy(lcmpNotifyCallbackData);
        lcmpNotifyCallbackData = nullptr;
        std::free(initializedInterface);
        initializedInterface = nullptr;
    }
    lcmpOpen.store(false);
    unLockLcmp();
}

t_lcmpErrorCode LCMPRead(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                         const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                         const INT8U* dstMAC, t_lcmpValueList** readValues) {
    return LCMPReqSend(LCMP_READ_REQ, controlCode, controlValues, encryptionConf, transmisionType, dstMAC,
                       readValues, 0);
}

t_lcmpErrorCode LCMPWrite(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                          const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                          const INT8U* dstMAC, t_lcmpValueList** comfirmValues, INT32S retry) {
    return LCMPReqSend(LCMP_WRITE_REQ, controlCode, controlValues, encryptionConf, transmisionType, dstMAC,
                       comfirmValues, retry);
}

t_lcmpErrorCode LCMPControl(t_lcmpControlCode controlCode, t_lcmpValueList* controlValues,
                            t_lcmpTransmissionType transmisionType, INT8U* dstMAC,
                            t_lcmpValueList** comfirmValues) {
    return LCMPReqSend(LCMP_CTRL_REQ, controlCode, controlValues, nullptr, transmisionType, dstMAC,
                       comfirmValues, 0);
}

t_lcmpErrorCode LCMPNotify(t_lcmpControlCode controlCode, const t_lcmpValueList* notifyValues,
                           t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                           t_lcmpNotifyCallback callback, BOOLEAN ack) {
    const INT8U* destination = Destination(transmisionType, dstMAC);
    if (destination == nullptr) {
        Log(LogStream::kErr, "Warning: LCMPReqSend - bad args #1\n");
        return LCMP_ERROR_BAD_ARGS;
    }
    if (notifyValues == nullptr || notifyValues->head == nullptr) return LCMP_ERROR_BAD_ARGS;
    uint64_t valuesLength = 0;
    for (const t_lcmpValue* v = notifyValues->head; v != nullptr; v = v->next)
        valuesLength += kValueHeaderLength + v->valueLength;
    if (kNotifyHeaderLength + valuesLength > kMaxMessageLength) return LCMP_ERROR_BAD_ARGS;
    const size_t length = kNotifyHeaderLength + static_cast<size_t>(valuesLength);
    if (FailPointHit("lcmp.request_buffer")) return LCMP_ERROR_MALLOC;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[length]());
    if (!buf) return LCMP_ERROR_MALLOC;
    const INT16U transactionId = GetNewTransactionId();
    ByteWriter w(buf.get(), length);
    w.u8(static_cast<uint8_t>(controlCode));
    w.le16(static_cast<uint16_t>(valuesLength));
    w.le16(transactionId);
    w.u8(ack ? 1 : 0);
    for (const t_lcmpValue* v = notifyValues->head; v != nullptr; v = v->next) {
        w.u8(static_cast<uint8_t>(v->type));
        w.le16(v->valueLength);
        w.bytes(v->value, v->valueLength);
    }

    // Retire the earlier registration before its callback data goes.
    if (lcmpNotifyRegistration != nullptr) {
        LCMPCallBackUninstall(lcmpNotifyRegistration);
        lcmpNotifyRegistration = nullptr;
    }
    CallbackDataDestroy(lcmpNotifyCallbackData);
    lcmpNotifyCallbackData = nullptr;

    auto* cd =
        static_cast<t_lcmpCallbackData*>(CallbackDataCreate(nullptr, transactionId, nullptr, callback));
    if (cd == nullptr) return LCMP_ERROR_MALLOC;
    t_lcmpCallback* registration = LCMPCallBackInstall(
        Callback, transmisionType == LCMP_UNICAST ? destination : nullptr, LCMP_NOTIFY_IND, cd);
    if (registration == nullptr) {
        CallbackDataDestroy(cd);
        return LCMP_ERROR_CALLBACK;
    }
    lcmpNotifyCallbackData = cd;
    lcmpNotifyRegistration = registration;
    INT16U numSeq = 0;
    return LCMPPacketSend(destination, LCMP_NOTIFY_IND, static_cast<INT16U>(length), buf.get(), &numSeq);
}

t_lcmpErrorCode LCMPMulticastReadEvery(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                                       const CHAR* const* interfaceNames, INT32U count,
                                       t_lcmpValueList** answers) {
    if (interfaceNames == nullptr || answers == nullptr) return LCMP_ERROR_BAD_ARGS;
    std::vector<std::string> names;
    for (INT32U i = 0; i < count; ++i) {
        if (interfaceNames[i] == nullptr) return LCMP_ERROR_BAD_ARGS;
        names.emplace_back(interfaceNames[i]);
        answers[i] = nullptr;
    }
    const std::lock_guard<std::mutex> guard(lock);
    std::vector<t_lcmpCallbackData*> cds(count, nullptr);
    const auto build = [&](size_t i, const uint8_t* myMAC, std::unique_ptr<uint8_t[]>& mmpl, size_t& length) {
        const INT16U transactionId = GetNewTransactionId();
        cds[i] = static_cast<t_lcmpCallbackData*>(
            CallbackDataCreate(&answers[i], transactionId, nullptr, nullptr));
        if (cds[i] == nullptr) return LCMP_ERROR_MALLOC;
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
        if (opcode == LCMP_READ_CNF && cds[i] != nullptr)
            ConfirmParse(srcMAC, LCMP_READ_CNF, data, length, cds[i]);
    };
    const t_lcmpErrorCode rc = MulticastOnEvery(names, lcmpMulticastMACAddr, build,
                                                kivo::Deadline::AfterMs(timeoutRefConf.load()), handle);
    for (t_lcmpCallbackData* cd : cds) CallbackDataDestroy(cd);
    return rc;
}

void LCMPTimeoutConfSet(INT32U timeoutMs) {
    timeoutRefConf.store(timeoutMs);
}

INT32U LCMPTimeoutConfGet() {
    return timeoutRefConf.load();
}

INT32U LCMPLibVersionGet() {
    return static_cast<INT32U>(KIVO_VERSION_MAJOR) << 16 | static_cast<INT32U>(KIVO_VERSION_MINOR) << 8 |
           static_cast<INT32U>(KIVO_VERSION_BUILD);
}

INT32U LCMPSleep(INT32U ms) {
    return kivo::SleepMsInterruptible(ms);
}
