// kivo-exporter's pieces without a network: the configuration, the exposition text,
// parameter values, the listen address and basic authentication, the page's families, the
// firmware transfers' series and
// time accounting, what a request's end means, and the /probe parameters.
#include <crypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <sstream>

#include "collector.h"
#include "config.h"
#include "fake_service.h"
#include "metrics.h"
#include "probe.h"
#include "requests.h"
#include "transfers.h"
#include "web.h"

using namespace kivo::exporter;

namespace {

std::string ErrorOf(const std::string& text) {
    Config c;
    try {
        ParseConfig(text, "k.yml", "", c);
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "";
}

const char* kModules =
    "modules:\n"
    "  a:\n"
    "    parameters:\n"
    "      - {name: X.RX, metric: kivo_rx_total, help: Received., type: counter}\n"
    "  b:\n"
    "    parameters:\n"
    "      - {name: X.RX, metric: kivo_rx_total, help: Other text., type: counter}\n";

}  // namespace

TEST(ExporterConfig, ModulesTargetsAndTheirMistakes) {
    Config c;
    ParseConfig(
        "discovery: {interval: 2m}\nmodules:\n  m:\n    parameters:\n"
        "      - {name: A.B, metric: kivo_ab, help: h}\n"
        "targets:\n  - {interface: eth1, mac: 02-00-00-00-00-0A, module: m, vlan: 7}\n"
        "  - {interface: eth2, mac: 02:00:00:00:00:0b, module: m, protocol: scp}\n",
        "k.yml", "", c);
    ASSERT_EQ(c.targets.size(), 2u);
    EXPECT_EQ(c.targets[0].mac[5], 0x0A);
    EXPECT_EQ(c.targets[0].vlan, 7);
    EXPECT_EQ(c.targets[1].protocol, TargetProtocol::kScp);
    ASSERT_EQ(c.targets[1].params->size(), 1u);
    EXPECT_EQ((*c.targets[1].params)[0].type, MetricType::kGauge);
    EXPECT_EQ(c.discoveryInterval, std::chrono::minutes(2));
    // Discovery covers the targets' interfaces when none are named.
    EXPECT_EQ(c.discoveryInterfaces, (std::vector<std::string>{"eth1", "eth2"}));

    // One metric name with two meanings would make Prometheus mix two series up.
    EXPECT_NE(
        ErrorOf(std::string(kModules) + "targets:\n  - {interface: e, mac: 02:00:00:00:00:01, module: a}\n")
            .find("different types or help texts"),
        std::string::npos);
    EXPECT_EQ(ErrorOf("modules:\n  m:\n    parameters:\n      - {name: A, metric: kivo_up, help: h}\n"),
              "k.yml:4: 'kivo_up' is a metric of the exporter itself; choose another name");
    EXPECT_EQ(
        ErrorOf("modules:\n  m:\n    parameters:\n      - {name: A, metric: 9a, help: h}\n").substr(0, 25),
        "k.yml:4: '9a' is not a va");
    const std::string twice =
        "modules:\n  m:\n    parameters:\n      - {name: A, metric: a, help: h}\ntargets:\n"
        "  - {interface: eth1, mac: 02:00:00:00:00:01, module: m}\n"
        "  - {interface: eth1, mac: 02:00:00:00:00:01, module: m}\n";
    EXPECT_EQ(ErrorOf(twice), "k.yml:7: device 02:00:00:00:00:01 on eth1 is listed twice");
    EXPECT_EQ(ErrorOf("discovery: {interval: 5s}\n"),
              "k.yml:1: the discovery interval must be 0s (off) or at least 10s");
    EXPECT_EQ(ErrorOf("modules:\n  m:\n    parameters:\n      - {name: A, metric: a, help: h}\n"
                      "targets:\n  - {interface: eth1, mac: 02:00:00:00:00:01, module: m, vlan: 4095}\n"),
              "k.yml:6: vlan must be a whole number from 0 to 4094, not '4095'");
}

TEST(ExporterConfig, DurationsAndWebConfig) {
    std::chrono::milliseconds d{};
    EXPECT_TRUE(ParseDuration("1m30s", d));
    EXPECT_EQ(d.count(), 90000);
    EXPECT_TRUE(ParseDuration("250ms", d));
    EXPECT_EQ(d.count(), 250);
    for (const char* bad : {"", "10", "s", "1x", "-1s", "99999999999h"})
        EXPECT_FALSE(ParseDuration(bad, d)) << bad;

    const auto web = ParseWebConfig(
        "basic_auth_users:\n  prom: $2y$10$abcdefghijklmnopqrstuuabcdefghijklmnopqrstuvwxyz01234\n", "w.yml",
        "");
    EXPECT_EQ(web.users.size(), 1u);
    EXPECT_FALSE(web.Tls());
    try {
        ParseWebConfig("basic_auth_users:\n  prom: secret\n", "w.yml", "");
        ADD_FAILURE() << "a clear-text password was taken";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("w.yml:2: the password of prom must be a bcrypt hash"),
                  std::string::npos)
            << e.what();
    }
}

