// LCMP receive path: frame and MMH parsing, reassembly of segmented messages (one
// reassembler for the whole run, as the receive thread keeps one for its life), and
// the confirm parser on each complete message, plain or deciphered.
// Input: one control byte (bit 0: the request was encrypted, bit 1: legacy key,
// bits 2-7: the marker's own data length), the marker's type, then the frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "LCMP_internal.h"
#include "log.h"

using namespace kivo::lcmp;

namespace {
Reassembler reassembler;
uint32_t nowMs = 0;

void Confirm(const uint8_t* src, uint16_t opcode, const uint8_t* message, size_t length, uint8_t control,
             uint8_t marker) {
    if (length > UINT16_MAX) return;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length + 1]);  // the parser deciphers in place
    if (length > 0) std::memcpy(copy.get(), message, length);
    t_lcmpEncryptionConf enc{"fuzz-password", static_cast<t_lcmpValueType>(marker),
                             static_cast<INT16U>(control >> 2),
                             (control & 2) != 0 ? LCMP_HASH_LEGACY : LCMP_HASH_SHA256};
    // The transaction number the parser expects is the one it finds, so that every
    // input reaches the values.
    const INT16U tid = length >= 5 ? static_cast<INT16U>(message[3] | message[4] << 8) : 0;
    t_lcmpValueList* list = nullptr;
    Answer answer(&list, tid, (control & 1) != 0 ? &enc : nullptr);
    // The opcode the exchange waits for: only confirms reach the parser.
    const uint16_t confirm =
        opcode == LCMP_WRITE_CNF || opcode == LCMP_CTRL_CNF ? opcode : uint16_t{LCMP_READ_CNF};
    ConfirmParse(src, static_cast<t_lcmpOpcodeType>(confirm), copy.get(), static_cast<INT16U>(length),
                 answer);
    LCMPValueListDestroy(list);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::LogSinkSet([](kivo::LogStream, std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t control = data[0];
    const uint8_t marker = data[1];
    kivo::l2::FrameView frame;
    if (!kivo::l2::FrameParse(data + 2, size - 2, frame)) return 0;
    MessageSegment segment;
    if (!SegmentParse(frame, segment)) return 0;
    nowMs += 7;  // some records age out between inputs, others complete
    reassembler.SegmentedFramesListClean(nowMs);
    if (segment.mmh.numSegments == 0) {
        Confirm(segment.srcMAC, segment.mmh.opcode, segment.mmpl, segment.mmh.length, control, marker);
        return 0;
    }
    std::unique_ptr<uint8_t[]> message;
    size_t length = 0;
    if (reassembler.SegmentAdd(segment, nowMs, message, length) == Reassembler::Result::kComplete)
        Confirm(segment.srcMAC, segment.mmh.opcode, message.get(), length, control, marker);
    return 0;
}
