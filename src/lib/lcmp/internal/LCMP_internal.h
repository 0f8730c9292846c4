// Building blocks of the LCMP modules that tests and tools use directly: frame and
// header codecs, the reassembly of segmented messages, the request builder and the
// confirm parser. Not part of the public LCMP interface.
//
// Allocation fault points (kivo::FailPointArm): lcmp.record, lcmp.segment,
// lcmp.reassembly_buffer, lcmp.open (Session::Open), lcmp.request_buffer, lcmp.value.
#ifndef KIVO_LCMP_INTERNAL_H
#define KIVO_LCMP_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "byte_io.h"
#include "clock.h"
#include "ethernet.h"
#include "port.h"

namespace kivo::lcmp {

inline constexpr uint16_t kEtherType = 0x22E3;
inline constexpr size_t kMmhLength = 8;
inline constexpr size_t kMaxSegmentLength = 1496;
inline constexpr unsigned kMaxSegments = 16;
inline constexpr size_t kMaxMessageLength = kMaxSegmentLength * kMaxSegments - 1;  // 23935
// A tagged frame with a full segment: its payload (MMH and segment) is 4 bytes over
// the Ethernet maximum, so the interface needs an MTU of 1504.
inline constexpr size_t kMaxFrameLength =
    l2::kEthHeaderLength + l2::kVlanTagLength + kMmhLength + kMaxSegmentLength;
inline constexpr uint32_t kSegmentMaxAgeMs = 50;
inline constexpr uint32_t kMaxReceivedValues = 65535;

// Fields of the management message header.
struct Mmh {
    uint16_t length = 0;      // MMPL bytes in this segment (12 bits)
    uint16_t opcode = 0;      // 12 bits
    uint8_t numSegments = 0;  // number of the last segment (4 bits)
    uint8_t segment = 0;      // 4 bits
    uint16_t numSeq = 0;
};
bool MmhWrite(ByteWriter& w, const Mmh& mmh);
bool MmhRead(ByteReader& r, Mmh& mmh);

// Writes one frame (Ethernet header, the tag when given, EtherType, MMH, segment,
// padding to the minimum size) into out. Returns the frame length, or 0 when the
// segment is longer than kMaxSegmentLength or the frame does not fit cap.
size_t FrameBuild(uint8_t* out, size_t cap, const uint8_t dstMAC[6], const uint8_t srcMAC[6],
                  const l2::VlanTag* tag, const Mmh& mmh, const uint8_t* segment, size_t segmentLength);

// The LCMP part of a received frame, checked: the MMPL lies entirely within the
// received bytes.
struct MessageSegment {
    const uint8_t* srcMAC = nullptr;
    Mmh mmh;
    const uint8_t* mmpl = nullptr;  // mmh.length bytes
};
bool SegmentParse(const l2::FrameView& frame, MessageSegment& out);

// Partial messages of one session (the list of segmented frames), keyed by
// (low 8 bits of the sequence number, source address, opcode), aged after
// kSegmentMaxAgeMs without a new segment.
class Reassembler {
   public:
    enum class Result { kPending, kComplete, kDropped };

    Reassembler() = default;
    Reassembler(const Reassembler&) = delete;
    Reassembler& operator=(const Reassembler&) = delete;
    ~Reassembler();  // frees every partial message

    // Adds the segment of a frame whose numSegments is above 0. On kComplete the
    // whole message is in message/length and its record is gone.
    Result SegmentAdd(const MessageSegment& frame, uint32_t nowMs, std::unique_ptr<uint8_t[]>& message,
                      size_t& length);
    // Removes every record whose last new segment is kSegmentMaxAgeMs or more old.
    void SegmentedFramesListClean(uint32_t nowMs);
    size_t records() const { return segmentedFrames_; }
    // True when a message from the segment's device and opcode was lost since the last
    // complete one: a partial message of another sequence number is still pending, or
    // one was dropped (aged, or its frames disagreed). Clears what it reports.
    bool IncompleteTake(const MessageSegment& frame);

   private:
    struct Segment {
        bool present = false;
        uint16_t valueLength = 0;
        std::unique_ptr<uint8_t[]> value;
    };
    // One message being reassembled; its segments are indexed by number.
    struct SegmentedFrame {
        uint8_t numSeq = 0;
        uint8_t srcMAC[6] = {};
        uint16_t opcode = 0;
        uint8_t numSegments = 0;  // from the frame that created the record
        uint32_t timeStamp = 0;
        uint8_t numSegmentsSaved = 0;
        std::array<Segment, kMaxSegments> segments;
        SegmentedFrame* nextSegmentedFrame = nullptr;
        SegmentedFrame* prevSegmentedFrame = nullptr;
    };
    SegmentedFrame* SegmentedFrameOpen(const MessageSegment& frame) const;
    SegmentedFrame* SegmentedFrameCreate(const MessageSegment& frame, uint32_t nowMs);
    bool SegmentOnSegmentedFrameInsert(SegmentedFrame* record, const MessageSegment& frame, uint32_t nowMs);
    bool FrameExtract(SegmentedFrame* record, std::unique_ptr<uint8_t[]>& message, size_t& length);
    void SegmentedFrameDelete(SegmentedFrame* record);

