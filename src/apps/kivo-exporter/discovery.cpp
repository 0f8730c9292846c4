// The discovery that runs beside the scrapes, on its own interval: the device counts by
// interface and kind.
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
            gate_.Acquire();
            struct Release {
                Gate& gate;
                ~Release() { gate.Release(); }
            } release{gate_};
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

void Collector::CollectDiscovery(MetricsText& m) {
    std::lock_guard lock(stateMutex_);
    for (const auto& [key, n] : devices_)
        m.Sample(family::kDevices, {{"interface", key.first}, {"kind", key.second}}, static_cast<double>(n));
}

}  // namespace kivo::exporter
