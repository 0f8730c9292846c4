#include "requests.h"

namespace kivo::exporter {

namespace kc = kivo::client;
using namespace std::chrono_literals;

namespace {

// Requests with less time than this would fail on the loopback's own delay before the service
// could answer; better not to send them at all.
constexpr auto kMinRequestBudget = 50ms;

}  // namespace

bool ServiceAnswered(Outcome o) {
    return o == Outcome::kAnswered || o == Outcome::kFailed || o == Outcome::kOtherAnswer;
}

Outcome Classify(const kc::Error& error, bool cutShort) {
    switch (error.kind) {
        case kc::ErrorKind::kNoService:
            // The client's own words for a refused datagram, as against a time-out.
            if (kc::NothingListens(error)) return Outcome::kNotListening;
            return cutShort ? Outcome::kCutShort : Outcome::kUnanswered;
        case kc::ErrorKind::kFailed:
            return Outcome::kFailed;
        case kc::ErrorKind::kBadReply:
        case kc::ErrorKind::kRefused:
        case kc::ErrorKind::kUnsupported:
            return Outcome::kOtherAnswer;
        case kc::ErrorKind::kInvalidArgument:
        case kc::ErrorKind::kSystem:
            break;
    }
    return Outcome::kLocalError;
}

std::optional<RequestBudget> BudgetFor(SteadyClock::time_point now, SteadyClock::time_point deadline,
                                       std::chrono::milliseconds own) {
    if (deadline <= now) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (left < kMinRequestBudget) return std::nullopt;
    if (left < own) return RequestBudget{left, true};
    return RequestBudget{own, false};
}

std::optional<bool> JudgeUp(bool anyAnswered, bool anyNotListening,
                            std::optional<SteadyClock::time_point> unansweredSince,
                            SteadyClock::time_point now) {
    if (anyAnswered) return true;
    if (anyNotListening) return false;
    if (unansweredSince && now - *unansweredSince >= kHungAfter) return false;
    return std::nullopt;
}

void ServiceWatch::Record(Outcome o, SteadyClock::time_point sentAt) {
    std::lock_guard lock(mutex_);
    if (ServiceAnswered(o) || o == Outcome::kNotListening)
        unansweredSince_.reset();
    else if ((o == Outcome::kCutShort || o == Outcome::kUnanswered) &&
             (!unansweredSince_ || sentAt < *unansweredSince_))
        unansweredSince_ = sentAt;
}

std::optional<SteadyClock::time_point> ServiceWatch::UnansweredSince() const {
    std::lock_guard lock(mutex_);
    return unansweredSince_;
}

kc::Scheduler::Options ClientOptions() {
    return {.clients = kMaxClients, .keep = 8, .setup = [](kc::Client& c) { c.SetReadAttempts(1); }};
}

Workers::Workers(size_t n) {
    for (size_t i = 0; i < n; ++i) threads_.emplace_back([this] { Run(); });
}

Workers::~Workers() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
}

void Workers::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
}

void Workers::Run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace kivo::exporter
