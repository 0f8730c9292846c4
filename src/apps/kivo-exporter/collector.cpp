#include "collector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "transfers.h"

namespace kivo::exporter {

namespace kc = kivo::client;
using namespace std::chrono_literals;

namespace {

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

void WaitTime::Add(SteadyClock::time_point from, SteadyClock::time_point to) {
    if (to > from) spans_.emplace_back(from, to);
}

std::chrono::nanoseconds WaitTime::Total() const {
    auto spans = spans_;
    std::sort(spans.begin(), spans.end());
    std::chrono::nanoseconds total{0};
    std::optional<std::pair<SteadyClock::time_point, SteadyClock::time_point>> run;
    for (const auto& s : spans) {
        if (run && s.first <= run->second) {
            run->second = std::max(run->second, s.second);
            continue;
        }
        if (run) total += run->second - run->first;
        run = s;
    }
    if (run) total += run->second - run->first;
    return total;
}

Collector::Collector(const Config& config, std::string version)
    : config_(config), version_(std::move(version)), pool_(config.servicePort, ClientOptions()) {
    for (uint16_t code = 1; std::string(protocol::ReasonName(code)) != "unknown"; ++code)
        failures_[protocol::ReasonName(code)] = 0;
}

Collector::~Collector() {
    {
        std::lock_guard lock(stateMutex_);
        stop_ = true;
    }
    stateCv_.notify_all();
    if (discovery_.joinable()) discovery_.join();
}

Collector::PageScope::PageScope(Collector& c) : c_(c) {
    std::lock_guard lock(c_.stateMutex_);
    ++c_.pages_;
}

Collector::PageScope::~PageScope() {
    {
        std::lock_guard lock(c_.stateMutex_);
        --c_.pages_;
    }
    c_.stateCv_.notify_all();
}

void Collector::CountReason(const std::string& reason, uint64_t n) {
    std::lock_guard lock(stateMutex_);
    failures_[reason] += n;
}

void Collector::CountFailure(kc::Client& c, const kc::Error& error, std::chrono::milliseconds budget) {
    // Asked on the client that failed: a service that serves clients side by side tells
    // each client about its own last failure.
    c.SetTimeout(budget);
    auto d = c.GetFailureDetail();
    // Only the detail of this very request tells why it failed.
    if (d && d->any && d->seq == error.seq && d->request == static_cast<uint8_t>(error.request))
        CountReason(protocol::ReasonName(d->reason.code));
    else
        CountReason(protocol::ReasonName(0xFFFF));  // "unknown"
}

void Collector::Record(Pass& pass, Outcome o, SteadyClock::time_point sent) {
    watch_.Record(o, sent);
    if (ServiceAnswered(o)) pass.anyAnswered = true;
    if (o == Outcome::kNotListening) pass.anyNotListening = true;
    if (o == Outcome::kCutShort) pass.deadlineExceeded = true;
}

template <typename Call>
auto Collector::Ask(Pass& pass, kc::RequestCode code, Call call, bool mayBeUnsupported)
    -> std::optional<decltype(call(std::declval<kc::Client&>()))> {
    const auto budget = BudgetFor(SteadyClock::now(), pass.deadline, kc::DefaultTimeout(code));
    if (!budget) {
        pass.deadlineExceeded = true;
        return std::nullopt;
    }
    auto c = pool_.Acquire();
    c->SetTimeout(budget->timeout);
    const auto sent = SteadyClock::now();
    auto r = call(*c);
    pass.waits.Add(sent, SteadyClock::now());
    const auto o = r ? Outcome::kAnswered : Classify(r.error(), budget->cutShort);
    Record(pass, o, sent);
    if (o == Outcome::kUnanswered) CountReason(protocol::ReasonName(protocol::Reason::kNoAnswer));
    const bool expected = mayBeUnsupported && !r && r.error().kind == kc::ErrorKind::kUnsupported;
    if ((o == Outcome::kFailed || o == Outcome::kOtherAnswer) && !expected) {
        const auto detail =
            BudgetFor(SteadyClock::now(), pass.deadline, kc::DefaultTimeout(kc::RequestCode::kFailureDetail));
        if (detail)
            CountFailure(*c, r.error(), detail->timeout);
        else
            CountReason(protocol::ReasonName(0xFFFF));
    }
    // A request left unanswered may still be queued at the service: its client goes.
    if (o == Outcome::kCutShort || o == Outcome::kUnanswered) c.Discard();
    return r;
}

void Collector::CollectService(MetricsText& m, Pass& pass) {
    m.Sample(family::kBuildInfo, {{"version", version_}}, 1);
    Ask(pass, kc::RequestCode::kVersion, [](kc::Client& c) { return c.GetVersion(); });
}

void Collector::CollectTransfers(MetricsText& m, Pass& pass) {
    auto list = Ask(
        pass, kc::RequestCode::kFwTransfers, [](kc::Client& c) { return c.GetFwTransfers(); }, true);
    if (!list) return;
    if (*list) {
        WriteTransfers(m, list->value());
        return;
    }
    // A service that runs one transfer at a time tells its status only.
    if (list->error().kind != kc::ErrorKind::kUnsupported) return;
    auto fw = Ask(pass, kc::RequestCode::kFwStatus, [](kc::Client& c) { return c.GetFwStatus(); });
    if (fw && *fw) WriteFwStatus(m, fw->value());
}

void Collector::CollectCounters(MetricsText& m) {
    std::lock_guard state(stateMutex_);
    for (const auto& [reason, n] : failures_)
        m.Sample(family::kFailures, {{"reason", reason}}, static_cast<double>(n));
    m.Sample(family::kValueErrors, {}, static_cast<double>(valueErrors_));
}

void Collector::CollectUp(MetricsText& m, const Pass& pass) {
    const auto up =
        JudgeUp(pass.anyAnswered, pass.anyNotListening, watch_.UnansweredSince(), SteadyClock::now());
    if (up) m.Sample(family::kUp, {}, *up ? 1 : 0);
}

void Collector::Finish(MetricsText& m, const Pass& pass) {
    m.Sample(family::kDeadlineExceeded, {}, pass.deadlineExceeded ? 1 : 0);
    m.Sample(family::kServiceSeconds, {}, Seconds(pass.waits.Total()));
    m.Sample(family::kDuration, {}, Seconds(SteadyClock::now() - pass.start));
}

std::string Collector::Scrape(SteadyClock::time_point deadline) {
    Pass pass;
    pass.start = SteadyClock::now();
    pass.deadline = deadline;
    MetricsText m;
    for (const FamilyDef* f : OwnFamilies()) m.Family(*f);
    // Parameter families in configuration order, so that the page reads like the file.
    for (const auto& [name, list] : config_.modules)
        for (const auto& p : list)
            m.Family(p.metric, p.help, p.type == MetricType::kCounter ? "counter" : "gauge");
    std::vector<Item> items;
    for (size_t i = 0; i < config_.targets.size(); ++i)
        items.push_back({"metrics " + std::to_string(i), &config_.targets[i], config_.targets[i].params});

    {
        PageScope page(*this);
        ReadDevices(pass, items, [&] {
            CollectService(m, pass);
            CollectTransfers(m, pass);
        });
        CollectDevices(m, pass, items);
    }
    CollectUp(m, pass);
    CollectDiscovery(m);
    CollectCounters(m);
    Finish(m, pass);
    return m.Render();
}

std::string Collector::Probe(size_t target, const std::string& module, SteadyClock::time_point deadline) {
    Pass pass;
    pass.start = SteadyClock::now();
    pass.deadline = deadline;
    const auto& t = config_.targets.at(target);
    const auto& params = config_.modules.at(module);
    MetricsText m;
    for (const FamilyDef* f : {&family::kUp, &family::kDeviceUp}) m.Family(*f);
    for (const auto& p : params)
        m.Family(p.metric, p.help, p.type == MetricType::kCounter ? "counter" : "gauge");
    const std::vector<Item> items{{"probe " + std::to_string(target) + " " + module, &t, &params}};
    {
        PageScope page(*this);
        ReadDevices(pass, items, [] {});
        CollectDevices(m, pass, items);
    }
    CollectUp(m, pass);
    Finish(m, pass);
    return m.Render();
}

}  // namespace kivo::exporter
