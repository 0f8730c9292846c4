// The real kivohost: failure detail (0xF0), LCMP discovery (0xF1), the allow-list,
// the command line, and running without CAP_NET_RAW.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <thread>

#include "harness.h"
#include "kivo_client.h"

using namespace kivotest;

namespace {

constexpr uint16_t kNobody = 65534;

// The failure detail reply as the client library reads it (every length checked).
struct Detail {
    uint8_t any = 0, seq = 0, code = 0;
    uint16_t reason = 0, fwReason = 0;
    std::string text, fwText;
};

std::optional<Detail> DetailRead(const Bytes& r) {
    auto parsed = kivo::client::ParseFailureDetail(r);
    if (!parsed) return std::nullopt;
    return Detail{parsed->any,           parsed->seq,         parsed->request,      parsed->reason.code,
                  parsed->firmware.code, parsed->reason.text, parsed->firmware.text};
}

std::optional<Detail> DetailAsk(UdpClient& c, uint8_t seq) {
    auto r = c.Request(seq, 0xF0, {}, 5s);
    if (!r) return std::nullopt;
    return DetailRead(*r);
}

// A parameter request's body for a device on kv0: device type, interface, untagged, MAC,
// password, then the block of zero-terminated texts.
Bytes ParamBody(uint8_t deviceType, const std::string& ifName, const Mac& mac, const std::string& password,
                const std::string& block) {
    Bytes b;
    PutU8(b, deviceType);
    PutU8(b, static_cast<uint8_t>(ifName.size()));
    PutText(b, ifName);
    PutBe16(b, 0);
    PutMac(b, mac);
    PutU8(b, static_cast<uint8_t>(password.size()));
    PutText(b, password);
    PutBe32(b, static_cast<uint32_t>(block.size()));
    PutText(b, block);
    return b;
}

// A Get of one parameter from an LCMP device.
Bytes GetBody(const std::string& ifName, const Mac& mac) {
    return ParamBody(3, ifName, mac, "pw", std::string("SYSTEM.A") + '\0');
}

Bytes DiscoverBody(const std::string& ifName) {
    Bytes b;
    PutU8(b, static_cast<uint8_t>(ifName.size()));
    PutText(b, ifName);
    PutBe16(b, 0);
    return b;
}

// Sends one request from a socket that belongs to a child process running as uid
// nobody, inside ns, and returns the first reply datagram (empty when none came).
Bytes RequestAsNobody(const Netns& ns, uint16_t port, const Bytes& request) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t pid;
    {
        // The child must stay in the namespace: it never leaves this block.
        NsGuard g(ns);
        pid = fork();
        if (pid == 0) {
            close(pipeFds[0]);
            if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(1);
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                                 sizeof(to)) < 0)
                _exit(2);
            pollfd p{fd, POLLIN, 0};
            uint8_t buf[2048];
            ssize_t n = 0;
            if (poll(&p, 1, 20000) == 1) n = recv(fd, buf, sizeof(buf), 0);
            if (n > 0 && write(pipeFds[1], buf, static_cast<size_t>(n)) != n) _exit(3);
            _exit(0);
        }
    }
    close(pipeFds[1]);
    Bytes reply;
    uint8_t buf[2048];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof(buf))) > 0) reply.insert(reply.end(), buf, buf + n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return reply;
}

}  // namespace

TEST(FailureDetail, DescribesTheLastFailedRequestUntilAnotherFails) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    Process& host = topo.StartKivohost(40310);
    UdpClient& c = topo.client();

    auto d = DetailAsk(c, 1);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->any, 0);
    EXPECT_EQ(d->reason, 0);
    EXPECT_EQ(d->text, "");

    // A Get naming an interface the host does not have, then a request that succeeds.
    auto r = c.Request(0x37, 3, GetBody("nosuch0", ParseMac("02:00:00:00:00:01")));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (Bytes{0x37, 1, 0, 4}));
    ASSERT_TRUE(c.Request(0x38, 9, {}));
    // The detail request does not replace the failure it describes.
    for (uint8_t seq : {0x39, 0x3A}) {
        d = DetailAsk(c, seq);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->any, 1);
        EXPECT_EQ(d->seq, 0x37);
        EXPECT_EQ(d->code, 3);
        EXPECT_EQ(d->reason, 1) << d->text;  // no such interface
        EXPECT_NE(d->text.find("nosuch0"), std::string::npos) << d->text;
        EXPECT_EQ(d->fwReason, 0);
    }
    EXPECT_TRUE(host.WaitForLog("Get request (seq 55) failed: no such interface: ", 2s)) << host.Log();

    // A later failure replaces it: an LCMP discover whose name runs past the datagram.
    r = c.Request(Bytes{0x40, 0, 0, 0, 0xF1, 9, 'e'});
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (Bytes{0x40, 1, 0, 3}));
    d = DetailAsk(c, 0x41);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->seq, 0x40);
    EXPECT_EQ(d->code, 0xF1);
    EXPECT_EQ(d->reason, 18);  // malformed request
}

