// kivo-web end to end: the real kivo-web, kivohost and kivo-devsim in namespaces, driven
// over HTTP with curl as a script would. Each route once with success and with its main
// failure, then the access checks.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "harness.h"
#include "harness_cfg.h"
#include "harness_fw.h"

using namespace kivotest;
using nlohmann::json;

namespace {

const char* kToken = "test-token-0123456789abcdef";
const char* kLcmpMac = "02:00:00:00:10:01";
const char* kScpMac = "02:00:00:00:20:01";
const char* kRomMac = "02:00:00:00:30:01";
const char* kFwMac = "02:00:00:00:40:01";
const char* kSlowMac = "02:00:00:00:40:02";

struct Reply {
    int status = 0;
    std::string headers;
    std::string body;
    json Json() const {
        json j = json::parse(body, nullptr, false);
        if (j.is_discarded()) ADD_FAILURE() << "not JSON (HTTP " << status << "): " << body;
        return j;
    }
    std::string Reason() const { return body; }
};

struct Request {
    std::string method = "GET";
    std::string path;
    std::optional<json> body;
    std::vector<std::string> curlArgs;  // -H ..., -F ...
    bool token = true;
};

class Web {
   public:
    Web(const Netns& ns, uint16_t port, const std::vector<std::string>& extra = {})
        : ns_(ns), port_(port), tokenFile_(std::string(kToken) + "\n") {
        std::string tmpl = "/tmp/kvt-web-up-XXXXXX";
        uploads_ = mkdtemp(tmpl.data());
        std::vector<std::string> argv{KIVO_WEB_BIN,   "--listen",        "127.0.0.1:" + std::to_string(port),
                                      "--token-file", tokenFile_.path(), "--upload-dir",
                                      uploads_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<Process>(&ns, argv);
        ready_ = process_->WaitForLog("listening on", 20s);
    }
    ~Web() {
        process_.reset();
        std::error_code ec;
        std::filesystem::remove_all(uploads_, ec);
    }
    bool ready() const { return ready_; }
    Process& process() { return *process_; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Files left in kivo-web's upload folder.
    size_t UploadedFiles() const {
        size_t n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(uploads_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            n += it->is_regular_file() ? 1 : 0;
        return n;
    }

    // Anything left in the upload folder, its own folder included.
    bool UploadsEmpty() const { return std::filesystem::is_empty(uploads_); }

    Reply Send(const Request& r) const {
        TempFile headers(""), body(""), code(""), in(r.body ? r.body->dump() : "");
        std::string cmd = "ip netns exec " + ns_.name() + " curl -s -S --max-time 90 -X " + r.method +
                          " -D " + headers.path() + " -o " + body.path() + " -w '%{http_code}'";
        if (r.token) cmd += " -H " + Quote(std::string("Authorization: Bearer ") + kToken);
        if (r.body) cmd += " -H 'Content-Type: application/json' --data-binary @" + in.path();
        for (const auto& a : r.curlArgs) cmd += " " + Quote(a);
        cmd += " " + Quote(Base() + r.path) + " >" + code.path() + " 2>&1";
        Shell(cmd);
        Reply reply;
        reply.status = std::atoi(ReadFile(code.path()).c_str());
        reply.headers = ReadFile(headers.path());
        reply.body = ReadFile(body.path());
        return reply;
    }
    Reply Get(const std::string& path) const { return Send({"GET", path, std::nullopt, {}, true}); }
    Reply Post(const std::string& path, const json& body) const {
        return Send({"POST", path, body, {}, true});
    }

   private:
    const Netns& ns_;
    uint16_t port_;
    TempFile tokenFile_;
    std::string uploads_;
    std::unique_ptr<Process> process_;
    bool ready_ = false;
};

#define EXPECT_HTTP(reply, code) EXPECT_EQ((reply).status, code) << (reply).body

int ReasonCode(const Reply& r) {
    json j = r.Json();
    return j.contains("error") && j["error"].contains("reason") ? j["error"]["reason"]["code"].get<int>()
                                                                : -1;
}

json Lcmp(json extra = json::object()) {
    json d{{"interface", "eth1"}, {"mac", kLcmpMac}, {"protocol", "lcmp"}, {"vlan", 0}, {"password", "demo"}};
    d.update(extra);
    return d;
}

// Polls the status route until the transfer reaches a final state.
json WaitFinal(const Web& web, std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    json s;
    uint64_t seq = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        Reply r = web.Get("/api/firmware/status");
        if (r.status != 200) return r.Json();
        s = r.Json();
        // Every status read is numbered after the ones before it, for the page to drop one
        // that arrives late.
        EXPECT_GT(s["seq"].get<uint64_t>(), seq) << s;
        seq = s["seq"].get<uint64_t>();
        if (s["final"] == true) return s;
        std::this_thread::sleep_for(100ms);
    }
    return s;
}

}  // namespace

TEST(KivoWeb, ApiEndToEnd) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1");
    TempFile saved("");
    topo.StartDevsim(std::string("[device living]\nmac = ") + kLcmpMac +
                     "\ninterface = eth1\nrole = lcmp\npassword = demo\nsegment_size = 1492\n"
                     "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR " +
                     std::string(kLcmpMac) +
                     "\n"
                     "param = SYSTEM.INFO.UPTIME INT32U 86400\nparam = NETWORK.PORT INT16U 8080\n"
                     "param = SYSTEM.GENERAL.DEVICE_NAME STRING living room\n"
                     "param = SECURITY.GENERAL.CONSOLE_PASSWORD STRING hidden\n"
                     "refuse = SECURITY.GENERAL.CONSOLE_PASSWORD\n"
                     "\n[device office]\nmac = " +
                     kScpMac +
                     "\ninterface = eth1\nrole = scp\npassword = legacy\nparam = NETWORK.PORT INT16U 8080\n"
                     "\n[device spare]\nmac = " +
                     kRomMac +
                     "\ninterface = eth1\nrole = bootrom\nrom_version = 3\nannounce_on_probe = yes\n"
                     "announce_period_ms = 300\nfw_log_data = no\n"
                     "\n[device garage]\nmac = " +
                     kFwMac +
                     "\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\nfw_request_period_ms = 200\n"
                     "fw_request_count = 100000\nfw_log_data = no\nfw_save_image = " +
                     saved.path() + "\n\n[device slow]\nmac = " + kSlowMac +
                     "\ninterface = eth1\nrole = fw\nfw_log_data = no\nfw_request_period_ms = 200\n");
    topo.StartKivohost();
    ASSERT_TRUE(WaitLinkUp(topo.host(), "eth1"));
    Web web(topo.host(), 8080);
    ASSERT_TRUE(web.ready()) << web.process().Log();

