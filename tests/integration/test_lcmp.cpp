// The LCMP engine over a veth pair against kivo-devsim: the library runs in this
// process with the test thread in the host namespace, the simulator in the device
// namespace.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "failpoint.h"
#include "harness.h"

using namespace kivotest;
using Clock = std::chrono::steady_clock;
using kivo::lcmp::Numbering;
using kivo::lcmp::Session;
using kivo::lcmp::SessionSettings;

namespace {

const char* kHostMac = "02:00:00:00:00:10";
const Mac kDev1 = {0x02, 0, 0, 0, 0, 0x01};
const Mac kDev2 = {0x02, 0, 0, 0, 0, 0x02};
const t_lcmpEncryptionConf kSha{"secret", LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, LCMP_HASH_SHA256};

struct V {
    uint8_t type;
    Bytes data;
    Mac src;
    bool operator==(const V& o) const { return type == o.type && data == o.data; }
};

std::string DeviceConf(const std::string& name, const Mac& mac, const std::string& extra,
                       const std::string& ifname = "eth1") {
    return "[device " + name + "]\nmac = " + MacText(mac) + "\ninterface = " + ifname +
           "\nrole = lcmp\npassword = secret\n" + extra + "\n";
}

Bytes Count(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

// For each log line that contains `what`, the word that follows `key` in it.
std::vector<std::string> Fields(const std::string& log, const std::string& what, const std::string& key) {
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(what);
        if (at == std::string::npos) continue;
        const size_t k = line.find(key, at);
        if (k == std::string::npos) continue;
        const size_t from = k + key.size();
        out.push_back(line.substr(from, line.find(' ', from) - from));
    }
    return out;
}

class Lcmp : public testing::Test {
   protected:
    void SetUp() override {
        KIVO_REQUIRE_ROOT();
        topo = std::make_unique<Topology>();
        topo->Link("eth1", "eth1", kHostMac, MacText(kDev1));
    }
    void TearDown() override { kivo::FailPointsClear(); }
    Process& Sim(const std::string& config) { return topo->StartDevsim(config); }
    void Set(const std::string& line) {
        const int before = topo->devsim()->CountInLog("devsim: command");
        ASSERT_TRUE(topo->devsim()->SendLine(line));
        for (int i = 0; i < 2500 && topo->devsim()->CountInLog("devsim: command") == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_NE(topo->devsim()->Log().find("command \"" + line + "\" done"), std::string::npos);
    }

    // One exchange in the host namespace on a session of its own.
    t_lcmpErrorCode Request(const Mac& dst, const t_lcmpEncryptionConf* enc = &kSha,
                            t_lcmpTransmissionType type = LCMP_UNICAST, bool write = false,
                            INT32S retry = 0) {
        NsGuard g(topo->host());
        values.clear();
        t_lcmpValueList* req = nullptr;
        const Bytes info(5, 0xA1), dm(1, 0), rd(30, 0xB2);
        LCMPValueAdd(&req, LCMP_VALUE_INFO, 5, info.data());
        LCMPValueAdd(&req, LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, dm.data());
        LCMPValueAdd(&req, LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_READ_REQ, 30, rd.data());
        Session session("eth1", Settings());
        EXPECT_EQ(session.Open(), LCMP_ERROR_NONE);
        t_lcmpValueList* out = nullptr;
        const auto t0 = Clock::now();
        const t_lcmpErrorCode rc =
            (write ? session.Write(LCMP_CONTROL_VENDOR, req, enc, type, dst.data(), &out, retry)
                   : session.Read(LCMP_CONTROL_VENDOR, req, enc, type, dst.data(), &out))
                .as<t_lcmpErrorCode>();
        elapsed = Clock::now() - t0;
        nullList = out == nullptr;
        for (const t_lcmpValue* v = out ? out->head : nullptr; v; v = v->next) {
            V x{static_cast<uint8_t>(v->type), Bytes(v->value, v->value + v->valueLength), {}};
            std::copy(v->srcMAC, v->srcMAC + 6, x.src.begin());
            values.push_back(x);
            EXPECT_LE(std::chrono::milliseconds(v->responseTime), elapsed + std::chrono::milliseconds(1));
        }
        LCMPValueListDestroy(out);
        LCMPValueListDestroy(req);
        return rc;
    }

    // The settings of the test's sessions, which share one numbering.
    SessionSettings Settings() {
        SessionSettings s = settings;
        s.numbering = &numbering;
        return s;
    }

    std::unique_ptr<Topology> topo;
    SessionSettings settings;
    Numbering numbering;
    std::vector<V> values;
    bool nullList = true;
    Clock::duration elapsed{};
};

}  // namespace

TEST_F(Lcmp, UnicastReadAnsweredByOneConfirm) {
    Process& sim = Sim(DeviceConf("dev1", kDev1, "read.reply = 0x20:00 0x24:0102 0x26:"));
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000)) << "returns when the confirm arrives";
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}, {0x24, {1, 2}, {}}}));
    EXPECT_EQ(values.at(0).src, kDev1);
    // 33 value bytes after the marker: 40 enciphered, marker length 41, header 45.
    EXPECT_NE(
        sim.Log().find("declared=45 mmpl=63 marker=41 enc=40 key=sha256 tag=none values=00/5,20/1,23/30"),
        std::string::npos)
        << sim.Log();
    EXPECT_NE(sim.Log().find("LCMP rx frame len=85 opcode=0x160 seg=0/0"), std::string::npos);

    // An end marker with data is kept; the legacy key works with a legacy device.
    Set("dev1 set read.reply 0x20:00 0x24:03 0x26:ee");
    Set("dev1 set keys legacy");
    t_lcmpEncryptionConf legacy = kSha;
    legacy.hashType = LCMP_HASH_LEGACY;
    ASSERT_EQ(Request(kDev1, &legacy), LCMP_ERROR_NONE);
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}, {0x24, {3}, {}}, {0x26, {0xEE}, {}}}));
    EXPECT_NE(sim.Log().find("key=legacy"), std::string::npos);

    // Transaction identifiers: the process id, then 256 further per request.
    const auto tids = Fields(sim.Log(), "LCMP rx READ.req", "tid=0x");
    ASSERT_EQ(tids.size(), 2u);
    const unsigned first = std::stoul(tids[0], nullptr, 16), second = std::stoul(tids[1], nullptr, 16);
    EXPECT_EQ(first & 0xFF, static_cast<unsigned>(getpid()) & 0xFF);
    EXPECT_EQ(second, (first + 256) & 0xFFFF);
}

