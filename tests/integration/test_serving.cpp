// The real kivohost serving several front-ends at once: requests of different clients
// side by side, one client's requests and one device's requests in arrival order, and
// the failure detail of each client its own.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_cfg.h"
#include "kivo_client.h"
#include "stress.h"

using namespace kivotest;

namespace {

const Mac kSilent = {0x02, 0, 0, 0, 0, 0x01};
const Mac kLive = {0x02, 0, 0, 0, 0, 0x02};
const Mac kSlow = {0x02, 0, 0, 0, 0, 0x03};

std::string Device(const std::string& name, const Mac& mac, const std::string& extra) {
    return "[device " + name + "]\nmac = " + MacText(mac) +
           "\ninterface = eth1\nrole = lcmp\npassword = pw\nparam = SYSTEM.A STRING " + name + "\n" + extra;
}

Bytes GetA(const Mac& mac) {
    return ParamRequestBody(kDeviceLcmp, "kv0", 0, mac, "pw", GetBlock({"SYSTEM.A"}));
}

// The value of SYSTEM.A in a Get reply; empty when the reply is not one record.
std::string ValueOf(const std::optional<Bytes>& reply) {
    if (!reply) return "";
    auto records = ParamRecords(*reply);
    return records && records->size() == 1 ? records->at(0).value : "";
}

// Polls the simulator's log until what occurs count times.
bool WaitCount(Process& sim, const std::string& what, int count, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (sim.CountInLog(what) < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class Serving : public testing::Test {
   protected:
    void SetUp() override {
        KIVO_REQUIRE_ROOT();
        topo = std::make_unique<Topology>();
        topo->Link("kv0", "eth1");
        sim = &topo->StartDevsim(Device("silent", kSilent, "silent = yes\n") + Device("live", kLive, "") +
                                 Device("slow", kSlow, "delay_ms = 1500\n"));
        ASSERT_TRUE(WaitLinkUp(topo->host(), "kv0"));
        host = &topo->StartKivohost(kPort);
    }
    static constexpr uint16_t kPort = 40330;
    std::unique_ptr<Topology> topo;
    Process* sim = nullptr;
    Process* host = nullptr;
};

}  // namespace

// One client waits for a device that never answers; another client's Get of a live device
// is answered meanwhile, not after it.
TEST_F(Serving, ALiveDeviceIsAnsweredWhileAnotherClientWaitsForASilentOne) {
    UdpClient first(topo->host(), kPort), second(topo->host(), kPort);
    std::atomic<bool> firstDone{false};
    std::optional<Bytes> firstReply;
    std::thread waiting([&] {
        firstReply = first.Request(1, 3, GetA(kSilent));
        firstDone = true;
    });
    ASSERT_TRUE(WaitCount(*sim, "silent: LCMP silent: no reply", 1)) << sim->Log();
    const std::optional<Bytes> secondReply = second.Request(2, 3, GetA(kLive));
    const bool firstStillWaiting = !firstDone;
    waiting.join();
    EXPECT_EQ(ValueOf(secondReply), "live");
    EXPECT_TRUE(firstStillWaiting) << "the live device's answer waited for the silent device";
    ASSERT_TRUE(firstReply);
    EXPECT_EQ(*firstReply, (Bytes{1, 1, 0, 4})) << "the silent device's Get still fails as before";
}

// Two clients asking one device: the second request goes out only once the first is
// answered. One client's own requests are answered in the order they were sent, even
// when a later one would be quicker.
TEST_F(Serving, OneDeviceAndOneClientAreServedInArrivalOrder) {
    UdpClient a(topo->host(), kPort), b(topo->host(), kPort);
    std::optional<Bytes> aReply, bReply;
    std::thread ta([&] { aReply = a.Request(1, 3, GetA(kSlow)); });
    ASSERT_TRUE(WaitCount(*sim, "slow: LCMP rx READ.req", 1)) << sim->Log();
    std::thread tb([&] { bReply = b.Request(2, 3, GetA(kSlow)); });
    ta.join();
    tb.join();
    EXPECT_EQ(ValueOf(aReply), "slow");
    EXPECT_EQ(ValueOf(bReply), "slow");
    const std::string log = sim->Log();
    const size_t firstAnswer = log.find("slow: LCMP tx READ.cnf");
    const size_t secondRequest = log.find("slow: LCMP rx READ.req", log.find("slow: LCMP rx READ.req") + 1);
    ASSERT_NE(firstAnswer, std::string::npos) << log;
    ASSERT_NE(secondRequest, std::string::npos) << log;
    EXPECT_GT(secondRequest, firstAnswer) << "the device had two requests at once\n" << log;

    // A Get of the slow device, then at once a Version from the same socket.
    BareUdp one(topo->host(), kPort);
    Bytes get{7, 0, 0, 0, 3};
    const Bytes body = GetA(kSlow);
    get.insert(get.end(), body.begin(), body.end());
    ASSERT_TRUE(one.Send(get));
    ASSERT_TRUE(one.Send(Bytes{8, 0, 0, 0, 9}));
    const auto r1 = one.Recv(10s);
    const auto r2 = one.Recv(10s);
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(r1->at(0), 7) << "the Version overtook the Get sent before it";
    EXPECT_EQ(r2->at(0), 8);
}

// The failure detail tells each client about its own last failed request.
TEST_F(Serving, EachClientIsToldAboutItsOwnFailure) {
    UdpClient a(topo->host(), kPort), b(topo->host(), kPort);
    const auto nosuch = ParamRequestBody(kDeviceLcmp, "nosuch0", 0, kLive, "pw", GetBlock({"SYSTEM.A"}));
    ASSERT_EQ(a.Request(0x21, 3, nosuch), (Bytes{0x21, 1, 0, 4}));
    auto detail = [](UdpClient& c, uint8_t seq) -> std::optional<kivo::client::FailureDetail> {
        const auto r = c.Request(seq, 0xF0, {});
        return r ? kivo::client::ParseFailureDetail(*r) : std::nullopt;
    };
    auto bFirst = detail(b, 0x30);
    ASSERT_TRUE(bFirst);
    EXPECT_EQ(bFirst->any, 0) << "another client's failure: " << bFirst->reason.text;

    // b fails too, differently: a malformed LCMP discover.
    ASSERT_EQ(b.Request(Bytes{0x31, 0, 0, 0, 0xF1, 9, 'e'}), (Bytes{0x31, 1, 0, 3}));
    auto aDetail = detail(a, 0x22);
    auto bDetail = detail(b, 0x32);
    ASSERT_TRUE(aDetail && bDetail);
    EXPECT_EQ(aDetail->any, 1);
    EXPECT_EQ(aDetail->seq, 0x21);
    EXPECT_EQ(aDetail->request, 3);
    EXPECT_NE(aDetail->reason.text.find("nosuch0"), std::string::npos) << aDetail->reason.text;
    EXPECT_EQ(bDetail->any, 1);
    EXPECT_EQ(bDetail->seq, 0x31);
    EXPECT_EQ(bDetail->request, 0xF1);
    // A live device's answer to a clears nothing of b's.
    EXPECT_EQ(ValueOf(a.Request(0x23, 3, GetA(kLive))), "live");
    bDetail = detail(b, 0x33);
    ASSERT_TRUE(bDetail);
    EXPECT_EQ(bDetail->seq, 0x31);
}

// Two clients failing at the same time on two workers, each in a layer of its own: one
// waits out a silent device, the other's interface does not exist. Each failure detail
// carries the words of the layer that saw its own failure, none of the other's.
TEST_F(Serving, TwoClientsFailingAtOnceEachGetTheirOwnWords) {
    UdpClient a(topo->host(), kPort), b(topo->host(), kPort);
    std::optional<Bytes> aReply;
    std::thread waiting([&] { aReply = a.Request(0x41, 3, GetA(kSilent)); });
    ASSERT_TRUE(WaitCount(*sim, "silent: LCMP silent: no reply", 1)) << sim->Log();
    const auto nosuch = ParamRequestBody(kDeviceLcmp, "nosuch1", 0, kLive, "pw", GetBlock({"SYSTEM.A"}));
    const std::optional<Bytes> bReply = b.Request(0x51, 3, nosuch);
    waiting.join();
    ASSERT_EQ(bReply, (Bytes{0x51, 1, 0, 4}));
    ASSERT_EQ(aReply, (Bytes{0x41, 1, 0, 4}));

    auto detail = [](UdpClient& c, uint8_t seq) -> std::optional<kivo::client::FailureDetail> {
        const auto r = c.Request(seq, 0xF0, {});
        return r ? kivo::client::ParseFailureDetail(*r) : std::nullopt;
    };
    const auto aDetail = detail(a, 0x42);
    const auto bDetail = detail(b, 0x52);
    ASSERT_TRUE(aDetail && bDetail);
    EXPECT_EQ(aDetail->seq, 0x41);
    EXPECT_EQ(aDetail->reason.code, static_cast<uint16_t>(kivo::protocol::Reason::kNoAnswer))
        << aDetail->reason.text;
    EXPECT_NE(aDetail->reason.text.find(MacText(kSilent)), std::string::npos) << aDetail->reason.text;
    EXPECT_EQ(aDetail->reason.text.find("nosuch1"), std::string::npos) << aDetail->reason.text;
    EXPECT_EQ(bDetail->seq, 0x51);
    EXPECT_EQ(bDetail->reason.code, static_cast<uint16_t>(kivo::protocol::Reason::kNoInterface))
        << bDetail->reason.text;
    // The port's own words, not the service's fallback for a request nothing explained.
    EXPECT_EQ(bDetail->reason.text, "there is no interface nosuch1; check the name (ip link lists them)");
}

// A short stress run: 8 clients, 16 devices of four kinds, random requests for 3 s;
// every answer is the one the device's state calls for. The long run is bench_stress.
TEST(ServingStress, EightClientsSixteenDevicesEveryAnswerRight) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1");
    StressOptions options;
    topo.StartDevsim(StressDevsimConfig(options));
    ASSERT_TRUE(WaitLinkUp(topo.host(), "kv0"));
    Process& host = topo.StartKivohost(40331);
    const StressResult r = RunStress(topo, 40331, options);
    EXPECT_GT(r.requests, options.clients);
    EXPECT_EQ(r.wrong, 0);
    for (const std::string& w : r.firstWrong) ADD_FAILURE() << w;
    EXPECT_TRUE(host.Running());
}