    // Version and health come from the service.
    Reply version = web.Get("/api/version");
    EXPECT_HTTP(version, 200);
    EXPECT_EQ(version.Json()["service"], version.Json()["web"]);
    Reply health = web.Get("/api/health");
    EXPECT_HTTP(health, 200);
    EXPECT_EQ(health.Json()["service"], "up");
    EXPECT_EQ(health.Json()["queue"], 0);

    // Interfaces: the veth end, never loopback.
    json ifaces = web.Get("/api/interfaces").Json()["interfaces"];
    ASSERT_EQ(ifaces.size(), 1u) << ifaces;
    EXPECT_EQ(ifaces[0]["name"], "eth1");
    EXPECT_EQ(ifaces[0]["up"], true);

    // The event stream, open from before the discovery on.
    Process events(&topo.host(),
                   {"/usr/bin/curl", "-sSN", "--max-time", "120", "-H",
                    std::string("Authorization: Bearer ") + kToken, web.Base() + "/api/events"});

    // Discovery: nothing cached before; LCMP and legacy devices merged; an unknown
    // interface is the service's "no interface".
    Reply empty = web.Get("/api/devices");
    EXPECT_EQ(empty.Json()["time"], nullptr);
    EXPECT_EQ(empty.Json()["devices"].size(), 0u);
    Reply disc = web.Post("/api/discover", {{"interface", "eth1"}, {"vlan", 0}});
    ASSERT_EQ(disc.status, 200) << disc.body;
    std::map<std::string, std::string> kinds;
    const json found = disc.Json()["devices"];
    for (const auto& d : found) kinds[d["mac"].get<std::string>()] = d["kind"].get<std::string>();
    EXPECT_EQ(kinds[kLcmpMac], "lcmp") << disc.body;
    EXPECT_EQ(kinds[kScpMac], "scp") << disc.body;
    EXPECT_EQ(kinds[kRomMac], "bootrom-v3") << disc.body;
    EXPECT_EQ(web.Get("/api/devices").Json(), disc.Json());
    EXPECT_TRUE(events.WaitForLog("event: discovery", 10s)) << events.Log();
    Reply noIf = web.Post("/api/discover", {{"interface", "nosuch0"}});
    EXPECT_HTTP(noIf, 400);