TEST_F(Lcmp, RepliesOfSeveralMessagesAndTimeOuts) {
    Sim(DeviceConf("dev1", kDev1, "read.reply = 0x20:00 0x24:01\nread.reply = 0x20:00 0x24:02 0x26:"));
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}, {0x24, {1}, {}}, {0x20, {0}, {}}, {0x24, {2}, {}}}));

    // Without the end marker the reply never completes: time-out, values kept.
    settings.timeoutMs = 300;
    Set("dev1 set read.reply 0x20:00 0x24:05");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Request(kDev1), LCMP_ERROR_UNICAST_READ_TIMEOUT);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Warning: device did not reply in time\n"),
              std::string::npos);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}, {0x24, {5}, {}}}));

    // A write waits (retry + 1) reference times.
    settings.timeoutMs = 100;
    Set("dev1 set silent yes");
    EXPECT_EQ(Request(kDev1, &kSha, LCMP_UNICAST, true, 2), LCMP_ERROR_UNICAST_READ_TIMEOUT);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_TRUE(nullList);
}

TEST_F(Lcmp, ConfirmsThatDoNotBelongToTheRequestAreIgnored) {
    Process& sim = Sim(DeviceConf("dev1", kDev1, "read.reply = 0x20:00 0x24:01 0x26:\nbad_tid_first = yes") +
                       DeviceConf("dev2", kDev2, "read.reply = 0x20:00 0x24:02 0x26:\npromiscuous = yes"));
    // A wrong transaction identifier first, and another device answering too.
    Set("dev1 set delay_ms 100");
    testing::internal::CaptureStderr();
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}, {0x24, {1}, {}}}));
    EXPECT_TRUE(sim.WaitForLog("dev2: LCMP tx READ.cnf", 2s));
    const unsigned tid = std::stoul(Fields(sim.Log(), "dev1: LCMP rx READ.req", "tid=0x").at(0), nullptr, 16);
    char want[100];
    std::snprintf(want, sizeof(want), "Warning: Discard data, bad Transaction ID (RX %u != TX %u).\n",
                  (tid + 1) & 0xFFFF, tid);
    EXPECT_NE(err.find(want), std::string::npos) << err;

    // A confirm of another opcode, or one whose enciphered part is not a multiple
    // of 8 bytes, never completes the request.
    settings.timeoutMs = 300;
    Set("dev2 set silent yes");
    Set("dev1 set bad_tid_first no");
    Set("dev1 set reply_opcode 0x163");
    EXPECT_EQ(Request(kDev1), LCMP_ERROR_UNICAST_READ_TIMEOUT);
    EXPECT_TRUE(nullList);
    Set("dev1 unset reply_opcode");
    Set("dev1 set cipher_fault yes");
    EXPECT_EQ(Request(kDev1), LCMP_ERROR_UNICAST_READ_TIMEOUT);
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}}))
        << "only the marker, which is read before the cipher";
}

