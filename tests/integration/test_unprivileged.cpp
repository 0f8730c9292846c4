// kivohost as the packaged unit runs it: an ordinary user holding CAP_NET_RAW and
// nothing else. Discovery, a parameter Get over LCMP and a firmware upgrade against
// the simulator. The binary under test is the build's kivohost, or the one named by
// KIVO_TEST_KIVOHOST (the package test passes the binary it unpacked).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "harness.h"
#include "harness_cfg.h"
#include "harness_fw.h"

using namespace kivotest;

namespace {

const char* kDevLcmp = "02:00:00:00:00:01";
const char* kDevLegacy = "02:00:00:00:00:02";
const char* kDevFw = "02:00:00:00:00:03";

std::string BinaryUnderTest() {
    const char* given = std::getenv("KIVO_TEST_KIVOHOST");
    return (given != nullptr && *given != '\0') ? given : KIVOHOST_BIN;
}

// A private directory (root only, mode 0700) removed with everything in it.
class PrivateDir {
   public:
    PrivateDir() {
        char tmpl[] = "/tmp/kvt-priv-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot create a directory in /tmp");
        path_ = tmpl;
    }
    ~PrivateDir() { Shell("rm -rf '" + path_ + "'"); }
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

// One line of /proc/<pid>/status ("Uid", "CapEff", ...), without its name.
std::string StatusField(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) {
            std::istringstream fields(line.substr(name.size() + 1));
            std::string out, word;
            while (fields >> word) out += (out.empty() ? "" : " ") + word;
            return out;
        }
    return "";
}

Bytes DiscoverBody(const std::string& ifname) {
    Bytes b;
    PutU8(b, static_cast<uint8_t>(ifname.size()));
    PutText(b, ifname);
    PutBe16(b, 0);
    return b;
}

}  // namespace

TEST(Unprivileged, DiscoveryGetAndUpgradeWithOnlyNetRaw) {
    KIVO_REQUIRE_ROOT();
    const RunAs nobody = NobodyUser();

    // The capability goes on a copy only root can reach, so that no other user on this
    // machine can start it; the child runs it from a descriptor opened before it
    // dropped to nobody.
    PrivateDir binDir;
    const std::string binary = binDir.path() + "/kivohost";
    ASSERT_EQ(Shell("cp '" + BinaryUnderTest() + "' '" + binary + "' && chmod 0755 '" + binary + "'"), 0)
        << "cannot copy " << BinaryUnderTest();
    ASSERT_EQ(Shell("setcap cap_net_raw+ep '" + binary + "'"), 0) << "setcap (package libcap2-bin) failed";

    // The image is readable by nobody, in a directory only nobody may enter.
    PrivateDir fwParent;
    const std::string fwDir = fwParent.path() + "/fw";
    const std::string fwFile = fwDir + "/image.bin";
    const Bytes image = PatternBytes(200000, 11);
    ASSERT_EQ(mkdir(fwDir.c_str(), 0700), 0);
    std::ofstream(fwFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    ASSERT_EQ(chown(fwDir.c_str(), nobody.uid, nobody.gid), 0);
    ASSERT_EQ(chown(fwFile.c_str(), nobody.uid, nobody.gid), 0);
    ASSERT_EQ(chmod(fwFile.c_str(), 0600), 0);
    ASSERT_EQ(chmod(fwParent.path().c_str(), 0711), 0);  // traversable, not listable

    Topology topo;
    topo.Link("eth1", "eth1", "02:aa:00:00:00:01");
    TempFile saved("");
    auto& sim = topo.StartDevsim(
        "[device lcmp1]\nmac = " + std::string(kDevLcmp) +
        "\ninterface = eth1\nrole = lcmp\npassword = pw\n"
        "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:00:01\n\n"
        "[device legacy1]\nmac = " +
        kDevLegacy + "\ninterface = eth1\nrole = legacy\n\n[device fw1]\nmac = " + kDevFw +
        "\ninterface = eth1\nrole = fw\nfw_log_data = no\nfw_save_image = " + saved.path() + "\n");
    auto& host = topo.StartKivohost(kivo::protocol::kDefaultPort, binary, nobody);
    auto& c = topo.client();

    // Really nobody, and CAP_NET_RAW (bit 13) is all it holds.
    const std::string id = std::to_string(nobody.uid);
    EXPECT_EQ(StatusField(host.pid(), "Uid"), id + " " + id + " " + id + " " + id);
    EXPECT_EQ(StatusField(host.pid(), "CapEff"), "0000000000002000");
    EXPECT_EQ(StatusField(host.pid(), "CapPrm"), "0000000000002000");

    // Discovery: the legacy device answers the probe.
    auto found = c.Request(0x21, 0, DiscoverBody("eth1"));
    ASSERT_TRUE(found) << host.Log();
    const Bytes legacyRecord = {2, 4, 'e', 't', 'h', '1', 0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ((*found)[3], 5) << "no device list: " << host.Log();
    EXPECT_NE(std::search(found->begin(), found->end(), legacyRecord.begin(), legacyRecord.end()),
              found->end())
        << "the legacy device is missing from the list; " << host.Log();

    // Get over LCMP.
    auto got = c.Request(0x22, 3,
                         ParamRequestBody(kDeviceLcmp, "eth1", 0, ParseMac(kDevLcmp), "pw",
                                          GetBlock({"SYSTEM.PRODUCTION.MAC_ADDR"})));
    ASSERT_TRUE(got) << host.Log();
    auto records = ParamRecords(*got);
    ASSERT_TRUE(records) << "reply code " << int((*got)[3]) << "; " << host.Log();
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].name, "SYSTEM.PRODUCTION.MAC_ADDR");
    EXPECT_EQ((*records)[0].value, "02:00:00:00:00:01");

    // Upgrade from the image nobody may read.
    auto start = c.Request(0x23, 6, FwStartBody("eth1", 0, ParseMac(kDevFw), fwFile));
    ASSERT_TRUE(start);
    ASSERT_EQ(*start, (Bytes{0x23, 1, 0, 1})) << host.Log();
    ASSERT_TRUE(sim.SendLine("fw1 fw request"));
    auto final = FwPollUntilFinal(c, 60s);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 200000, 200000})) << host.Log();
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=200000", 5s)) << sim.Log();
    EXPECT_EQ(ReadBinary(saved.path()), image);
    EXPECT_EQ(host.CountInLog("Sanitizer"), 0) << host.Log();
    EXPECT_EQ(sim.CountInLog("Sanitizer"), 0) << sim.Log();
}