    // Parameters over LCMP: all, named, written and read back, one refused by the device.
    Reply all = web.Post("/api/params/read", Lcmp());
    ASSERT_EQ(all.status, 200) << all.body;
    EXPECT_EQ(all.Json()["protocol"], "lcmp");
    EXPECT_EQ(all.Json()["params"].size(), 5u) << all.body;
    Reply named = web.Post("/api/params/read", Lcmp({{"names", {"NETWORK.PORT"}}}));
    EXPECT_EQ(named.Json()["params"][0], json({{"name", "NETWORK.PORT"},
                                               {"value", "8080"},
                                               {"type", "INT16U"},
                                               {"elements", 1},
                                               {"refused", false}}));
    Reply write =
        web.Post("/api/params/write",
                 Lcmp({{"values", {{"NETWORK.PORT", "9090"}, {"SYSTEM.GENERAL.DEVICE_NAME", "den"}}}}));
    ASSERT_EQ(write.status, 200) << write.body;
    const json written = write.Json()["params"];
    ASSERT_EQ(written.size(), 2u) << write.body;
    for (const auto& p : written) EXPECT_EQ(p["refused"], false) << write.body;
    EXPECT_EQ(write.Json()["results"],
              json::parse(R"([{"name":"NETWORK.PORT","result":"written","written":true,"text":""},
                 {"name":"SYSTEM.GENERAL.DEVICE_NAME","result":"written","written":true,"text":""}])"))
        << write.body;
    // A name the device does not know: the type check refuses it, so nothing is written,
    // and every name says so.
    Reply mixed = web.Post("/api/params/write",
                           Lcmp({{"values", {{"SYSTEM.GENERAL.DEVICE_NAME", "ok"}, {"NO.SUCH", "1"}}}}));
    ASSERT_EQ(mixed.status, 200) << mixed.body;
    const json told = mixed.Json()["results"];
    ASSERT_EQ(told.size(), 2u) << mixed.body;
    for (const auto& r : told) {
        EXPECT_EQ(r["written"], false) << mixed.body;
        EXPECT_FALSE(r["text"].get<std::string>().empty()) << mixed.body;
    }
    EXPECT_EQ(web.Post("/api/params/read", Lcmp({{"names", {"SYSTEM.GENERAL.DEVICE_NAME"}}}))
                  .Json()["params"][0]["value"],
              "den");
    EXPECT_EQ(web.Post("/api/params/read", Lcmp({{"names", {"NETWORK.PORT"}}})).Json()["params"][0]["value"],
              "9090");
    Reply refused = web.Post("/api/params/read", Lcmp({{"names", {"SECURITY.GENERAL.CONSOLE_PASSWORD"}}}));
    EXPECT_EQ(refused.Json()["params"][0]["refused"], true) << refused.body;
    EXPECT_HTTP(web.Post("/api/params/write", Lcmp({{"values", {{"NETWORK.PORT", 7}}}})), 400);
    Reply wrongPw = web.Post("/api/params/read", Lcmp({{"password", "wrong"}, {"names", {"NETWORK.PORT"}}}));
    EXPECT_EQ(wrongPw.status / 100, 5) << wrongPw.body;
    EXPECT_GT(ReasonCode(wrongPw), 0) << wrongPw.body;
    EXPECT_EQ(web.process().CountInLog("wrong"), 0) << "a password reached the log";

    // The legacy device over SCP.
    Reply scp = web.Post("/api/params/read", {{"interface", "eth1"},
                                              {"mac", kScpMac},
                                              {"protocol", "scp"},
                                              {"password", "legacy"},
                                              {"names", {"NETWORK.PORT"}}});
    EXPECT_HTTP(scp, 200);
    EXPECT_EQ(scp.Json()["params"][0]["value"], "8080");
    EXPECT_EQ(scp.Json()["params"][0]["type"], nullptr);

