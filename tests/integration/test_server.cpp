// The real kivohost over UDP: header handling, command line, start-up failures,
// idle watchdog, and host interfaces inside a namespace.
#include <set>

#include "device.h"
#include "harness.h"

using namespace kivotest;

TEST(Server, VersionInvalidUnassignedAndEmptyRequests) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    Process& host = topo.StartKivohost(40123);
    EXPECT_TRUE(host.WaitForLog("Server running in port 40123\n", 2s));
    UdpClient& c = topo.client();

    auto r = c.Request(Bytes{0x42, 0, 0, 0, 9});
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (Bytes{0x42, 1, 0, 9, 2, 0, 39}));

    r = c.Request(Bytes{0x43, 0, 0, 7, 9});
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, Bytes{0x43});
    EXPECT_TRUE(host.WaitForLog("Invalid message (7) received\n", 2s));

    for (uint8_t code : {1, 10, 200, 255}) {
        r = c.Request(Bytes{code, 0, 0, 0, code});
        ASSERT_TRUE(r) << int(code);
        EXPECT_EQ(*r, Bytes{code});
    }
    EXPECT_EQ(host.CountInLog("Invalid message"), 1);

    // An empty datagram gets no reply; the server goes on answering afterwards.
    EXPECT_FALSE(c.Request(Bytes{}, 300ms));
    r = c.Request(Bytes{0x44, 0, 0, 0, 9});
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x44);
}

TEST(Server, CommandLineAndStartupFailures) {
    KIVO_REQUIRE_ROOT();
    Netns ns;
    {
        Process p(&ns, {KIVOHOST_BIN, "1", "2"});
        EXPECT_EQ(p.WaitExit(5s), 2);
        EXPECT_EQ(p.Log(), std::string("Usage: ") + KIVOHOST_BIN + " <port>\n");
    }
    Process first(&ns, {KIVOHOST_BIN, "40200"});
    ASSERT_TRUE(first.WaitForLog("Server running in port 40200", 5s));
    {
        Process second(&ns, {KIVOHOST_BIN, "40200"});
        EXPECT_EQ(second.WaitExit(5s), 253);
        EXPECT_EQ(second.Log(), "Error: bind failed (port 40200 is already in use)");
    }
    // Anything but a whole number from 0 to 65535 is refused, naming the range; nothing
    // is bound (105736 would once have bound 40200, 70000 would have bound 4464).
    for (const char* bad : {"105736", "70000", "65536", "abc", "-5", "12x", "", "+7", " 7"}) {
        Process p(&ns, {KIVOHOST_BIN, bad});
        EXPECT_EQ(p.WaitExit(5s), 2) << "'" << bad << "'";
        EXPECT_NE(p.Log().find("from 0 to 65535"), std::string::npos) << "'" << bad << "': " << p.Log();
        EXPECT_EQ(p.Log().find("Server running"), std::string::npos) << bad;
    }
    {
        Process p(&ns, {KIVOHOST_BIN, "--port", "70000"});
        EXPECT_EQ(p.WaitExit(5s), 2);
        EXPECT_NE(p.Log().find("from 0 to 65535"), std::string::npos) << p.Log();
    }
    {
        // 0: the system picks a port, and the start line names it.
        Process any(&ns, {KIVOHOST_BIN, "0"});
        ASSERT_TRUE(any.WaitForLog("\n", 5s));
        const std::string log = any.Log();
        const std::string prefix = "Server running in port ";
        ASSERT_EQ(log.rfind(prefix, 0), 0u) << log;
        const int bound = std::stoi(log.substr(prefix.size()));
        EXPECT_GT(bound, 0);
        EXPECT_LE(bound, 65535);
        EXPECT_TRUE(any.Running());
        // The line is true: a second service on that port cannot bind it.
        Process clash(&ns, {KIVOHOST_BIN, std::to_string(bound)});
        EXPECT_EQ(clash.WaitExit(5s), 253);
    }
}

TEST(Server, WatchdogEndsAnIdleServiceAfterAMinute) {
    KIVO_REQUIRE_ROOT();
    Netns ns;
    Process p(&ns, {KIVOHOST_BIN, "40300"});
    ASSERT_TRUE(p.WaitForLog("Server running", 5s));
    auto start = std::chrono::steady_clock::now();
    auto status = p.WaitExit(90s);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_NE(p.Log().find("Watchdog: 61 seconds without requests!\n"), std::string::npos) << p.Log();
    EXPECT_GE(elapsed, 55s);
}

TEST(HostInterfaces, ListedFromTheNamespaceWithoutLoopback) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth0", "peer0");
    topo.Link("eth1", "peer1");
    t_interface* list = nullptr;
    {
        NsGuard g(topo.host());
        InterfaceListGet(&list);
        INT8U mac[6];
        EXPECT_EQ(MacAddressGet("eth1", mac), 0);
        Mac expected = topo.host().InterfaceMac("eth1");
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), mac));
    }
    std::set<std::string> names;
    for (t_interface* i = list; i; i = i->next) names.insert(i->name);
    InterfaceListFree(list);
    EXPECT_EQ(names, (std::set<std::string>{"eth0", "eth1"}));
}
