// kivo-exporter end to end: the real exporter in the host namespace against the real
// kivohost and simulated devices; its page checked by promtool and scraped by a real
// Prometheus server; configuration errors; TLS and basic authentication.
#include <crypt.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "harness.h"
#include "harness_fw.h"
#include "kivo_client.h"

using namespace kivotest;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char* kDev1 = "02:00:00:00:00:11";
const char* kDev2 = "02:00:00:00:00:12";
const char* kScpDev = "02:00:00:00:00:13";
const char* kFw1 = "02:00:00:00:00:b1";
const char* kFw2 = "02:00:00:00:00:b2";

// A scratch folder, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kvt-exporter-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(path + "/" + name) << content;
        return path + "/" + name;
    }
};

// The value of one series ("name{labels}" exactly as the exporter writes it) in a page.
std::optional<double> Value(const std::string& page, const std::string& series) {
    std::istringstream in(page);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, series.size() + 1, series + " ") == 0)
            return std::stod(line.substr(series.size() + 1));
    return std::nullopt;
}

std::string Dev(const char* metric, const char* mac) {
    return std::string(metric) + "{mac=\"" + mac + "\",interface=\"eth1\"}";
}

// GET over plain HTTP from inside the namespace; the body, or nullopt without a 200.
std::optional<std::string> HttpGet(const Netns& ns, int port, const std::string& path,
                                   const httplib::Headers& headers = {}) {
    NsGuard in(ns);
    httplib::Client cli("127.0.0.1", port);
    cli.set_connection_timeout(2s);
    cli.set_read_timeout(30s);
    auto res = cli.Get(path.c_str(), headers);
    if (!res || res->status != 200) return std::nullopt;
    return res->body;
}

// Polls the exporter until `ready` holds for a page; that page, or the last one seen.
std::string ScrapeUntil(const Netns& ns, const std::function<bool(const std::string&)>& ready,
                        std::chrono::seconds window = 60s) {
    const auto end = Clock::now() + window;
    std::string page;
    while (Clock::now() < end) {
        if (auto p = HttpGet(ns, 9551, "/metrics")) {
            page = *p;
            if (ready(page)) return page;
        }
        std::this_thread::sleep_for(200ms);
    }
    return page;
}

std::string DeviceConfig() {
    std::string c;
    int speed = 100;
    for (const char* mac : {kDev1, kDev2}) {
        c += std::string("[device d") + mac[16] + "]\nmac = " + mac +
             "\ninterface = eth1\nrole = lcmp\npassword = s3cret\nparam = SYSTEM.PRODUCTION.MAC_ADDR "
             "MAC_ADDR " +
             mac + "\nparam = SYSTEM.GENERAL.SPEED INT16U " + std::to_string(speed) +
             "\nparam = STATS.RX_PACKETS INT32U 1000\nparam = SYSTEM.GENERAL.ENABLED BOOL YES\n"
             "param = SYSTEM.GENERAL.NAME STRING living room\n\n";
        speed += 100;
    }
    c += std::string("[device old]\nmac = ") + kScpDev +
         "\ninterface = eth1\nrole = scp\npassword = legacy\nparam = NETWORK.PORT INT16U 8080\n";
    return c;
}

std::string ExporterConfig(const std::string& pwFile, const std::string& scpPwFile,
                           const std::string& interval = "10s") {
    return "scrape_timeout: 20s\n"
           "discovery:\n  interval: " +
           interval +
           "\n"
           "modules:\n"
           "  node:\n"
           "    parameters:\n"
           "      - {name: SYSTEM.GENERAL.SPEED, metric: kivo_phy_rate_mbps, help: PHY rate., type: gauge}\n"
           "      - {name: STATS.RX_PACKETS, metric: kivo_rx_packets_total, help: Packets received., "
           "type: counter}\n"
           "      - {name: SYSTEM.GENERAL.ENABLED, metric: kivo_enabled, help: \"Enabled \\\\ \\\"on\\\"\"}\n"
           "      - {name: SYSTEM.GENERAL.NAME, metric: kivo_name_info, help: Not a number.}\n"
           "  legacy:\n"
           "    parameters:\n"
           "      - {name: NETWORK.PORT, metric: kivo_network_port, help: Port.}\n"
           "targets:\n"
           "  - {name: office, interface: eth1, mac: \"" +
           kDev1 + "\", password_file: " + pwFile + ", module: node}\n  - {interface: eth1, mac: \"" + kDev2 +
           "\", password_file: " + pwFile + ", module: node}\n  - {interface: eth1, mac: \"" + kScpDev +
           "\", protocol: scp, password_file: " + scpPwFile + ", module: legacy}\n";
}

