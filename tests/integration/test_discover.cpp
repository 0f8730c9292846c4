// The Discover request end to end: the real kivohost in a host namespace, kivo-devsim
// playing legacy and boot-ROM devices in a device namespace. Every Discover listens
// for the full 3 s, so each test groups several checks into few requests.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

using namespace kivotest;

namespace {

constexpr uint8_t kDiscover = 0;
constexpr uint8_t kReplyFailed = 4;
constexpr uint8_t kReplyDevices = 5;

struct Record {
    uint8_t type;
    std::string ifname;
    std::string mac;
    bool operator==(const Record& o) const { return type == o.type && ifname == o.ifname && mac == o.mac; }
};
std::ostream& operator<<(std::ostream& os, const Record& r) {
    return os << "{" << int(r.type) << " " << r.ifname << " " << r.mac << "}";
}

// Device records of a reassembled REPLY_DEVICES reply; fails the test on any
// inconsistency between the count, the records and the reply length.
std::vector<Record> Records(const Bytes& reply) {
    std::vector<Record> out;
    EXPECT_GE(reply.size(), 5u);
    if (reply.size() < 5) return out;
    EXPECT_EQ(kReplyDevices, reply[3]);
    size_t pos = 5;
    for (unsigned i = 0; i < reply[4]; ++i) {
        if (pos + 2 > reply.size()) {
            ADD_FAILURE() << "record " << i << " starts past the reply";
            return out;
        }
        Record r;
        r.type = reply[pos];
        size_t len = reply[pos + 1];
        if (pos + 2 + len + 6 > reply.size()) {
            ADD_FAILURE() << "record " << i << " runs past the reply";
            return out;
        }
        r.ifname.assign(reply.begin() + pos + 2, reply.begin() + pos + 2 + len);
        Mac mac;
        std::copy_n(reply.begin() + pos + 2 + len, 6, mac.begin());
        r.mac = MacText(mac);
        out.push_back(r);
        pos += 8 + len;
    }
    EXPECT_EQ(reply.size(), pos) << "bytes after the last record";
    return out;
}

Bytes DiscoverBody(const std::string& ifname, uint16_t vlan) {
    Bytes b;
    PutU8(b, static_cast<uint8_t>(ifname.size()));
    PutText(b, ifname);
    PutBe16(b, vlan);
    return b;
}

int CountDir(const std::string& path) {
    int n = 0;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

std::string Device(const std::string& name, const std::string& mac, const std::string& ifname,
                   const std::string& role, const std::string& extra = "") {
    return "[device " + name + "]\nmac = " + mac + "\ninterface = " + ifname + "\nrole = " + role + "\n" +
           extra + "\n";
}

// One legacy device: the exact 17-byte reply; silenced, the 4-byte failure; the
// service keeps no descriptor or thread of a discovery beyond the socket it reuses.
TEST(DiscoverRequest, OneLegacyDeviceThenNone) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    auto& sim = topo.StartDevsim(Device("legacy1", "02:00:00:00:00:01", "eth1", "legacy"));
    auto& host = topo.StartKivohost();
    const std::string proc = "/proc/" + std::to_string(host.pid());

    auto reply = topo.client().Request(0x42, kDiscover, DiscoverBody("eth1", 0));
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(1u, topo.client().lastSegments.size());
    const Bytes expected = {0x42, 1, 0, 5, 1, 2, 4, 'e', 't', 'h', '1', 0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(expected, topo.client().lastSegments[0]);
    EXPECT_TRUE(sim.WaitForLog("legacy1: discover rx probe from 02:aa:00:00:00:01\n", 1s)) << sim.Log();
    // A closed port keeps its socket for the next discovery (closing a packet socket
    // is slow): counted from the first discovery on, the next one adds nothing.
    const int fdsBefore = CountDir(proc + "/fd");
    const int threadsBefore = CountDir(proc + "/task");

    ASSERT_TRUE(sim.SendLine("legacy1 set discover_reply no"));
    ASSERT_TRUE(sim.WaitForLog("command \"legacy1 set discover_reply no\" done", 5s));
    reply = topo.client().Request(0x43, kDiscover, DiscoverBody("eth1", 0));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((Bytes{0x43, 1, 0, kReplyFailed}), topo.client().lastSegments.at(0));
    EXPECT_EQ(2, sim.CountInLog("legacy1: discover rx probe")) << "the device was probed but kept silent";
    EXPECT_EQ(fdsBefore, CountDir(proc + "/fd"));
    EXPECT_EQ(threadsBefore, CountDir(proc + "/task"));
}

// A one-byte datagram is a Discover on every interface of the service's namespace:
// types and newest-first order, a device answering twice, the same device on two
// interfaces, and nothing from interfaces elsewhere.
TEST(DiscoverRequest, EveryInterfaceMixedDevices) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "d1", "02:aa:00:00:00:01");
    topo.Link("eth2", "d2", "02:aa:00:00:00:02");
    Netns other;
    AddVeth(topo.dev(), "x1", other, "y1");
    // Replies at fixed delays after the probe fix the order on eth1.
    std::string config =
        Device("a1", "02:00:00:00:00:0a", "d1", "legacy", "discover_copies = 2\ndiscover_delay_ms = 100") +
        Device("b1", "02:00:00:00:00:0b", "d1", "bootrom",
               "rom_version = 3\nannounce_period_ms = 0\nannounce_on_probe = yes\nannounce_delay_ms = 300") +
        Device("c1", "02:00:00:00:00:0c", "d1", "bootrom",
               "rom_version = 2\nrom_subversion = 5\nannounce_period_ms = 0\nannounce_on_probe = yes\n"
               "announce_delay_ms = 500") +
        Device("a2", "02:00:00:00:00:0a", "d2", "legacy") +
        Device("z1", "02:00:00:00:00:0f", "x1", "legacy") +
        Device("z2", "02:00:00:00:00:0e", "x1", "bootrom", "announce_period_ms = 200");
    auto& sim = topo.StartDevsim(config);
    topo.StartKivohost();