    // Checks with the service library's conversions; a refusal says what the type allows.
    Reply check =
        web.Post("/api/params/check", {{"type", "INT16U"}, {"value", "70000"}, {"name", "NETWORK.PORT"}});
    EXPECT_EQ(check.Json()["ok"], false);
    EXPECT_NE(check.body.find("from 0 to 65535"), std::string::npos) << check.body;
    EXPECT_EQ(web.Post("/api/params/check", {{"type", "IP_ADDR"}, {"value", "10.0.0.1"}}).Json()["ok"], true);
    EXPECT_HTTP(web.Post("/api/params/check", {{"type", "NO_SUCH_TYPE"}, {"value", "1"}}), 400);

    // Watch: numbers parsed from the service's text, a text listed as skipped.
    Reply watch =
        web.Post("/api/watch", Lcmp({{"names", {"SYSTEM.INFO.UPTIME", "SYSTEM.GENERAL.DEVICE_NAME"}}}));
    ASSERT_EQ(watch.status, 200) << watch.body;
    EXPECT_EQ(watch.Json()["values"], json({{"SYSTEM.INFO.UPTIME", 86400.0}}));
    EXPECT_EQ(watch.Json()["skipped"], json::array({"SYSTEM.GENERAL.DEVICE_NAME"}));
    EXPECT_HTTP(web.Post("/api/watch", Lcmp()), 400);

    // Factory reset brings the old value back; a malformed MAC never reaches the service.
    EXPECT_EQ(web.Post("/api/reset", Lcmp()).Json(), json({{"done", true}}));
    EXPECT_EQ(web.Post("/api/params/read", Lcmp({{"names", {"NETWORK.PORT"}}})).Json()["params"][0]["value"],
              "8080");
    Reply badMac = web.Post("/api/reset", Lcmp({{"mac", "02:00:00:00:10"}}));
    EXPECT_HTTP(badMac, 400);
    EXPECT_EQ(badMac.Json()["error"].contains("reason"), false);
    // A broadcast address is no device's: refused at once, not after the device's time-out.
    const auto asked = std::chrono::steady_clock::now();
    Reply broadcast =
        web.Post("/api/firmware/upgrade",
                 {{"interface", "eth1"}, {"mac", "ff:ff:ff:ff:ff:ff"}, {"path", "/tmp/image.bin"}});
    EXPECT_HTTP(broadcast, 400);
    EXPECT_NE(broadcast.body.find("group (broadcast or multicast)"), std::string::npos) << broadcast.body;
    EXPECT_HTTP(web.Post("/api/params/read", Lcmp({{"mac", "01:00:5e:00:00:01"}})), 400);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s) << "the refusal waited for a device";