    // A partial message given up without being completed.
    struct Lost {
        uint8_t srcMAC[6] = {};
        uint16_t opcode = 0;
    };
    void LostNote(const SegmentedFrame* record);

    SegmentedFrame* head_ = nullptr;
    SegmentedFrame* tail_ = nullptr;
    size_t segmentedFrames_ = 0;
    std::vector<Lost> lost_;  // bounded: a flood of partial messages cannot grow it
};

// What the reception knows of a whole message besides its bytes.
struct DispatchInfo {
    bool seqKnown = false;
    uint16_t seq = 0;
    bool incompleteBefore = false;  // a message from the same device and opcode was lost
};

// Sends a read request to dstMAC on every named interface, each on a port of its own
// (build makes the request for the interface's address), then reads all the ports
// together until the deadline and hands every message to handle with the index of its
// interface. Frames carry tag when it is not null. An interface that cannot send is
// skipped with a warning, its trouble worded; LCMP_ERROR_SEND_PACKET when none could.
using MessageBuilder = std::function<t_lcmpErrorCode(size_t interface, const uint8_t* myMAC,
                                                     std::unique_ptr<uint8_t[]>& mmpl, size_t& length)>;
using MessageHandler =
    std::function<void(size_t interface, const INT8U* srcMAC, INT16U opcode, INT8U* data, INT16U length)>;
Status MulticastOnEvery(const std::vector<std::string>& names, const INT8U* dstMAC,
                        const MessageBuilder& build, const Deadline& deadline, const MessageHandler& handle,
                        const l2::VlanTag* tag, Numbering& numbering);

// Lengths of a request: the values length of its header and the MMPL length with
// the padding of its encrypted part. Computed in 64 bits so nothing wraps.
struct RequestLayout {
    uint64_t valuesLength = 0;
    uint64_t mmplLength = 0;
    bool encrypted = false;
    uint64_t encryptedOffset = 0;  // start of the encrypted bytes in the MMPL
    uint64_t encryptedLength = 0;  // padded
    uint64_t markerLengthOffset = 0;
};
RequestLayout RequestLayoutGet(const t_lcmpValueList* values, const t_lcmpEncryptionConf* encryptionConf);

enum class BuildResult { kOk, kTooLong, kNoMemory, kCipherRefused };
// Builds the MMPL of a read, write or control request (header, values, encryption
// after the marker value). Refuses, before allocating, an MMPL longer than
// kMaxMessageLength.
BuildResult RequestBuild(t_lcmpControlCode controlCode, const t_lcmpValueList* values,
                         const t_lcmpEncryptionConf* encryptionConf, const uint8_t myMAC[6],
                         uint16_t transactionId, std::unique_ptr<uint8_t[]>& mmpl, size_t& mmplLength);

// Key material and the ciphers of the LCMP payload.
t_lcmpErrorCode GetKey(const CHAR* password, INT8U key[32], t_lcmpEncryptionHash hashType);
t_lcmpErrorCode Cipher(INT8U* data, INT32U length, const CHAR* password, t_lcmpEncryptionHash hashType);
t_lcmpErrorCode Decipher(INT8U* data, INT32U length, const CHAR* password, t_lcmpEncryptionHash hashType);

// What one exchange knows of its answer while the answer comes in: a value on the
// exchange's stack, read and written on the exchange's thread only.
struct Answer {
    Answer(t_lcmpValueList** values, INT16U transactionId, const t_lcmpEncryptionConf* encryption);
    t_lcmpValueList** receivedValues = nullptr;  // null: values are parsed and dropped
    INT16U transactionId = 0;
    // A copy: the marker of the later messages of an answer holds one byte of its own.
    bool encrypted = false;
    t_lcmpEncryptionConf encryptionConf{};
    INT32U timestamp = 0;
    bool frameReceived = false;
    bool allFramesReceived = false;
    // The link-layer sequence number of the last accepted confirm message, so that a
    // message missing from a multi-message answer shows as a jump.
    bool seqKnown = false;
    INT16U lastSeq = 0;
    // A message of the answer was lost: the answer must not count as whole.
    bool incomplete = false;
};

// Parses one confirm into the answer's list; the result says why a message was not
// accepted (LCMP_ERROR_NONE when it was).
t_lcmpErrorCode ConfirmParse(const INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length,
                             Answer& answer);
// One message from the device of a unicast exchange: parsed into the answer until the
// answer is whole (later messages are passed over). True once it is whole.
bool UnicastConfirm(const INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length,
                    const DispatchInfo& info, Answer& answer);

}  // namespace kivo::lcmp

#endif
