// kivoctl end to end: the real binary run in the host namespace against the real
// kivohost and simulated devices, its human and JSON output and its exit codes.
#include <signal.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "fake_service.h"
#include "harness.h"
#include "harness_cfg.h"
#include "harness_fw.h"

using namespace kivotest;
using nlohmann::json;

namespace {

struct CliResult {
    int exit = -1;
    std::string out;
    std::string err;
    json Json() const {
        try {
            return json::parse(out);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "stdout is not one JSON document: " << e.what() << "\n" << out;
            return json();
        }
    }
};

// Runs kivoctl in the namespace, stdin from /dev/null (never a terminal), stdout and
// stderr apart. `env` is a prefix such as "VAR=value ".
CliResult Kivoctl(const Netns& ns, const std::vector<std::string>& args, const std::string& env = "",
                  const std::string& dir = "") {
    TempFile out(""), err("");
    std::string cmd = (dir.empty() ? "" : "cd " + Quote(dir) + " && ") + "ip netns exec " + ns.name() +
                      " env " + env + Quote(KIVOCTL_BIN);
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " </dev/null >" + out.path() + " 2>" + err.path();
    CliResult r;
    r.exit = Shell(cmd);
    r.out = ReadFile(out.path());
    r.err = ReadFile(err.path());
    return r;
}

// The same, in the test's own namespace (for a fake service on its loopback).
CliResult KivoctlHere(const std::vector<std::string>& args) {
    TempFile out(""), err("");
    std::string cmd = Quote(KIVOCTL_BIN);
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " </dev/null >" + out.path() + " 2>" + err.path();
    CliResult r;
    r.exit = Shell(cmd);
    r.out = ReadFile(out.path());
    r.err = ReadFile(err.path());
    return r;
}

const char* kLcmpMac = "02:00:00:00:00:01";
const char* kScpMac = "02:00:00:00:00:02";
const char* kRomMac = "02:00:00:00:00:03";
const char* kSilentMac = "02:00:00:00:00:04";

}  // namespace