// A value a device would store as another number is refused before anything is written,
// on both paths, with a reason that names the parameter, its type and its range; what
// front-ends rely on (-1 for the top of a 32-bit type, blanks around a number) is written.
TEST(SetValues, NumbersStoredOtherwiseAreRefusedOnBothPaths) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1");
    const std::string params =
        "\ninterface = eth1\npassword = pw\nparam = SYSTEM.INFO.UPTIME INT32U 5\n"
        "param = NETWORK.VLAN.IDS INT16U 1,2\n";
    topo.StartDevsim("[device lcmp]\nmac = 02:00:00:00:00:01\nrole = lcmp" + params +
                     "\n[device scp]\nmac = 02:00:00:00:00:02\nrole = scp" + params);
    topo.StartKivohost(40314);
    UdpClient& c = topo.client();
    uint8_t seq = 0x70;

    struct Path {
        uint8_t deviceType;
        const char* mac;
        const char* writeLog;
    } paths[] = {{3, "02:00:00:00:00:01", "lcmp: CFG write"}, {2, "02:00:00:00:00:02", "scp: SCP set"}};
    for (const Path& path : paths) {
        SCOPED_TRACE(path.mac);
        auto set = [&](const std::string& name, const std::string& value) {
            return c.Request(
                ++seq, 4,
                ParamBody(path.deviceType, "kv0", ParseMac(path.mac), "pw", name + '\0' + value + '\0'), 60s);
        };
        const struct {
            const char* name;
            const char* value;
            const char* range;
        } refused[] = {
            {"SYSTEM.INFO.UPTIME", "99999999999", "INT32U: whole numbers from 0 to 4294967295"},
            {"SYSTEM.INFO.UPTIME", "12abc", "INT32U"},
            {"SYSTEM.INFO.UPTIME", "5x", "INT32U"},
            {"NETWORK.VLAN.IDS", "1,,2", "INT16U: whole numbers from 0 to 65535"},
            {"NETWORK.VLAN.IDS", "1,2,", "INT16U"},
            {"NETWORK.VLAN.IDS", "-1", "INT16U"},
        };
        for (const auto& r : refused) {
            SCOPED_TRACE(r.value);
            auto reply = set(r.name, r.value);
            ASSERT_TRUE(reply);
            EXPECT_EQ(*reply, (Bytes{seq, 1, 0, 4}));
            auto d = DetailAsk(c, ++seq);
            ASSERT_TRUE(d);
            EXPECT_EQ(d->reason, 6);
            for (const std::string& part :
                 {std::string(r.name), std::string(r.range), std::string("\"") + r.value + "\"",
                  std::string("nothing was written")})
                EXPECT_NE(d->text.find(part), std::string::npos) << d->text;
        }
        EXPECT_EQ(topo.devsim()->CountInLog(path.writeLog), 0) << topo.devsim()->Log();
        ASSERT_TRUE(set("SYSTEM.INFO.UPTIME", "-1"));
        ASSERT_TRUE(set("NETWORK.VLAN.IDS", " 7 ,8"));
    }
    EXPECT_TRUE(topo.devsim()->WaitForLog("CFG write SYSTEM.INFO.UPTIME type=INT32U value=ffffffff", 5s))
        << topo.devsim()->Log();
    EXPECT_TRUE(topo.devsim()->WaitForLog("CFG write NETWORK.VLAN.IDS type=INT16U value=07000800", 5s));
    EXPECT_TRUE(
        topo.devsim()->WaitForLog("SCP set SYSTEM.INFO.UPTIME type=INT32U value=ffffffff status=0", 5s));
    EXPECT_TRUE(
        topo.devsim()->WaitForLog("SCP set NETWORK.VLAN.IDS type=INT16U value=00070008 status=0", 5s));
}