struct Bed {
    TempDir dir;
    Topology topo;
    std::unique_ptr<Process> exporter;

    // `moreDevices`: simulator sections beside the three configured devices.
    explicit Bed(const std::string& interval, const std::string& moreDevices = "") {
        topo.Link("eth1", "eth1");
        topo.StartDevsim(DeviceConfig() + "\n" + moreDevices);
        topo.StartKivohost();
        const auto pw = dir.Write("pw", "s3cret\n");
        const auto scpPw = dir.Write("scp-pw", "legacy\n");
        const auto config = dir.Write("exporter.yml", ExporterConfig(pw, scpPw, interval));
        exporter = std::make_unique<Process>(
            &topo.host(), std::vector<std::string>{KIVO_EXPORTER_BIN, "--config.file", config});
        if (!exporter->WaitForLog("listening on", 15s))
            throw std::runtime_error("kivo-exporter did not start: " + exporter->Log());
    }
};

struct CliResult {
    int exit = -1;
    std::string err;
};

CliResult RunExporter(const std::vector<std::string>& args) {
    TempDir d;
    std::string cmd = KIVO_EXPORTER_BIN;
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " </dev/null >/dev/null 2>" + d.path + "/err";
    CliResult r;
    r.exit = Shell(cmd);
    r.err = ReadFile(d.path + "/err");
    return r;
}

}  // namespace