TEST(ExporterText, EscapingValuesAndFamilies) {
    MetricsText m;
    m.Family("a", "Help with \\ and\nnew line.", "gauge");
    m.Family("b", "B.", "counter");
    m.Family("empty", "Never sampled.", "gauge");
    m.Sample("a", {{"l", "q\"u\\o\nte"}}, 1);
    m.Sample("b", {}, 3);
    m.Sample("a", {{"l", "x"}, {"k", "y"}}, 0.25);
    EXPECT_EQ(m.Render(),
              "# HELP a Help with \\\\ and\\nnew line.\n# TYPE a gauge\na{l=\"q\\\"u\\\\o\\nte\"} 1\n"
              "a{l=\"x\",k=\"y\"} 0.25\n# HELP b B.\n# TYPE b counter\nb 3\n");
    EXPECT_THROW(m.Sample("c", {}, 1), std::logic_error);
    EXPECT_EQ(FormatValue(4294967295.0), "4294967295");
    EXPECT_EQ(FormatValue(0.1), "0.1");
    EXPECT_EQ(FormatValue(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(FormatValue(-std::numeric_limits<double>::infinity()), "-Inf");

    EXPECT_EQ(ParseParamValue(" 42 "), 42);
    EXPECT_EQ(ParseParamValue("-7.5"), -7.5);
    EXPECT_EQ(ParseParamValue("YES"), 1);
    for (const char* text :
         {"", "1,2", "0x10", "inf", "nan", "living room", "10.0.0.1", "1e999", "02:00:00:00:00:01"})
        EXPECT_FALSE(ParseParamValue(text)) << text;
}

TEST(ExporterWeb, ListenAddressAndBasicAuth) {
    EXPECT_TRUE(ParseListenAddress("127.0.0.1:9551")->loopback);
    EXPECT_TRUE(ParseListenAddress("[::1]:9551")->loopback);
    EXPECT_TRUE(ParseListenAddress("localhost:1")->loopback);
    const auto any = ParseListenAddress(":9551");
    ASSERT_TRUE(any);
    EXPECT_FALSE(any->loopback);
    EXPECT_EQ(any->host, "0.0.0.0");
    EXPECT_FALSE(ParseListenAddress("[::]:9551")->loopback);
    EXPECT_FALSE(ParseListenAddress("192.168.1.2:80")->loopback);
    for (const char* bad : {"", "9551", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "::1:9551",
                            "example.org:80", "127.0.0.1:95x1", "[::1]9551"})
        EXPECT_FALSE(ParseListenAddress(bad)) << bad;

    EXPECT_EQ(DecodeBase64("cHJvbTpwdw=="), "prom:pw");
    for (const char* bad : {"cHJvbTpwdw=", "cHJ=bTpw", "cHJvbTpw*w==", "===="})
        EXPECT_FALSE(DecodeBase64(bad)) << bad;

    char salt[64];
    ASSERT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof(salt)), nullptr);
    auto data = std::make_unique<crypt_data>();
    const std::map<std::string, std::string> users{{"prom", crypt_r("pw", salt, data.get())}};
    EXPECT_TRUE(CheckBasicAuth("Basic cHJvbTpwdw==", users));   // prom:pw
    EXPECT_FALSE(CheckBasicAuth("Basic cHJvbTpwdzI=", users));  // prom:pw2
    EXPECT_FALSE(CheckBasicAuth("Basic cHJvbTo=", users));      // prom: (empty)
    EXPECT_FALSE(CheckBasicAuth("Basic cHJvbTpwdwB4", users));  // prom:pw\0x
    EXPECT_FALSE(CheckBasicAuth("Basic b3RoZXI6cHc=", users));  // other:pw
    EXPECT_FALSE(CheckBasicAuth("Bearer cHJvbTpwdw==", users));
    EXPECT_FALSE(CheckBasicAuth("", users));
}

