#include "collector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "metrics.h"

namespace kivo::exporter {

namespace kc = kivo::client;
using namespace std::chrono_literals;

namespace {

// Requests shorter than this would fail on the loopback's own delay before the service
// could answer; better not to send them at all.
constexpr auto kMinRequestBudget = 50ms;

const char* const kKinds[] = {"lcmp", "scp", "bootrom", "bootrom-v3"};

double Seconds(std::chrono::nanoseconds d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

std::optional<double> ParseParamValue(const std::string& raw) {
    size_t b = raw.find_first_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    const size_t e = raw.find_last_not_of(" \t");
    const std::string text = raw.substr(b, e - b + 1);
    if (text == "YES" || text == "TRUE" || text == "yes" || text == "true") return 1.0;
    if (text == "NO" || text == "FALSE" || text == "no" || text == "false") return 0.0;
    // Decimal only: strtod would also read hex, "inf" and "nan" out of a string parameter.
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'))
            return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

Collector::Collector(const Config& config, std::string version)
    : config_(config), version_(std::move(version)), client_(config.servicePort) {
    // One attempt per request: a second one would spend the scrape's time on a service
    // that just failed to answer within it.
    client_.SetReadAttempts(1);
    for (uint16_t code = 1; std::string(protocol::ReasonName(code)) != "unknown"; ++code)
        failures_[protocol::ReasonName(code)] = 0;
}

Collector::~Collector() {
    {
        std::lock_guard lock(stateMutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    if (discovery_.joinable()) discovery_.join();
}

void Collector::StartDiscovery() {
    if (!config_.discoveryEnabled || config_.discoveryInterfaces.empty()) return;
    discovery_ = std::thread([this] { DiscoveryLoop(); });
}

void Collector::DiscoveryLoop() {
    for (;;) {
        const auto next = SteadyClock::now() + config_.discoveryInterval;
        DiscoverRound();
        std::unique_lock lock(stateMutex_);
        if (stopCv_.wait_until(lock, next, [this] { return stop_; })) return;
    }
}

bool Collector::DiscoverRound() {
    bool allOk = true;
    for (const auto& ifname : config_.discoveryInterfaces) {
        std::map<std::string, std::set<kc::Mac>> found;
        bool ok = true;
        for (const bool lcmp : {false, true}) {
            {
                std::lock_guard stopLock(stateMutex_);
                if (stop_) return false;
            }
            // Per request, not per round: a scrape waits for one discovery at most.
            std::lock_guard lock(serviceMutex_);
            const auto code = lcmp ? kc::RequestCode::kDiscoverLcmp : kc::RequestCode::kDiscover;
            client_.SetTimeout(kc::DefaultTimeout(code));
            const kc::DiscoverRequest req{ifname, 0};
            auto r = lcmp ? client_.DiscoverLcmp(req) : client_.Discover(req);
            if (!r) {
                // A service without LCMP discovery still counts its legacy devices.
                if (r.error().kind == kc::ErrorKind::kUnsupported) continue;
                ok = false;
                break;
            }
            for (const auto& d : *r) found[kc::DeviceKindName(d.type)].insert(d.mac);
        }
        if (!ok) {
            allOk = false;
            continue;  // keep this interface's last counts rather than report zeros
        }
        std::lock_guard lock(stateMutex_);
        for (const char* kind : kKinds) devices_[{ifname, kind}] = 0;
        for (const auto& [kind, macs] : found) devices_[{ifname, kind}] = macs.size();
    }
    return allOk;
}

bool Collector::Budget(SteadyClock::time_point deadline, kc::RequestCode code, kc::Protocol protocol) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left < kMinRequestBudget) return false;
    client_.SetTimeout(std::min(left, kc::DefaultTimeout(code, protocol)));
    return true;
}

void Collector::CountReason(const std::string& reason, uint64_t n) {
    std::lock_guard lock(stateMutex_);
    failures_[reason] += n;
}

void Collector::CountFailure(const kc::Error& error, std::chrono::nanoseconds& serviceTime) {
    // A service that did not answer in time is still working on the request: asking it
    // why would only queue behind it.
    if (error.kind == kc::ErrorKind::kNoService) {
        CountReason(protocol::ReasonName(protocol::Reason::kNoAnswer));
        return;
    }
    client_.SetTimeout(kc::DefaultTimeout(kc::RequestCode::kFailureDetail));
    const auto start = SteadyClock::now();
    auto d = client_.GetFailureDetail();
    serviceTime += SteadyClock::now() - start;
    // Only the detail of this very request tells why it failed.
    if (d && d->any && d->seq == error.seq && d->request == static_cast<uint8_t>(error.request))
        CountReason(protocol::ReasonName(d->reason.code));
    else
        CountReason(protocol::ReasonName(0xFFFF));  // "unknown"
}

std::string Collector::Scrape(SteadyClock::time_point deadline) {
    const auto start = SteadyClock::now();
    std::chrono::nanoseconds serviceTime{0};
    MetricsText m;
    m.Family("kivo_exporter_build_info",
             "A metric with a constant '1' value labeled by the exporter's version.", "gauge");
    m.Sample("kivo_exporter_build_info", {{"version", version_}}, 1);
    m.Family("kivo_up", "Whether kivohost answered this scrape's version request (1) or not (0).", "gauge");
    m.Family("kivo_device_up", "Whether the device answered this scrape's parameter read (1) or not (0).",
             "gauge");
    m.Family("kivo_scrape_deadline_exceeded",
             "Whether this scrape ran out of time before reading every device (1) or not (0).", "gauge");
    // Parameter families in configuration order, so that the page reads like the file.
    for (const auto& [name, list] : config_.modules)
        for (const auto& p : list)
            m.Family(p.metric, p.help, p.type == MetricType::kCounter ? "counter" : "gauge");
    m.Family("kivo_firmware_transfer_state", "The firmware transfer's state (1 for the current one).",
             "gauge");
    m.Family("kivo_firmware_transfer_bytes", "Bytes of the current or last firmware transfer acknowledged.",
             "gauge");
    m.Family("kivo_firmware_transfer_size_bytes", "Size of the current or last firmware transfer's file.",
             "gauge");

    bool timedOut = false;
    uint64_t valueErrors = 0;
    std::unique_lock lock(serviceMutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) {
        timedOut = true;
    } else {
        bool up = false;
        if (Budget(deadline, kc::RequestCode::kVersion, kc::Protocol::kLcmp)) {
            const auto t0 = SteadyClock::now();
            up = client_.GetVersion().ok();
            serviceTime += SteadyClock::now() - t0;
        } else {
            timedOut = true;
        }
        if (!timedOut) m.Sample("kivo_up", {}, up ? 1 : 0);

        for (const auto& t : config_.targets) {
            const Labels labels{{"mac", protocol::MacText(t.mac)}, {"interface", t.interface}};
            if (!up) {
                m.Sample("kivo_device_up", labels, 0);
                continue;
            }
            const auto proto = t.protocol == TargetProtocol::kScp ? kc::Protocol::kScp : kc::Protocol::kLcmp;
            if (!Budget(deadline, kc::RequestCode::kGet, proto)) {
                // Not read at all: no sample, rather than a claim that it is down.
                timedOut = true;
                continue;
            }
            kc::DeviceAddress addr{proto, t.interface, t.vlan, t.mac, t.password};
            std::vector<std::string> names;
            for (const auto& p : *t.params) names.push_back(p.parameter);
            const auto t0 = SteadyClock::now();
            auto r = client_.Get(addr, names);
            serviceTime += SteadyClock::now() - t0;
            if (!r) {
                m.Sample("kivo_device_up", labels, 0);
                CountFailure(r.error(), serviceTime);
                continue;
            }
            m.Sample("kivo_device_up", labels, 1);
            uint64_t refused = 0;
            for (const auto& p : *t.params) {
                const auto it = std::find_if(r->params.begin(), r->params.end(),
                                             [&](const kc::Param& q) { return q.name == p.parameter; });
                if (it == r->params.end()) {
                    ++valueErrors;  // not answered: the service stops at a refused name
                    continue;
                }
                if (it->refused) {
                    ++refused;
                    continue;
                }
                const auto v = ParseParamValue(it->value);
                if (!v) {
                    ++valueErrors;
                    continue;
                }
                m.Sample(p.metric, labels, *v);
            }
            if (refused) CountReason(protocol::ReasonName(protocol::Reason::kDeviceRefused), refused);
        }

        if (up && Budget(deadline, kc::RequestCode::kFwStatus, kc::Protocol::kLcmp)) {
            const auto t0 = SteadyClock::now();
            auto fw = client_.GetFwStatus();
            serviceTime += SteadyClock::now() - t0;
            if (fw) {
                for (uint8_t s = 0; s <= 6; ++s)
                    m.Sample("kivo_firmware_transfer_state", {{"state", kc::FwStateName(s)}},
                             fw->state == s ? 1 : 0);
                m.Sample("kivo_firmware_transfer_bytes", {}, fw->bytes);
                m.Sample("kivo_firmware_transfer_size_bytes", {}, fw->total);
            } else {
                CountFailure(fw.error(), serviceTime);
            }
        } else if (up) {
            timedOut = true;
        }
        lock.unlock();
    }
    m.Sample("kivo_scrape_deadline_exceeded", {}, timedOut ? 1 : 0);

    m.Family("kivo_devices", "Devices the last discovery found, by interface and kind.", "gauge");
    m.Family("kivo_request_failures_total",
             "Requests to kivohost that failed, by the service's reason (refused parameters count as "
             "'device refused').",
             "counter");
    m.Family("kivo_parameter_value_errors_total",
             "Configured parameters whose value was missing from the answer or was not a number.", "counter");
    {
        std::lock_guard state(stateMutex_);
        valueErrors_ += valueErrors;
        for (const auto& [key, n] : devices_)
            m.Sample("kivo_devices", {{"interface", key.first}, {"kind", key.second}},
                     static_cast<double>(n));
        for (const auto& [reason, n] : failures_)
            m.Sample("kivo_request_failures_total", {{"reason", reason}}, static_cast<double>(n));
        m.Sample("kivo_parameter_value_errors_total", {}, static_cast<double>(valueErrors_));
    }
    m.Family("kivo_scrape_service_seconds", "Time this scrape spent waiting for kivohost's answers.",
             "gauge");
    m.Sample("kivo_scrape_service_seconds", {}, Seconds(serviceTime));
    m.Family("kivo_scrape_duration_seconds", "Time this scrape took, up to writing this line.", "gauge");
    m.Sample("kivo_scrape_duration_seconds", {}, Seconds(SteadyClock::now() - start));
    return m.Render();
}

}  // namespace kivo::exporter