// A full page from three devices, checked by promtool; then one device goes silent and the
// others are still served; then the service goes away.
TEST(Exporter, ScrapePromtoolAndDeviceDown) {
    KIVO_REQUIRE_ROOT();
    Bed bed("60s");  // one discovery at the start, none in the way of the timed scrape below
    const auto& host = bed.topo.host();

    // The first discovery (legacy, then LCMP: 6 s) shows in the page once it is done.
    auto page = ScrapeUntil(host, [](const std::string& p) {
        return Value(p, "kivo_devices{interface=\"eth1\",kind=\"lcmp\"}").has_value();
    });
    EXPECT_EQ(Value(page, "kivo_devices{interface=\"eth1\",kind=\"lcmp\"}"), 2) << page;
    EXPECT_EQ(Value(page, "kivo_devices{interface=\"eth1\",kind=\"scp\"}"), 1) << page;
    EXPECT_EQ(Value(page, "kivo_devices{interface=\"eth1\",kind=\"bootrom\"}"), 0) << page;
    EXPECT_EQ(Value(page, "kivo_up"), 1) << page;
    for (const char* mac : {kDev1, kDev2, kScpDev})
        EXPECT_EQ(Value(page, Dev("kivo_device_up", mac)), 1) << page;
    EXPECT_EQ(Value(page, Dev("kivo_phy_rate_mbps", kDev1)), 100) << page;
    EXPECT_EQ(Value(page, Dev("kivo_phy_rate_mbps", kDev2)), 200) << page;
    EXPECT_EQ(Value(page, Dev("kivo_rx_packets_total", kDev1)), 1000) << page;
    EXPECT_EQ(Value(page, Dev("kivo_enabled", kDev2)), 1) << page;
    EXPECT_EQ(Value(page, Dev("kivo_network_port", kScpDev)), 8080) << page;
    // A string parameter gives no sample, only a count.
    EXPECT_FALSE(Value(page, Dev("kivo_name_info", kDev1))) << page;
    EXPECT_GE(Value(page, "kivo_parameter_value_errors_total").value_or(0), 2) << page;
    // No transfer yet: the list is empty, and no transfer has series.
    EXPECT_EQ(Value(page, "kivo_firmware_transfers"), 0) << page;
    EXPECT_FALSE(Has(page, "kivo_firmware_transfer_state{")) << page;
    EXPECT_TRUE(Has(page, "# TYPE kivo_rx_packets_total counter\n")) << page;
    EXPECT_TRUE(Has(page, "# HELP kivo_enabled Enabled \\\\ \"on\"\n")) << page;
    EXPECT_TRUE(Has(page, "kivo_exporter_build_info{version=\"2.0.39\"} 1\n")) << page;
    const auto duration = Value(page, "kivo_scrape_duration_seconds");
    const auto service = Value(page, "kivo_scrape_service_seconds");
    ASSERT_TRUE(duration && service) << page;
    EXPECT_GT(*service, 0);
    EXPECT_LE(*service, *duration);

    TempFile scrape(page);
    EXPECT_EQ(Shell("promtool check metrics < " + scrape.path()), 0) << page;

    // Device 2 stops answering: it alone is down, its values gone, the reason counted.
    ASSERT_TRUE(bed.topo.devsim()->SendLine("d2 set silent yes"));
    ASSERT_TRUE(bed.topo.devsim()->WaitForLog("command \"d2 set silent yes\" done"));
    page =
        ScrapeUntil(host, [](const std::string& p) { return Value(p, Dev("kivo_device_up", kDev2)) == 0; });
    EXPECT_EQ(Value(page, Dev("kivo_device_up", kDev2)), 0) << page;
    EXPECT_FALSE(Value(page, Dev("kivo_phy_rate_mbps", kDev2))) << page;
    EXPECT_EQ(Value(page, Dev("kivo_device_up", kDev1)), 1) << page;
    EXPECT_EQ(Value(page, Dev("kivo_phy_rate_mbps", kDev1)), 100) << page;
    EXPECT_EQ(Value(page, Dev("kivo_network_port", kScpDev)), 8080) << page;
    EXPECT_GE(Value(page, "kivo_request_failures_total{reason=\"no answer\"}").value_or(0), 1) << page;
    EXPECT_EQ(Value(page, "kivo_scrape_deadline_exceeded"), 0) << page;

    // Prometheus' 2 s scrape timeout, so the silent device's read (about 9 s) outlasts the
    // page: the page says it ran out of time, and waiting in line is never taken for down.
    // Against a service that serves one request at a time the pages after it wait there;
    // against one that serves clients side by side they do not. Either way no page claims
    // the service or a live device down, and the silent device is not asked again while
    // its read runs.
    const httplib::Headers shortTimeout{{"X-Prometheus-Scrape-Timeout-Seconds", "2"}};
    bool cutWithLiveDevice = false;
    const auto until = Clock::now() + 60s;
    for (int pages = 0; Clock::now() < until && (pages < 4 || !cutWithLiveDevice); ++pages) {
        const auto cut = HttpGet(host, 9551, "/metrics", shortTimeout);
        ASSERT_TRUE(cut);
        EXPECT_NE(Value(*cut, "kivo_up"), 0) << *cut;
        EXPECT_NE(Value(*cut, Dev("kivo_device_up", kDev1)), 0) << *cut;
        EXPECT_NE(Value(*cut, Dev("kivo_device_up", kScpDev)), 0) << *cut;
        EXPECT_NE(Value(*cut, Dev("kivo_device_up", kDev2)), 1) << *cut;
        if (Value(*cut, "kivo_scrape_deadline_exceeded") == 1 &&
            Value(*cut, Dev("kivo_phy_rate_mbps", kDev1)) == 100) {
            cutWithLiveDevice = true;
            TempFile file(*cut);
            EXPECT_EQ(Shell("promtool check metrics < " + file.path()), 0) << *cut;
        }
    }
    EXPECT_TRUE(cutWithLiveDevice) << "no page read the live device while the silent one ran out of time";
    // The reads left running end, none piled up behind them: a page with the whole time
    // has every device again, the silent one down because the service said so.
    page = ScrapeUntil(host, [](const std::string& p) {
        return Value(p, "kivo_scrape_deadline_exceeded") == 0 && Value(p, Dev("kivo_device_up", kDev2)) == 0;
    });
    EXPECT_EQ(Value(page, "kivo_scrape_deadline_exceeded"), 0) << page;
    EXPECT_EQ(Value(page, "kivo_up"), 1) << page;
    EXPECT_EQ(Value(page, Dev("kivo_device_up", kDev1)), 1) << page;
    EXPECT_EQ(Value(page, Dev("kivo_device_up", kDev2)), 0) << page;
    EXPECT_EQ(Value(page, Dev("kivo_network_port", kScpDev)), 8080) << page;

    // No service: kivo_up 0, and nothing said of the devices, which nobody could ask.
    bed.topo.kivohost()->Kill();
    page = ScrapeUntil(host, [](const std::string& p) { return Value(p, "kivo_up") == 0; });
    EXPECT_EQ(Value(page, "kivo_up"), 0) << page;
    EXPECT_FALSE(Has(page, "kivo_device_up")) << page;
    EXPECT_FALSE(Has(page, "kivo_phy_rate_mbps")) << page;
    TempFile down(page);
    EXPECT_EQ(Shell("promtool check metrics < " + down.path()), 0) << page;
    EXPECT_TRUE(bed.exporter->Running());
    // Pages, reads and discovery share the clients: a sanitizer build reports any slip here.
    EXPECT_FALSE(Has(bed.exporter->Log(), "Sanitizer")) << bed.exporter->Log();
    EXPECT_FALSE(Has(bed.exporter->Log(), "runtime error")) << bed.exporter->Log();
}

