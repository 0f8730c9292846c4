// The real kivohost serving several front-ends of legacy devices at once: SCP requests to
// different devices side by side, Discover requests beside each other and beside SCP
// requests, each answer the one its own request calls for.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_cfg.h"

using namespace kivotest;

namespace {

constexpr uint8_t kDiscover = 0;
constexpr uint8_t kGet = 3;
constexpr uint8_t kSet = 4;
constexpr uint8_t kReplyDevices = 5;
constexpr uint8_t kReplyScpData = 6;

const Mac kSilent = {0x02, 0, 0, 0, 0x40, 0x01};

Mac ScpMac(int i) {
    return Mac{0x02, 0, 0, 0, 0x41, static_cast<uint8_t>(i)};
}

std::string ScpDevice(const std::string& name, const Mac& mac, const std::string& extra = "") {
    return "[device " + name + "]\nmac = " + MacText(mac) +
           "\ninterface = eth1\nrole = scp\npassword = pw\nparam = SYSTEM.NAME STRING " + name + "\n" + extra;
}

Bytes ScpBody(const Mac& mac, const std::optional<std::string>& block) {
    return ParamRequestBody(kDeviceScp, "kv0", 0, mac, "pw", block);
}

// The texts of a REPLY_SCP_DATA reply; empty when the reply is not one.
std::vector<std::string> ScpTexts(const std::optional<Bytes>& reply) {
    std::vector<std::string> out;
    if (!reply || reply->size() < 8 || reply->at(3) != kReplyScpData) return out;
    const Bytes& r = *reply;
    const uint32_t length = uint32_t(r[4]) << 24 | uint32_t(r[5]) << 16 | uint32_t(r[6]) << 8 | r[7];
    if (length != r.size() - 8) return out;
    std::string cur;
    for (size_t i = 8; i < r.size(); ++i) {
        if (r[i] == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(r[i]);
        }
    }
    return out;
}

Bytes DiscoverBody(const std::string& ifname) {
    Bytes b;
    PutU8(b, static_cast<uint8_t>(ifname.size()));
    PutText(b, ifname);
    PutBe16(b, 0);
    return b;
}

// The device MACs of a Discover reply, in reply order; empty when it is not a device
// list or its records do not fill it exactly.
std::vector<std::string> DiscoveredMacs(const std::optional<Bytes>& reply) {
    std::vector<std::string> out;
    if (!reply || reply->size() < 5 || reply->at(3) != kReplyDevices) return out;
    const Bytes& r = *reply;
    size_t pos = 5;
    for (unsigned i = 0; i < r[4]; ++i) {
        if (pos + 2 > r.size() || pos + 8 + r[pos + 1] > r.size()) return {};
        Mac mac;
        std::copy_n(r.begin() + static_cast<long>(pos + 2 + r[pos + 1]), 6, mac.begin());
        out.push_back(MacText(mac));
        pos += 8 + r[pos + 1];
    }
    if (pos != r.size()) return {};
    std::sort(out.begin(), out.end());
    return out;
}

// Polls the simulator's log until what occurs count times.
bool WaitCount(Process& sim, const std::string& what, int count, std::chrono::milliseconds timeout = 15s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (sim.CountInLog(what) < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class ServingLegacy : public testing::Test {
   protected:
    void Start(const std::string& devices, uint16_t port) {
        KIVO_REQUIRE_ROOT();
        topo = std::make_unique<Topology>();
        topo->Link("kv0", "eth1");
        sim = &topo->StartDevsim(devices);
        ASSERT_TRUE(WaitLinkUp(topo->host(), "kv0"));
        host = &topo->StartKivohost(port);
        this->port = port;
    }
    std::unique_ptr<Topology> topo;
    Process* sim = nullptr;
    Process* host = nullptr;
    uint16_t port = 0;
};

}  // namespace

// Client 1 reads an SCP device that never answers (two attempts of three 3-s waits);
// client 2's read of a live SCP device is answered meanwhile, not after it. The time of
// client 2's answer is printed for docs/performance.md.
TEST_F(ServingLegacy, ASilentScpDeviceDoesNotDelayAnotherClientsScpRead) {
    Start(ScpDevice("silent", kSilent, "silent = yes\n") + ScpDevice("live", ScpMac(1)), 40332);
    if (HasFatalFailure() || IsSkipped()) return;
    UdpClient first(topo->host(), port), second(topo->host(), port);
    std::atomic<bool> firstDone{false};
    std::optional<Bytes> firstReply;
    std::thread waiting([&] {
        firstReply = first.Request(1, kGet, ScpBody(kSilent, GetBlock({"SYSTEM.NAME"})), 60s);
        firstDone = true;
    });
    ASSERT_TRUE(WaitCount(*sim, "silent: SCP rx GET", 1)) << sim->Log();
    const auto start = std::chrono::steady_clock::now();
    const std::optional<Bytes> secondReply =
        second.Request(2, kGet, ScpBody(ScpMac(1), GetBlock({"SYSTEM.NAME"})), 60s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const bool firstStillWaiting = !firstDone;
    waiting.join();
    std::printf("client 2's SCP read behind a silent SCP device: %.1f ms\n",
                std::chrono::duration<double, std::milli>(elapsed).count());
    EXPECT_EQ(ScpTexts(secondReply), (std::vector<std::string>{"SYSTEM.NAME", "live"}));
    EXPECT_TRUE(firstStillWaiting) << "the live device's answer waited for the silent device";
    ASSERT_TRUE(firstReply);
    EXPECT_EQ(*firstReply, (Bytes{1, 1, 0, 4})) << "the silent device's Get still fails as before";
    EXPECT_EQ(sim->CountInLog("silent: SCP rx GET"), 6) << "two attempts of three sends";
}

// Two Discover requests of different clients at once: the second probe goes out while
// the first discovery still listens, and each client gets the complete list.
TEST_F(ServingLegacy, TwoDiscoveriesSideBySideEachGetTheirOwnCompleteAnswer) {
    Start(ScpDevice("d1", ScpMac(1)) + ScpDevice("d2", ScpMac(2)) + ScpDevice("d3", ScpMac(3)), 40333);
    if (HasFatalFailure() || IsSkipped()) return;
    UdpClient first(topo->host(), port), second(topo->host(), port);
    std::atomic<bool> firstDone{false};
    std::optional<Bytes> firstReply, secondReply;
    std::thread one([&] {
        firstReply = first.Request(1, kDiscover, DiscoverBody("kv0"), 30s);
        firstDone = true;
    });
    // The listening time is 3 s: the second request goes out as soon as the first probe
    // has reached the devices, well within it.
    ASSERT_TRUE(WaitCount(*sim, "d1: discover rx probe", 1)) << sim->Log();
    std::thread two([&] { secondReply = second.Request(2, kDiscover, DiscoverBody("kv0"), 30s); });
    const bool secondProbeSeen = WaitCount(*sim, "d1: discover rx probe", 2);
    const bool firstStillListening = !firstDone;
    one.join();
    two.join();
    EXPECT_TRUE(secondProbeSeen) << sim->Log();
    EXPECT_TRUE(firstStillListening) << "the second discovery waited for the first to end";
    const std::vector<std::string> all = {MacText(ScpMac(1)), MacText(ScpMac(2)), MacText(ScpMac(3))};
    EXPECT_EQ(DiscoveredMacs(firstReply), all);
    EXPECT_EQ(DiscoveredMacs(secondReply), all);
}

// Four clients write and read their own parameter on four SCP devices while a fifth
// discovers them over and over: every answer is the one the client's own writes call
// for, every discovery finds all four. Run under TSan too.
TEST_F(ServingLegacy, ScpClientsAndDiscoveriesAtOnceEveryAnswerRight) {
    constexpr int kClients = 4;
    constexpr int kDevices = 4;
    constexpr int kRounds = 6;
    std::string devices;
    for (int d = 0; d < kDevices; ++d) {
        std::string params;
        for (int k = 0; k < kClients; ++k) params += "param = SYSTEM.C" + std::to_string(k) + " INT32U 0\n";
        devices += ScpDevice("s" + std::to_string(d), ScpMac(d), params);
    }
    Start(devices, 40334);
    if (HasFatalFailure() || IsSkipped()) return;
    std::atomic<int> wrong{0};
    std::atomic<bool> writersDone{false};
    std::vector<std::string> firstWrong(kClients + 1);
    auto writer = [&](int k) {
        UdpClient c(topo->host(), port);
        const std::string name = "SYSTEM.C" + std::to_string(k);
        uint8_t seq = 0;
        for (int round = 0; round < kRounds; ++round) {
            const int d = (k + round) % kDevices;
            const std::string value = std::to_string(1000 * k + round);
            const auto set = c.Request(++seq, kSet, ScpBody(ScpMac(d), SetBlock({{name, value}})), 60s);
            const auto get = c.Request(++seq, kGet, ScpBody(ScpMac(d), GetBlock({name})), 60s);
            if (ScpTexts(set) != std::vector<std::string>{name, "OK"} ||
                ScpTexts(get) != std::vector<std::string>{name, value}) {
                if (wrong++ == 0 || firstWrong[k].empty())
                    firstWrong[k] = "client " + std::to_string(k) + ", device " + std::to_string(d) +
                                    ", round " + std::to_string(round);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int k = 0; k < kClients; ++k) threads.emplace_back(writer, k);
    int discoveries = 0;
    std::thread discoverer([&] {
        UdpClient c(topo->host(), port);
        std::vector<std::string> all;
        for (int d = 0; d < kDevices; ++d) all.push_back(MacText(ScpMac(d)));
        uint8_t seq = 0;
        // At least two discoveries, and more for as long as the writers run.
        while (discoveries < 2 || !writersDone) {
            ++discoveries;
            if (DiscoveredMacs(c.Request(++seq, kDiscover, DiscoverBody("kv0"), 30s)) != all) {
                ++wrong;
                if (firstWrong[kClients].empty())
                    firstWrong[kClients] = "discovery " + std::to_string(discoveries);
            }
        }
    });
    for (std::thread& t : threads) t.join();
    writersDone = true;
    discoverer.join();
    EXPECT_EQ(wrong, 0);
    for (const std::string& w : firstWrong)
        if (!w.empty()) ADD_FAILURE() << "wrong answer: " << w << "\n" << sim->Log();
    EXPECT_GE(discoveries, 2);
    EXPECT_TRUE(host->Running());
}
