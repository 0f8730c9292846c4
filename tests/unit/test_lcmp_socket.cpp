// LCMP link layer: frame building and parsing, the MMH, sequence counters and the
// segment limit, reassembly and ageing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <numeric>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "LCMP_socket.h"
#include "clock.h"
#include "failpoint.h"

using namespace kivo::lcmp;
using kivo::FailPointArm;
using kivo::FailPointsClear;
using kivo::l2::VlanTag;
using Bytes = std::vector<uint8_t>;

namespace {

const uint8_t kDst[6] = {0x02, 0, 0, 0, 0, 0x01};
const uint8_t kSrc[6] = {0x02, 0, 0, 0, 0, 0x10};
const uint8_t kOther[6] = {0x02, 0, 0, 0, 0, 0x20};

Bytes Pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// Tagged frames carry VLAN tag (vid, pcp) when given.
Bytes Frame(std::optional<VlanTag> tag, const Mmh& mmh, const Bytes& segment, const uint8_t* src = kSrc) {
    Bytes f(kMaxFrameLength);
    f.resize(FrameBuild(f.data(), f.size(), kDst, src, tag ? &*tag : nullptr, mmh, segment.data(),
                        segment.size()));
    return f;
}

std::optional<VlanTag> Tag(bool tagged, uint16_t vid, uint8_t pcp) {
    return tagged ? std::optional<VlanTag>(VlanTag::Make(vid, pcp)) : std::nullopt;
}

// Parses a received frame as the receive thread does.
bool Parse(const Bytes& f, size_t length, MessageSegment& out) {
    kivo::l2::FrameView view;
    return kivo::l2::FrameParse(f.data(), length, view) && SegmentParse(view, out);
}

}  // namespace

TEST(LcmpFrame, SizesAndPaddingFollowTheSegmentLength) {
    struct Case {
        size_t segment;
        bool tagged;
        size_t frame;
    } cases[] = {{0, false, 60}, {38, false, 60},     {39, false, 61},
                 {0, true, 64},  {1496, false, 1518}, {1496, true, 1522}};
    for (const Case& c : cases) {
        Mmh mmh;
        mmh.length = static_cast<uint16_t>(c.segment);
        mmh.opcode = LCMP_READ_REQ;
        const Bytes seg = Pattern(c.segment, 3);
        const Bytes f = Frame(Tag(c.tagged, 100, 0), mmh, seg);
        ASSERT_EQ(f.size(), c.frame) << c.segment << (c.tagged ? " tagged" : "");
        const size_t mmpl = 22 + (c.tagged ? 4 : 0);
        EXPECT_TRUE(std::equal(seg.begin(), seg.end(), f.begin() + mmpl));
        EXPECT_TRUE(std::all_of(f.begin() + mmpl + c.segment, f.end(), [](uint8_t b) { return b == 0; }));
    }
    Bytes big(kMaxFrameLength + 8);
    EXPECT_EQ(FrameBuild(big.data(), big.size(), kDst, kSrc, nullptr, Mmh{}, big.data(), 1497), 0u);
    EXPECT_EQ(FrameBuild(big.data(), 1517, kDst, kSrc, nullptr, Mmh{}, big.data(), 1496), 0u)
        << "buffer too small";
}