// Two upgrades side by side, started through the client library by another front-end:
// the page shows each with its device's MAC while both wait for their devices, and then
// each one's success; promtool takes the page while they run and once they have ended.
TEST(Exporter, FirmwareTransfersSideBySide) {
    KIVO_REQUIRE_ROOT();
    std::string fwDevices;
    for (const char* mac : {kFw1, kFw2})
        fwDevices += std::string("[device fw") + mac[16] + "]\nmac = " + mac +
                     "\ninterface = eth1\nrole = fw\nfw_log_data = no\nfw_erase_ms = 1500\n\n";
    Bed bed("0s", fwDevices);
    const auto& host = bed.topo.host();
    const Bytes image = PatternBytes(64 * 1024, 7);
    TempFile file(AsString(image));
    auto& service = bed.topo.client().library();
    for (const char* mac : {kFw1, kFw2}) {
        auto started = service.FwStartUpgrade({"eth1", 0, *kivo::protocol::ParseMac(mac), file.path()});
        ASSERT_TRUE(started) << mac << ": " << started.error().message;
    }

    auto series = [](const char* metric, const char* mac, const std::string& more = "") {
        return std::string(metric) + "{mac=\"" + mac + "\",interface=\"eth1\",kind=\"upgrade\"" + more + "}";
    };
    auto page = ScrapeUntil(host, [&](const std::string& p) {
        return Value(p, series("kivo_firmware_transfer_bytes", kFw1)) &&
               Value(p, series("kivo_firmware_transfer_bytes", kFw2));
    });
    // Neither device has asked for its image yet: both wait, each in its own series.
    for (const char* mac : {kFw1, kFw2}) {
        EXPECT_TRUE(Value(page, series("kivo_firmware_transfer_duration_seconds", mac))) << page;
        EXPECT_EQ(Value(page, series("kivo_firmware_transfer_retransmissions", mac)), 0) << page;
        double states = 0;
        for (const char* st : {"idle", "waiting", "upgrading", "loader", "firmware", "succeeded", "failed"})
            states +=
                Value(page, series("kivo_firmware_transfer_state", mac, ",state=\"" + std::string(st) + "\""))
                    .value_or(-10);
        EXPECT_EQ(states, 1) << "one state of seven at 1\n" << page;
        EXPECT_EQ(Value(page, series("kivo_firmware_transfer_state", mac, ",state=\"waiting\"")), 1) << page;
    }
    EXPECT_EQ(Value(page, "kivo_firmware_transfers"), 2) << page;
    EXPECT_FALSE(Value(page, "kivo_firmware_transfer_bytes")) << "no series without labels\n" << page;
    TempFile running(page);
    EXPECT_EQ(Shell("promtool check metrics < " + running.path()), 0) << page;

    for (const char* name : {"fw1", "fw2"})
        ASSERT_TRUE(bed.topo.devsim()->SendLine(std::string(name) + " fw request"));

    page = ScrapeUntil(
        host,
        [&](const std::string& p) {
            return Value(p, series("kivo_firmware_transfer_state", kFw1, ",state=\"succeeded\"")) == 1 &&
                   Value(p, series("kivo_firmware_transfer_state", kFw2, ",state=\"succeeded\"")) == 1;
        },
        180s);
    for (const char* mac : {kFw1, kFw2}) {
        EXPECT_EQ(Value(page, series("kivo_firmware_transfer_state", mac, ",state=\"succeeded\"")), 1)
            << page;
        EXPECT_EQ(Value(page, series("kivo_firmware_transfer_bytes", mac)), image.size()) << page;
        EXPECT_EQ(Value(page, series("kivo_firmware_transfer_size_bytes", mac)), image.size()) << page;
    }
    TempFile ended(page);
    EXPECT_EQ(Shell("promtool check metrics < " + ended.path()), 0) << page;
}