// A wrong password and an absent device are both silence to an enciphered request; the
// failure detail tells them apart (one clear exchange after the failure), on both paths.
// The four cases run side by side, each from a client of its own: each client's failure
// detail is its own request's, whatever the others' failed with meanwhile.
TEST(SilentDevice, WrongPasswordIsToldFromAnAbsentDevice) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(
        "[device lcmp]\nmac = 02:00:00:00:00:01\ninterface = eth1\nrole = lcmp\npassword = right\n"
        "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:00:01\nparam = SYSTEM.A INT8U 1\n"
        "\n[device scp]\nmac = 02:00:00:00:00:02\ninterface = eth1\nrole = scp\npassword = right\n"
        "param = SYSTEM.A INT8U 1\n");
    constexpr uint16_t kPort = 40315;
    topo.StartKivohost(kPort);
    auto request = [](UdpClient& c, uint8_t seq, uint8_t deviceType, const char* mac,
                      const std::string& password, uint8_t code) {
        const std::string block = code == 4 ? std::string(
                                                  "SYSTEM.A\0"
                                                  "2\0",
                                                  11)
                                            : std::string("SYSTEM.A\0", 9);
        return c.Request(seq, code, ParamBody(deviceType, "kv0", ParseMac(mac), password, block), 60s);
    };
    const struct {
        uint8_t deviceType;
        const char* mac;
        uint8_t code;
        uint16_t reason;
        const char* text;
    } cases[] = {
        {3, "02:00:00:00:00:01", 3, 23,
         "device 02:00:00:00:00:01 answers on kv0 but not to requests under this password: check the "
         "password"},
        {3, "02:00:00:00:00:09", 3, 4,
         "no device 02:00:00:00:00:09 answers on kv0: check the MAC address, the interface and the cabling"},
        {2, "02:00:00:00:00:02", 4, 23,
         "device 02:00:00:00:00:02 answers on kv0 but not to requests under this password: check the "
         "password"},
        // A Get travels in the clear on SCP: its silence needs no second question.
        {2, "02:00:00:00:00:09", 3, 4,
         "no device 02:00:00:00:00:09 answers on kv0: check the MAC address, the interface and the cabling"},
    };
    struct Outcome {
        std::optional<Bytes> reply;
        std::optional<Detail> detail;
    };
    std::vector<Outcome> outcomes(std::size(cases));
    {
        std::vector<std::thread> clients;
        for (size_t i = 0; i < std::size(cases); ++i)
            clients.emplace_back([&, i] {
                UdpClient c(topo.host(), kPort);
                const auto& k = cases[i];
                outcomes[i].reply =
                    request(c, static_cast<uint8_t>(0x90 + i), k.deviceType, k.mac, "wrong", k.code);
                outcomes[i].detail = DetailAsk(c, static_cast<uint8_t>(0xA0 + i));
            });
        for (auto& t : clients) t.join();
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& k = cases[i];
        SCOPED_TRACE(k.text);
        ASSERT_TRUE(outcomes[i].reply);
        EXPECT_EQ(*outcomes[i].reply, (Bytes{static_cast<uint8_t>(0x90 + i), 1, 0, 4}))
            << "the reply codes stay as they were";
        ASSERT_TRUE(outcomes[i].detail);
        EXPECT_EQ(outcomes[i].detail->reason, k.reason);
        EXPECT_EQ(outcomes[i].detail->text, k.text);
    }
    EXPECT_EQ(topo.devsim()->CountInLog("scp: discover rx probe"), 1) << "one MAC discovery, for the SCP set";
    // The clear questions are on the failure path only: requests that succeed ask none.
    const int clearReads = topo.devsim()->CountInLog("key=plain");
    UdpClient& c = topo.client();
    uint8_t seq = 0xB0;
    for (uint8_t deviceType : {2, 3}) {
        auto reply = request(c, ++seq, deviceType,
                             deviceType == 2 ? "02:00:00:00:00:02" : "02:00:00:00:00:01", "right", 4);
        ASSERT_TRUE(reply);
        EXPECT_NE((*reply)[3], 4) << "the right password";
    }
    EXPECT_EQ(topo.devsim()->CountInLog("scp: discover rx probe"), 1);
    EXPECT_EQ(topo.devsim()->CountInLog("key=plain"), clearReads);
}