TEST(LcmpFrame, HeaderAndTagBytes) {
    Mmh mmh;
    mmh.length = 0x5A3;
    mmh.opcode = 0x163;
    mmh.numSegments = 3;
    mmh.segment = 2;
    mmh.numSeq = 0xBEEF;
    const Bytes plain = Frame(std::nullopt, mmh, Pattern(0x5A3));
    EXPECT_TRUE(std::equal(kDst, kDst + 6, plain.begin()));
    EXPECT_TRUE(std::equal(kSrc, kSrc + 6, plain.begin() + 6));
    EXPECT_EQ(Bytes(plain.begin() + 12, plain.begin() + 22),
              (Bytes{0x22, 0xE3, 0xA3, 0x35, 0x16, 0x00, 0x23, 0xEF, 0xBE, 0x10}));

    const Bytes tagged = Frame(Tag(true, 100, 0), mmh, Pattern(0x5A3));
    EXPECT_EQ(Bytes(tagged.begin() + 12, tagged.begin() + 18), (Bytes{0x81, 0x00, 0x00, 0x64, 0x22, 0xE3}));
    EXPECT_TRUE(std::equal(plain.begin() + 14, plain.end(), tagged.begin() + 18));
    const Bytes high = Frame(Tag(true, 4094, 5), mmh, {});
    EXPECT_EQ(Bytes(high.begin() + 12, high.begin() + 16), (Bytes{0x81, 0x00, 0xAF, 0xFE}));

    // Every field survives a round trip through the packed bytes.
    std::mt19937 rng(7);
    for (int i = 0; i < 1000; ++i) {
        Mmh m;
        m.length = static_cast<uint16_t>(rng() & 0xFFF);
        m.opcode = static_cast<uint16_t>(rng() & 0xFFF);
        m.numSegments = static_cast<uint8_t>(rng() & 0xF);
        m.segment = static_cast<uint8_t>(rng() & 0xF);
        m.numSeq = static_cast<uint16_t>(rng());
        uint8_t b[kMmhLength];
        kivo::ByteWriter w(b, sizeof(b));
        ASSERT_TRUE(MmhWrite(w, m));
        kivo::ByteReader r(b, sizeof(b));
        Mmh d;
        ASSERT_TRUE(MmhRead(r, d));
        ASSERT_EQ(std::tie(d.length, d.opcode, d.numSegments, d.segment, d.numSeq),
                  std::tie(m.length, m.opcode, m.numSegments, m.segment, m.numSeq));
        ASSERT_EQ(b[3], 0);
        ASSERT_EQ(b[7], 0x10);
    }
}

TEST(LcmpFrame, ParseChecksLengthsBeforeReading) {
    Mmh mmh;
    mmh.opcode = LCMP_READ_CNF;
    mmh.length = 5;
    const Bytes seg = Pattern(5, 9);
    for (bool tagged : {false, true}) {
        const Bytes f = Frame(Tag(tagged, 7, 1), mmh, seg, kOther);
        const size_t header = 22 + (tagged ? 4 : 0);
        MessageSegment v;
        ASSERT_TRUE(Parse(f, f.size(), v));
        EXPECT_EQ(v.mmh.opcode, LCMP_READ_CNF);
        EXPECT_EQ(0, std::memcmp(v.srcMAC, kOther, 6));
        EXPECT_EQ(Bytes(v.mmpl, v.mmpl + 5), seg);
        // The MMPL must lie within the received bytes: exactly enough, one short.
        EXPECT_TRUE(Parse(f, header + 5, v));
        EXPECT_FALSE(Parse(f, header + 4, v));
    }
    // Shortest frames: addresses, type and MMH (+ tag) with an empty segment.
    Mmh empty;
    const Bytes f = Frame(std::nullopt, empty, {});
    const Bytes t = Frame(Tag(true, 1, 0), empty, {});
    MessageSegment v;
    EXPECT_TRUE(Parse(f, 22, v));
    EXPECT_FALSE(Parse(f, 21, v));
    EXPECT_TRUE(Parse(t, 26, v));
    EXPECT_FALSE(Parse(t, 25, v));
    EXPECT_FALSE(Parse(Bytes{}, 0, v));
    // A frame of another type is not LCMP.
    Bytes other = f;
    other[12] = 0x88;
    EXPECT_FALSE(Parse(other, other.size(), v));
}