// The multi-target form: one device per page, named by its name, MAC or INTERFACE/MAC,
// with its own module's or another module's parameters; a wrong name is told.
TEST(Exporter, ProbeOneDevice) {
    KIVO_REQUIRE_ROOT();
    Bed bed("0s");
    const auto& host = bed.topo.host();
    const auto office = HttpGet(host, 9551, "/probe?target=office");
    ASSERT_TRUE(office);
    EXPECT_EQ(Value(*office, "kivo_up"), 1) << *office;
    EXPECT_EQ(Value(*office, Dev("kivo_device_up", kDev1)), 1) << *office;
    EXPECT_EQ(Value(*office, Dev("kivo_phy_rate_mbps", kDev1)), 100) << *office;
    EXPECT_EQ(Value(*office, "kivo_scrape_deadline_exceeded"), 0) << *office;
    // Only this device: no other device, no service-wide series.
    EXPECT_FALSE(Has(*office, kDev2)) << *office;
    EXPECT_FALSE(Has(*office, "kivo_firmware_transfer_state")) << *office;
    TempFile file(*office);
    EXPECT_EQ(Shell("promtool check metrics < " + file.path()), 0) << *office;

    const auto old = HttpGet(host, 9551, std::string("/probe?target=eth1/") + kScpDev + "&module=legacy",
                             {{"X-Prometheus-Scrape-Timeout-Seconds", "10"}});
    ASSERT_TRUE(old);
    EXPECT_EQ(Value(*old, Dev("kivo_network_port", kScpDev)), 8080) << *old;

    NsGuard in(host);
    httplib::Client cli("127.0.0.1", 9551);
    cli.set_read_timeout(30s);
    auto res = cli.Get("/probe?target=02:00:00:00:00:99");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_TRUE(Has(res->body, "is no configured device")) << res->body;
    res = cli.Get(std::string("/probe?target=") + kDev2 + "&module=nosuch");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_TRUE(Has(res->body, "module 'nosuch' is not in the configuration file")) << res->body;

    // No service: the probe says so, and nothing of the device.
    bed.topo.kivohost()->Kill();
    res = cli.Get("/probe?target=office");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(Value(res->body, "kivo_up"), 0) << res->body;
    EXPECT_FALSE(Has(res->body, "kivo_device_up")) << res->body;
    EXPECT_FALSE(Has(res->body, "kivo_phy_rate_mbps")) << res->body;
}