TEST(LcmpDiscover, FindsEveryDeviceOnTheInterfaceAndNoneOnAnEmptyOne) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1", "02:00:00:00:00:10");
    topo.Link("kv1", "eth2", "02:00:00:00:00:11");
    std::string config;
    for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:00:02"}) {
        config +=
            std::string("[device d") + mac[16] + "]\nmac = " + mac +
            "\ninterface = eth1\nrole = lcmp\npassword = pw\nparam = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR " +
            mac + "\n";
    }
    topo.StartDevsim(config);
    topo.StartKivohost(40311);
    UdpClient& c = topo.client();

    auto r = c.Request(0x51, 0xF1, DiscoverBody("kv0"), 15s);
    ASSERT_TRUE(r);
    ASSERT_GE(r->size(), 5u);
    EXPECT_EQ((*r)[3], 5);
    ASSERT_EQ((*r)[4], 2) << "both devices";
    // Records: type, name length, name, MAC.
    std::set<std::string> macs;
    size_t pos = 5;
    for (int i = 0; i < 2; ++i) {
        ASSERT_LE(pos + 2 + 3 + 6, r->size());
        EXPECT_EQ((*r)[pos], 3);
        EXPECT_EQ((*r)[pos + 1], 3);
        EXPECT_EQ(
            std::string(r->begin() + static_cast<long>(pos) + 2, r->begin() + static_cast<long>(pos) + 5),
            "kv0");
        Mac m;
        std::copy(r->begin() + static_cast<long>(pos) + 5, r->begin() + static_cast<long>(pos) + 11,
                  m.begin());
        macs.insert(MacText(m));
        pos += 11;
    }
    EXPECT_EQ(pos, r->size());
    EXPECT_EQ(macs, (std::set<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:02"}));

    r = c.Request(0x52, 0xF1, DiscoverBody("kv1"), 15s);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (Bytes{0x52, 1, 0, 4}));
    auto d = DetailAsk(c, 0x53);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->reason, 20);  // no device
    EXPECT_NE(d->text.find("kv1"), std::string::npos) << d->text;
}

// Every interface is asked at once and listened to for one listening time, so four of
// them answer within the client's 8 s (one after the other they took 3 s each); one
// that cannot send is skipped and hides no other.
TEST(LcmpDiscover, EveryInterfaceAtOnceWithinTheClientsTimeOut) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    std::string config;
    std::set<std::string> expected;
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i + 1), mac = "02:00:00:00:00:0" + n;
        topo.Link("kv" + std::to_string(i), "eth" + n, "02:00:00:00:00:1" + n);
        config += "[device d" + n + "]\nmac = " + mac + "\ninterface = eth" + n +
                  "\nrole = lcmp\nparam = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR " + mac + "\n";
        expected.insert("kv" + std::to_string(i) + " " + mac);
    }
    topo.StartDevsim(config);
    ASSERT_EQ(topo.host().Run("ip link add kvdown type veth peer name kvpeer"), 0)
        << "down: nothing goes out";
    Process& host = topo.StartKivohost(40313);

    auto r = topo.client().Request(0x71, 0xF1, DiscoverBody(""), 8s);
    ASSERT_TRUE(r);
    ASSERT_GE(r->size(), 5u);
    EXPECT_EQ((*r)[3], 5);
    std::set<std::string> found;
    for (size_t pos = 5; pos + 2 <= r->size();) {
        const size_t nameLength = (*r)[pos + 1];
        ASSERT_LE(pos + 2 + nameLength + 6, r->size());
        EXPECT_EQ((*r)[pos], 3);
        Mac m;
        std::copy_n(r->begin() + static_cast<long>(pos + 2 + nameLength), 6, m.begin());
        found.insert(std::string(r->begin() + static_cast<long>(pos) + 2,
                                 r->begin() + static_cast<long>(pos + 2 + nameLength)) +
                     " " + MacText(m));
        pos += 2 + nameLength + 6;
    }
    EXPECT_EQ((*r)[4], found.size());
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(host.WaitForLog("Warning: LCMP multicast: interface kvdown skipped", 2s)) << host.Log();
}

