// How the exporter asks kivohost: clients of its own per request in flight, each request
// within a budget, and how a request ended as the page needs to know it.
//
// A service that serves its clients side by side still answers each client's requests in
// order: a client whose request went unanswered is dropped, so that no later request waits
// behind the one it abandoned.
#ifndef KIVO_EXPORTER_REQUESTS_H
#define KIVO_EXPORTER_REQUESTS_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "kivo_client.h"
#include "scheduler.h"

namespace kivo::exporter {

using SteadyClock = std::chrono::steady_clock;

// How one request ended.
enum class Outcome {
    kAnswered,      // the service answered with what was asked
    kFailed,        // the service answered that the request failed (FAILED)
    kOtherAnswer,   // the service answered otherwise: refused, unknown request, damaged reply
    kNotListening,  // nothing listens on the service's port
    kCutShort,      // no answer before the scrape's deadline (the service may be busy)
    kUnanswered,    // no answer within the request's whole time-out
    kLocalError,    // the request could not be sent (socket, encoding)
};

// Whether the service itself answered.
bool ServiceAnswered(Outcome o);
Outcome Classify(const client::Error& error, bool cutShort);

struct RequestBudget {
    std::chrono::milliseconds timeout;
    bool cutShort;  // less than the request's own time-out
};
// The time-out of a request sent at `now`: its own, or what is left before the deadline
// when that is less; nullopt when too little is left to be worth sending.
std::optional<RequestBudget> BudgetFor(SteadyClock::time_point now, SteadyClock::time_point deadline,
                                       std::chrono::milliseconds own);

// A service that has answered nothing for this long while requests waited is down, not
// busy: longer than any one request of any front-end takes.
constexpr std::chrono::seconds kHungAfter{60};

// kivo_up of a page: 1 when the service answered anything, 0 when nothing listens or it
// has answered nothing for kHungAfter, unknown (nullopt) while requests wait in line.
std::optional<bool> JudgeUp(bool anyAnswered, bool anyNotListening,
                            std::optional<SteadyClock::time_point> unansweredSince,
                            SteadyClock::time_point now);

// Since when the service has left requests unanswered (none answered since), across scrapes.
class ServiceWatch {
   public:
    void Record(Outcome o, SteadyClock::time_point sentAt);
    std::optional<SteadyClock::time_point> UnansweredSince() const;

   private:
    mutable std::mutex mutex_;
    std::optional<SteadyClock::time_point> unansweredSince_;
};

// The exporter's clients: one per request in flight, at most kMaxClients at once (more than
// the read workers and a few scrapes side by side take), one attempt per request: a second
// one would spend the scrape's time on a service that just failed to answer within it.
constexpr size_t kMaxClients = 16;
client::Scheduler::Options ClientOptions();

// A fixed number of threads running posted tasks in order.
class Workers {
   public:
    explicit Workers(size_t n);
    ~Workers();  // runs what was posted, then joins
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    void Post(std::function<void()> task);

   private:
    void Run();
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace kivo::exporter

#endif