TEST_F(Lcmp, MulticastAndBroadcastCollectForTheReferenceTime) {
    settings.timeoutMs = 500;
    Request(kDev1, nullptr, LCMP_BROADCAST);  // nobody on the link
    EXPECT_TRUE(nullList);
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));

    Sim(DeviceConf("dev1", kDev1, "read.reply = 0x24:01 0x26:") +
        DeviceConf("dev2", kDev2, "read.reply = 0x24:02 0x26:\ndelay_ms = 50"));
    ASSERT_EQ(Request(Mac{}, nullptr, LCMP_MULTICAST), LCMP_ERROR_NONE);
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    ASSERT_EQ(values, (std::vector<V>{{0x24, {1}, {}}, {0x24, {2}, {}}}));
    EXPECT_EQ(values[0].src, kDev1);
    EXPECT_EQ(values[1].src, kDev2);
}

TEST_F(Lcmp, SegmentedConfirmsInAnyOrderAndAgeing) {
    Process& sim = Sim(DeviceConf("dev1", kDev1,
                                  "read.reply = 0x20:00 0x24:len=600 0x26:\nsegment_size = 100\n"
                                  "segment_order = reverse\nsegment_repeat = yes"));
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    EXPECT_EQ(values, (std::vector<V>{{0x20, {0}, {}}, {0x24, Count(600), {}}}));
    ASSERT_TRUE(sim.WaitForLog("LCMP tx READ.cnf", 2s));  // logged after sending
    EXPECT_EQ(Fields(sim.Log(), "LCMP tx READ.cnf", "frames=").at(0), "14");

    // Segment 1 comes 200 ms late: when another frame arrives first, the partial
    // message has aged out and the late segment cannot complete it.
    settings.timeoutMs = 800;
    Set("dev1 set segment_order normal");
    Set("dev1 set segment_repeat no");
    Set("dev1 set segment_late 1");
    Set("dev1 set late_ms 200");
    EXPECT_EQ(Request(kDev1), LCMP_ERROR_UNICAST_READ_TIMEOUT);
    EXPECT_TRUE(sim.WaitForLog("LCMP tx late segment 1 after a filler frame", 2s));
    Set("dev1 set late_filler no");
    EXPECT_EQ(Request(kDev1), LCMP_ERROR_NONE) << "the late segment is the first frame: it completes";
    EXPECT_EQ(values.size(), 2u);
}

