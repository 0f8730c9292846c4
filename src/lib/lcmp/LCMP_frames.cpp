// LCMP link layer: the frame and header codecs and the reassembly of segmented
// messages. Pure code over bytes, with no socket.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "LCMP_internal.h"
#include "byte_io.h"
#include "failpoint.h"

namespace kivo::lcmp {

namespace {
// The last MMH byte: the same constant in every frame.
constexpr uint8_t kMmhTrailer = 0x10;
constexpr uint16_t kMmhLengthMask = 0x0FFF;
}  // namespace

// ---------------------------------------------------------------------------
// Frame and header codecs

// The MMH packs the 12-bit length and the 12-bit opcode into its first three bytes,
// little-endian, and the two 4-bit segment numbers into its fifth.
bool MmhWrite(ByteWriter& w, const Mmh& mmh) {
    w.le16(static_cast<uint16_t>((mmh.length & kMmhLengthMask) | (mmh.opcode & 0x0F) << 12));
    w.u8(static_cast<uint8_t>(mmh.opcode >> 4));
    w.u8(0);
    w.u8(static_cast<uint8_t>((mmh.numSegments & 0x0F) | (mmh.segment & 0x0F) << 4));
    w.le16(mmh.numSeq);
    w.u8(kMmhTrailer);
    return w.ok();
}

bool MmhRead(ByteReader& r, Mmh& mmh) {
    uint16_t lengthAndOpcode = 0;
    uint8_t opcodeHigh = 0, segments = 0;
    if (!r.le16(lengthAndOpcode) || !r.u8(opcodeHigh) || !r.skip(1) || !r.u8(segments) ||
        !r.le16(mmh.numSeq) || !r.skip(1))
        return false;
    mmh.length = lengthAndOpcode & kMmhLengthMask;
    mmh.opcode = static_cast<uint16_t>(opcodeHigh << 4 | lengthAndOpcode >> 12);
    mmh.numSegments = segments & 0x0F;
    mmh.segment = segments >> 4;
    return true;
}

size_t FrameBuild(uint8_t* out, size_t cap, const uint8_t dstMAC[6], const uint8_t srcMAC[6],
                  const l2::VlanTag* tag, const Mmh& mmh, const uint8_t* segment, size_t segmentLength) {
    if (segmentLength > kMaxSegmentLength || (segmentLength > 0 && segment == nullptr)) return 0;
    const size_t payload = std::max(kMmhLength + segmentLength, l2::kMinPayloadLength);
    const size_t total = l2::kEthHeaderLength + (tag != nullptr ? l2::kVlanTagLength : 0) + payload;
    if (out == nullptr || total > cap) return 0;
    ByteWriter w(out, total);
    l2::EthernetWrite(w, dstMAC, srcMAC, tag, kEtherType);
    MmhWrite(w, mmh);
    w.bytes(segment, segmentLength);
    w.fill(0, w.remaining());
    return w.ok() ? total : 0;
}

bool SegmentParse(const l2::FrameView& frame, MessageSegment& out) {
    if (frame.eth.typeOrLength != kEtherType) return false;
    ByteReader r = frame.payloadReader();
    if (!MmhRead(r, out.mmh)) return false;
    // The MMH's length is a claim: the segment must lie within the received bytes.
    if (!r.has(out.mmh.length)) return false;
    // Into the received bytes (the source address follows the destination), so that it
    // stays valid as long as the frame does, not only as long as the view.
    out.srcMAC = frame.data + l2::kMacLength;
    out.mmpl = r.current();
    return true;
}

// ---------------------------------------------------------------------------
// Reassembly

Reassembler::~Reassembler() {
    while (head_ != nullptr) SegmentedFrameDelete(head_);
}

Reassembler::SegmentedFrame* Reassembler::SegmentedFrameOpen(const MessageSegment& frame) const {
    const uint8_t seq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    for (SegmentedFrame* r = head_; r != nullptr; r = r->nextSegmentedFrame) {
        if (r->numSeq == seq && r->opcode == frame.mmh.opcode && std::memcmp(r->srcMAC, frame.srcMAC, 6) == 0)
            return r;
    }
    return nullptr;
}

Reassembler::SegmentedFrame* Reassembler::SegmentedFrameCreate(const MessageSegment& frame, uint32_t nowMs) {
    if (kivo::FailPointHit("lcmp.record")) return nullptr;
    SegmentedFrame* r = new (std::nothrow) SegmentedFrame();
    if (r == nullptr) return nullptr;
    r->numSeq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    std::memcpy(r->srcMAC, frame.srcMAC, 6);
    r->opcode = frame.mmh.opcode;
    r->numSegments = frame.mmh.numSegments;
    r->timeStamp = nowMs;
    r->prevSegmentedFrame = tail_;
    if (tail_ != nullptr)
        tail_->nextSegmentedFrame = r;
    else
        head_ = r;
    tail_ = r;
    ++segmentedFrames_;
    return r;
}

void Reassembler::SegmentedFrameDelete(SegmentedFrame* r) {
    if (r->prevSegmentedFrame != nullptr)
        r->prevSegmentedFrame->nextSegmentedFrame = r->nextSegmentedFrame;
    else
        head_ = r->nextSegmentedFrame;
    if (r->nextSegmentedFrame != nullptr)
        r->nextSegmentedFrame->prevSegmentedFrame = r->prevSegmentedFrame;
    else
        tail_ = r->prevSegmentedFrame;
    --segmentedFrames_;
    delete r;
}

// Stores a copy of the frame's segment; false when no memory is left (the record
// stays as it was). A number already present changes nothing, not even the time.
bool Reassembler::SegmentOnSegmentedFrameInsert(SegmentedFrame* r, const MessageSegment& frame,
                                                uint32_t nowMs) {
    Segment& seg = r->segments[frame.mmh.segment];
    if (seg.present) return true;
    const uint16_t length = frame.mmh.length;
    if (length > 0) {
        uint8_t* copy = kivo::FailPointHit("lcmp.segment") ? nullptr : new (std::nothrow) uint8_t[length];
        if (copy == nullptr) return false;
        std::memcpy(copy, frame.mmpl, length);
        seg.value.reset(copy);
    }
    seg.valueLength = length;
    seg.present = true;
    ++r->numSegmentsSaved;
    r->timeStamp = nowMs;
    return true;
}

// Puts the segments of a complete record together, in order.
bool Reassembler::FrameExtract(SegmentedFrame* r, std::unique_ptr<uint8_t[]>& message, size_t& length) {
    size_t total = 0;
    for (unsigned i = 0; i <= r->numSegments; ++i) total += r->segments[i].valueLength;
    uint8_t* buf = kivo::FailPointHit("lcmp.reassembly_buffer") ? nullptr
                                                                : new (std::nothrow)
                                                                      uint8_t[total > 0 ? total : 1];
    if (buf == nullptr) return false;
    size_t pos = 0;
    for (unsigned i = 0; i <= r->numSegments; ++i) {
        const Segment& s = r->segments[i];
        if (s.valueLength > 0) std::memcpy(buf + pos, s.value.get(), s.valueLength);
        pos += s.valueLength;
    }
    message.reset(buf);
    length = total;
    return true;
}

Reassembler::Result Reassembler::SegmentAdd(const MessageSegment& frame, uint32_t nowMs,
                                            std::unique_ptr<uint8_t[]>& message, size_t& length) {
    // A segment numbered beyond the message's last segment cannot belong to it.
    if (frame.mmh.segment > frame.mmh.numSegments) return Result::kDropped;
    SegmentedFrame* r = SegmentedFrameOpen(frame);
    if (r == nullptr) {
        r = SegmentedFrameCreate(frame, nowMs);
        if (r == nullptr) return Result::kDropped;
    } else if (r->numSegments != frame.mmh.numSegments) {
        // Frames that disagree on the message's size: nothing of it can be trusted.
        LostNote(r);
        SegmentedFrameDelete(r);
        return Result::kDropped;
    }
    if (!SegmentOnSegmentedFrameInsert(r, frame, nowMs)) return Result::kDropped;
    // Every number from 0 to numSegments is present once the count is reached,
    // since no number above numSegments is ever stored and none twice.
    if (r->numSegmentsSaved != r->numSegments + 1) return Result::kPending;
    // Without memory for the message it cannot be dispatched; a complete record
    // would never change again, so it goes either way.
    const bool extracted = FrameExtract(r, message, length);
    if (!extracted) LostNote(r);
    SegmentedFrameDelete(r);
    return extracted ? Result::kComplete : Result::kDropped;
}

void Reassembler::SegmentedFramesListClean(uint32_t nowMs) {
    SegmentedFrame* r = head_;
    while (r != nullptr) {
        SegmentedFrame* next = r->nextSegmentedFrame;
        if (static_cast<uint32_t>(nowMs - r->timeStamp) >= kSegmentMaxAgeMs) {
            LostNote(r);
            SegmentedFrameDelete(r);
        }
        r = next;
    }
}

void Reassembler::LostNote(const SegmentedFrame* r) {
    // Only whether something was lost matters, not how much: one entry per device and
    // opcode, and few of them, so frames from strangers cannot make the list grow.
    constexpr size_t kMaxLost = 32;
    for (const Lost& l : lost_)
        if (l.opcode == r->opcode && std::memcmp(l.srcMAC, r->srcMAC, 6) == 0) return;
    if (lost_.size() >= kMaxLost) lost_.erase(lost_.begin());
    Lost l;
    std::memcpy(l.srcMAC, r->srcMAC, 6);
    l.opcode = r->opcode;
    lost_.push_back(l);
}

bool Reassembler::IncompleteTake(const MessageSegment& frame) {
    bool incomplete = false;
    for (auto it = lost_.begin(); it != lost_.end();) {
        if (it->opcode == frame.mmh.opcode && std::memcmp(it->srcMAC, frame.srcMAC, 6) == 0) {
            it = lost_.erase(it);
            incomplete = true;
        } else {
            ++it;
        }
    }
    // A partial message sent before this one (a lower sequence number, modulo 256)
    // that is still waiting for a segment will not be part of the answer in time.
    const uint8_t seq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    for (const SegmentedFrame* r = head_; r != nullptr; r = r->nextSegmentedFrame) {
        const uint8_t behind = static_cast<uint8_t>(seq - r->numSeq);
        if (r->opcode == frame.mmh.opcode && std::memcmp(r->srcMAC, frame.srcMAC, 6) == 0 && behind > 0 &&
            behind < 128)
            incomplete = true;
    }
    return incomplete;
}

}  // namespace kivo::lcmp
