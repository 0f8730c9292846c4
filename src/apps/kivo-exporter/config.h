// Configuration of kivo-exporter: the targets and what to export from them (--config.file),
// and the web settings for TLS and basic authentication (--web.config.file).
//
// Both files are read once at start. Every problem is reported as one line that names the
// file and the line it found, so that an operator can fix the file without reading code.
#ifndef KIVO_EXPORTER_CONFIG_H
#define KIVO_EXPORTER_CONFIG_H

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivo_protocol.h"

namespace kivo::exporter {

// A configuration problem, already worded for the operator ("FILE:LINE: what; what to do").
class ConfigError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

enum class MetricType { kGauge, kCounter };

// One device parameter exported as its own metric.
struct ParamMetric {
    std::string parameter;  // the device's name, e.g. SYSTEM.GENERAL.SPEED
    std::string metric;     // the exported name, e.g. kivo_link_speed_mbps
    std::string help;
    MetricType type = MetricType::kGauge;
};

enum class TargetProtocol { kLcmp, kScp };

struct Target {
    std::string name;  // optional: how /probe?target= may name it
    std::string interface;
    protocol::Mac mac{};
    TargetProtocol protocol = TargetProtocol::kLcmp;
    uint16_t vlan = 0;
    std::string password;  // read from the target's password file
    std::string module;
    const std::vector<ParamMetric>* params = nullptr;  // the module's list, owned by Config
};

struct Config {
    uint16_t servicePort = protocol::kDefaultPort;
    // Upper bound of one scrape; a shorter Prometheus scrape timeout wins.
    std::chrono::milliseconds scrapeTimeout{10000};
    std::chrono::milliseconds discoveryInterval{60000};
    std::vector<std::string> discoveryInterfaces;  // empty: the targets' interfaces
    bool discoveryEnabled = true;
    std::map<std::string, std::vector<ParamMetric>> modules;
    std::vector<Target> targets;

    Config() = default;
    // Targets point into modules: copying would leave them pointing into the source.
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;
};

// Reads the exporter configuration. `name` is the file name used in messages; password
// files named relative are taken relative to `baseDir`. Throws ConfigError.
void ParseConfig(const std::string& text, const std::string& name, const std::string& baseDir, Config& out);
void LoadConfig(const std::string& path, Config& out);

struct WebConfig {
    std::string certFile;  // both empty: plain HTTP
    std::string keyFile;
    std::map<std::string, std::string> users;  // user -> bcrypt hash
    bool Tls() const { return !certFile.empty(); }
};

WebConfig ParseWebConfig(const std::string& text, const std::string& name, const std::string& baseDir);
WebConfig LoadWebConfig(const std::string& path);

// True for a target name: 1 to 64 of [A-Za-z0-9_.-].
bool TargetNameValid(const std::string& name);
// True for a metric name Prometheus accepts ([a-zA-Z_:][a-zA-Z0-9_:]*).
bool ValidMetricName(const std::string& name);
// Parses "30s", "1m", "500ms", "1m30s" (Prometheus duration syntax, units ms s m h).
bool ParseDuration(const std::string& text, std::chrono::milliseconds& out);

}  // namespace kivo::exporter

#endif