TEST_F(Lcmp, VlanTagsAndFrameSizesOnTheWire) {
    topo->host().Run("ip link set eth1 mtu 1504");
    topo->dev().Run("ip link set eth1 mtu 1504");
    Process& sim = Sim(DeviceConf("dev1", kDev1, "read.reply = 0x24:len=1500 0x26:\nvlan = 100"));
    settings.vlanId = 100;
    // A full tagged segment each way: 1522-byte frames.
    ASSERT_EQ(Request(kDev1, nullptr), LCMP_ERROR_NONE);
    EXPECT_EQ(values.at(0).data, Count(1500));
    for (const auto& [vid, pcp] : {std::pair<uint16_t, uint8_t>{4095, 0}, {100, 8}}) {
        SessionSettings refused = Settings();
        refused.vlanId = vid;
        refused.vlanPriority = pcp;
        NsGuard g(topo->host());
        EXPECT_EQ(Session("eth1", refused).Open(), LCMP_ERROR_BAD_ARGS) << vid << "/" << int(pcp);
    }
    ASSERT_EQ(Request(kDev1, nullptr), LCMP_ERROR_NONE);
    EXPECT_EQ(Fields(sim.Log(), "LCMP rx READ.req", "tag="), (std::vector<std::string>{"0x0064", "0x0064"}));

    {
        NsGuard g(topo->host());
        static Bytes mmpl(23935);
        INT16U seq = 0;
        SessionSettings tagged = Settings();
        tagged.vlanId = 4094;
        tagged.vlanPriority = 5;
        Session one("eth1", tagged);
        ASSERT_EQ(one.Open(), LCMP_ERROR_NONE);
        for (INT16U len : {0, 1496})
            EXPECT_EQ(one.PacketSend(kDev1.data(), LCMP_CTRL_REQ, len, mmpl.data(), &seq), 0);
        // Another session, untagged: the numbers run on.
        SessionSettings untagged = Settings();
        untagged.vlanId = 0;
        Session two("eth1", untagged);
        ASSERT_EQ(two.Open(), LCMP_ERROR_NONE);
        for (INT16U len : {39, 1497, 23935})
            EXPECT_EQ(two.PacketSend(kDev1.data(), LCMP_CTRL_REQ, len, mmpl.data(), &seq), 0);
        // A full segment does not fit a 1500-byte MTU.
        topo->host().Run("ip link set eth1 mtu 1500");
        testing::internal::CaptureStderr();
        EXPECT_EQ(two.PacketSend(kDev1.data(), LCMP_CTRL_REQ, 1496, mmpl.data(), &seq), LCMP_ERROR_SENDTO);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(
                      "Warning: LCMP frame not sent on eth1: frame longer than the interface's MTU"),
                  std::string::npos);
    }
    ASSERT_TRUE(sim.WaitForLog("seg=15/15 seq=", 2s));
    const std::string expected[] = {"len=64 opcode=0x164 seg=0/0 seq=0 mmpl=0 tag=0xaffe",
                                    "len=1522 opcode=0x164 seg=0/1 seq=1 mmpl=1496 tag=0xaffe",
                                    "len=64 opcode=0x164 seg=1/1 seq=1 mmpl=0 tag=0xaffe",
                                    "len=61 opcode=0x164 seg=0/0 seq=2 mmpl=39 tag=none",
                                    "len=1518 opcode=0x164 seg=0/1 seq=3 mmpl=1496 tag=none",
                                    "len=60 opcode=0x164 seg=1/1 seq=3 mmpl=1 tag=none",
                                    "len=1517 opcode=0x164 seg=15/15 seq=4 mmpl=1495 tag=none"};
    const std::string log = sim.Log();
    for (const std::string& e : expected) EXPECT_NE(log.find(e), std::string::npos) << e;
    EXPECT_EQ(Fields(log, "opcode=0x164 seg=", "/15 seq="), std::vector<std::string>(16, "4"));

    // Untagged requests do not reach a device that requires the tag.
    settings.vlanId = 0;
    settings.timeoutMs = 200;
    EXPECT_EQ(Request(kDev1, nullptr), LCMP_ERROR_UNICAST_READ_TIMEOUT);
    EXPECT_TRUE(sim.WaitForLog("LCMP drop: tag none, vlan 100 required", 2s));
}

