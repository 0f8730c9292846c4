// What one scrape reads from kivohost, and the discovery that runs beside the scrapes.
//
// The service handles one request at a time, so every request of the exporter goes
// through one client under one lock: a scrape holds it for its reads, a discovery round
// takes it per request (3 s each) so that a scrape waits at most for one of them.
#ifndef KIVO_EXPORTER_COLLECTOR_H
#define KIVO_EXPORTER_COLLECTOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config.h"
#include "kivo_client.h"
#include "metrics.h"

namespace kivo::exporter {

using SteadyClock = std::chrono::steady_clock;

// A parameter's text as a sample value: numbers, YES/NO; nullopt for anything else
// (lists, strings, addresses).
std::optional<double> ParseParamValue(const std::string& text);

class Collector {
   public:
    Collector(const Config& config, std::string version);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Starts the discovery thread (a first round at once, then every interval).
    void StartDiscovery();
    // Reads every target and the firmware status, giving up at the deadline, and returns
    // the exposition text.
    std::string Scrape(SteadyClock::time_point deadline);

   private:
    // What one scrape accounts for beside its page.
    struct ScrapeState {
        SteadyClock::time_point deadline;
        std::chrono::nanoseconds serviceTime{0};
        bool timedOut = false;
        uint64_t valueErrors = 0;
    };
    // One collector per subsystem, each adding its samples to the page.
    bool CollectService(MetricsText& m, ScrapeState& s);
    void CollectDevice(MetricsText& m, ScrapeState& s, const Target& t, bool up);
    void CollectTransfers(MetricsText& m, ScrapeState& s);
    void CollectDiscovery(MetricsText& m);
    void CollectCounters(MetricsText& m, const ScrapeState& s);
    void DiscoveryLoop();
    bool DiscoverRound();
    void CountFailure(const client::Error& error, std::chrono::nanoseconds& serviceTime);
    void CountReason(const std::string& reason, uint64_t n = 1);
    // Sets the client's time-out to what is left before the deadline; false when nothing is.
    bool Budget(SteadyClock::time_point deadline, client::RequestCode code, client::Protocol protocol);

    const Config& config_;
    const std::string version_;

    // The service's one request at a time: whoever holds the gate owns client_. A flag
    // under a mutex rather than std::timed_mutex, whose timed lock ThreadSanitizer cannot
    // see (it would report every use of the client as a race).
    class Gate {
       public:
        bool AcquireUntil(SteadyClock::time_point deadline);
        void Acquire() { AcquireUntil(SteadyClock::time_point::max()); }
        void Release();

       private:
        std::mutex mutex_;
        std::condition_variable free_;
        bool busy_ = false;
    };
    Gate gate_;
    client::Client client_;  // only while holding gate_

    std::mutex stateMutex_;
    // (interface, kind) -> devices found by the last discovery of that interface.
    std::map<std::pair<std::string, std::string>, uint64_t> devices_;
    std::map<std::string, uint64_t> failures_;  // reason name -> count
    uint64_t valueErrors_ = 0;
    bool stop_ = false;
    std::condition_variable stopCv_;
    std::thread discovery_;
};

}  // namespace kivo::exporter

#endif
