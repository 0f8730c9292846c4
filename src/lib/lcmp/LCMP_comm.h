// LCMP messaging: value lists, the layout of requests, confirms and notifications,
// and the request engine (LCMPInit/LCMPEnd, read, write, control, notify) with
// transaction identifiers, waits, multi-message replies and payload encryption.
#ifndef KIVO_LCMP_COMM_H
#define KIVO_LCMP_COMM_H

#include <semaphore.h>

#include <atomic>

#include "LCMP_error.h"
#include "LCMP_socket.h"
#include "types.h"

// First byte of every LCMP message.
typedef enum e_lcmpControlCode {
    LCMP_CONTROL_ITU = 0,
    LCMP_CONTROL_G9962 = 1,
    LCMP_CONTROL_HGF = 2,
    LCMP_CONTROL_VENDOR = 3,
    LCMP_CONTROL_OPERATOR = 4,
    LCMP_CONTROL_VECTOR_BOOST = 5,
} t_lcmpControlCode;

// How a request is addressed.
typedef enum e_lcmpTransmissionType {
    LCMP_UNICAST = 0,
    LCMP_MULTICAST = 1,
    LCMP_BROADCAST = 2,
} t_lcmpTransmissionType;

// Type byte of a value (the low 8 bits go on the wire). The underlying type is fixed
// because confirms carry any byte here, not only the names below: without it, 64-255
// would lie outside the enum's range.
typedef enum e_lcmpValueType : INT32S {
    LCMP_VALUE_INFO = 0,
    LCMP_VALUE_PARAMETER = 16,
    LCMP_VALUE_WRITE_PARAMETER_CONFIRM = 17,
    LCMP_VALUE_READ_PARAMETER = 18,
    LCMP_VALUE_CONTROL = 19,
    LCMP_VALUE_CONTROL_CONFIRM = 20,
    LCMP_VALUE_NOTIFY = 21,
    LCMP_VALUE_NOTIFY_CONFIRM = 22,
    LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE = 0x20,
    LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_WRITE_REQ = 0x21,
    LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_WRITE_RESP = 0x22,
    LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_READ_REQ = 0x23,
    LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_READ_RESP = 0x24,
    LCMP_VALUE_VENDOR_TORVIX_TLV_CONFIG_LAYER_GET_ALL_RESP = 0x25,
    LCMP_VALUE_VENDOR_TORVIX_TLV_END_MARKER = 0x26,
    LCMP_VALUE_VENDOR_TORVIX_TLV_CONFIG_LAYER_GET_ALL_REQ = 0x27,
} t_lcmpValueType;

// Data models selected by a LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE value.
enum {
    LCMP_VENDOR_TORVIX_DATAMODEL_CONFIGLAYER_PUBLIC = 0,
    LCMP_VENDOR_TORVIX_DATAMODEL_CONFIGLAYER_PRIVATE = 1,
};

// How the cipher key is made from the password.
typedef enum e_lcmpEncryptionHash {
    LCMP_HASH_SHA256 = 0,
    LCMP_HASH_LEGACY = 1,
    LCMP_HASH_LAST = 2,
} t_lcmpEncryptionHash;

// Encryption of one request and its reply: everything after the marker value
// (the last value of type encryptAfterThisValue) is enciphered.
typedef struct s_lcmpEncryptionConf {
    const CHAR* password;
    t_lcmpValueType encryptAfterThisValue;
    INT16U originalValueLength;
    t_lcmpEncryptionHash hashType;
} t_lcmpEncryptionConf;

typedef struct s_value {
    INT8U srcMAC[6];
    INT32U responseTime;
    t_lcmpValueType type;
    INT16U valueLength;
    INT8U* value;
    struct s_value* next;
} t_lcmpValue;

typedef struct s_valueList {
    INT16U numValues;
    t_lcmpValue* head;
    t_lcmpValue* tail;
} t_lcmpValueList;