TEST_F(Lcmp, SessionsOnSeveralInterfacesAndFailedStarts) {
    topo->Link("eth2", "eth2", "02:00:00:00:00:11", MacText(kDev2));
    Sim(DeviceConf("dev1", kDev1, "read.reply = 0x24:01 0x26:") +
        DeviceConf("dev2", kDev2, "read.reply = 0x24:02 0x26:", "eth2"));
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    NsGuard g(topo->host());
    // Counted once both interfaces have had a port: closed ports keep their sockets for
    // the next one on the same interface.
    int fds = -1, threads = -1;
    for (int i = 0; i < 3; ++i) {
        if (i == 1) fds = OpenFdCount(), threads = ThreadCount();
        for (const char* ifname : {"eth2", "eth1"}) {
            Session session(ifname, Settings());
            ASSERT_EQ(session.Open(), LCMP_ERROR_NONE);
            t_lcmpValueList* out = nullptr;
            const Mac& dst = ifname[3] == '2' ? kDev2 : kDev1;
            EXPECT_EQ(session.Read(LCMP_CONTROL_VENDOR, nullptr, nullptr, LCMP_UNICAST, dst.data(), &out), 0);
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out->head->value[0], ifname[3] == '2' ? 2 : 1);
            LCMPValueListDestroy(out);
        }
    }
    // Sessions closed at once, before they have waited for anything.
    for (int i = 0; i < 50; ++i) {
        Session session("eth1", Settings());
        ASSERT_EQ(session.Open(), LCMP_ERROR_NONE);
    }
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(ThreadCount(), threads) << "a session runs no thread";

    // LCMP cannot be opened: nothing stays open, the next try works.
    kivo::FailPointArm("lcmp.open");
    EXPECT_EQ(Session("eth1", Settings()).Open(), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_LE(OpenFdCount(), fds);
    EXPECT_EQ(Session("eth1", Settings()).Open(), LCMP_ERROR_NONE);
    EXPECT_EQ(Session("a-name-of-16-ch", Settings()).Open(), LCMP_ERROR_NONE) << "15 bytes fit";

    // An interface that went away under the open socket: nothing can be sent on it.
    Session gone("eth2", Settings());
    ASSERT_EQ(gone.Open(), LCMP_ERROR_NONE);
    t_lcmpValueList* out = nullptr;
    EXPECT_EQ(gone.Read(LCMP_CONTROL_VENDOR, nullptr, nullptr, LCMP_UNICAST, kDev2.data(), &out), 0);
    LCMPValueListDestroy(out);
    out = nullptr;
    topo->host().Run("ip link del eth2");
    testing::internal::CaptureStderr();
    EXPECT_EQ(gone.Read(LCMP_CONTROL_VENDOR, nullptr, &kSha, LCMP_UNICAST, kDev2.data(), &out),
              LCMP_ERROR_SEND_PACKET);
    EXPECT_EQ(gone.PacketSend(kDev2.data(), LCMP_READ_REQ, 0, nullptr, nullptr), LCMP_ERROR_ETH_IF);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Warning: LCMP request not sent: the interface's own MAC address cannot be read\n"
                       "Warning: no LCMP request was sent\n"),
              std::string::npos);
    EXPECT_NE(err.find("Warning: LCMP frame not sent on "), std::string::npos) << err;
}

