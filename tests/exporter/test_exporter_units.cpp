// kivo-exporter's pieces without a network: the configuration, the exposition text,
// parameter values, the listen address and basic authentication.
#include <crypt.h>
#include <gtest/gtest.h>

#include <memory>

#include "collector.h"
#include "config.h"
#include "metrics.h"
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