// Parameters over LCMP and SCP, discovery and version, on one set of simulated devices.
TEST(Kivoctl, ParametersDiscoveryAndVersion) {
    KIVO_REQUIRE_ROOT();
    // A table whose get all needs more than 20 reply segments, with one refused name.
    std::string table;
    size_t replyBytes = 0;
    for (int i = 0; i < 260; ++i) {
        std::string name = "TABLE.ROW_" + std::to_string(1000 + i);
        std::string value =
            "row " + std::to_string(i) + " " + std::string(80, static_cast<char>('a' + i % 26));
        table += "param = " + name + " STRING " + value + "\n";
        replyBytes += name.size() + value.size() + 7;
    }
    ASSERT_GT(replyBytes + 8, 20u * 1397u) << "the table must make a reply of more than 20 segments";
    table += "param = NETWORK.PORT INT16U 8080\nparam = NETWORK.VLANS INT16U 1,100\n";
    // Last: the service drops the names after a refusal in the same group of 12.
    table += "param = TABLE.SECRET STRING x\nrefuse = TABLE.SECRET\n";

    Topology topo;
    topo.Link("eth1", "eth1");
    topo.StartDevsim(std::string("[device lcmp]\nmac = ") + kLcmpMac +
                     "\ninterface = eth1\nrole = lcmp\npassword = s3cret\nsegment_size = 1492\n" + table +
                     "\n[device old]\nmac = " + kScpMac +
                     "\ninterface = eth1\nrole = scp\npassword = legacy\nparam = NETWORK.PORT INT16U 8080\n"
                     "param = SYSTEM.NAME STRING office\n"
                     "\n[device rom]\nmac = " +
                     kRomMac +
                     "\ninterface = eth1\nrole = bootrom\nrom_version = 3\nannounce_on_probe = yes\n");
    topo.StartKivohost();
    ASSERT_TRUE(WaitLinkUp(topo.host(), "eth1"));
    TempFile pwFile("s3cret\n");
    const std::vector<std::string> lcmp{"-i", "eth1", "-m", kLcmpMac, "--password-file", pwFile.path()};
    auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };

    // Get all: every row, in table order, values as the device holds them; the refused
    // name makes it a partial result.
    auto all = Kivoctl(topo.host(), with({"--json", "getall"}, lcmp));
    EXPECT_EQ(all.exit, 4) << all.err;
    json doc = all.Json();
    ASSERT_TRUE(doc["parameters"].is_array()) << all.out;
    EXPECT_EQ(doc["parameters"].size(), 263u);
    EXPECT_EQ(doc["parameters"][0]["name"], "TABLE.ROW_1000");
    EXPECT_EQ(doc["parameters"][259]["value"],
              "row 259 " + std::string(80, static_cast<char>('a' + 259 % 26)));
    EXPECT_EQ(doc["parameters"][259]["type"], "STRING");
    EXPECT_EQ(doc["parameters"][261]["value"], "1,100");
    EXPECT_EQ(doc["parameters"][261]["elements"], 2);
    EXPECT_EQ(doc["parameters"][262]["type"], "ERROR");
    EXPECT_EQ(doc["parameters"][262]["refused"], true);
    EXPECT_EQ(doc["refused"], json::array({"TABLE.SECRET"}));
    EXPECT_EQ(doc["device"]["protocol"], "lcmp");
    EXPECT_TRUE(Has(all.err, "refused TABLE.SECRET")) << all.err;

    // Set, then get back (human table, then JSON).
    auto set =
        Kivoctl(topo.host(), with({"set"}, with(lcmp, {"NETWORK.PORT=9090", "TABLE.ROW_1001=new value"})));
    EXPECT_EQ(set.exit, 0) << set.err;
    EXPECT_TRUE(Has(set.out, "NETWORK.PORT")) << set.out;
    EXPECT_TRUE(Has(set.out, "SET_OK")) << set.out;
    auto get = Kivoctl(topo.host(), with({"get"}, with(lcmp, {"NETWORK.PORT", "TABLE.ROW_1001"})));
    EXPECT_EQ(get.exit, 0) << get.err;
    EXPECT_TRUE(Has(get.out, "NAME")) << get.out;
    EXPECT_TRUE(Has(get.out, "TABLE.ROW_1001  STRING  new value")) << get.out;
    auto getJson = Kivoctl(topo.host(), with({"--json", "get"}, with(lcmp, {"NETWORK.PORT"})));
    EXPECT_EQ(getJson.exit, 0) << getJson.err;
    EXPECT_EQ(getJson.Json()["parameters"][0]["value"], "9090");
    EXPECT_EQ(getJson.Json()["parameters"][0]["type_code"], 4);

    // A get that meets the refused name: exit 4, the ERROR record, and the name after it
    // reported as not read.
    auto refused =
        Kivoctl(topo.host(), with({"--json", "get"}, with(lcmp, {"TABLE.SECRET", "NETWORK.PORT"})));
    EXPECT_EQ(refused.exit, 4);
    json r = refused.Json();
    EXPECT_EQ(r["refused"], json::array({"TABLE.SECRET"}));
    EXPECT_EQ(r["parameters"][0]["type"], "ERROR");
    EXPECT_TRUE(Has(r["parameters"][0]["value"].get<std::string>(), "ERROR -36")) << refused.out;
    EXPECT_EQ(r["not_answered"], json::array({"NETWORK.PORT"}));

    // A write with a name the device refuses at its type check writes nothing, whichever
    // the order, and says so per name.
    for (const auto& names : {std::vector<std::string>{"NETWORK.PORT=1", "TABLE.SECRET=x"},
                              std::vector<std::string>{"TABLE.SECRET=x", "NETWORK.PORT=1"}}) {
        auto w = Kivoctl(topo.host(), with({"--json", "set"}, with(lcmp, names)));
        EXPECT_EQ(w.exit, 4) << w.err;
        json res = w.Json();
        EXPECT_EQ(res["refused"], json::array({"TABLE.SECRET"})) << w.out;
        EXPECT_EQ(res["not_written"], json::array({"NETWORK.PORT"})) << w.out;
        for (const auto& o : res["results"]) {
            if (o["name"] != "NETWORK.PORT") continue;
            EXPECT_EQ(o["written"], false) << w.out;
        }
        EXPECT_TRUE(Has(w.err, "NETWORK.PORT not written: the device refused TABLE.SECRET")) << w.err;
    }
    auto unchanged = Kivoctl(topo.host(), with({"--json", "get"}, with(lcmp, {"NETWORK.PORT"})));
    EXPECT_EQ(unchanged.Json()["parameters"][0]["value"], "9090");
    auto broadcast = Kivoctl(topo.host(), {"get", "-i", "eth1", "-m", "ff:ff:ff:ff:ff:ff", "NETWORK.PORT"});
    EXPECT_EQ(broadcast.exit, 2);
    EXPECT_TRUE(Has(broadcast.err, "group (broadcast or multicast) address")) << broadcast.err;

    // Factory reset brings the table back.
    auto reset = Kivoctl(topo.host(), with({"reset"}, lcmp));
    EXPECT_EQ(reset.exit, 0) << reset.err;
    auto after = Kivoctl(topo.host(), with({"--json", "get"}, with(lcmp, {"NETWORK.PORT"})));
    EXPECT_EQ(after.Json()["parameters"][0]["value"], "8080");

    // The legacy device over SCP, password from the environment.
    const std::vector<std::string> scp{"--scp", "-i", "eth1", "-m", kScpMac, "--password-env", "KV_PW"};
    auto scpAll = Kivoctl(topo.host(), with({"getall"}, scp), "KV_PW=legacy ");
    EXPECT_EQ(scpAll.exit, 0) << scpAll.err;
    EXPECT_TRUE(Has(scpAll.out, "SYSTEM.NAME   -     office")) << scpAll.out;
    auto scpSet =
        Kivoctl(topo.host(), with({"--json", "set"}, with(scp, {"NETWORK.PORT=7070"})), "KV_PW=legacy ");
    EXPECT_EQ(scpSet.exit, 0) << scpSet.err;
    EXPECT_EQ(scpSet.Json()["parameters"][0]["value"], "OK");
    EXPECT_EQ(scpSet.Json()["parameters"][0]["type"], nullptr);
    auto scpGet = Kivoctl(topo.host(), with({"--json", "get"}, with(scp, {"NETWORK.PORT"})), "KV_PW=legacy ");
    EXPECT_EQ(scpGet.Json()["parameters"][0]["value"], "7070");

    // Discovery: the legacy device and the boot ROM, once each.
    auto disc = Kivoctl(topo.host(), {"--json", "discover", "-i", "eth1"});
    EXPECT_EQ(disc.exit, 0) << disc.err;
    json devices = disc.Json()["devices"];
    ASSERT_TRUE(devices.is_array());
    std::map<std::string, json> byMac;
    for (const auto& d : devices) byMac[d["mac"].get<std::string>()] = d["kinds"];
    EXPECT_EQ(byMac[kScpMac], json::array({"scp"})) << disc.out;
    EXPECT_EQ(byMac[kRomMac], json::array({"bootrom-v3"})) << disc.out;
    auto discHuman = Kivoctl(topo.host(), {"discover"});
    EXPECT_EQ(discHuman.exit, 0) << discHuman.err;
    EXPECT_TRUE(Has(discHuman.out, std::string("eth1       scp         ") + kScpMac)) << discHuman.out;

    auto version = Kivoctl(topo.host(), {"--json", "version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.Json()["service"]["version"], "2.0.39");
    EXPECT_EQ(version.Json()["port"], 55567);
    EXPECT_TRUE(Has(Kivoctl(topo.host(), {"version"}).out, "kivohost 2.0.39"));

    // Usage errors: exit 2, a JSON error document with --json, nothing sent.
    auto noMac = Kivoctl(topo.host(), {"--json", "get", "-i", "eth1", "NETWORK.PORT"});
    EXPECT_EQ(noMac.exit, 2);
    EXPECT_EQ(noMac.Json()["error"]["kind"], "usage");
    EXPECT_TRUE(Has(noMac.err, "--mac")) << noMac.err;
    auto badSet = Kivoctl(topo.host(), with({"set"}, with(lcmp, {"NETWORK.PORT"})));
    EXPECT_EQ(badSet.exit, 2);
    EXPECT_TRUE(Has(badSet.err, "NAME=VALUE")) << badSet.err;
    auto noIface = Kivoctl(topo.host(), {"getall", "-i", "nosuch0", "-m", kLcmpMac});
    EXPECT_EQ(noIface.exit, 2);
    EXPECT_TRUE(Has(noIface.err, "no network interface named 'nosuch0'")) << noIface.err;
}

// No service, and a device that does not answer (whose password must not show in the
// process's command line meanwhile).
TEST(Kivoctl, FailuresAndPasswordNeverOnTheCommandLine) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1");

    auto none = Kivoctl(topo.host(), {"--port", "45678", "version"});
    EXPECT_EQ(none.exit, 3);
    EXPECT_TRUE(Has(none.err, "port 45678")) << none.err;
    EXPECT_TRUE(Has(none.err, "kivohost 45678")) << none.err;
    auto noneJson = Kivoctl(topo.host(), {"--json", "--port", "45678", "fw", "status"});
    EXPECT_EQ(noneJson.exit, 3);
    EXPECT_EQ(noneJson.Json()["error"]["kind"], "no_service");
    EXPECT_EQ(noneJson.Json()["error"]["exit_code"], 3);

    const std::string password = "pw-4f9a1c-never-shown";
    topo.StartDevsim(
        std::string("[device quiet]\nmac = ") + kSilentMac +
        "\ninterface = eth1\nrole = lcmp\nsilent = yes\nparam = A.B INT8U 1\npassword = " + password + "\n");
    topo.StartKivohost();
    TempFile pwFile(password + "\n");
    Process cli(&topo.host(), {KIVOCTL_BIN, "--json", "getall", "-i", "eth1", "-m", kSilentMac,
                               "--password-file", pwFile.path()});
    // The service waits about 6 s for the silent device: look while kivoctl waits.
    ASSERT_TRUE(topo.devsim()->WaitForLog("LCMP silent", 15s)) << topo.devsim()->Log();
    std::string cmdline = ReadFile("/proc/" + std::to_string(cli.pid()) + "/cmdline");
    EXPECT_TRUE(Has(cmdline, "--password-file")) << "the process looked at is kivoctl";
    EXPECT_FALSE(Has(cmdline, password));
    auto status = cli.WaitExit(60s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1) << cli.Log();
    std::string log = cli.Log();
    EXPECT_TRUE(Has(log, "\"kind\": \"failed\"")) << log;
    EXPECT_TRUE(Has(log, std::string("cannot read the parameters of ") + kSilentMac + " on eth1")) << log;
    EXPECT_FALSE(Has(log, password)) << log;
    // The device opened the request with its password: it came from the file.
    EXPECT_TRUE(topo.devsim()->WaitForLog("key=sha256", 1s)) << topo.devsim()->Log();
}

