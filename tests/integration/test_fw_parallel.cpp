// Firmware transfers side by side: one per device through the real kivohost, against
// simulated devices on one segment; the listing (0xF2), the stop by device (0xF3), and
// the transfers that run alone (an Ethernet boot; an upgrade of whichever device asks).
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_fw.h"
#include "kivo_client.h"
#include "l2fwserver.h"

using namespace kivotest;
namespace kc = kivo::client;

namespace {

const char* kHostMac = "02:00:00:00:00:0a";
const std::vector<std::string> kDevs = {"02:00:00:00:00:b1", "02:00:00:00:00:b2", "02:00:00:00:00:b3"};

std::string Devices(const std::string& extra, const std::vector<std::string>& saved = {}) {
    std::string config;
    for (size_t i = 0; i < kDevs.size(); ++i) {
        config += "[device dev" + std::to_string(i + 1) + "]\nmac = " + kDevs[i] +
                  "\ninterface = eth1\nrole = fw\nfw_log_data = no\n" + extra;
        if (i < saved.size()) config += "fw_save_image = " + saved[i] + "\n";
    }
    return config;
}

uint8_t Code(const std::optional<Bytes>& reply) {
    return reply && reply->size() >= 4 ? (*reply)[3] : 0xFF;
}

std::optional<kc::FwTransfers> List(UdpClient& c, uint8_t seq = 0x70) {
    auto reply = c.Request(seq, 0xF2, {});
    if (!reply) return std::nullopt;
    return kc::ParseFwTransfers(*reply);
}

const kc::FwTransfer* Find(const kc::FwTransfers& list, const std::string& mac) {
    for (const kc::FwTransfer& t : list.transfers)
        if (t.device && kc::MacText(*t.device) == mac) return &t;
    return nullptr;
}

// Polls the listing until every listed transfer is final.
std::optional<kc::FwTransfers> ListUntilAllFinal(UdpClient& c, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (uint8_t seq = 1;; ++seq) {
        auto list = List(c, seq);
        if (list && std::all_of(list->transfers.begin(), list->transfers.end(),
                                [](const kc::FwTransfer& t) { return t.Final(); }))
            return list;
        if (std::chrono::steady_clock::now() >= deadline) return list;
        std::this_thread::sleep_for(20ms);
    }
}

Bytes StopDevice(const std::string& mac) {
    Bytes body{1};
    const Mac m = ParseMac(mac);
    body.insert(body.end(), m.begin(), m.end());
    return body;
}

}  // namespace

