// LCMP messaging: value lists, the layout of requests and confirms, and the session
// that runs exchanges (read, write) with transaction identifiers, waits, multi-message
// replies and payload encryption.
#ifndef KIVO_LCMP_COMM_H
#define KIVO_LCMP_COMM_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "LCMP_error.h"
#include "LCMP_socket.h"
#include "status.h"
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

extern const INT8U lcmpMulticastMACAddr[6];
extern const INT8U lcmpBroadcastMACAddr[6];

// Value lists.
t_lcmpErrorCode LCMPValueAdd(t_lcmpValueList** valueList, t_lcmpValueType dataType, INT16U dataLength,
                             const INT8U* data);
t_lcmpErrorCode LCMPFullValueAdd(t_lcmpValueList** valueList, INT8U* srcMAC, INT32U responseTime,
                                 t_lcmpValueType type, INT16U dataLength, const INT8U* data);
t_lcmpErrorCode LCMPValueListDestroy(t_lcmpValueList* valueList);

namespace kivo::l2 {
class Port;
}

namespace kivo::lcmp {

// Reference time-out of an exchange in milliseconds.
inline constexpr uint32_t kDefaultTimeoutMs = 3000;

// The numbers one user of LCMP puts on its requests: transaction identifiers (the
// process id, then 256 further per request) and the per-opcode sequence numbers of the
// link-layer header. Sessions that may talk to the same device one after the other share
// one, so that a late answer to one request never passes for the answer to the next and
// the device sees the numbers run on. Safe to share between threads.
class Numbering {
   public:
    Numbering();
    uint16_t NextTransactionId();
    uint16_t NextSequence(t_lcmpOpcodeType opcode);

   private:
    uint32_t pid_;
    std::atomic<uint32_t> transactions_{0};
    std::atomic<uint16_t> sequences_[NUM_OPCODES - LCMP_READ_REQ] = {};
};

// What one session needs to know besides its interface.
struct SessionSettings {
    uint16_t vlanId = 0;       // 1..4094: frames carry an 802.1Q tag with this id; 0: untagged
    uint8_t vlanPriority = 0;  // 0..7
    uint32_t timeoutMs = kDefaultTimeoutMs;
    Numbering* numbering = nullptr;  // null: the session numbers its requests alone
};

// LCMP on one host interface for one user: its own port (a packet socket for the LCMP
// EtherType, so every session on an interface sees every LCMP frame), its VLAN tag, its
// reassembly of segmented messages and its time-out. An exchange sends its request and
// reads the session's port on the calling thread until the answer it waits for (its
// device, its confirm opcode, its transaction id) is whole, and hands it back; frames of
// other exchanges pass by. Sessions are independent: any number may run at once on any
// threads, one thread per session at a time.
class Session {
   public:
    Session(const CHAR* interfaceName, const SessionSettings& settings = {});
    // Tests: a session over a port adopted from a socket pair.
    Session(l2::Port adopted, const SessionSettings& settings = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the session's port. LCMP_ERROR_BAD_ARGS for no name or one that does not fit
    // an interface name, or settings out of range; LCMP_ERROR_SOCKET_NOT_OPENED when no
    // packet socket can be had. An interface that does not exist (yet) leaves the session
    // open without a port (the status's words say so): the name is resolved again at
    // each send.
    //
    // Every operation's status carries LCMP's code and, for a failure people can act on,
    // its words (no interface, no answer, a request too large, ...).
    kivo::Status Open();

    kivo::Status Read(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                      const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                      const INT8U* dstMAC, t_lcmpValueList** readValues);
    // Waits (retry + 1) reference times for the confirm.
    kivo::Status Write(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                       const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                       const INT8U* dstMAC, t_lcmpValueList** comfirmValues, INT32S retry);

    // Sends one message of MMPLlength bytes, cut into at most 16 segments, and stores the
    // sequence number it carries in *numSeq.
    kivo::Status PacketSend(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength,
                            const INT8U* MMPL, INT16U* numSeq);
    // The hardware address of the session's interface.
    t_lcmpErrorCode MyMACGet(INT8U* myMAC);

    const std::string& interfaceName() const;
    const SessionSettings& settings() const;

   private:
    struct State;
    kivo::Status Request(t_lcmpOpcodeType opcode, t_lcmpControlCode controlCode,
                         const t_lcmpValueList* controlValues, const t_lcmpEncryptionConf* encryptionConf,
                         t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                         t_lcmpValueList** comfirmValues, INT32S retry);
    std::unique_ptr<State> state_;
};

// A multicast read sent on every named interface at once and collected once, for the
// reference time, on all of them: answers[i] receives what came back on
// interfaceNames[i] (null when nothing did). An interface on which the request cannot go
// out is skipped with a warning (the first such trouble is worded, whatever the code);
// LCMP_ERROR_SEND_PACKET when it could go out on none.
kivo::Status MulticastReadEvery(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                                const CHAR* const* interfaceNames, INT32U count, t_lcmpValueList** answers,
                                const SessionSettings& settings = {});

}  // namespace kivo::lcmp

#endif