// Configuration mistakes stop the start with the file and line; off loopback the exporter
// refuses to run without TLS and basic authentication.
TEST(Exporter, BadConfigurationNamesTheLine) {
    TempDir d;
    const auto pw = d.Write("pw", "x\n");
    const std::string good = ExporterConfig(pw, pw);
    const auto goodFile = d.Write("good.yml", good);
    // Line 6 onwards is one target, with one mistake each time (or a tab in line 3).
    const std::string head =
        "modules:\n  m:\n    parameters:\n      - {name: A, metric: a, help: h}\ntargets:\n  - interface: "
        "eth1\n";
    struct Case {
        std::string text, expect;
    } cases[] = {
        {"modules:\n  m:\n\tparameters: 1\n", "bad.yml:3: not valid YAML"},
        {head + "    mac: 02:00:00:00:00\n    module: m\n",
         "bad.yml:7: '02:00:00:00:00' is not a MAC address"},
        {head + "    mac: 02:00:00:00:00:01\n    module: m\n    passwd_file: x\n",
         "bad.yml:9: unknown key 'passwd_file'"},
        {head + "    mac: 02:00:00:00:00:01\n    module: m\n    password_file: /nonexistent/pw\n",
         "bad.yml:9: cannot read password file /nonexistent/pw: no such file"},
    };
    for (const auto& c : cases) {
        const auto file = d.Write("bad.yml", c.text);
        const auto r = RunExporter({"--config.file", file, "--web.listen-address", "127.0.0.1:1"});
        EXPECT_EQ(r.exit, 1) << c.expect;
        EXPECT_TRUE(Has(r.err, c.expect)) << "expected: " << c.expect << "\ngot: " << r.err;
    }
    auto r = RunExporter({"--config.file", goodFile, "--web.listen-address", "0.0.0.0:9551"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(Has(r.err, "needs TLS and basic authentication")) << r.err;
    r = RunExporter({"--config.file", d.path + "/missing.yml"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(Has(r.err, "missing.yml: no such file")) << r.err;
    r = RunExporter({"--config.file", goodFile, "--web.listen-address", "127.0.0.1"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(Has(r.err, "--web.listen-address '127.0.0.1'")) << r.err;
}

// Off loopback: TLS, and only a right user and password get the page.
TEST(Exporter, TlsAndBasicAuthentication) {
    KIVO_REQUIRE_ROOT();
    Netns ns;
    TempDir d;
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout " +
                    d.path + "/key.pem -out " + d.path + "/cert.pem 2>/dev/null"),
              0);
    char salt[64];
    ASSERT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof(salt)), nullptr);
    auto data = std::make_unique<crypt_data>();
    const std::string hash = crypt_r("right horse", salt, data.get());
    const auto web = d.Write("web.yml",
                             "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
                             "basic_auth_users:\n  prom: '" +
                                 hash + "'\n");
    const auto pw = d.Write("pw", "x\n");
    const auto config = d.Write("exporter.yml", ExporterConfig(pw, pw, "0s"));
    Process exporter(&ns, {KIVO_EXPORTER_BIN, "--config.file", config, "--web.config.file", web,
                           "--web.listen-address", ":9551"});
    ASSERT_TRUE(exporter.WaitForLog("listening on https://", 15s)) << exporter.Log();

    NsGuard in(ns);
    auto get = [](const std::string& user, const std::string& password) {
        httplib::SSLClient cli("127.0.0.1", 9551);
        cli.enable_server_certificate_verification(false);
        cli.set_read_timeout(30s);
        if (!user.empty()) cli.set_basic_auth(user.c_str(), password.c_str());
        auto res = cli.Get("/metrics");
        return res ? res->status : -1;
    };
    EXPECT_EQ(get("", ""), 401);
    EXPECT_EQ(get("prom", "wrong horse"), 401);
    EXPECT_EQ(get("other", "right horse"), 401);
    EXPECT_EQ(get("prom", "right horse"), 200);
    // Plain HTTP to the TLS port gets no page.
    httplib::Client plain("127.0.0.1", 9551);
    plain.set_basic_auth("prom", "right horse");
    auto res = plain.Get("/metrics");
    EXPECT_TRUE(!res || res->status != 200);
}

// A real Prometheus scrapes the exporter every second; PromQL through its HTTP API sees
// the device count, a parameter's value and, after the test changes a counter, its rate.
// (The simulator's counters do not move by themselves: the test writes a new value.)
TEST(ExporterPrometheus, QueriesThroughPrometheus) {
    KIVO_REQUIRE_ROOT();
    Bed bed("10s");
    const auto& host = bed.topo.host();
    const auto promConfig = bed.dir.Write("prometheus.yml",
                                          "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                          "scrape_configs:\n  - job_name: kivo\n    static_configs:\n"
                                          "      - targets: ['127.0.0.1:9551']\n");
    Process prometheus(
        &host, {"/usr/bin/prometheus", "--config.file=" + promConfig,
                "--storage.tsdb.path=" + bed.dir.path + "/data", "--web.listen-address=127.0.0.1:9090"});

    // The first result of an instant query, or nullopt while there is none.
    auto query = [&](const std::string& promql) -> std::optional<double> {
        const auto body =
            HttpGet(host, 9090, "/api/v1/query?query=" + httplib::detail::encode_query_param(promql));
        if (!body) return std::nullopt;
        const auto doc = json::parse(*body, nullptr, false);
        if (doc.is_discarded() || doc.value("status", "") != "success") return std::nullopt;
        const auto& result = doc["data"]["result"];
        if (!result.is_array() || result.empty()) return std::nullopt;
        return std::stod(result[0]["value"][1].get<std::string>());
    };
    auto poll = [&](const std::string& promql) {
        const auto end = Clock::now() + 90s;
        while (Clock::now() < end) {
            if (auto v = query(promql)) return v;
            std::this_thread::sleep_for(500ms);
        }
        return std::optional<double>{};
    };

    EXPECT_EQ(poll("kivo_devices{interface=\"eth1\",kind=\"lcmp\"}"), 2) << prometheus.Log();
    const std::string rx = std::string("kivo_rx_packets_total{mac=\"") + kDev1 + "\"}";
    EXPECT_EQ(poll(rx), 1000) << prometheus.Log();

    kivo::client::DeviceAddress dev{kivo::client::Protocol::kLcmp, "eth1", 0,
                                    *kivo::protocol::ParseMac(kDev1), "s3cret"};
    auto set = bed.topo.client().library().Set(dev, {{"STATS.RX_PACKETS", "61000"}});
    ASSERT_TRUE(set) << set.error().message;
    EXPECT_EQ(poll(rx + " == 61000"), 61000);
    // 60000 more packets within the last minute's samples.
    const auto rate = poll("rate(" + rx + "[1m]) > 0");
    ASSERT_TRUE(rate);
    EXPECT_GT(*rate, 0);
}