// Upgrade and Ethernet boot followed to their end, a relative path made absolute, and
// a Ctrl-C that stops a transfer.
TEST(Kivoctl, FirmwareWaitAndInterrupt) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1");
    Bytes image = PatternBytes(300000, 7);
    TempFile imageFile(AsString(image), ".img");
    TempFile saved("");
    ChunkedImage chunked;
    chunked.records.push_back({{0x02, 0x04, 0, 0}, {0, 0, 0, 0x10}, PatternBytes(4096, 3)});
    TempFile firmware(AsString(chunked.File()));
    TempFile loader(AsString(PatternBytes(5000, 9)));
    Bytes big = PatternBytes(1 << 20, 11);
    TempFile bigFile(AsString(big));
    topo.StartDevsim(
        "[device up]\nmac = 02:00:00:00:00:0b\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\n"
        "fw_request_period_ms = 200\nfw_request_count = 100000\nfw_log_data = no\nfw_save_image = " +
        saved.path() +
        "\n\n[device rom]\nmac = 02:00:00:00:00:0c\ninterface = eth1\nrole = bootrom\nrom_version = 3\n"
        "announce_period_ms = 300\nfw_log_data = no\n"
        "\n[device slow]\nmac = 02:00:00:00:00:0d\ninterface = eth1\nrole = fw\nfw_erase_ms = 4000\n"
        "fw_log_data = no\nfw_request_period_ms = 200\n");
    topo.StartKivohost();

    // The path is given relative to kivoctl's working directory: the service gets it absolute.
    std::string dir = imageFile.path().substr(0, imageFile.path().rfind('/'));
    std::string base = imageFile.path().substr(dir.size() + 1);
    auto up = Kivoctl(topo.host(), {"fw", "upgrade", "-i", "eth1", "-m", "02:00:00:00:00:0b", "--wait", base},
                      "", dir);
    EXPECT_EQ(up.exit, 0) << up.out << up.err;
    EXPECT_TRUE(Has(up.out, imageFile.path())) << up.out;
    EXPECT_TRUE(Has(up.out, "upgrade succeeded: 300000 of 300000 bytes")) << up.out;
    EXPECT_EQ(up.out.find('\r'), std::string::npos) << "no progress bar when stdout is not a terminal";
    EXPECT_EQ(ReadBinary(saved.path()), image);
    auto st = Kivoctl(topo.host(), {"--json", "fw", "status"});
    EXPECT_EQ(st.exit, 0);
    json s = st.Json();
    EXPECT_EQ(s["state"], "succeeded");
    EXPECT_EQ(s["bytes"], 300000);
    EXPECT_EQ(s["total"], 300000);
    EXPECT_TRUE(s.contains("retransmissions"));

    auto boot = Kivoctl(topo.host(),
                        {"--json", "fw", "boot", "-i", "eth1", "--wait", loader.path(), firmware.path()});
    EXPECT_EQ(boot.exit, 0) << boot.err;
    json b = boot.Json();
    EXPECT_EQ(b["status"]["state"], "succeeded") << boot.out;
    EXPECT_EQ(b["loader"], loader.path());
    EXPECT_TRUE(topo.devsim()->WaitForLog("rom: fw boot complete chunks=1 bytes=4096", 5s));

    // Ctrl-C while the device erases its flash: kivoctl sends Stop and waits for the end.
    Process cli(&topo.host(), {KIVOCTL_BIN, "fw", "upgrade", "-i", "eth1", "-m", "02:00:00:00:00:0d",
                               "--wait", bigFile.path()});
    ASSERT_TRUE(cli.WaitForLog("waiting: ", 20s)) << cli.Log();
    ASSERT_TRUE(topo.devsim()->SendLine("slow fw request"));
    ASSERT_TRUE(cli.WaitForLog("upgrading: ", 20s)) << cli.Log();
    kill(cli.pid(), SIGINT);
    auto exit = cli.WaitExit(60s);
    ASSERT_TRUE(exit) << cli.Log();
    EXPECT_EQ(*exit, 1) << cli.Log();
    EXPECT_TRUE(Has(cli.Log(), "stopped at your request")) << cli.Log();
    auto after = FwStatusGet(topo.client());
    ASSERT_TRUE(after);
    EXPECT_EQ(after->state, 6);
    EXPECT_LT(after->uploaded, big.size());
    EXPECT_EQ(topo.devsim()->CountInLog("slow: fw upgrade complete"), 0);

    auto stop = Kivoctl(topo.host(), {"fw", "stop"});
    EXPECT_EQ(stop.exit, 0);
    EXPECT_TRUE(Has(stop.out, "Stop sent")) << stop.out;
}

