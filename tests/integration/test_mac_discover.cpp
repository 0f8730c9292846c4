// MAC discovery called in-process inside a test namespace, against frames crafted
// by a raw socket on the far end of each veth pair: what is recognised, the limits
// against bad or hostile frames, the early end in single-device mode, and that
// threads and sockets are gone afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "failpoint.h"
#include "harness.h"
#include "harness_discover.h"
#include "mac_discover.h"

using namespace kivotest;

namespace {

using Clock = std::chrono::steady_clock;

const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Mac DevMac(unsigned n) {
    return {0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

Bytes FrameHead(const Mac& dst, const Mac& src, uint8_t p0, uint8_t p1) {
    Bytes f;
    PutMac(f, dst);
    PutMac(f, src);
    f.insert(f.end(), {0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, p0, p1});
    return f;
}

Bytes LegacyReply(const Mac& host, const Mac& dev, size_t length = 60) {
    Bytes f = FrameHead(host, dev, 0x0C, 0x02);
    f.resize(length, 0);
    return f;
}

Bytes Announcement(const Mac& dev, uint16_t version, size_t length = 60, bool magic = true) {
    Bytes f = FrameHead(kBroadcast, dev, 0x0B, 0x00);
    f.resize(f.size() + 6, 0);
    f.insert(f.end(), {0x2D, 0x5A, 0xD2, static_cast<uint8_t>(magic ? 0xA5 : 0x00), 0x01, 0x00});
    f.push_back(static_cast<uint8_t>(version));
    f.push_back(static_cast<uint8_t>(version >> 8));
    if (f.size() < 60) f.resize(60, 0);
    f.resize(length, 0);
    return f;
}

struct Found {
    t_deviceType type;
    std::string ifname;
    Mac dev;
    Mac host;
    bool operator==(const Found& o) const {
        return std::tie(type, ifname, dev, host) == std::tie(o.type, o.ifname, o.dev, o.host);
    }
};
std::ostream& operator<<(std::ostream& os, const Found& f) {
    return os << "{type " << f.type << " " << f.ifname << " " << MacText(f.dev) << " host " << MacText(f.host)
              << "}";
}

std::vector<Found> ListOf(const t_device* list) {
    std::vector<Found> out;
    for (const t_device* d = list; d != nullptr; d = d->next) {
        Found f{d->type, d->interfaceName ? d->interfaceName : "", {}, {}};
        std::memcpy(f.dev.data(), d->deviceMACAddr, 6);
        std::memcpy(f.host.data(), d->hostMACAddr, 6);
        out.push_back(f);
    }
    return out;
}

// One MACDiscoverGet on a thread of its own, so that the test can play the devices
// meanwhile. Start it while the test thread is inside the host namespace.
class DiscoveryRun {
   public:
    void Start(const char* ifname, const kivo::discovery::Settings& settings, BOOLEAN multiple = TRUE) {
        if (ifname) name_ = ifname;
        thread_ = std::thread([this, ifname, multiple, settings] {
            auto start = Clock::now();
            result = MACDiscoverGet(ifname ? name_.data() : nullptr, multiple, &list, settings);
            elapsed = Clock::now() - start;
        });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    ~DiscoveryRun() {
        Join();
        DeviceListFree(list);
    }

    kivo::Status result = MACDISCOVER_ERROR_MALLOC;
    t_device* list = nullptr;
    Clock::duration elapsed{};

   private:
    std::string name_;
    std::thread thread_;
};

// Closed ports keep their sockets for the next port of the same kind (closing a
// packet socket is slow), so descriptors are counted after one discovery has run on
// the interfaces: a further discovery must leave that count as it found it. Each
// peer takes the warm-up's probe, so that the test waits for the next one.
void WarmUp(const char* ifname, const std::vector<RawPeer*>& peers) {
    kivo::discovery::Settings shortWait;
    shortWait.listenTime = 100ms;
    t_device* list = nullptr;
    std::string name = ifname ? ifname : "";
    ASSERT_EQ(MACDISCOVER_ERROR_NONE, MACDiscoverGet(ifname ? name.data() : nullptr, TRUE, &list, shortWait));
    DeviceListFree(list);
    for (RawPeer* peer : peers) ASSERT_TRUE(peer->WaitProbe().has_value());
}

class MacDiscoverLib : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "integration tests need root (namespaces)";
        // A sanitizer runtime starts a helper thread at the first thread creation;
        // let that happen before a test counts threads.
        std::thread([] {}).join();
    }
    void TearDown() override { kivo::FailPointHookSet("discovery.frame", nullptr); }
    // The settings of the discoveries a test runs.
    kivo::discovery::Settings settings;
};

// Frames cut short, repeated replies, a device seen as two types, a wrong magic.
TEST_F(MacDiscoverLib, ShortFramesIgnoredDuplicatesMerged) {
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    const Mac host = ParseMac("02:aa:00:00:00:01");
    RawPeer peer(topo.dev(), "eth1");
    settings.listenTime = 1500ms;

    NsGuard inHost(topo.host());
    DiscoveryRun run;
    run.Start("eth1", settings);
    auto probe = peer.WaitProbe();
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(60u, probe->size()) << "untagged probe";

    // A full announcement first, so that the receive buffer holds its bytes; then
    // frames that end before the fields their kind needs.
    ASSERT_TRUE(peer.Send(Announcement(DevMac(0xA), 3)));
    ASSERT_TRUE(peer.Send(Announcement(DevMac(0xB), 3, 35)));  // version's high byte missing
    ASSERT_TRUE(peer.Send(Announcement(DevMac(0xB), 3, 30)));  // magic cut
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(0xC), 21)));
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(0xD), 22)));  // just long enough
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(0xE))));
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(0xE))));
    ASSERT_TRUE(peer.Send(Announcement(DevMac(0xE), 2)));
    ASSERT_TRUE(peer.Send(Announcement(DevMac(0xF), 3, 60, false)));
    ASSERT_TRUE(peer.Send(LegacyReply(ParseMac("02:aa:00:00:00:02"), DevMac(0x10))));  // to another host
    run.Join();
    EXPECT_EQ(MACDISCOVER_ERROR_NONE, run.result);
    std::vector<Found> want = {{DEVICE_TORVIX_ETH_BOOT_V2, "eth1", DevMac(0xE), host},
                               {DEVICE_TORVIX_SCP, "eth1", DevMac(0xE), host},
                               {DEVICE_TORVIX_SCP, "eth1", DevMac(0xD), host},
                               {DEVICE_TORVIX_ETH_BOOT_V3, "eth1", DevMac(0xA), host}};
    EXPECT_EQ(want, ListOf(run.list));
}