// The exporter's own families: each declared once with a HELP and TYPE, counters named
// _total, none of them open to a parameter.
TEST(ExporterText, OwnFamiliesDeclaredOnce) {
    std::set<std::string> names;
    for (const FamilyDef* f : OwnFamilies()) {
        EXPECT_TRUE(names.insert(f->name).second) << f->name;
        EXPECT_TRUE(ValidMetricName(f->name)) << f->name;
        EXPECT_TRUE(IsOwnMetric(f->name));
        const bool total = std::string(f->name).ends_with("_total");
        EXPECT_EQ(std::string(f->type) == "counter", total) << f->name;
        MetricsText m;
        m.Sample(*f, {}, 1);
        EXPECT_TRUE(m.Render().starts_with(std::string("# HELP ") + f->name + " ")) << f->name;
    }
    EXPECT_TRUE(names.count("kivo_firmware_transfer_retransmissions"));
    EXPECT_FALSE(IsOwnMetric("kivo_phy_rate_mbps"));
    EXPECT_EQ(
        ErrorOf("modules:\n  m:\n    parameters:\n      - {name: A, metric: kivo_scrape_deadline_exceeded, "
                "help: h}\n"),
        "k.yml:4: 'kivo_scrape_deadline_exceeded' is a metric of the exporter itself; choose another name");
}

namespace {

kivo::client::FwTransfer Transfer(uint8_t last, uint8_t state, uint64_t startMs, uint64_t endMs) {
    kivo::client::FwTransfer t;
    t.device = kivo::client::Mac{2, 0, 0, 0, 0, last};
    t.interface = "eth1";
    t.state = state;
    t.bytes = 4096u * last;
    t.total = 65536;
    t.retransmissions = last;
    t.startMs = startMs;
    t.endMs = endMs;
    return t;
}

// The lines of a page that start with `prefix`.
std::vector<std::string> Lines(const std::string& page, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) out.push_back(line);
    return out;
}

}  // namespace

// Two transfers side by side, each with its own labelled series under one HELP per family.
TEST(ExporterTransfers, EachListedTransferHasItsSeries) {
    kivo::client::FwTransfers list;
    list.nowMs = 10000;
    list.transfers = {Transfer(1, 5, 1000, 3500), Transfer(2, 2, 4000, 0)};
    list.transfers[1].interface = "eth2";
    list.transfers[1].latest = true;
    MetricsText m;
    WriteTransfers(m, list);
    const std::string page = m.Render();
    const std::string a = "{mac=\"02:00:00:00:00:01\",interface=\"eth1\",kind=\"upgrade\"";
    const std::string b = "{mac=\"02:00:00:00:00:02\",interface=\"eth2\",kind=\"upgrade\"";
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_bytes"),
              (std::vector<std::string>{"kivo_firmware_transfer_bytes" + a + "} 4096",
                                        "kivo_firmware_transfer_bytes" + b + "} 8192"}))
        << page;
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_duration_seconds"),
              (std::vector<std::string>{"kivo_firmware_transfer_duration_seconds" + a + "} 2.5",
                                        "kivo_firmware_transfer_duration_seconds" + b + "} 6"}))
        << page;
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_retransmissions" + b),
              (std::vector<std::string>{"kivo_firmware_transfer_retransmissions" + b + "} 2"}));
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_size_bytes").size(), 2u);
    EXPECT_EQ(Lines(page, "kivo_firmware_transfers "),
              (std::vector<std::string>{"kivo_firmware_transfers 2"}));
    // Seven states each, the one it is in at 1.
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_state" + a).size(), 7u);
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_state" + a + ",state=\"succeeded\"} 1").size(), 1u);
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_state" + b + ",state=\"upgrading\"} 1").size(), 1u);
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_state" + b + ",state=\"succeeded\"} 0").size(), 1u);
    EXPECT_EQ(Lines(page, "# HELP kivo_firmware_transfer_state ").size(), 1u);
}