// Several devices upgraded side by side: one line per device with its own duration from
// the service's times, the listing in 'fw status', and stops by device or all.
TEST(Kivoctl, FirmwareUpgradeOfSeveralDevices) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1");
    Bytes image = PatternBytes(50000, 21);
    TempFile imageFile(AsString(image));
    const std::vector<std::string> macs = {"02:00:00:00:00:21", "02:00:00:00:00:22", "02:00:00:00:00:23"};
    std::string config;
    for (size_t i = 0; i < macs.size(); ++i)
        config += "[device d" + std::to_string(i) + "]\nmac = " + macs[i] +
                  "\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\nfw_request_period_ms = 200\n"
                  "fw_request_count = 100000\nfw_erase_ms = 1000\nfw_log_data = no\n\n";
    topo.StartDevsim(config);
    topo.StartKivohost();

    // Usage mistakes first: a device given twice, a group address.
    auto twice =
        Kivoctl(topo.host(), {"fw", "upgrade", "-i", "eth1", "-m", macs[0], "-m", macs[0], imageFile.path()});
    EXPECT_EQ(twice.exit, 2);
    EXPECT_TRUE(Has(twice.err, "given twice")) << twice.err;
    auto stopNone = Kivoctl(topo.host(), {"fw", "stop", "-m", macs[0]});
    EXPECT_EQ(stopNone.exit, 1) << "nothing runs for it";
    EXPECT_TRUE(Has(stopNone.err, "no firmware transfer to device " + macs[0])) << stopNone.err;

    auto up = Kivoctl(topo.host(), {"fw", "upgrade", "-i", "eth1", "-m", macs[0], "-m", macs[1], "-m",
                                    macs[2], "--wait", imageFile.path()});
    EXPECT_EQ(up.exit, 0) << up.out << up.err;
    for (const std::string& mac : macs) {
        EXPECT_TRUE(Has(up.out, "upgrade started on eth1 for " + mac)) << up.out;
        EXPECT_TRUE(Has(up.out, mac + " succeeded: 50000 bytes, ")) << up.out;
    }
    EXPECT_TRUE(Has(up.out, "All 3 upgrades succeeded.")) << up.out;

    auto st = Kivoctl(topo.host(), {"--json", "fw", "status"});
    EXPECT_EQ(st.exit, 0) << st.err;
    json s = st.Json();
    EXPECT_EQ(s["state"], "succeeded") << "the latest transfer's fields stay at the top";
    ASSERT_EQ(s["transfers"].size(), 3u) << st.out;
    for (size_t i = 0; i < macs.size(); ++i) {
        const json& t = s["transfers"][i];
        EXPECT_EQ(t["mac"], macs[i]);
        EXPECT_EQ(t["state"], "succeeded");
        EXPECT_EQ(t["bytes"], 50000);
        // Each transfer's own time: at least the device's erase, far less than all three.
        EXPECT_GE(t["seconds"].get<double>(), 1.0) << t;
        EXPECT_EQ(t["latest"], i == 2);
    }
    auto table = Kivoctl(topo.host(), {"fw", "status"});
    EXPECT_EQ(table.exit, 0);
    EXPECT_TRUE(Has(table.out, "DEVICE")) << table.out;
    for (const std::string& mac : macs) EXPECT_TRUE(Has(table.out, mac)) << table.out;

    // JSON of a multi-device run; then a stop of every transfer of a new pair.
    auto noWait = Kivoctl(topo.host(), {"--json", "fw", "upgrade", "-i", "eth1", "-m", macs[0], "-m", macs[1],
                                        imageFile.path()});
    EXPECT_EQ(noWait.exit, 0) << noWait.err;
    json nw = noWait.Json();
    ASSERT_EQ(nw["devices"].size(), 2u);
    EXPECT_EQ(nw["devices"][0]["started"], true);
    auto stopAll = Kivoctl(topo.host(), {"fw", "stop", "--all"});
    EXPECT_EQ(stopAll.exit, 0) << stopAll.err;
    EXPECT_TRUE(Has(stopAll.out, "Stop sent to every running transfer")) << stopAll.out;
}

