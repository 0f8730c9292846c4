#include "transfers.h"

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace kivo::exporter {

namespace kc = kivo::client;

namespace {

constexpr uint8_t kLastState = 6;

// A label value from the service's bytes: printable ASCII, anything else as '?', so that
// the page stays valid UTF-8 whatever the service sends.
std::string LabelText(const std::string& raw) {
    std::string out = raw;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    return out;
}

}  // namespace

void WriteTransfers(MetricsText& m, const kc::FwTransfers& list) {
    m.Sample(family::kFwTransfers, {}, static_cast<double>(list.transfers.size()));
    // The most recent transfer per label set; among equal start times the later listed.
    using Key = std::tuple<std::string, std::string, std::string>;
    std::map<Key, size_t> latest;
    for (size_t i = 0; i < list.transfers.size(); ++i) {
        const kc::FwTransfer& t = list.transfers[i];
        const Key key{t.device ? kc::MacText(*t.device) : std::string(), LabelText(t.interface),
                      kc::FwKindName(t.kind)};
        auto [it, added] = latest.emplace(key, i);
        if (!added && list.transfers[it->second].startMs <= t.startMs) it->second = i;
    }
    std::vector<std::pair<Key, size_t>> shown(latest.begin(), latest.end());
    if (shown.size() > kMaxTransfers) {
        std::stable_sort(shown.begin(), shown.end(), [&](const auto& a, const auto& b) {
            return list.transfers[a.second].startMs > list.transfers[b.second].startMs;
        });
        shown.resize(kMaxTransfers);
    }
    // In the service's order, oldest first, whatever the labels.
    std::sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    for (const auto& [key, index] : shown) {
        const kc::FwTransfer& t = list.transfers[index];
        const Labels labels{
            {"mac", std::get<0>(key)}, {"interface", std::get<1>(key)}, {"kind", std::get<2>(key)}};
        for (uint8_t st = 0; st <= kLastState; ++st) {
            Labels withState = labels;
            withState.emplace_back("state", kc::FwStateName(st));
            m.Sample(family::kFwState, withState, t.state == st ? 1 : 0);
        }
        m.Sample(family::kFwBytes, labels, t.bytes);
        m.Sample(family::kFwSize, labels, t.total);
        m.Sample(family::kFwRetransmissions, labels, t.retransmissions);
        m.Sample(family::kFwDuration, labels, static_cast<double>(t.DurationMs(list.nowMs)) / 1000);
    }
}

void WriteFwStatus(MetricsText& m, const kc::FwStatus& s) {
    for (uint8_t st = 0; st <= kLastState; ++st)
        m.Sample(family::kFwState, {{"state", kc::FwStateName(st)}}, s.state == st ? 1 : 0);
    m.Sample(family::kFwBytes, {}, s.bytes);
    m.Sample(family::kFwSize, {}, s.total);
    if (s.retransmissions) m.Sample(family::kFwRetransmissions, {}, *s.retransmissions);
}

}  // namespace kivo::exporter