// A device upgraded again shows its latest transfer only; a long list is cut to the most
// recent; bytes of a name that are no text do not reach the page; the status of a service
// without the listing has no labels.
TEST(ExporterTransfers, OneSeriesPerDeviceBoundedAndClean) {
    kivo::client::FwTransfers list;
    list.nowMs = 100000;
    list.transfers = {Transfer(1, 6, 1000, 2000), Transfer(1, 1, 3000, 0)};
    MetricsText again;
    WriteTransfers(again, list);
    const std::string page = again.Render();
    EXPECT_EQ(Lines(page,
                    "kivo_firmware_transfer_state{mac=\"02:00:00:00:00:01\",interface=\"eth1\","
                    "kind=\"upgrade\",state=\"waiting\"} 1")
                  .size(),
              1u)
        << page;
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_duration_seconds"),
              (std::vector<std::string>{"kivo_firmware_transfer_duration_seconds{mac=\"02:00:00:00:00:01\","
                                        "interface=\"eth1\",kind=\"upgrade\"} 97"}))
        << page;

    list.transfers.clear();
    for (uint8_t i = 1; i <= kMaxTransfers + 4; ++i) list.transfers.push_back(Transfer(i, 5, 100u * i, 0));
    list.transfers[0].startMs = 5000;  // listed first, started last
    MetricsText many;
    WriteTransfers(many, list);
    const auto bytes = Lines(many.Render(), "kivo_firmware_transfer_bytes");
    ASSERT_EQ(bytes.size(), kMaxTransfers);
    EXPECT_TRUE(bytes.front().starts_with("kivo_firmware_transfer_bytes{mac=\"02:00:00:00:00:01\""));
    EXPECT_TRUE(bytes[1].starts_with("kivo_firmware_transfer_bytes{mac=\"02:00:00:00:00:06\"")) << bytes[1];

    kivo::client::FwTransfers odd;
    odd.transfers = {Transfer(1, 1, 0, 0)};
    odd.transfers[0].interface = std::string("e\"\n\xff", 4);
    odd.transfers[0].device.reset();
    odd.transfers[0].kind = 2;
    MetricsText clean;
    WriteTransfers(clean, odd);
    EXPECT_EQ(Lines(clean.Render(), "kivo_firmware_transfer_bytes"),
              (std::vector<std::string>{
                  "kivo_firmware_transfer_bytes{mac=\"\",interface=\"e\\\"??\",kind=\"boot\"} 4096"}));

    kivo::client::FwStatus status;
    status.state = 4;
    status.bytes = 10;
    status.total = 20;
    MetricsText old;
    WriteFwStatus(old, status);
    const std::string oldPage = old.Render();
    EXPECT_EQ(Lines(oldPage, "kivo_firmware_transfer_state{state=\"firmware\"} 1").size(), 1u) << oldPage;
    EXPECT_EQ(Lines(oldPage, "kivo_firmware_transfer_bytes"),
              (std::vector<std::string>{"kivo_firmware_transfer_bytes 10"}));
    EXPECT_TRUE(Lines(oldPage, "kivo_firmware_transfer_retransmissions").empty()) << "not reported";
}