TEST(FwParallel, UpgradesOfThreeDevicesRunSideBySideAndAreListed) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac);
    std::vector<Bytes> images;
    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<std::unique_ptr<TempFile>> saved;
    std::vector<std::string> savedPaths;
    for (size_t i = 0; i < kDevs.size(); ++i) {
        images.push_back(PatternBytes(20000 + 1000 * i, static_cast<uint8_t>(30 + i)));
        files.push_back(std::make_unique<TempFile>(AsString(images.back())));
        saved.push_back(std::make_unique<TempFile>(""));
        savedPaths.push_back(saved.back()->path());
    }
    // Each device erases for a while before its first acknowledgement, so that all three
    // are running at once.
    auto& sim = topo.StartDevsim(Devices("fw_erase_ms = 700\n", savedPaths));
    auto& host = topo.StartKivohost();
    auto& c = topo.client();

    auto empty = List(c);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->transfers.empty()) << "nothing started yet";

    for (size_t i = 0; i < kDevs.size(); ++i)
        ASSERT_EQ(Code(c.Request(static_cast<uint8_t>(i + 1), 6,
                                 FwStartBody("eth1", 0, ParseMac(kDevs[i]), files[i]->path()))),
                  1)
            << kDevs[i];
    // A device with a transfer running takes no second one; an Ethernet boot runs alone.
    EXPECT_EQ(Code(c.Request(10, 6, FwStartBody("eth1", 0, ParseMac(kDevs[1]), files[0]->path()))), 3);
    EXPECT_EQ(Code(c.Request(11, 6, FwStartBody("eth1", 0, Mac{}, files[0]->path(), files[1]->path()))), 3);
    EXPECT_EQ(host.CountInLog("failed: busy"), 2);

    auto running = List(c);
    ASSERT_TRUE(running);
    ASSERT_EQ(running->transfers.size(), 3u);
    for (size_t i = 0; i < kDevs.size(); ++i) {
        const kc::FwTransfer& t = running->transfers[i];
        ASSERT_TRUE(t.device);
        EXPECT_EQ(kc::MacText(*t.device), kDevs[i]) << "oldest first";
        EXPECT_EQ(t.state, 1) << "each waits for its own device";
        EXPECT_EQ(t.interface, "eth1");
        EXPECT_EQ(t.kind, 1);
        EXPECT_EQ(t.endMs, 0u);
        EXPECT_LE(t.startMs, running->nowMs);
        EXPECT_EQ(t.latest, i == 2);
    }

    for (size_t i = 0; i < kDevs.size(); ++i)
        ASSERT_TRUE(sim.SendLine("dev" + std::to_string(i + 1) + " fw request"));
    auto done = ListUntilAllFinal(c, 60s);
    ASSERT_TRUE(done);
    ASSERT_EQ(done->transfers.size(), 3u);
    uint64_t lastStart = 0;
    uint64_t firstEnd = UINT64_MAX;
    for (size_t i = 0; i < kDevs.size(); ++i) {
        const kc::FwTransfer* t = Find(*done, kDevs[i]);
        ASSERT_TRUE(t) << kDevs[i];
        EXPECT_EQ(t->state, 5) << kDevs[i] << ": " << t->reason.text;
        EXPECT_EQ(t->bytes, images[i].size());
        EXPECT_EQ(t->total, images[i].size());
        EXPECT_EQ(t->reason.code, 0);
        EXPECT_GE(t->endMs, t->startMs + 700) << "the erase alone takes 700 ms";
        EXPECT_LE(t->endMs, done->nowMs);
        lastStart = std::max(lastStart, t->startMs);
        firstEnd = std::min(firstEnd, t->endMs);
        ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=" + std::to_string(images[i].size()), 5s));
        EXPECT_EQ(ReadBinary(savedPaths[i]), images[i]) << kDevs[i];
    }
    // All three were running at the same time: the last one started before the first ended.
    EXPECT_LT(lastStart, firstEnd);
    // Status (8) speaks of the latest transfer, as it always did.
    auto status = FwStatusGet(c);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (FwStatus{5, static_cast<uint32_t>(images[2].size()),
                                 static_cast<uint32_t>(images[2].size())}));
}

TEST(FwParallel, StopByDeviceEndsOnlyThatTransfer) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac);
    TempFile fw(AsString(PatternBytes(30000, 40)));
    auto& sim = topo.StartDevsim(Devices("fw_erase_ms = 1500\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    // Malformed and pointless stops first.
    EXPECT_EQ(Code(c.Request(1, 0xF3, {2})), 3) << "byte 5 is 0 or 1";
    EXPECT_EQ(Code(c.Request(2, 0xF3, StopDevice("01:00:5e:00:00:01"))), 3) << "a group address";
    EXPECT_EQ(Code(c.Request(3, 0xF3, StopDevice(kDevs[0]))), 4) << "nothing runs for it";
    auto detail = c.Request(4, 0xF0, {});
    ASSERT_TRUE(detail);
    auto parsed = kc::ParseFailureDetail(*detail);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->reason.code, 20);
    EXPECT_NE(parsed->reason.text.find(kDevs[0]), std::string::npos) << parsed->reason.text;
    EXPECT_EQ(Code(c.Request(5, 0xF3, {})), 1) << "stop all while nothing runs";

    for (size_t i = 0; i < 2; ++i)
        ASSERT_EQ(Code(c.Request(static_cast<uint8_t>(10 + i), 6,
                                 FwStartBody("eth1", 0, ParseMac(kDevs[i]), fw.path()))),
                  1);
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    ASSERT_TRUE(sim.SendLine("dev2 fw request"));
    ASSERT_TRUE(sim.WaitForLog("dev1: fw erasing flash", 10s) || sim.WaitForLog("fw erasing flash", 10s));
    // The first transfer is stopped by its MAC; the second (the latest) goes on.
    EXPECT_EQ(Code(c.Request(20, 0xF3, StopDevice(kDevs[0]))), 1);
    auto list = ListUntilAllFinal(c, 30s);
    ASSERT_TRUE(list);
    const kc::FwTransfer* first = Find(*list, kDevs[0]);
    const kc::FwTransfer* second = Find(*list, kDevs[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->state, 6);
    EXPECT_EQ(first->reason.code, 15) << first->reason.text;
    EXPECT_FALSE(first->latest);
    EXPECT_EQ(second->state, 5) << second->reason.text;
    EXPECT_TRUE(second->latest);
    EXPECT_EQ(FwStatusGet(c)->state, 5) << "Status speaks of the latest";

    // Stop all: both of a new pair end, stopped.
    for (size_t i = 0; i < 2; ++i)
        ASSERT_EQ(Code(c.Request(static_cast<uint8_t>(30 + i), 6,
                                 FwStartBody("eth1", 0, ParseMac(kDevs[i]), fw.path()))),
                  1);
    EXPECT_EQ(Code(c.Request(40, 0xF3, {0})), 1);
    list = ListUntilAllFinal(c, 10s);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->transfers.size(), 4u);
    for (size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(list->transfers[i].state, 6);
        EXPECT_EQ(list->transfers[i].reason.code, 15);
    }
}