    // Upgrade with an uploaded image; its progress reaches the event stream, the image
    // arrives whole and the uploaded copy is gone afterwards.
    Bytes image = PatternBytes(200000, 5);
    TempFile imageFile(AsString(image));
    Reply up = web.Send({"POST",
                         "/api/firmware/upgrade",
                         std::nullopt,
                         {"-F", "interface=eth1", "-F", std::string("mac=") + kFwMac, "-F", "vlan=0", "-F",
                          "image=@" + imageFile.path()}});
    ASSERT_EQ(up.status, 200) << up.body;
    json final = WaitFinal(web, 60s);
    EXPECT_EQ(final["state"], "succeeded") << final;
    EXPECT_EQ(final["bytes"], 200000);
    EXPECT_EQ(ReadBinary(saved.path()), image);
    EXPECT_TRUE(events.WaitForLog("\"state\":\"succeeded\"", 10s)) << events.Log();
    for (int i = 0; i < 50 && web.UploadedFiles() != 0; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(web.UploadedFiles(), 0u);
    // A file the service cannot open fails the transfer, with the service's reason; a
    // relative path is refused at once.
    Reply missing = web.Post("/api/firmware/upgrade",
                             {{"interface", "eth1"}, {"mac", kFwMac}, {"path", "/nonexistent/image.bin"}});
    ASSERT_EQ(missing.status, 200) << missing.body;
    json missingEnd = WaitFinal(web, 30s);
    EXPECT_EQ(missingEnd["state"], "failed") << missingEnd;
    EXPECT_EQ(missingEnd["reason"]["code"], 8) << missingEnd;
    EXPECT_HTTP(
        web.Post("/api/firmware/upgrade", {{"interface", "eth1"}, {"mac", kFwMac}, {"path", "image.bin"}}),
        400);

    // A device that never asks for its file: a second start to the same device is busy
    // (transfers to other devices run side by side), stop ends the first.
    Reply wait = web.Post("/api/firmware/upgrade",
                          {{"interface", "eth1"}, {"mac", kSlowMac}, {"path", imageFile.path()}});
    ASSERT_EQ(wait.status, 200) << wait.body;
    Reply busy = web.Post("/api/firmware/upgrade",
                          {{"interface", "eth1"}, {"mac", kSlowMac}, {"path", imageFile.path()}});
    EXPECT_HTTP(busy, 409);
    EXPECT_EQ(web.Post("/api/firmware/stop", json::object()).Json(), json({{"stopped", true}}));
    json stopped = WaitFinal(web, 30s);
    EXPECT_EQ(stopped["state"], "failed") << stopped;
    EXPECT_TRUE(stopped.contains("reason")) << stopped;

    // Ethernet boot with both files uploaded; one file alone is refused.
    ChunkedImage chunked;
    chunked.records.push_back({{0x02, 0x04, 0, 0}, {0, 0, 0, 0x10}, PatternBytes(4096, 3)});
    TempFile firmware(AsString(chunked.File()));
    TempFile loader(AsString(PatternBytes(5000, 9)));
    Reply boot = web.Send(
        {"POST",
         "/api/firmware/boot",
         std::nullopt,
         {"-F", "interface=eth1", "-F", "loader=@" + loader.path(), "-F", "image=@" + firmware.path()}});
    ASSERT_EQ(boot.status, 200) << boot.body;
    EXPECT_EQ(WaitFinal(web, 60s)["state"], "succeeded");
    EXPECT_TRUE(topo.devsim()->WaitForLog("spare: fw boot complete chunks=1 bytes=4096", 5s));
    EXPECT_HTTP(web.Send({"POST",
                          "/api/firmware/boot",
                          std::nullopt,
                          {"-F", "interface=eth1", "-F", "loader=@" + loader.path()}}),
                400);

    // A transfer started by another front-end (kivoctl) shows in /api/health without
    // anyone asking for the status, running, then failed once stopped.
    Shell("ip netns exec " + topo.host().name() + " " + KIVOCTL_BIN + " fw upgrade -i eth1 -m " + kSlowMac +
          " " + imageFile.path() + " >/dev/null 2>&1");
    // The list keeps the finished transfers above too: the latest is kivoctl's.
    auto latest = [](const json& list) {
        for (const json& t : list)
            if (t["latest"] == true) return t;
        return json();
    };
    json seen;
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        seen = latest(web.Get("/api/health").Json()["transfers"]);
        if (seen.value("running", false) && seen["mac"] == kSlowMac) break;
    }
    EXPECT_EQ(seen["running"], true) << seen;
    EXPECT_EQ(seen["mac"], kSlowMac) << seen;
    EXPECT_EQ(web.Post("/api/firmware/stop", json::object()).Json(), json({{"stopped", true}}));
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        seen = web.Get("/api/health").Json();
        if (latest(seen["transfers"])["running"] == false) break;
    }
    EXPECT_EQ(latest(seen["transfers"])["running"], false) << seen;
    EXPECT_EQ(latest(seen["transfers"])["reason"]["code"], 15) << seen;
    EXPECT_EQ(seen["transfer"]["state"], "failed") << seen;

    // Without the service: 503 with a hint that says how to start it.
    topo.kivohost()->Kill();
    Reply down = web.Get("/api/version");
    EXPECT_HTTP(down, 503);
    EXPECT_NE(down.Json()["error"]["hint"].get<std::string>().find("systemctl start kivohost.socket"),
              std::string::npos)
        << down.body;
    EXPECT_EQ(down.body.find("--service-port"), std::string::npos) << down.body;
    EXPECT_EQ(web.Get("/api/health").Json()["service"], "down");

    // A clean stop with an event stream still open: exit status 0, the upload folder gone,
    // and nothing a sanitizer objected to.
    kill(web.process().pid(), SIGTERM);
    auto code = web.process().WaitExit(20s);
    ASSERT_TRUE(code) << web.process().Log();
    EXPECT_EQ(*code, 0) << web.process().Log();
    EXPECT_TRUE(web.UploadsEmpty());
    EXPECT_EQ(web.process().CountInLog("Sanitizer"), 0) << web.process().Log();
}

