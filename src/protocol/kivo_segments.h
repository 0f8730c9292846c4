// Reply segmentation: the three-byte segment header both ends write and read, and the
// reassembly of one reply from its segments. A reply longer than one datagram is sent as
// segments of kSegmentSize bytes; segment k starts kSegmentPayload * k bytes into the
// reply, and its header stands in place of the reply's bytes it overlaps, so segment 0
// carries the reply's own first bytes and every further one adds kSegmentPayload.
//
// Header-only, like kivo_protocol.h.
#ifndef KIVO_SEGMENTS_H
#define KIVO_SEGMENTS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kivo_protocol.h"

namespace kivo::protocol {

struct SegmentHeader {
    uint8_t seq = 0;     // the request's sequence number
    uint8_t count = 0;   // segments of the reply
    uint8_t number = 0;  // this segment's place, from 0
};

// Segments a reply of `length` bytes is sent as (at least one).
constexpr size_t SegmentCount(size_t length) {
    if (length <= kSegmentSize) return 1;
    return 1 + (length - kSegmentSize + kSegmentPayload - 1) / kSegmentPayload;
}
// Where segment `number` starts in the reply, and how long it is.
constexpr size_t SegmentOffset(size_t number) {
    return kSegmentPayload * number;
}
constexpr size_t SegmentLength(size_t length, size_t number) {
    return number + 1 == SegmentCount(length) ? length - SegmentOffset(number) : kSegmentSize;
}

// Writes the header over the first bytes of a segment of `length` bytes; a segment shorter
// than the header (a one-byte answer) keeps only what fits.
inline void WriteSegmentHeader(uint8_t* segment, size_t length, const SegmentHeader& h) {
    if (length > 0) segment[0] = h.seq;
    if (length > 1) segment[1] = h.count;
    if (length > 2) segment[2] = h.number;
}

// Puts one reply together from its segments, which must come in order, each once.
class Reassembler {
   public:
    enum class Step { kMore, kComplete, kError };

    // Takes the next datagram of the reply (already matched on its sequence number).
    Step Add(std::span<const uint8_t> segment) {
        const size_t len = segment.size();
        if (len == 1) {
            if (next_ != 0) return Fail("a one-byte datagram arrived in the middle of a segmented reply");
            reply_.assign(segment.begin(), segment.end());
            return Step::kComplete;
        }
        if (len < 4) return Fail("a reply segment of " + std::to_string(len) + " bytes is too short");
        const size_t count = segment[1];
        const size_t number = segment[2];
        if (count == 0 || number >= count)
            return Fail("a reply segment is numbered " + std::to_string(number) + " of " +
                        std::to_string(count));
        if (next_ > 0 && count != count_)
            return Fail("the reply's segments disagree on their count (" + std::to_string(count_) +
                        ", then " + std::to_string(count) + ")");
        if (number < next_) return Fail("reply segment " + std::to_string(number) + " arrived twice");
        if (number > next_)
            return Fail("reply segment " + std::to_string(next_) + " is missing or late: segment " +
                        std::to_string(number) + " came first");
        if (len > kSegmentSize || (number + 1 < count && len != kSegmentSize))
            return Fail("reply segment " + std::to_string(number) + " has " + std::to_string(len) +
                        " bytes, not " + std::to_string(kSegmentSize));
        if (number == 0) {
            count_ = count;
            reply_.assign(segment.begin(), segment.end());
        } else {
            reply_.insert(reply_.end(), segment.begin() + kHeaderSize, segment.end());
        }
        return ++next_ == count_ ? Step::kComplete : Step::kMore;
    }

    // Whether a first segment has come (later ones then follow back to back).
    bool Started() const { return next_ > 0; }
    // What is missing when the segments stop coming.
    std::string MissingText() const {
        return "the reply is incomplete: segment " + std::to_string(next_) + " of " + std::to_string(count_) +
               " never arrived";
    }
    // Why the last Add ended in kError.
    const std::string& Error() const { return error_; }
    // The reply: segment 0 with its header, then every further segment's payload.
    std::vector<uint8_t> Take() { return std::move(reply_); }

   private:
    Step Fail(std::string text) {
        error_ = std::move(text);
        return Step::kError;
    }
    size_t count_ = 0;
    size_t next_ = 0;
    std::vector<uint8_t> reply_;
    std::string error_;
};

}  // namespace kivo::protocol

#endif
