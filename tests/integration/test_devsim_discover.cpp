// The simulator's discovery module on the wire: a raw socket on the host side of the
// link probes and listens, and compares the frames byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_discover.h"

using namespace kivotest;

namespace {

Bytes Pad(Bytes f, size_t length) {
    f.resize(length, 0);
    return f;
}

uint32_t Le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The frames of a classic pcap file (microsecond, Ethernet link type), in file order;
// nullopt when the file is not one or a record runs past its end.
std::optional<std::vector<Bytes>> PcapFrames(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 24 || Le32(file, 0) != 0xA1B2C3D4 || Le32(file, 20) != 1) return std::nullopt;
    std::vector<Bytes> frames;
    for (size_t at = 24; at < file.size();) {
        if (file.size() - at < 16) return std::nullopt;
        const uint32_t kept = Le32(file, at + 8);
        if (kept != Le32(file, at + 12) || file.size() - at - 16 < kept) return std::nullopt;
        frames.emplace_back(file.begin() + at + 16, file.begin() + at + 16 + kept);
        at += 16 + kept;
    }
    return frames;
}

TEST(DevsimDiscover, LegacyReplyToProbes) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    auto& sim = topo.StartDevsim(
        "[device l1]\nmac = 02:00:00:00:00:01\ninterface = eth1\nrole = legacy\n\n"
        "[device l2]\nmac = 02:00:00:00:00:02\ninterface = eth1\nrole = legacy\ndiscover_reply = no\n");
    RawPeer peer(topo.host(), "eth1");
    const Bytes probeHead = {0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x01};

    // A probe sent to one device only is answered by that device alone; one to
    // another address by nobody.
    Bytes toOther = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09, 0x02, 0xaa, 0x00, 0x00, 0x00, 0x01};
    toOther.insert(toOther.end(), probeHead.begin(), probeHead.end());
    ASSERT_TRUE(peer.Send(Pad(toOther, 60)));
    Bytes toL1 = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0xaa, 0x00, 0x00, 0x00, 0x01};
    toL1.insert(toL1.end(), probeHead.begin(), probeHead.end());
    ASSERT_TRUE(peer.Send(Pad(toL1, 60)));
    auto reply = peer.WaitSnap(0x0C, 0x02);
    ASSERT_TRUE(reply.has_value());
    Bytes expected = {0x02, 0xaa, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00,
                      0x01, 0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x02};
    EXPECT_EQ(Pad(expected, 60), *reply);
    EXPECT_EQ(1, sim.CountInLog("l1: discover rx probe from 02:aa:00:00:00:01\n"));
    EXPECT_EQ(0, sim.CountInLog("l2: discover rx probe"));

    // A tagged broadcast probe: seen by both, answered by l1 with the same tag.
    Bytes tagged = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0xaa,
                    0x00, 0x00, 0x00, 0x01, 0x81, 0x00, 0xA0, 0x64};
    tagged.insert(tagged.end(), probeHead.begin(), probeHead.end());
    ASSERT_TRUE(peer.Send(Pad(tagged, 64)));
    reply = peer.WaitSnap(0x0C, 0x02);
    ASSERT_TRUE(reply.has_value());
    Bytes expectedTagged = {0x02, 0xaa, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x81,
                            0x00, 0xA0, 0x64, 0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x02};
    EXPECT_EQ(Pad(expectedTagged, 64), *reply);
    EXPECT_TRUE(sim.WaitForLog("l2: discover rx probe from 02:aa:00:00:00:01 vlan 100 prio 5\n", 2s))
        << sim.Log();
    EXPECT_EQ(0, sim.CountInLog("l2: discover tx reply"));
}