// Two upgrades started side by side by another front-end (kivoctl, through the client
// library): both listed by /api/firmware/transfers and /api/health and in the event
// stream; one stopped by its MAC while the other goes on to succeed.
TEST(KivoWeb, TransfersSideBySide) {
    KIVO_REQUIRE_ROOT();
    const char* fast = "02:00:00:00:40:11";
    const char* stuck = "02:00:00:00:40:12";
    Topology topo;
    topo.Link("eth1", "eth1");
    TempFile saved("");
    const std::string common =
        "\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\nfw_request_period_ms = 200\n"
        "fw_request_count = 100000\nfw_log_data = no\n";
    // The fast device acknowledges each frame a little late, so that both run at once;
    // the stuck one erases its flash for longer than the test lasts.
    topo.StartDevsim(std::string("[device fast]\nmac = ") + fast + common +
                     "fw_ack_delay_ms = 10\nfw_save_image = " + saved.path() +
                     "\n\n[device stuck]\nmac = " + stuck + common + "fw_erase_ms = 600000\n");
    topo.StartKivohost();
    ASSERT_TRUE(WaitLinkUp(topo.host(), "eth1"));
    Web web(topo.host(), 8080);
    ASSERT_TRUE(web.ready()) << web.process().Log();
    Process events(&topo.host(),
                   {"/usr/bin/curl", "-sSN", "--max-time", "120", "-H",
                    std::string("Authorization: Bearer ") + kToken, web.Base() + "/api/events"});

    Reply none = web.Get("/api/firmware/transfers");
    EXPECT_HTTP(none, 200);
    EXPECT_EQ(none.Json(), json({{"transfers", json::array()}, {"source", "list"}}));

    const Bytes image = PatternBytes(60000, 7);
    TempFile imageFile(AsString(image));
    for (const char* mac : {stuck, fast})
        EXPECT_EQ(Shell("ip netns exec " + topo.host().name() + " " + KIVOCTL_BIN +
                        " fw upgrade -i eth1 -m " + mac + " " + imageFile.path() + " >/dev/null 2>&1"),
                  0)
            << mac;

    auto find = [](const json& list, const char* mac) {
        for (const json& t : list)
            if (t["mac"] == mac) return t;
        return json();
    };
    json list;
    for (auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        list = web.Get("/api/firmware/transfers").Json()["transfers"];
        if (find(list, stuck).value("running", false) && find(list, fast).is_object()) break;
    }
    ASSERT_EQ(list.size(), 2u) << list;
    const json t = find(list, stuck);
    EXPECT_EQ(t["running"], true) << t;
    EXPECT_EQ(t["kind"], "upgrade");
    EXPECT_EQ(t["interface"], "eth1");
    EXPECT_NE(t["id"], find(list, fast)["id"]);
    EXPECT_TRUE(t["reason"].is_null()) << t;
    EXPECT_EQ(web.Get("/api/health").Json()["transfers"].size(), 2u);

    // Stop by MAC: a group address is refused up front, a device without a transfer is
    // told so, and the stuck device's transfer ends without touching the other.
    Reply group = web.Post("/api/firmware/stop", {{"mac", "ff:ff:ff:ff:ff:ff"}});
    EXPECT_HTTP(group, 400);
    EXPECT_NE(group.Json()["error"]["message"].get<std::string>().find("group"), std::string::npos)
        << group.body;
    Reply idle = web.Post("/api/firmware/stop", {{"mac", kLcmpMac}});
    EXPECT_HTTP(idle, 409);
    EXPECT_NE(idle.Json()["error"]["hint"].get<std::string>().find("No transfer to"), std::string::npos)
        << idle.body;
    Reply stop = web.Post("/api/firmware/stop", {{"mac", stuck}});
    EXPECT_HTTP(stop, 200);
    EXPECT_EQ(stop.Json(), json({{"stopped", true}, {"mac", stuck}}));

    for (auto until = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        list = web.Get("/api/firmware/transfers").Json()["transfers"];
        if (list.size() == 2 && list[0]["running"] == false && list[1]["running"] == false) break;
    }
    const json stopped = find(list, stuck);
    const json done = find(list, fast);
    EXPECT_EQ(stopped["state"], "failed") << list;
    ASSERT_TRUE(stopped["reason"].is_object()) << stopped;
    EXPECT_EQ(stopped["reason"]["code"], 15) << stopped;
    EXPECT_EQ(done["state"], "succeeded") << list;
    EXPECT_EQ(done["bytes"], image.size());
    EXPECT_EQ(done["total"], image.size());
    EXPECT_GT(done["durationMs"].get<uint64_t>(), 0u);
    EXPECT_TRUE(done["reason"].is_null()) << done;
    EXPECT_EQ(ReadFile(saved.path()), AsString(image));
    // The monitor published the list as it changed: the succeeded state reached the stream.
    EXPECT_TRUE(events.WaitForLog("\"state\":\"succeeded\"", 20s)) << events.Log();
    EXPECT_GE(events.CountInLog("event: transfers"), 2) << events.Log();
    EXPECT_EQ(web.Get("/api/health").Json()["transfers"], list);
}