// A kivohost without the transfer list answers it with one byte: the page falls back to
// the latest transfer's status, and the answer is no failure to count.
TEST(ExporterTransfers, ServiceWithoutTheListGivesTheStatus) {
    using Bytes = kivotest_client::Bytes;
    kivotest_client::FakeService service([](const Bytes& req, int) -> std::vector<Bytes> {
        const uint8_t seq = req[0];
        switch (req.size() > 4 ? req[4] : 0xFF) {
            case 9:
                return {Bytes{seq, 1, 0, 9, 2, 0, 39}};
            case 8:  // loading the firmware: 10 of 20 bytes
                return {Bytes{seq, 1, 0, 8, 4, 0, 0, 0, 10, 0, 0, 0, 20}};
            default:
                return {Bytes{seq}};
        }
    });
    Config config;
    config.servicePort = service.port();
    Collector collector(config, "test");
    const std::string page = collector.Scrape(SteadyClock::now() + std::chrono::seconds(20));
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_state{state=\"firmware\"} 1").size(), 1u) << page;
    EXPECT_EQ(Lines(page, "kivo_firmware_transfer_bytes "),
              (std::vector<std::string>{"kivo_firmware_transfer_bytes 10"}))
        << page;
    EXPECT_TRUE(Lines(page, "kivo_firmware_transfers ").empty()) << page;
    EXPECT_EQ(Lines(page, "kivo_up "), (std::vector<std::string>{"kivo_up 1"})) << page;
    const auto failures = Lines(page, "kivo_request_failures_total{");
    EXPECT_FALSE(failures.empty()) << page;
    for (const std::string& line : failures) EXPECT_TRUE(line.ends_with("} 0")) << line;
    std::vector<uint8_t> codes;
    for (const Bytes& r : service.Requests())
        if (r.size() > 4) codes.push_back(r[4]);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xF2), 1) << "the list is asked for";
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xF0), 0) << "and no reason for its answer";
}

// A request's budget, how its end is read, and kivo_up: waiting in line is not down.
TEST(ExporterRequests, BudgetOutcomeAndUp) {
    using namespace std::chrono_literals;
    const auto now = SteadyClock::now();
    auto b = BudgetFor(now, now + 10s, 5s);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->timeout, 5s);
    EXPECT_FALSE(b->cutShort);
    b = BudgetFor(now, now + 2s, 20s);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->timeout, 2s);
    EXPECT_TRUE(b->cutShort);
    EXPECT_FALSE(BudgetFor(now, now + 10ms, 5s));
    EXPECT_FALSE(BudgetFor(now, now - 1s, 5s));

    namespace kc = kivo::client;
    const kc::Error refused{kc::ErrorKind::kNoService, kc::RequestCode::kVersion, 1,
                            "nothing listens on 127.0.0.1 port 55567"};
    const kc::Error silent{kc::ErrorKind::kNoService, kc::RequestCode::kGet, 1,
                           "no answer from the service on 127.0.0.1 port 55567 within 2000 ms"};
    EXPECT_EQ(Classify(refused, true), Outcome::kNotListening);
    EXPECT_EQ(Classify(silent, true), Outcome::kCutShort);
    EXPECT_EQ(Classify(silent, false), Outcome::kUnanswered);
    EXPECT_EQ(Classify({kc::ErrorKind::kFailed, kc::RequestCode::kGet, 1, ""}, true), Outcome::kFailed);
    EXPECT_EQ(Classify({kc::ErrorKind::kBadReply, kc::RequestCode::kGet, 1, ""}, false),
              Outcome::kOtherAnswer);
    EXPECT_EQ(Classify({kc::ErrorKind::kSystem, kc::RequestCode::kGet, 1, ""}, false), Outcome::kLocalError);
    EXPECT_TRUE(ServiceAnswered(Outcome::kFailed));
    EXPECT_FALSE(ServiceAnswered(Outcome::kCutShort));

    EXPECT_EQ(JudgeUp(true, true, now - 1h, now), true);
    EXPECT_EQ(JudgeUp(false, true, std::nullopt, now), false);
    EXPECT_EQ(JudgeUp(false, false, now - 9s, now), std::nullopt);  // busy behind a 9 s request
    EXPECT_EQ(JudgeUp(false, false, now - kHungAfter, now), false);
    EXPECT_EQ(JudgeUp(false, false, std::nullopt, now), std::nullopt);

    ServiceWatch watch;
    watch.Record(Outcome::kCutShort, now - 5s);
    watch.Record(Outcome::kUnanswered, now - 2s);  // the older wait counts
    EXPECT_EQ(watch.UnansweredSince(), now - 5s);
    watch.Record(Outcome::kFailed, now);  // an answer, if only a failure, ends it
    EXPECT_FALSE(watch.UnansweredSince());
}