TEST(FwParallel, AnEthernetBootRunsAlone) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac);
    TempFile fw(AsString(PatternBytes(3000, 41)));
    TempFile chunked(AsString(ChunkedImage{}.File()));
    auto& sim = topo.StartDevsim(Devices("fw_erase_ms = 1500\n"));
    (void)sim;
    topo.StartKivohost();
    auto& c = topo.client();

    // No boot ROM on the segment: the boot waits for an announcement, and nothing starts
    // beside it.
    ASSERT_EQ(Code(c.Request(1, 6, FwStartBody("eth1", 0, Mac{}, chunked.path(), fw.path()))), 1);
    EXPECT_EQ(Code(c.Request(2, 6, FwStartBody("eth1", 0, ParseMac(kDevs[0]), fw.path()))), 3);
    auto list = List(c);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->transfers.size(), 1u);
    EXPECT_EQ(list->transfers[0].kind, 2);
    EXPECT_FALSE(list->transfers[0].device) << "no boot ROM has announced itself";
    EXPECT_EQ(c.Request(3, 7, {}), (Bytes{3, 1, 0, 1}));
    auto final = FwPollUntilFinal(c, 10s);
    ASSERT_TRUE(final);
    EXPECT_EQ(final->state, 6);

    // An upgrade runs; now the boot is the one refused.
    ASSERT_EQ(Code(c.Request(4, 6, FwStartBody("eth1", 0, ParseMac(kDevs[0]), fw.path()))), 1);
    EXPECT_EQ(Code(c.Request(5, 6, FwStartBody("eth1", 0, Mac{}, chunked.path(), fw.path()))), 3);
    EXPECT_EQ(Code(c.Request(6, 7, {})), 1);
}

TEST(FwParallel, AnUpgradeOfWhicheverDeviceAsksRunsAlone) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac);
    TempFile fw(AsString(PatternBytes(3000, 42)));
    topo.StartDevsim(Devices(""));
    NsGuard g(topo.host());
    kivo::fw::Server server;
    ASSERT_EQ(L2FWSERVER_ERROR_NONE,
              server.Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 30}));
    EXPECT_TRUE(server.Refusal({.interfaceName = "eth1", .file = fw.path(), .device = ParseMac(kDevs[0])}));
    const kivo::Status busy =
        server.Start({.interfaceName = "eth1", .file = fw.path(), .device = ParseMac(kDevs[0])});
    EXPECT_EQ(L2FWSERVER_ERROR_INVALID_STATE, busy);
    EXPECT_EQ(busy.reason, kivo::Reason::kBusy);
    server.StopAll();
    EXPECT_EQ(server.Wait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(server.State(), L2FWSERVER_STATE_ERROR);

    // The other way round: a device's upgrade runs, and one without a device waits its turn.
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, server.Start({.interfaceName = "eth1",
                                                   .file = fw.path(),
                                                   .announcementTimeout = 30,
                                                   .device = ParseMac(kDevs[0])}));
    EXPECT_EQ(L2FWSERVER_ERROR_INVALID_STATE, server.Start({.interfaceName = "eth1", .file = fw.path()}));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, server.Start({.interfaceName = "eth1",
                                                   .file = fw.path(),
                                                   .announcementTimeout = 30,
                                                   .device = ParseMac(kDevs[1])}))
        << "another device's upgrade starts beside it";
    EXPECT_TRUE(server.StopDevice(ParseMac(kDevs[0])));
    EXPECT_FALSE(server.StopDevice(ParseMac(kDevs[2])));
    // The stopped one ends within a poll; then only the second is still running.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    auto firstRunning = [&] {
        for (const auto& t : server.List())
            if (t.device == ParseMac(kDevs[0]) && t.state != L2FWSERVER_STATE_ERROR) return true;
        return false;
    };
    while (firstRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(firstRunning());
    EXPECT_EQ(server.StopAll(), 1u) << "only the second was still running";
}
