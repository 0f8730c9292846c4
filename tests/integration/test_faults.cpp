// Faults under the real service: the host interface removed while a request or a
// transfer uses it. The service answers the request it was busy with, then the next.
#include <chrono>
#include <thread>

#include "harness.h"
#include "harness_cfg.h"
#include "harness_fw.h"

using namespace kivotest;
using namespace std::chrono_literals;

namespace {
const char* kDev = "02:00:00:00:10:01";

bool VersionAnswered(UdpClient& c) {
    const auto r = c.Request(9, 9, {}, 10s);
    return r && r->size() >= 4 && (*r)[3] == 9;
}
}  // namespace

TEST(Faults, InterfaceDeletedDuringGetFailsAndTheNextRequestIsAnswered) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1");
    // A silent device keeps the Get waiting; its log line says the request went out.
    auto& sim = topo.StartDevsim(std::string("[device d1]\nmac = ") + kDev +
                                 "\ninterface = eth1\nrole = lcmp\npassword = pw\nsilent = yes\n"
                                 "param = SYSTEM.INFO.UPTIME INT32U 5\n");
    topo.StartKivohost();
    auto& c = topo.client();
    BareUdp raw(topo.host(), kivo::protocol::kDefaultPort);
    ASSERT_TRUE(raw.Send([&] {
        Bytes m = {1, 0, 0, 0, 3};
        const Bytes body =
            ParamRequestBody(kDeviceLcmp, "kv0", 0, ParseMac(kDev), "pw", GetBlock({"SYSTEM.INFO.UPTIME"}));
        m.insert(m.end(), body.begin(), body.end());
        return m;
    }()));
    ASSERT_TRUE(sim.WaitForLog("LCMP silent: no reply", 20s));
    topo.host().Run("ip link del kv0");
    // Within the documented 18 s of a silent device, and the reply is FAILED.
    const auto reply = raw.Recv(25s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, (Bytes{1, 1, 0, 4}));
    EXPECT_TRUE(VersionAnswered(c));
}

TEST(Faults, InterfaceDeletedDuringUpgradeEndsInTheFailedState) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(std::string("[device g]\nmac = ") + kDev +
                     "\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\nfw_request_period_ms = 100\n"
                     "fw_request_count = 100000\nfw_log_data = no\n");
    topo.StartKivohost();
    auto& c = topo.client();
    TempFile fw(AsString(PatternBytes(8u << 20, 3)));
    ASSERT_EQ(c.Request(1, 6, FwStartBody("kv0", 0, ParseMac(kDev), fw.path())), (Bytes{1, 1, 0, 1}));
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::optional<FwStatus> s;
    while ((s = FwStatusGet(c)) && s->uploaded == 0 && s->state < 5 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(s && s->uploaded > 0 && s->uploaded < s->total) << "the transfer must be under way";
    topo.host().Run("ip link del kv0");
    // A send on a vanished interface fails at once (0.5 s measured); the window allows for
    // the retransmission time-outs all the same.
    const auto final = FwPollUntilFinal(c, 60s);
    ASSERT_TRUE(final.has_value());
    EXPECT_EQ(final->state, 6);
    EXPECT_LT(final->uploaded, final->total);
    EXPECT_TRUE(VersionAnswered(c));
}