TEST(LcmpSend, SegmentLimitAndSequenceCounters) {
    // The session is not open: every message that passes the length check is counted
    // and then fails at its first segment.
    static Bytes mmpl(65535);
    Session s("unopened");
    INT16U read0 = 0, read1 = 0, write0 = 0, unchanged = 0xABCD;
    testing::internal::CaptureStderr();
    EXPECT_EQ(s.PacketSend(kDst, LCMP_READ_REQ, 10, mmpl.data(), &read0), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(s.PacketSend(kDst, LCMP_WRITE_REQ, 10, mmpl.data(), &write0), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(s.PacketSend(kDst, LCMP_READ_REQ, 23936, mmpl.data(), &unchanged), LCMP_ERROR_SENDTO);
    EXPECT_EQ(s.PacketSend(kDst, LCMP_READ_REQ, 23935, mmpl.data(), &read1), LCMP_ERROR_SOCKET_NOT_OPENED);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(unchanged, 0xABCD);
    EXPECT_EQ(read1, static_cast<INT16U>(read0 + 1)) << "the refused message took no number";
    EXPECT_NE(
        err.find("Warning: LCMP message of 23936 bytes would need 17 segments of 1496; at most 16 fit\n"),
        std::string::npos);
    EXPECT_NE(err.find("Warning: LCMP frame not sent on "), std::string::npos) << err;
    // Counters are kept per opcode.
    INT16U write1 = 0;
    testing::internal::CaptureStderr();
    s.PacketSend(kDst, LCMP_WRITE_REQ, 0, nullptr, &write1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(write1, static_cast<INT16U>(write0 + 1));
    EXPECT_EQ(s.PacketSend(kDst, NUM_OPCODES, 1, mmpl.data(), &write1), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(s.PacketSend(nullptr, LCMP_READ_REQ, 1, mmpl.data(), &write1), LCMP_ERROR_BAD_ARGS);
}

// ---------------------------------------------------------------- reassembly

class LcmpReassembly : public testing::Test {
   protected:
    void TearDown() override { FailPointsClear(); }

    // Adds one segment of a message; returns the result and keeps a complete message.
    Reassembler::Result Add(uint8_t segment, uint8_t numSegments, const Bytes& bytes, uint32_t now,
                            uint16_t seq = 1, const uint8_t* src = kSrc, uint16_t opcode = LCMP_READ_CNF) {
        Mmh mmh;
        mmh.length = static_cast<uint16_t>(bytes.size());
        mmh.opcode = opcode;
        mmh.numSegments = numSegments;
        mmh.segment = segment;
        mmh.numSeq = seq;
        MessageSegment v{src, mmh, bytes.data()};
        std::unique_ptr<uint8_t[]> buf;
        size_t len = 0;
        const auto r = reassembler.SegmentAdd(v, now, buf, len);
        if (r == Reassembler::Result::kComplete) message.assign(buf.get(), buf.get() + len);
        return r;
    }

    Reassembler reassembler;
    Bytes message;
    using R = Reassembler::Result;
};

TEST_F(LcmpReassembly, SegmentsInAnyOrderRepeatedOrEmpty) {
    const Bytes a = Pattern(1496, 1), b = Pattern(700, 2);
    EXPECT_EQ(Add(1, 1, b, 0), R::kPending);
    EXPECT_EQ(Add(1, 1, b, 1), R::kPending) << "a repetition";
    EXPECT_EQ(Add(0, 1, a, 2), R::kComplete);
    Bytes whole = a;
    whole.insert(whole.end(), b.begin(), b.end());
    EXPECT_EQ(message, whole);
    EXPECT_EQ(reassembler.records(), 0u);

    // A message ending in an empty segment; then all 16 segments shuffled.
    EXPECT_EQ(Add(0, 1, a, 3, 2), R::kPending);
    EXPECT_EQ(Add(1, 1, {}, 3, 2), R::kComplete);
    EXPECT_EQ(message, a);
    std::vector<uint8_t> order(16);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (size_t i = 0; i < order.size(); ++i)
        ASSERT_EQ(Add(order[i], 15, Bytes(10, order[i]), 4, 3),
                  i + 1 < order.size() ? R::kPending : R::kComplete);
    for (size_t i = 0; i < 160; ++i) ASSERT_EQ(message[i], i / 10);
}

TEST_F(LcmpReassembly, MessagesAreKeyedByLowSequenceSourceAndOpcode) {
    EXPECT_EQ(Add(0, 1, Bytes(3, 1), 0, 7, kSrc), R::kPending);
    EXPECT_EQ(Add(0, 1, Bytes(3, 2), 0, 7, kOther), R::kPending);
    EXPECT_EQ(Add(0, 1, Bytes(3, 3), 0, 7, kSrc, LCMP_WRITE_CNF), R::kPending);
    EXPECT_EQ(reassembler.records(), 3u);
    EXPECT_EQ(Add(1, 1, Bytes(2, 4), 0, 7, kOther), R::kComplete);
    EXPECT_EQ(message, (Bytes{2, 2, 2, 4, 4}));
    EXPECT_EQ(Add(1, 1, Bytes(2, 5), 0, 7 + 256, kSrc), R::kComplete)
        << "sequence numbers 256 apart share a record";
    EXPECT_EQ(message, (Bytes{1, 1, 1, 5, 5}));
    EXPECT_EQ(reassembler.records(), 1u);
}

TEST_F(LcmpReassembly, InconsistentSegmentsAreDropped) {
    EXPECT_EQ(Add(2, 1, Bytes(3, 1), 0), R::kDropped) << "segment beyond the last";
    EXPECT_EQ(reassembler.records(), 0u);
    EXPECT_EQ(Add(0, 2, Bytes(3, 1), 0), R::kPending);
    EXPECT_EQ(Add(1, 1, Bytes(3, 2), 0), R::kDropped) << "disagrees on the number of segments";
    EXPECT_EQ(reassembler.records(), 0u);
    // The next complete set is taken as a new message.
    EXPECT_EQ(Add(1, 1, Bytes(1, 2), 0), R::kPending);
    EXPECT_EQ(Add(0, 1, Bytes(1, 1), 0), R::kComplete);
    EXPECT_EQ(message, (Bytes{1, 2}));
}

TEST_F(LcmpReassembly, AgeingCountsFromTheLastNewSegment) {
    EXPECT_EQ(Add(0, 2, Bytes(1, 0), 1000), R::kPending);
    EXPECT_EQ(Add(0, 2, Bytes(1, 0), 1040), R::kPending);  // repetition: no refresh
    reassembler.SegmentedFramesListClean(1049);
    EXPECT_EQ(reassembler.records(), 1u);
    reassembler.SegmentedFramesListClean(1050);
    EXPECT_EQ(reassembler.records(), 0u);

    EXPECT_EQ(Add(0, 2, Bytes(1, 0), 2000), R::kPending);
    EXPECT_EQ(Add(1, 2, Bytes(1, 1), 2040), R::kPending);  // a new segment refreshes
    reassembler.SegmentedFramesListClean(2089);
    EXPECT_EQ(reassembler.records(), 1u);
    // A late segment after ageing starts a record of its own that cannot complete.
    reassembler.SegmentedFramesListClean(2090);
    EXPECT_EQ(Add(2, 2, Bytes(1, 2), 2100), R::kPending);
    EXPECT_EQ(reassembler.records(), 1u);

    // Ages are differences modulo 2^32: a wrap of the time base ages nothing early.
    Reassembler wrap;
    Mmh mmh;
    mmh.numSegments = 1;
    const uint8_t byte = 0;
    MessageSegment v{kSrc, mmh, &byte};
    std::unique_ptr<uint8_t[]> buf;
    size_t len = 0;
    wrap.SegmentAdd(v, 0xFFFFFFF0u, buf, len);
    wrap.SegmentedFramesListClean(0x10);
    EXPECT_EQ(wrap.records(), 1u);
    wrap.SegmentedFramesListClean(0x22);
    EXPECT_EQ(wrap.records(), 0u);
}

TEST_F(LcmpReassembly, AllocationFailuresLeaveConsistentRecords) {
    FailPointArm("lcmp.record");
    EXPECT_EQ(Add(0, 1, Bytes(2, 1), 0), R::kDropped);
    EXPECT_EQ(reassembler.records(), 0u);

    EXPECT_EQ(Add(0, 1, Bytes(2, 1), 0), R::kPending);
    FailPointArm("lcmp.segment");
    EXPECT_EQ(Add(1, 1, Bytes(2, 2), 0), R::kDropped);
    EXPECT_EQ(reassembler.records(), 1u) << "the record stays as it was";
    // The reassembly buffer cannot be had: the record goes, a repeated segment
    // alone does not complete anything, the whole message sent again does.
    FailPointArm("lcmp.reassembly_buffer");
    EXPECT_EQ(Add(1, 1, Bytes(2, 2), 0), R::kDropped);
    EXPECT_EQ(reassembler.records(), 0u);
    EXPECT_EQ(Add(1, 1, Bytes(2, 2), 0), R::kPending);
    EXPECT_EQ(Add(0, 1, Bytes(2, 1), 0), R::kComplete);
    EXPECT_EQ(message, (Bytes{1, 1, 2, 2}));
}

TEST(LcmpTime, TimeBaseIsTheSteadyClock) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint32_t mono =
        static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
    EXPECT_LE(static_cast<uint32_t>(kivo::NowMs() - mono), 5u);
}