// The time a page waited for the service: overlapping requests count once.
TEST(ExporterRequests, WaitTimeAndWorkers) {
    using namespace std::chrono_literals;
    const auto t = SteadyClock::now();
    WaitTime w;
    EXPECT_EQ(w.Total(), 0ns);
    w.Add(t + 2s, t + 3s);
    w.Add(t, t + 1s);
    w.Add(t + 500ms, t + 1500ms);
    w.Add(t + 5s, t + 4s);  // backwards: ignored
    EXPECT_EQ(w.Total(), 2500ms);

    std::atomic<int> done{0};
    {
        Workers workers(3);
        for (int i = 0; i < 20; ++i) workers.Post([&] { ++done; });
    }  // the destructor runs what was posted
    EXPECT_EQ(done, 20);
}

// /probe's target and module, and the time a page may take.
TEST(ExporterProbe, TargetModuleAndTimeLimit) {
    Config c;
    ParseConfig(
        "modules:\n  m:\n    parameters:\n      - {name: A.B, metric: kivo_ab, help: h}\n"
        "  n:\n    parameters:\n      - {name: C.D, metric: kivo_cd, help: h}\n"
        "targets:\n  - {interface: eth1, mac: 02:00:00:00:00:0a, module: m, name: office}\n"
        "  - {interface: eth2, mac: 02:00:00:00:00:0a, module: n}\n"
        "  - {interface: eth2, mac: 02:00:00:00:00:0b, module: n}\n",
        "k.yml", "", c);
    auto ok = [&](const std::string& target, const std::string& module) {
        const auto r = ResolveProbe(c, target, module);
        if (const auto* e = std::get_if<std::string>(&r)) {
            ADD_FAILURE() << target << ": " << *e;
            return ProbeRequest{99, ""};
        }
        return std::get<ProbeRequest>(r);
    };
    auto error = [&](const std::string& target, const std::string& module) {
        const auto r = ResolveProbe(c, target, module);
        return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "";
    };
    EXPECT_EQ(ok("office", "").target, 0u);
    EXPECT_EQ(ok("office", "").module, "m");
    EXPECT_EQ(ok("eth2/02-00-00-00-00-0A", "").target, 1u);
    EXPECT_EQ(ok("02:00:00:00:00:0b", "m").module, "m");  // another module's parameters
    EXPECT_EQ(
        error("02:00:00:00:00:0a", ""),
        "target '02:00:00:00:00:0a' is on more than one interface: name it as INTERFACE/02:00:00:00:00:0a");
    EXPECT_NE(error("", "").find("the parameter 'target' is missing"), std::string::npos);
    EXPECT_NE(error("02:00:00:00:00:0c", "").find("is no configured device"), std::string::npos);
    EXPECT_NE(error("eth9/02:00:00:00:00:0b", "").find("is no configured device"), std::string::npos);
    EXPECT_EQ(error("office", "x"), "module 'x' is not in the configuration file (modules: m, n)");

    EXPECT_NE(ErrorOf("modules:\n  m:\n    parameters:\n      - {name: A, metric: a, help: h}\ntargets:\n"
                      "  - {interface: e, mac: 02:00:00:00:00:01, module: m, name: a}\n"
                      "  - {interface: e, mac: 02:00:00:00:00:02, module: m, name: a}\n")
                  .find("k.yml:7: the name 'a' is given to two targets"),
              std::string::npos);
    EXPECT_NE(ErrorOf("modules:\n  m:\n    parameters:\n      - {name: A, metric: a, help: h}\ntargets:\n"
                      "  - {interface: e, mac: 02:00:00:00:00:01, module: m, name: \"a b\"}\n")
                  .find("k.yml:6: the name 'a b' must be"),
              std::string::npos);

    using namespace std::chrono_literals;
    EXPECT_EQ(PageTimeLimit(10s, std::nullopt), 10s);
    EXPECT_EQ(PageTimeLimit(10s, "2"), 1500ms);
    EXPECT_EQ(PageTimeLimit(10s, "30"), 10s);     // the configured limit is the longest
    EXPECT_EQ(PageTimeLimit(10s, "0.5"), 100ms);  // never under 100 ms
    for (const char* bad : {"", "x", "-1", "nan", "inf", "1e9", "2s"})
        EXPECT_EQ(PageTimeLimit(10s, bad), 10s) << bad;
}
