// The discovery that runs beside the scrapes, on its own interval: the device counts by
// interface and kind.
#include <map>
#include <optional>
#include <set>

#include "collector.h"

namespace kivo::exporter {

namespace kc = kivo::client;

namespace {

const char* const kKinds[] = {"lcmp", "scp", "bootrom", "bootrom-v3"};

}  // namespace

void Collector::StartDiscovery() {
    if (!config_.discoveryEnabled || config_.discoveryInterfaces.empty()) return;
    discovery_ = std::thread([this] { DiscoveryLoop(); });
}

void Collector::DiscoveryLoop() {
    for (;;) {
        const auto next = SteadyClock::now() + config_.discoveryInterval;
        DiscoverRound();
        std::unique_lock lock(stateMutex_);
        if (stateCv_.wait_until(lock, next, [this] { return stop_; })) return;
    }
}

bool Collector::WaitForPages() {
    // Pages go first (a discovery occupies a one-at-a-time service for 3 s), but a stream
    // of pages does not hold discovery off for good.
    std::unique_lock lock(stateMutex_);
    stateCv_.wait_for(lock, kMaxDiscoveryWait, [this] { return stop_ || pages_ == 0; });
    return !stop_;
}

std::optional<std::map<std::string, std::set<kc::Mac>>> Collector::DiscoverOn(const std::string& ifname) {
    std::map<std::string, std::set<kc::Mac>> found;
    for (const bool lcmp : {false, true}) {
        if (!WaitForPages()) return std::nullopt;
        const auto code = lcmp ? kc::RequestCode::kDiscoverLcmp : kc::RequestCode::kDiscover;
        auto c = pool_.Acquire();
        c->SetTimeout(kc::DefaultTimeout(code));
        const kc::DiscoverRequest req{ifname, 0};
        const auto sent = SteadyClock::now();
        auto r = lcmp ? c->DiscoverLcmp(req) : c->Discover(req);
        const auto o = r ? Outcome::kAnswered : Classify(r.error(), false);
        watch_.Record(o, sent);
        if (o == Outcome::kUnanswered) c.Discard();
        if (!r) {
            // A service without LCMP discovery still counts its legacy devices.
            if (r.error().kind == kc::ErrorKind::kUnsupported) continue;
            return std::nullopt;
        }
        for (const auto& d : *r) found[kc::DeviceKindName(d.type)].insert(d.mac);
    }
    return found;
}

void Collector::DiscoverRound() {
    for (const auto& ifname : config_.discoveryInterfaces) {
        const auto found = DiscoverOn(ifname);
        if (!found) continue;  // keep this interface's last counts rather than report zeros
        std::lock_guard lock(stateMutex_);
        for (const char* kind : kKinds) devices_[{ifname, kind}] = 0;
        for (const auto& [kind, macs] : *found) devices_[{ifname, kind}] = macs.size();
    }
}

void Collector::CollectDiscovery(MetricsText& m) {
    std::lock_guard lock(stateMutex_);
    for (const auto& [key, n] : devices_)
        m.Sample(family::kDevices, {{"interface", key.first}, {"kind", key.second}}, static_cast<double>(n));
}

}  // namespace kivo::exporter