// The failure detail (0xF0) and LCMP discovery (0xF1) as a service that has them answers:
// a fake service on the loopback plays it, so that no device is involved.
// An LCMP device that answers the discovery but refuses its address is told, not taken
// for silence.
TEST(Kivoctl, DiscoveryTellsDevicesThatRefusedTheirAddress) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1");
    topo.StartDevsim(std::string("[device shy]\nmac = ") + kLcmpMac +
                     "\ninterface = eth1\nrole = lcmp\npassword = s3cret\n"
                     "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR " +
                     kLcmpMac + "\nrefuse = SYSTEM.PRODUCTION.MAC_ADDR\n");
    topo.StartKivohost();
    ASSERT_TRUE(WaitLinkUp(topo.host(), "eth1"));
    auto disc = Kivoctl(topo.host(), {"--json", "discover", "-i", "eth1"});
    EXPECT_EQ(disc.exit, 0) << disc.err;
    json doc = disc.Json();
    EXPECT_EQ(doc["devices"], json::array()) << disc.out;
    ASSERT_TRUE(doc["lcmp_note"].is_string()) << disc.out;
    EXPECT_TRUE(Has(doc["lcmp_note"].get<std::string>(),
                    "1 LCMP device(s) answered on eth1 but refused to tell their MAC address"))
        << disc.out;
    EXPECT_TRUE(Has(disc.err, "refused to tell their MAC address")) << disc.err;
}