TEST_F(MacDiscoverLib, SpoofedRepliesStopAt255Devices) {
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    const Mac host = ParseMac("02:aa:00:00:00:01");
    RawPeer peer(topo.dev(), "eth1");
    settings.listenTime = 2000ms;

    NsGuard inHost(topo.host());
    DiscoveryRun run;
    run.Start("eth1", settings);
    ASSERT_TRUE(peer.WaitProbe().has_value());
    for (unsigned i = 0; i < 300; ++i) {
        ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(0x100 + i))));
        // Paced, so that the receiver's socket buffer is not what limits the list.
        if (i % 25 == 24) std::this_thread::sleep_for(2ms);
    }
    run.Join();
    std::vector<Found> got = ListOf(run.list);
    ASSERT_EQ(255u, got.size());
    // Newest first: each node's address is below the one before it, and all are ours.
    for (size_t i = 0; i < got.size(); ++i) {
        unsigned n = (got[i].dev[4] << 8) | got[i].dev[5];
        EXPECT_GE(n, 0x100u);
        EXPECT_LT(n, 0x100u + 300);
        if (i > 0) {
            EXPECT_LT(n, static_cast<unsigned>((got[i - 1].dev[4] << 8) | got[i - 1].dev[5]));
        }
    }
}

TEST_F(MacDiscoverLib, SingleDeviceModeEndsAtTheFirstDevice) {
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    const Mac host = ParseMac("02:aa:00:00:00:01");
    RawPeer peer(topo.dev(), "eth1");
    settings.listenTime = 3000ms;

    NsGuard inHost(topo.host());
    DiscoveryRun run;
    run.Start("eth1", settings, FALSE);
    ASSERT_TRUE(peer.WaitProbe().has_value());
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(1))));
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(2))));
    run.Join();
    EXPECT_EQ(MACDISCOVER_ERROR_NONE, run.result);
    std::vector<Found> want = {{DEVICE_TORVIX_SCP, "eth1", DevMac(1), host}};
    EXPECT_EQ(want, ListOf(run.list));
    EXPECT_LT(run.elapsed, 2000ms) << "must not listen the whole 3 s";
}