    auto reply = topo.client().Request(Bytes{0x07});
    ASSERT_TRUE(reply.has_value());
    std::vector<Record> got = Records(*reply);
    std::vector<Record> onEth1, onEth2;
    for (const Record& r : got) {
        if (r.ifname == "eth1")
            onEth1.push_back(r);
        else if (r.ifname == "eth2")
            onEth2.push_back(r);
        else
            ADD_FAILURE() << "record for an interface outside the service's namespace: " << r;
    }
    std::vector<Record> want1 = {
        {0, "eth1", "02:00:00:00:00:0c"}, {1, "eth1", "02:00:00:00:00:0b"}, {2, "eth1", "02:00:00:00:00:0a"}};
    std::vector<Record> want2 = {{2, "eth2", "02:00:00:00:00:0a"}};
    EXPECT_EQ(want1, onEth1);
    EXPECT_EQ(want2, onEth2);
    EXPECT_EQ(2, sim.CountInLog("a1: discover tx reply to 02:aa:00:00:00:01\n")) << "answered twice";
    EXPECT_EQ(1, sim.CountInLog("a2: discover rx probe from 02:aa:00:00:00:02\n"));
    EXPECT_EQ(0, sim.CountInLog("z1: discover rx probe")) << "an interface of another namespace was probed";
    EXPECT_GE(sim.CountInLog("z2: bootrom tx announcement"), 1);
}