// Two browsers, two devices: a read of a device that does not answer holds up neither another
// browser's read of a live device nor the health route, and still ends with its own failure.
TEST(KivoWeb, SilentDeviceHoldsUpNoOtherBrowser) {
    KIVO_REQUIRE_ROOT();
    const char* silentMac = "02:00:00:00:10:02";
    Topology topo;
    topo.Link("eth1", "eth1");
    topo.StartDevsim(std::string("[device living]\nmac = ") + kLcmpMac +
                     "\ninterface = eth1\nrole = lcmp\npassword = demo\nparam = NETWORK.PORT INT16U 8080\n"
                     "\n[device attic]\nmac = " +
                     silentMac + "\ninterface = eth1\nrole = lcmp\npassword = demo\nsilent = yes\n");
    topo.StartKivohost();
    ASSERT_TRUE(WaitLinkUp(topo.host(), "eth1"));
    Web web(topo.host(), 8080);
    ASSERT_TRUE(web.ready()) << web.process().Log();

    std::atomic<bool> silentDone{false};
    Reply silent;
    std::thread other([&] {
        silent = web.Post("/api/params/read", Lcmp({{"mac", silentMac}}));
        silentDone = true;
    });
    // Once the silent device has the request, kivohost works on it for the other browser.
    const bool asked = topo.devsim()->WaitForLog("LCMP silent: no reply", 30s);
    const Reply live = web.Post("/api/params/read", Lcmp({{"names", {"NETWORK.PORT"}}}));
    const bool liveBeforeSilent = !silentDone;
    const Reply health = web.Get("/api/health");
    const bool healthBeforeSilent = !silentDone;
    other.join();
    ASSERT_TRUE(asked) << topo.devsim()->Log();
    EXPECT_HTTP(live, 200);
    EXPECT_EQ(live.Json()["params"][0]["value"], "8080") << live.body;
    EXPECT_TRUE(liveBeforeSilent) << "the live device's read waited for the silent device's";
    EXPECT_HTTP(health, 200);
    EXPECT_EQ(health.Json()["service"], "up");
    EXPECT_EQ(health.Json()["queue"], 0) << health.body;
    EXPECT_TRUE(healthBeforeSilent) << "the health route waited for the silent device's read";
    EXPECT_EQ(ReasonCode(silent), static_cast<int>(kivo::protocol::Reason::kNoAnswer)) << silent.body;
}