TEST(Kivoctl, FailureDetailAndMergedDiscovery) {
    const std::string reason =
        "device 02:00:00:00:00:01 on lo did not answer within 6 s (a wrong password looks the same)";
    std::atomic<int> failedSeq{-1};
    std::atomic<int> failedCode{-1};
    kivotest_client::FakeService service([&](const Bytes& req, int) -> std::vector<Bytes> {
        const uint8_t seq = req[0], code = req[4];
        auto record = [](Bytes& b, uint8_t type, uint8_t last) {
            b.insert(b.end(), {type, 2, 'l', 'o', 2, 0, 0, 0, 0, last});
        };
        switch (code) {
            case 2:  // get all: FAILED, and the detail will name another request
                failedSeq = seq ^ 0x55;
                failedCode = 2;
                return {Bytes{seq, 1, 0, 4}};
            case 3:  // get: FAILED, and the detail names this one
                failedSeq = seq;
                failedCode = 3;
                return {Bytes{seq, 1, 0, 4}};
            case 0xF0: {
                Bytes d{seq,
                        1,
                        0,
                        0xF0,
                        1,
                        static_cast<uint8_t>(failedSeq.load()),
                        static_cast<uint8_t>(failedCode.load()),
                        0,
                        2,
                        0,
                        static_cast<uint8_t>(reason.size())};
                d.insert(d.end(), reason.begin(), reason.end());
                d.insert(d.end(), {0, 0, 0, 0});
                return {d};
            }
            case 0xF1: {  // the same LCMP device twice
                Bytes d{seq, 1, 0, 5, 2};
                record(d, 3, 1);
                record(d, 3, 1);
                return {d};
            }
            case 0: {  // the LCMP device also answers as a legacy one; a boot ROM
                Bytes d{seq, 1, 0, 5, 2};
                record(d, 2, 1);
                record(d, 0, 2);
                return {d};
            }
            default:
                return {Bytes{seq}};
        }
    });
    const std::string port = std::to_string(service.port());

    auto get = KivoctlHere({"--json", "--port", port, "get", "-i", "lo", "-m", "02:00:00:00:00:01", "A.B"});
    EXPECT_EQ(get.exit, 1);
    json e = get.Json()["error"];
    EXPECT_EQ(e["kind"], "failed");
    EXPECT_EQ(e["reason"]["code"], 2);
    EXPECT_EQ(e["reason"]["text"], reason);
    EXPECT_TRUE(Has(get.err, "reason: " + reason + " (code 2)")) << get.err;

    // A detail about another request is not this command's reason.
    auto all = KivoctlHere({"--json", "--port", port, "getall", "-i", "lo", "-m", "02:00:00:00:00:01"});
    EXPECT_EQ(all.exit, 1);
    EXPECT_TRUE(all.Json()["error"]["reason"].is_null()) << all.out;
    EXPECT_FALSE(Has(all.err, "reason:")) << all.err;

    auto disc = KivoctlHere({"--json", "--port", port, "discover", "-i", "lo"});
    EXPECT_EQ(disc.exit, 0) << disc.err;
    json d = disc.Json();
    EXPECT_EQ(d["lcmp_discovery"], true);
    EXPECT_EQ(d["devices"], json::parse(R"([
        {"interface": "lo", "mac": "02:00:00:00:00:01", "kinds": ["lcmp", "scp"]},
        {"interface": "lo", "mac": "02:00:00:00:00:02", "kinds": ["bootrom"]}])"))
        << disc.out;
}