// A tagged probe (the upper 4 bits of the VLAN field ignored) is answered with tagged
// frames, which are recognised; periodic announcements are found without a probe; a
// booted device stays silent.
TEST(DiscoverRequest, TaggedRepliesAndPeriodicAnnouncements) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    std::string config =
        Device("t1", "02:00:00:00:00:01", "eth1", "legacy") +
        Device("p1", "02:00:00:00:00:02", "eth1", "bootrom",
               "rom_version = 3\nvlan_tci = 100\nannounce_period_ms = 400") +
        Device("q1", "02:00:00:00:00:03", "eth1", "bootrom", "booted = yes\nannounce_period_ms = 100");
    auto& sim = topo.StartDevsim(config);
    topo.StartKivohost();

    auto reply = topo.client().Request(0x11, kDiscover, DiscoverBody("eth1", 0xF064));
    ASSERT_TRUE(reply.has_value());
    std::vector<Record> got = Records(*reply);
    std::sort(got.begin(), got.end(), [](const Record& a, const Record& b) { return a.mac < b.mac; });
    std::vector<Record> want = {{2, "eth1", "02:00:00:00:00:01"}, {1, "eth1", "02:00:00:00:00:02"}};
    EXPECT_EQ(want, got);
    EXPECT_EQ(1, sim.CountInLog("t1: discover rx probe from 02:aa:00:00:00:01 vlan 100 prio 0\n"))
        << sim.Log();
    EXPECT_EQ(1, sim.CountInLog("t1: discover tx reply to 02:aa:00:00:00:01 vlan 100 prio 0\n"));
    EXPECT_EQ(0, sim.CountInLog("q1: bootrom tx announcement"));
}

// A VLAN id that cannot be tagged (4095) leaves the tag of the Discover before it: tagged
// after a tagged one, untagged after an untagged one.
TEST(DiscoverRequest, AnUntaggableVlanKeepsTheTagOfTheDiscoverBefore) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    auto& sim = topo.StartDevsim(Device("t1", "02:00:00:00:00:01", "eth1", "legacy"));
    topo.StartKivohost();
    const std::string tagged = "t1: discover rx probe from 02:aa:00:00:00:01 vlan 100 prio 0\n";
    const std::string untagged = "t1: discover rx probe from 02:aa:00:00:00:01\n";
    ASSERT_TRUE(topo.client().Request(1, kDiscover, DiscoverBody("eth1", 100)));
    ASSERT_TRUE(topo.client().Request(2, kDiscover, DiscoverBody("eth1", 0x0FFF)));
    EXPECT_EQ(2, sim.CountInLog(tagged)) << sim.Log();
    ASSERT_TRUE(topo.client().Request(3, kDiscover, DiscoverBody("eth1", 0)));
    ASSERT_TRUE(topo.client().Request(4, kDiscover, DiscoverBody("eth1", 0x0FFF)));
    EXPECT_EQ(2, sim.CountInLog(untagged)) << sim.Log();
    EXPECT_EQ(2, sim.CountInLog(tagged));
}

// More devices than one count byte can hold: the first 255 records and a count of
// 255, in a reply of three segments.
TEST(DiscoverRequest, MoreThan255Devices) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    std::string config;
    std::set<std::string> macs;
    for (int i = 0; i < 300; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof(mac), "02:00:00:00:%02x:%02x", (i >> 8) + 1, i & 0xFF);
        macs.insert(mac);
        // Spread over 300 ms so that the replies do not all arrive in one burst.
        config += Device("l" + std::to_string(i), mac, "eth1", "legacy",
                         "discover_delay_ms = " + std::to_string(10 + (i % 60) * 5));
    }
    auto& sim = topo.StartDevsim(config);
    topo.StartKivohost();

    auto reply = topo.client().Request(0x21, kDiscover, DiscoverBody("eth1", 0));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(255, (*reply)[4]);
    std::vector<Record> got = Records(*reply);
    ASSERT_EQ(255u, got.size());
    std::set<std::string> seen;
    for (const Record& r : got) {
        EXPECT_EQ(2, r.type);
        EXPECT_EQ("eth1", r.ifname);
        EXPECT_EQ(1u, macs.count(r.mac)) << r;
        seen.insert(r.mac);
    }
    EXPECT_EQ(255u, seen.size()) << "duplicate records";
    // 5 + 255 * 12 bytes = 3065: segments of 1400, 1400 and 271 bytes.
    ASSERT_EQ(3u, topo.client().lastSegments.size());
    EXPECT_EQ(271u, topo.client().lastSegments[2].size());
    EXPECT_GE(sim.CountInLog("discover tx reply"), 256);
}

}  // namespace