// Two sessions on one interface at once, each waiting for its own device: every
// session sees every LCMP frame, and each takes only its own answer.
TEST_F(Lcmp, SessionsSideBySideTakeOnlyTheirOwnAnswers) {
    Sim(DeviceConf("dev1", kDev1, "read.reply = 0x24:01 0x26:\ndelay_ms = 2000") +
        DeviceConf("dev2", kDev2, "read.reply = 0x24:02 0x26:"));
    ASSERT_EQ(Request(kDev2), LCMP_ERROR_NONE);  // the link is up
    std::vector<uint8_t> got(2, 0);
    std::vector<t_lcmpErrorCode> rc(2, LCMP_ERROR_NONE);
    std::atomic<int> firstDone{-1};
    auto run = [&](int i, const Mac& dst) {
        NsGuard g(topo->host());
        Session session("eth1", Settings());
        rc[i] = session.Open().as<t_lcmpErrorCode>();
        t_lcmpValueList* out = nullptr;
        if (rc[i] == LCMP_ERROR_NONE)
            rc[i] = session.Read(LCMP_CONTROL_VENDOR, nullptr, &kSha, LCMP_UNICAST, dst.data(), &out)
                        .as<t_lcmpErrorCode>();
        if (out != nullptr && out->head != nullptr) got[i] = out->head->value[0];
        LCMPValueListDestroy(out);
        int none = -1;
        firstDone.compare_exchange_strong(none, i);
    };
    std::thread slow(run, 0, kDev1);
    // The slow device's request goes out first, the other one's answer comes back first.
    for (int i = 0; i < 400 && topo->devsim()->CountInLog("dev1: LCMP rx READ.req") < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::thread fast(run, 1, kDev2);
    fast.join();
    slow.join();
    EXPECT_EQ(rc, (std::vector<t_lcmpErrorCode>{LCMP_ERROR_NONE, LCMP_ERROR_NONE}));
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(firstDone.load(), 1) << "the fast device's session did not wait for the slow one's";
}

// The port outlives the open period only while its interface stays the same: a new
// address or MTU is taken up by the next period.
TEST_F(Lcmp, KeptPortFollowsTheInterfacesAddressAndMtu) {
    Process& sim = Sim(DeviceConf("dev1", kDev1, "read.reply = 0x24:01 0x26:"));
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    ASSERT_EQ(topo->host().Run("ip link set eth1 address 02:00:00:00:00:77 mtu 1400"), 0);
    INT16U seq = 0;
    {
        NsGuard g(topo->host());
        Session session("eth1", Settings());
        ASSERT_EQ(session.Open(), LCMP_ERROR_NONE);
        Mac mine{};
        EXPECT_EQ(session.MyMACGet(mine.data()), LCMP_ERROR_NONE);
        EXPECT_EQ(MacText(mine), "02:00:00:00:00:77");
        static Bytes mmpl(1393);
        EXPECT_EQ(session.PacketSend(kDev1.data(), LCMP_CTRL_REQ, 1393, mmpl.data(), &seq), LCMP_ERROR_NONE);
    }
    // 1392 bytes after the MMH fill a 1400-byte MTU.
    EXPECT_TRUE(sim.WaitForLog("seg=1/1 seq=" + std::to_string(seq) + " mmpl=1 ", 2s)) << sim.Log();
    EXPECT_EQ(Request(kDev1), LCMP_ERROR_NONE) << "the answer comes to the new address";
}

TEST_F(Lcmp, AllocationFailuresNeverLeaveARequestWaiting) {
    Process& sim = Sim(DeviceConf("dev1", kDev1, "read.reply = 0x24:01 0x26:"));
    for (const char* point : {"lcmp.request_buffer"}) {
        kivo::FailPointArm(point);
        testing::internal::CaptureStderr();
        const t_lcmpErrorCode rc = Request(kDev1);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(rc == LCMP_ERROR_SEND_PACKET || rc == LCMP_ERROR_MALLOC) << rc;
        EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    }
    ASSERT_EQ(Request(kDev1), LCMP_ERROR_NONE);
    EXPECT_EQ(sim.CountInLog("LCMP rx READ.req"), 1) << "nothing went out for the failed requests";
}
