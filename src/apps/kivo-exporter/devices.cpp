// The devices' collector: one read per configured device on the workers, each within the
// read's own time-out, and the samples of the readings a page has not shown yet.
#include <algorithm>

#include "collector.h"

namespace kivo::exporter {

namespace kc = kivo::client;

namespace {

kc::Protocol ProtocolOf(const Target& t) {
    return t.protocol == TargetProtocol::kScp ? kc::Protocol::kScp : kc::Protocol::kLcmp;
}

}  // namespace

std::optional<Collector::Reading> Collector::ReadDevice(const Target& t,
                                                        const std::vector<ParamMetric>& params,
                                                        SteadyClock::time_point pageDeadline) {
    const auto proto = ProtocolOf(t);
    // A read that waited on the workers past its page's deadline is not worth sending.
    if (!BudgetFor(SteadyClock::now(), pageDeadline, kc::DefaultTimeout(kc::RequestCode::kGet, proto)))
        return std::nullopt;
    std::vector<std::string> names;
    for (const auto& p : params) names.push_back(p.parameter);
    auto c = pool_.Acquire();
    c->SetTimeout(kc::DefaultTimeout(kc::RequestCode::kGet, proto));
    Reading reading;
    reading.started = SteadyClock::now();
    auto r = c->Get({proto, t.interface, t.vlan, t.mac, t.password}, names);
    reading.completed = SteadyClock::now();
    reading.outcome = r ? Outcome::kAnswered : Classify(r.error(), false);
    watch_.Record(reading.outcome, reading.started);
    if (reading.outcome == Outcome::kUnanswered) {
        CountReason(protocol::ReasonName(protocol::Reason::kNoAnswer));
        c.Discard();  // the client goes with the request it gave up on
        return reading;
    }
    if (reading.outcome == Outcome::kFailed || reading.outcome == Outcome::kOtherAnswer)
        CountFailure(*c, r.error(), kc::DefaultTimeout(kc::RequestCode::kFailureDetail));
    if (!r) return reading;

    uint64_t refused = 0, valueErrors = 0;
    for (const auto& p : params) {
        const auto it = std::find_if(r->params.begin(), r->params.end(),
                                     [&](const kc::Param& q) { return q.name == p.parameter; });
        if (it == r->params.end()) {
            ++valueErrors;  // not answered: the service stops at a refused name
        } else if (it->refused) {
            ++refused;
        } else if (const auto v = ParseParamValue(it->value)) {
            reading.values.emplace_back(p.metric, *v);
        } else {
            ++valueErrors;
        }
    }
    if (refused) CountReason(protocol::ReasonName(protocol::Reason::kDeviceRefused), refused);
    std::lock_guard lock(stateMutex_);
    valueErrors_ += valueErrors;
    return reading;
}

bool Collector::StartRead(Pass& pass, const Item& item) {
    bool suspect = false;
    {
        std::lock_guard lock(readsMutex_);
        auto& slot = slots_[item.key];
        if (slot.pending) return false;
        slot.pending = true;
        suspect = slot.suspect;
    }
    pass.started.insert(item.key);
    // Suspects have workers of their own: silent devices never hold up a live one's read.
    (suspect ? suspectWorkers_ : workers_).Post([this, item, deadline = pass.deadline] {
        auto reading = ReadDevice(*item.target, *item.params, deadline);
        {
            std::lock_guard lock(readsMutex_);
            auto& slot = slots_[item.key];
            slot.pending = false;
            if (reading) {
                slot.suspect = reading->outcome != Outcome::kAnswered;
                slot.latest = std::move(*reading);
            }
        }
        readsCv_.notify_all();
    });
    return true;
}

bool Collector::WaitReads(const Pass& pass, const std::vector<Item>& items) {
    std::unique_lock lock(readsMutex_);
    return readsCv_.wait_until(lock, pass.deadline, [&] {
        return std::none_of(items.begin(), items.end(), [&](const Item& i) { return slots_[i.key].pending; });
    });
}

void Collector::ReadDevices(Pass& pass, const std::vector<Item>& items,
                            const std::function<void()>& meanwhile) {
    // Devices whose last read went unanswered come after the others, so that against a
    // service that serves one request at a time a silent device delays no live one.
    std::vector<Item> first, later;
    {
        std::lock_guard lock(readsMutex_);
        for (const auto& i : items) (slots_[i.key].suspect ? later : first).push_back(i);
    }
    for (const auto& i : first) StartRead(pass, i);
    meanwhile();
    if (!later.empty() && WaitReads(pass, first))
        for (const auto& i : later) StartRead(pass, i);
}

void Collector::CollectDevices(MetricsText& m, Pass& pass, const std::vector<Item>& items) {
    // The page waits for the reads it started and for live devices' reads another page
    // started, not for a silent device's read that an earlier page left running.
    std::vector<Item> awaited;
    {
        std::lock_guard lock(readsMutex_);
        for (const auto& i : items)
            if (pass.started.count(i.key) || !slots_[i.key].suspect) awaited.push_back(i);
    }
    WaitReads(pass, awaited);
    const auto now = SteadyClock::now();
    std::lock_guard lock(readsMutex_);
    for (const auto& item : items) {
        auto& slot = slots_[item.key];
        if (slot.pending) pass.deadlineExceeded = true;
        // A reading is shown by the page during which it ended, or by the next one.
        const bool fresh =
            slot.latest && (slot.latest->completed > slot.shownUntil || slot.latest->completed >= pass.start);
        slot.shownUntil = std::max(slot.shownUntil, now);
        if (!fresh) {
            if (!slot.pending) pass.deadlineExceeded = true;  // not even started in time
            continue;
        }
        const auto& r = *slot.latest;
        if (r.completed >= pass.start) {
            pass.waits.Add(std::max(r.started, pass.start), r.completed);
            if (ServiceAnswered(r.outcome)) pass.anyAnswered = true;
            if (r.outcome == Outcome::kNotListening) pass.anyNotListening = true;
        }
        // Down only when the service said the read failed; unknown otherwise.
        if (r.outcome != Outcome::kAnswered && r.outcome != Outcome::kFailed) continue;
        const Labels labels{{"mac", protocol::MacText(item.target->mac)},
                            {"interface", item.target->interface}};
        m.Sample(family::kDeviceUp, labels, r.outcome == Outcome::kAnswered ? 1 : 0);
        for (const auto& [metric, value] : r.values) m.Sample(metric, labels, value);
    }
}

}  // namespace kivo::exporter