typedef void (*t_lcmpNotifyCallback)(t_lcmpValueList* values);

// State shared between one outstanding request (or the notification registration)
// and the receive thread. The flags are written by the receive thread while the
// registration exists and read by the requester afterwards.
typedef struct s_lcmpCallbackData {
    t_lcmpValueList** receivedValues;
    INT16U transactionId;
    t_lcmpEncryptionConf* encryptionConf;
    sem_t* semaphore;
    INT32U timestamp;
    std::atomic<BOOLEAN> frameReceived;
    std::atomic<BOOLEAN> allFramesReceived;
    BOOLEAN sendack;
    t_lcmpNotifyCallback notifyCallback;
    std::atomic<BOOLEAN> callbackRunning;
    // Receive thread only, while the registration exists: the link-layer sequence
    // number of the last accepted confirm message, so that a message missing from a
    // multi-message answer shows as a jump.
    BOOLEAN seqKnown;
    INT16U lastSeq;
    // Set when a message of the answer was lost: the answer must not count as whole.
    std::atomic<BOOLEAN> incomplete;
} t_lcmpCallbackData;

extern const INT8U lcmpMulticastMACAddr[6];
extern const INT8U lcmpBroadcastMACAddr[6];

// Value lists.
t_lcmpErrorCode LCMPValueAdd(t_lcmpValueList** valueList, t_lcmpValueType dataType, INT16U dataLength,
                             const INT8U* data);
t_lcmpErrorCode LCMPFullValueAdd(t_lcmpValueList** valueList, INT8U* srcMAC, INT32U responseTime,
                                 t_lcmpValueType type, INT16U dataLength, const INT8U* data);
t_lcmpErrorCode LCMPValueListDestroy(t_lcmpValueList* valueList);

// Opens LCMP on the named interface for the calling user; a second user waits until
// the first calls LCMPEnd. Every successful call is paired with one LCMPEnd.
t_lcmpErrorCode LCMPInit(const CHAR* interfaceName);
void LCMPEnd();

t_lcmpErrorCode LCMPRead(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                         const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                         const INT8U* dstMAC, t_lcmpValueList** readValues);
t_lcmpErrorCode LCMPWrite(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                          const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                          const INT8U* dstMAC, t_lcmpValueList** comfirmValues, INT32S retry);
t_lcmpErrorCode LCMPControl(t_lcmpControlCode controlCode, t_lcmpValueList* controlValues,
                            t_lcmpTransmissionType transmisionType, INT8U* dstMAC,
                            t_lcmpValueList** comfirmValues);
t_lcmpErrorCode LCMPNotify(t_lcmpControlCode controlCode, const t_lcmpValueList* notifyValues,
                           t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                           t_lcmpNotifyCallback callback, BOOLEAN ack);

// A multicast read sent on every named interface at once and collected once, for the
// reference time, on all of them: answers[i] receives what came back on
// interfaceNames[i] (null when nothing did). An open period of its own: not to be
// called within one. An interface on which the request cannot go out is skipped with a
// warning; LCMP_ERROR_SEND_PACKET when it could go out on none.
t_lcmpErrorCode LCMPMulticastReadEvery(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                                       const CHAR* const* interfaceNames, INT32U count,
                                       t_lcmpValueList** answers);

// Reference time-out in milliseconds (3000 by default).
void LCMPTimeoutConfSet(INT32U timeoutMs);
INT32U LCMPTimeoutConfGet();
// Sleeps ms milliseconds; returns the milliseconds left when interrupted, else 0.
INT32U LCMPSleep(INT32U ms);
INT32U LCMPLibVersionGet();

void* CallbackDataCreate(t_lcmpValueList** receivedValues, INT16U transactionId,
                         const t_lcmpEncryptionConf* encryptionConf, t_lcmpNotifyCallback notifyCallback);
void CallbackDataDestroy(t_lcmpCallbackData* cd);

#endif