TEST(AllowList, RefusesOtherUsersButLeavesVersionOpen) {
    KIVO_REQUIRE_ROOT();
    Netns ns;
    Process host(&ns, {KIVOHOST_BIN, "--allow-group", "0", "--port", "40312"});
    UdpClient c(ns, 40312);
    ASSERT_TRUE(c.WaitReady()) << host.Log();

    Bytes version = RequestAsNobody(ns, 40312, Bytes{0x61, 0, 0, 0, 9});
    EXPECT_EQ(version, (Bytes{0x61, 1, 0, 9, 2, 0, 39}));
    Bytes get = RequestAsNobody(ns, 40312, Bytes{0x62, 0, 0, 0, 3});
    EXPECT_EQ(get, (Bytes{0x62, 1, 0, 3}));
    EXPECT_TRUE(host.WaitForLog("Refused Get request from uid 65534: not in the allow-list\n", 2s))
        << host.Log();
    // The refusal is kept for the client that was refused, not told to another one.
    EXPECT_TRUE(
        host.WaitForLog("Get request (seq 98) failed: not allowed: uid 65534 may not send Get requests", 2s))
        << host.Log();
    auto d = DetailAsk(c, 0x63);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->any, 0) << d->text;

    // Root is always let in: its malformed Get is read, not refused at the door.
    auto r = c.Request(0x64, 3, GetBody("nosuch0", ParseMac("02:00:00:00:00:01")));
    ASSERT_TRUE(r);
    d = DetailAsk(c, 0x65);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->seq, 0x64);
    EXPECT_NE(d->reason, 16);
}

TEST(CommandLine, HelpVersionAndMistakes) {
    KIVO_REQUIRE_ROOT();
    const std::string bin = KIVOHOST_BIN;
    EXPECT_EQ(Shell(bin + " --help >/dev/null"), 0);
    EXPECT_NE(ShellOutput(bin + " -h").find("--allow-group"), std::string::npos);
    EXPECT_EQ(ShellOutput(bin + " --version"), "kivohost 2.0.39\n");
    // Mistakes: usage on standard error, nothing on standard output, status 2.
    for (const char* args : {"--bogus", "-x", "--port", "--port 70000", "--allow-user no-such-user-kv",
                             "--config /nonexistent/kivohost.conf", "--port 1 2"}) {
        EXPECT_EQ(Shell(bin + " " + args + " >/dev/null 2>&1"), 2) << args;
        EXPECT_EQ(ShellOutput(bin + " " + args + " 2>/dev/null"), "") << args;
        EXPECT_NE(ShellOutput(bin + " " + args + " 2>&1 >/dev/null").find("Usage:"), std::string::npos)
            << args;
    }
    EXPECT_EQ(Shell("KIVOHOST_ALLOW=user:root,bad " + bin + " >/dev/null 2>&1"), 2);
    TempFile config("# operators\ngroup:0\n\nfrog:1\n");
    const std::string out = ShellOutput(bin + " --config " + config.path() + " 2>&1");
    EXPECT_NE(out.find("line 4"), std::string::npos) << out;
}

TEST(NoRawSockets, StartsWithOneLineAndFailsRequestsWithTheReason) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("kv0", "eth1");
    // A copy without file capabilities, reachable by nobody.
    TempFile copy("");
    ASSERT_EQ(Shell("cp " + std::string(KIVOHOST_BIN) + " " + copy.path() + " && chmod 755 " + copy.path() +
                    " && chmod o+x $(dirname " + copy.path() + ")"),
              0);
    Process host(&topo.host(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                copy.path(), "40313"});
    UdpClient c(topo.host(), 40313);
    ASSERT_TRUE(c.WaitReady()) << host.Log();
    ASSERT_TRUE(host.WaitForLog("CAP_NET_RAW", 5s)) << host.Log();
    EXPECT_EQ(host.CountInLog("may not open raw packet sockets"), 1) << host.Log();
    EXPECT_NE(host.Log().find("setcap cap_net_raw+ep"), std::string::npos) << host.Log();

    auto r = c.Request(0x71, 3, GetBody("kv0", ParseMac("02:00:00:00:00:01")));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (Bytes{0x71, 1, 0, 4}));
    r = c.Request(0x72, 0xF1, DiscoverBody("kv0"), 15s);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (Bytes{0x72, 1, 0, 4}));
    auto d = DetailAsk(c, 0x73);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->seq, 0x72);
    EXPECT_EQ(d->reason, 3) << d->text;  // no permission
    EXPECT_TRUE(c.Request(0x74, 9, {}));
    EXPECT_TRUE(host.Running());
}