// The access checks: token, Host, Origin, headers, and the refusal to serve the network
// without TLS.
TEST(KivoWeb, AccessChecks) {
    KIVO_REQUIRE_ROOT();
    Netns ns;
    Web web(ns, 8080);
    ASSERT_TRUE(web.ready()) << web.process().Log();

    // No token, a wrong one: 401 in the API's error shape. The bearer token and the cookie
    // set by the printed address both work.
    Reply none = web.Send({"GET", "/api/devices", std::nullopt, {}, false});
    EXPECT_HTTP(none, 401);
    EXPECT_TRUE(none.Json()["error"].contains("message"));
    EXPECT_HTTP(
        web.Send(
            {"GET", "/api/devices", std::nullopt, {"-H", "Authorization: Bearer wrong-token-000000"}, false}),
        401);
    EXPECT_HTTP(web.Get("/api/devices"), 200);
    Reply login = web.Send({"GET", std::string("/?token=") + kToken, std::nullopt, {}, false});
    EXPECT_HTTP(login, 303);
    EXPECT_NE(login.headers.find("HttpOnly"), std::string::npos) << login.headers;
    EXPECT_NE(login.headers.find("SameSite=Strict"), std::string::npos) << login.headers;
    EXPECT_HTTP(web.Send({"GET",
                          "/api/devices",
                          std::nullopt,
                          {"-H", std::string("Cookie: kivo_token=") + kToken},
                          false}),
                200);
    EXPECT_EQ(web.process().CountInLog(kToken), 0) << "the token reached the log";

    // A name the server does not go by (DNS rebinding): refused, page and API alike.
    EXPECT_HTTP(web.Send({"GET", "/", std::nullopt, {"-H", "Host: attacker.example:8080"}}), 403);
    EXPECT_HTTP(web.Send({"GET", "/api/devices", std::nullopt, {"-H", "Host: attacker.example:8080"}}), 403);
    EXPECT_HTTP(web.Send({"GET", "/api/devices", std::nullopt, {"-H", "Host: localhost:8080"}}), 200);

    // A change asked by another site: refused; by the page's own origin: done.
    json check{{"type", "INT8U"}, {"value", "7"}};
    EXPECT_HTTP(web.Send({"POST", "/api/params/check", check, {"-H", "Origin: http://attacker.example"}}),
                403);
    EXPECT_HTTP(web.Send({"POST", "/api/params/check", check, {"-H", "Referer: http://attacker.example/x"}}),
                403);
    EXPECT_HTTP(web.Send({"POST", "/api/params/check", check, {"-H", "Origin: " + web.Base()}}), 200);

    // Security headers on every response, the page's and errors alike; no CORS.
    for (const Reply& r : {web.Get("/"), web.Get("/api/nothing")}) {
        EXPECT_NE(r.headers.find("Content-Security-Policy: default-src 'self'"), std::string::npos)
            << r.headers;
        EXPECT_NE(r.headers.find("X-Frame-Options: DENY"), std::string::npos) << r.headers;
        EXPECT_EQ(r.headers.find("Access-Control-Allow"), std::string::npos) << r.headers;
    }
    EXPECT_HTTP(web.Get("/api/nothing"), 404);
    EXPECT_NE(web.Get("/").body.find("<html"), std::string::npos) << "the compiled-in page";

    // Bad input: 4xx with a reason, and the server goes on.
    EXPECT_HTTP(web.Send({"POST",
                          "/api/discover",
                          std::nullopt,
                          {"-H", "Content-Type: application/json", "--data", "{\"interface\":"}}),
                400);
    EXPECT_HTTP(web.Send({"POST",
                          "/api/discover",
                          std::nullopt,
                          {"-H", "Content-Type: application/json", "--data", std::string(100, '[')}}),
                400);
    EXPECT_HTTP(web.Post("/api/discover", json::array({1, 2})), 400);
    EXPECT_HTTP(web.Post("/api/discover", {{"interface", "eth1"}, {"vlan", 4095}}), 400);
    EXPECT_HTTP(web.Get("/javascript/%2e%2e/%2e%2e/etc/passwd"), 404);
    EXPECT_TRUE(web.process().Running());

    // Beyond loopback without TLS: it refuses to start and says why.
    Process open(&ns, {KIVO_WEB_BIN, "--listen", "0.0.0.0:8081"});
    auto exit = open.WaitExit(20s);
    ASSERT_TRUE(exit) << open.Log();
    EXPECT_EQ(*exit, 2);
    EXPECT_NE(open.Log().find("without TLS"), std::string::npos) << open.Log();
}
