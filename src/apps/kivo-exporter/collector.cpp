#include "collector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "metrics.h"

namespace kivo::exporter {

namespace kc = kivo::client;
using namespace std::chrono_literals;

namespace {

// Requests with less time than this would fail on the loopback's own delay before the service
// could answer; better not to send them at all.
constexpr auto kMinRequestBudget = 50ms;

double Seconds(std::chrono::nanoseconds d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

bool Collector::Gate::AcquireUntil(SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (deadline == SteadyClock::time_point::max())
        free_.wait(lock, [this] { return !busy_; });
    else if (!free_.wait_until(lock, deadline, [this] { return !busy_; }))
        return false;
    busy_ = true;
    return true;
}

void Collector::Gate::Release() {
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    free_.notify_one();
}

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

bool Collector::CollectService(MetricsText& m, ScrapeState& s) {
    bool up = false;
    if (Budget(s.deadline, kc::RequestCode::kVersion, kc::Protocol::kLcmp)) {
        const auto t0 = SteadyClock::now();
        up = client_.GetVersion().ok();
        s.serviceTime += SteadyClock::now() - t0;
    } else {
        s.timedOut = true;
    }
    if (!s.timedOut) m.Sample(family::kUp, {}, up ? 1 : 0);
    return up;
}

void Collector::CollectDevice(MetricsText& m, ScrapeState& s, const Target& t, bool up) {
    const Labels labels{{"mac", protocol::MacText(t.mac)}, {"interface", t.interface}};
    if (!up) {
        m.Sample(family::kDeviceUp, labels, 0);
        return;
    }
    const auto proto = t.protocol == TargetProtocol::kScp ? kc::Protocol::kScp : kc::Protocol::kLcmp;
    if (!Budget(s.deadline, kc::RequestCode::kGet, proto)) {
        // Not read at all: no sample, rather than a claim that it is down.
        s.timedOut = true;
        return;
    }
    kc::DeviceAddress addr{proto, t.interface, t.vlan, t.mac, t.password};
    std::vector<std::string> names;
    for (const auto& p : *t.params) names.push_back(p.parameter);
    const auto t0 = SteadyClock::now();
    auto r = client_.Get(addr, names);
    s.serviceTime += SteadyClock::now() - t0;
    if (!r) {
        m.Sample(family::kDeviceUp, labels, 0);
        CountFailure(r.error(), s.serviceTime);
        return;
    }
    m.Sample(family::kDeviceUp, labels, 1);
    uint64_t refused = 0;
    for (const auto& p : *t.params) {
        const auto it = std::find_if(r->params.begin(), r->params.end(),
                                     [&](const kc::Param& q) { return q.name == p.parameter; });
        if (it == r->params.end()) {
            ++s.valueErrors;  // not answered: the service stops at a refused name
            continue;
        }
        if (it->refused) {
            ++refused;
            continue;
        }
        const auto v = ParseParamValue(it->value);
        if (!v) {
            ++s.valueErrors;
            continue;
        }
        m.Sample(p.metric, labels, *v);
    }
    if (refused) CountReason(protocol::ReasonName(protocol::Reason::kDeviceRefused), refused);
}

void Collector::CollectTransfers(MetricsText& m, ScrapeState& s) {
    if (!Budget(s.deadline, kc::RequestCode::kFwStatus, kc::Protocol::kLcmp)) {
        s.timedOut = true;
        return;
    }
    const auto t0 = SteadyClock::now();
    auto fw = client_.GetFwStatus();
    s.serviceTime += SteadyClock::now() - t0;
    if (!fw) {
        CountFailure(fw.error(), s.serviceTime);
        return;
    }
    for (uint8_t st = 0; st <= 6; ++st)
        m.Sample(family::kFwState, {{"state", kc::FwStateName(st)}}, fw->state == st ? 1 : 0);
    m.Sample(family::kFwBytes, {}, fw->bytes);
    m.Sample(family::kFwSize, {}, fw->total);
}

void Collector::CollectCounters(MetricsText& m, const ScrapeState& s) {
    std::lock_guard state(stateMutex_);
    valueErrors_ += s.valueErrors;
    for (const auto& [reason, n] : failures_)
        m.Sample(family::kFailures, {{"reason", reason}}, static_cast<double>(n));
    m.Sample(family::kValueErrors, {}, static_cast<double>(valueErrors_));
}

std::string Collector::Scrape(SteadyClock::time_point deadline) {
    const auto start = SteadyClock::now();
    MetricsText m;
    for (const FamilyDef* f : OwnFamilies()) m.Family(*f);
    // Parameter families in configuration order, so that the page reads like the file.
    for (const auto& [name, list] : config_.modules)
        for (const auto& p : list)
            m.Family(p.metric, p.help, p.type == MetricType::kCounter ? "counter" : "gauge");
    m.Sample(family::kBuildInfo, {{"version", version_}}, 1);

    ScrapeState s{deadline};
    if (!gate_.AcquireUntil(deadline)) {
        s.timedOut = true;
    } else {
        struct Release {
            Gate& gate;
            ~Release() { gate.Release(); }
        } release{gate_};
        const bool up = CollectService(m, s);
        for (const auto& t : config_.targets) CollectDevice(m, s, t, up);
        if (up) CollectTransfers(m, s);
    }
    m.Sample(family::kDeadlineExceeded, {}, s.timedOut ? 1 : 0);
    CollectDiscovery(m);
    CollectCounters(m, s);
    m.Sample(family::kServiceSeconds, {}, Seconds(s.serviceTime));
    m.Sample(family::kDuration, {}, Seconds(SteadyClock::now() - start));
    return m.Render();
}

}  // namespace kivo::exporter