TEST(DevsimDiscover, BootRomAnnouncementsUntilBooted) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    auto& sim = topo.StartDevsim(
        "[device b1]\nmac = 02:00:00:00:00:0b\ninterface = eth1\nrole = bootrom\nrom_version = 3\n"
        "rom_subversion = 0x0102\nchip_id = 11 22 33 44 55 66 77 88\nannounce_period_ms = 0\n");
    RawPeer peer(topo.host(), "eth1");

    ASSERT_TRUE(sim.SendLine("b1 announce"));
    auto ann = peer.WaitSnap(0x0B, 0x00);
    ASSERT_TRUE(ann.has_value());
    Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0b,
                      0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B, 0x00, 0,    0,
                      0,    0,    0,    0,    0x2D, 0x5A, 0xD2, 0xA5, 0x02, 0x01, 0x03, 0x00,
                      0,    0,    0,    0,    0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(Pad(expected, 60), *ann);

    // Periodic announcements, tagged; then booted: they stop; back in the ROM: at once again.
    ASSERT_TRUE(sim.SendLine("b1 set vlan_tci 0x2005"));
    ASSERT_TRUE(sim.SendLine("b1 set announce_period_ms 50"));
    for (int i = 0; i < 3; ++i) {
        ann = peer.WaitSnap(0x0B, 0x00, 2s);
        ASSERT_TRUE(ann.has_value()) << "periodic announcement " << i;
        ASSERT_EQ(64u, ann->size());
        EXPECT_EQ((Bytes{0x81, 0x00, 0x20, 0x05}), Bytes(ann->begin() + 12, ann->begin() + 16));
    }
    ASSERT_TRUE(sim.SendLine("b1 boot"));
    ASSERT_TRUE(sim.WaitForLog("command \"b1 boot\" done", 5s));
    EXPECT_TRUE(sim.WaitForLog("b1: bootrom booted\n", 1s));
    peer.Drain();
    // Four periods without an announcement.
    EXPECT_FALSE(peer.WaitSnap(0x0B, 0x00, std::chrono::milliseconds(200)).has_value());
    ASSERT_TRUE(sim.SendLine("b1 rom"));
    EXPECT_TRUE(peer.WaitSnap(0x0B, 0x00, 2s).has_value());
    EXPECT_TRUE(sim.WaitForLog("b1: bootrom back in boot ROM\n", 1s));
}

TEST(DevsimDiscover, PcapHoldsFramesBothWays) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    TempFile capture("", ".pcap");
    topo.StartDevsim("[device l1]\nmac = 02:00:00:00:00:01\ninterface = eth1\nrole = legacy\n",
                     {"--pcap", capture.path()});
    RawPeer peer(topo.host(), "eth1");

    // An untagged probe and a tagged one: the capture holds each probe as it came in
    // (the tag the kernel stripped put back) before the reply that answers it.
    const Bytes probe = Pad({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0xaa, 0x00, 0x00, 0x00,
                             0x01, 0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x01},
                            60);
    const Bytes taggedProbe =
        Pad({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0xaa, 0x00, 0x00, 0x00, 0x01, 0x81,
             0x00, 0x20, 0x07, 0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x01},
            64);
    ASSERT_TRUE(peer.Send(probe));
    const auto reply = peer.WaitSnap(0x0C, 0x02);
    ASSERT_TRUE(reply.has_value());
    ASSERT_TRUE(peer.Send(taggedProbe));
    const auto taggedReply = peer.WaitSnap(0x0C, 0x02);
    ASSERT_TRUE(taggedReply.has_value());
    ASSERT_EQ(64u, taggedReply->size());

    // Sent frames are written just after they leave: poll until the last one is in.
    std::optional<std::vector<Bytes>> frames;
    auto position = [&frames](const Bytes& f) {
        return static_cast<size_t>(std::find(frames->begin(), frames->end(), f) - frames->begin());
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        frames = PcapFrames(capture.path());
        ASSERT_TRUE(frames.has_value()) << "not a well-formed pcap file";
        if (position(*taggedReply) < frames->size() || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(20ms);
    }
    const size_t n = frames->size();
    EXPECT_LT(position(probe), position(*reply)) << n << " frames";
    EXPECT_LT(position(*reply), position(taggedProbe)) << n << " frames";
    EXPECT_LT(position(taggedProbe), position(*taggedReply)) << n << " frames";
    EXPECT_LT(position(*taggedReply), n);

    // A capture file that cannot be made stops the simulator at once, saying why.
    Process failed(&topo.dev(), {DEVSIM_BIN, "-c", "/dev/null", "--pcap", "/nonexistent/kvt.pcap"});
    EXPECT_EQ(1, failed.WaitExit(10s).value_or(-1));
    EXPECT_NE(std::string::npos, failed.Log().find("devsim: cannot write capture file /nonexistent/kvt.pcap"))
        << failed.Log();
}

}  // namespace