// Every interface of the namespace is probed; the same device on each gives one node
// per interface; afterwards no descriptor and no thread is left.
TEST_F(MacDiscoverLib, EveryInterfaceProbedAndNothingLeftBehind) {
    Topology topo;
    const char* hostMacs[] = {"02:aa:00:00:00:01", "02:aa:00:00:00:02", "02:aa:00:00:00:03"};
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 3; ++i) {
        std::string n = std::to_string(i + 1);
        topo.Link("eth" + n, "p" + n, hostMacs[i]);
        peers.push_back(std::make_unique<RawPeer>(topo.dev(), "p" + n));
    }

    NsGuard inHost(topo.host());
    WarmUp(nullptr, {peers[0].get(), peers[1].get(), peers[2].get()});
    settings.listenTime = 1000ms;
    const int fdsBefore = OpenFdCount();
    const int threadsBefore = ThreadCount();
    {
        DiscoveryRun run;
        run.Start(nullptr, settings);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(peers[i]->WaitProbe().has_value()) << "no probe on eth" << i + 1;
            ASSERT_TRUE(peers[i]->Send(LegacyReply(ParseMac(hostMacs[i]), DevMac(7))));
        }
        ASSERT_TRUE(peers[1]->Send(Announcement(DevMac(8), 3)));
        run.Join();
        EXPECT_EQ(MACDISCOVER_ERROR_NONE, run.result);
        EXPECT_GE(run.elapsed, 900ms) << "listens for the whole time";
        EXPECT_LT(run.elapsed, 5000ms);
        std::vector<Found> got = ListOf(run.list);
        std::vector<Found> want = {{DEVICE_TORVIX_SCP, "eth1", DevMac(7), ParseMac(hostMacs[0])},
                                   {DEVICE_TORVIX_SCP, "eth2", DevMac(7), ParseMac(hostMacs[1])},
                                   {DEVICE_TORVIX_SCP, "eth3", DevMac(7), ParseMac(hostMacs[2])},
                                   {DEVICE_TORVIX_ETH_BOOT_V3, "eth2", DevMac(8), ParseMac(hostMacs[1])}};
        // Threads of different interfaces add in no fixed order.
        EXPECT_EQ(want.size(), got.size());
        for (const Found& f : want) EXPECT_NE(got.end(), std::find(got.begin(), got.end(), f)) << f;
    }
    EXPECT_EQ(fdsBefore, OpenFdCount()) << "a socket was left open";
    EXPECT_EQ(threadsBefore, ThreadCount()) << "a receive thread was left running";
}

// A receive thread held past the end of the wait: the caller gives up on it, the list
// handed over stays the caller's alone, and the thread ends later without touching
// anything that was freed.
std::mutex holdMutex;
std::condition_variable holdCv;
bool holdEntered = false;
bool holdRelease = false;
void HoldFirstFrame() {
    std::unique_lock<std::mutex> lock(holdMutex);
    if (holdEntered) return;
    holdEntered = true;
    holdCv.notify_all();
    holdCv.wait(lock, [] { return holdRelease; });
}

TEST_F(MacDiscoverLib, ReceiveThreadOutlivingTheWaitAddsNothing) {
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    const Mac host = ParseMac("02:aa:00:00:00:01");
    RawPeer peer(topo.dev(), "eth1");

    NsGuard inHost(topo.host());
    WarmUp("eth1", {&peer});
    settings.listenTime = 300ms;
    const int fdsBefore = OpenFdCount();
    const int threadsBefore = ThreadCount();
    holdEntered = holdRelease = false;
    kivo::FailPointHookSet("discovery.frame", HoldFirstFrame);
    {
        DiscoveryRun run;
        ::testing::internal::CaptureStderr();
        run.Start("eth1", settings);
        ASSERT_TRUE(peer.WaitProbe().has_value());
        ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(1))));
        run.Join();
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find("ERROR: Reception thread still alive!\n")) << err;
        EXPECT_EQ(MACDISCOVER_ERROR_NONE, run.result);
        EXPECT_EQ(nullptr, run.list) << "the held frame arrived after the hand-over";
        {
            std::lock_guard<std::mutex> lock(holdMutex);
            EXPECT_TRUE(holdEntered);
            holdRelease = true;
        }
        holdCv.notify_all();
        // The released thread finds the discovery closed and ends by itself.
        auto deadline = Clock::now() + 5s;
        while ((OpenFdCount() != fdsBefore || ThreadCount() != threadsBefore) && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(fdsBefore, OpenFdCount());
        EXPECT_EQ(threadsBefore, ThreadCount());
        EXPECT_EQ(nullptr, run.list);
    }
    // The module is in order for the next discovery.
    kivo::FailPointHookSet("discovery.frame", nullptr);
    DiscoveryRun next;
    next.Start("eth1", settings);
    ASSERT_TRUE(peer.WaitProbe().has_value());
    ASSERT_TRUE(peer.Send(LegacyReply(host, DevMac(2))));
    next.Join();
    std::vector<Found> want = {{DEVICE_TORVIX_SCP, "eth1", DevMac(2), host}};
    EXPECT_EQ(want, ListOf(next.list));
}

TEST_F(MacDiscoverLib, NoInterfaceGivesAnEmptyListAtOnce) {
    Netns empty;
    NsGuard inside(empty);
    settings.listenTime = 3000ms;
    t_device* list = reinterpret_cast<t_device*>(&list);
    ::testing::internal::CaptureStderr();
    auto start = Clock::now();
    EXPECT_EQ(MACDISCOVER_ERROR_NONE, MACDiscoverGet(nullptr, TRUE, &list, settings));
    auto elapsed = Clock::now() - start;
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(nullptr, list);
    EXPECT_LT(elapsed, 2000ms);
    EXPECT_NE(std::string::npos, err.find("Error: Empty interface list (maybe you need to run as root)\n"))
        << err;
}

}  // namespace
