// What a page reads from kivohost, and the discovery that runs beside the pages.
//
// Each page (/metrics for every configured device, /probe for one) is a pass: the service's
// version and firmware transfers within the pass's deadline, and one read per device on a
// small pool of workers. A device read has a budget of its own (the read's whole time-out),
// not the page's: a read that outlasts its page goes on in the background, is not sent
// again while it runs, and its result is shown by the next page, which does not wait for
// it. So a silent device costs its own series only.
#ifndef KIVO_EXPORTER_COLLECTOR_H
#define KIVO_EXPORTER_COLLECTOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "kivo_client.h"
#include "metrics.h"
#include "requests.h"

namespace kivo::exporter {

// A parameter's text as a sample value: numbers, YES/NO; nullopt for anything else
// (lists, strings, addresses).
std::optional<double> ParseParamValue(const std::string& text);

// The length of the union of time intervals: how long at least one request was waiting.
class WaitTime {
   public:
    void Add(SteadyClock::time_point from, SteadyClock::time_point to);
    std::chrono::nanoseconds Total() const;

   private:
    std::vector<std::pair<SteadyClock::time_point, SteadyClock::time_point>> spans_;
};

class Collector {
   public:
    // Device reads that run at once, and among them reads of devices whose last read went
    // unanswered: against a service that serves one request at a time they just queue there.
    static constexpr size_t kReadWorkers = 4;
    static constexpr size_t kSuspectWorkers = 2;

    Collector(const Config& config, std::string version);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Starts the discovery thread (a first round at once, then every interval).
    void StartDiscovery();
    // Every configured device, the service and its firmware transfers: the /metrics page.
    std::string Scrape(SteadyClock::time_point deadline);
    // One configured device (index into the targets) with a module's parameters: /probe.
    std::string Probe(size_t target, const std::string& module, SteadyClock::time_point deadline);

   private:
    // How one device read ended, kept until a page has shown it.
    struct Reading {
        Outcome outcome = Outcome::kLocalError;
        SteadyClock::time_point started, completed;
        std::vector<std::pair<std::string, double>> values;  // metric -> value
    };
    // A device's reads for one page kind (/metrics, or /probe with one module).
    struct Slot {
        bool pending = false;
        bool suspect = false;  // its last read was not answered: read after the others
        std::optional<Reading> latest;
        SteadyClock::time_point shownUntil{};  // readings completed up to here were shown
    };
    struct Item {
        std::string key;
        const Target* target;
        const std::vector<ParamMetric>* params;
    };
    // One page's accounting.
    struct Pass {
        SteadyClock::time_point start, deadline;
        bool deadlineExceeded = false, anyAnswered = false, anyNotListening = false;
        WaitTime waits;
        std::set<std::string> started;  // the device reads this page started
    };

    // Counts a page being read for as long as it lives: discovery lets pages go first.
    class PageScope {
       public:
        explicit PageScope(Collector& c);
        ~PageScope();

       private:
        Collector& c_;
    };

    // Runs one request of the page's own within its deadline; nullopt when no time was left.
    // With `mayBeUnsupported`, a service without the request is no failure to count.
    template <typename Call>
    auto Ask(Pass& pass, client::RequestCode code, Call call, bool mayBeUnsupported = false)
        -> std::optional<decltype(call(std::declval<client::Client&>()))>;
    void Record(Pass& pass, Outcome o, SteadyClock::time_point sent);

    void CollectService(MetricsText& m, Pass& pass);
    void CollectTransfers(MetricsText& m, Pass& pass);
    // Starts the reads, runs `meanwhile` on this thread, and starts the suspects' reads once
    // the others have ended.
    void ReadDevices(Pass& pass, const std::vector<Item>& items, const std::function<void()>& meanwhile);
    void CollectDevices(MetricsText& m, Pass& pass, const std::vector<Item>& items);
    void CollectDiscovery(MetricsText& m);
    void CollectCounters(MetricsText& m);
    void CollectUp(MetricsText& m, const Pass& pass);
    void Finish(MetricsText& m, const Pass& pass);

    // Starts the read of an item unless one is running; false when none was started.
    bool StartRead(Pass& pass, const Item& item);
    bool WaitReads(const Pass& pass, const std::vector<Item>& items);
    std::optional<Reading> ReadDevice(const Target& t, const std::vector<ParamMetric>& params,
                                      SteadyClock::time_point pageDeadline);
    void CountFailure(client::Client& c, const client::Error& error, std::chrono::milliseconds budget);
    void CountReason(const std::string& reason, uint64_t n = 1);

    static constexpr std::chrono::seconds kMaxDiscoveryWait{10};
    void DiscoveryLoop();
    void DiscoverRound();
    // Devices by kind on one interface; nullopt when the service did not tell.
    std::optional<std::map<std::string, std::set<protocol::Mac>>> DiscoverOn(const std::string& ifname);
    bool WaitForPages();  // false when stopping

    const Config& config_;
    const std::string version_;
    client::Scheduler pool_;
    ServiceWatch watch_;

    std::mutex stateMutex_;
    // (interface, kind) -> devices found by the last discovery of that interface.
    std::map<std::pair<std::string, std::string>, uint64_t> devices_;
    std::map<std::string, uint64_t> failures_;  // reason name -> count
    uint64_t valueErrors_ = 0;
    int pages_ = 0;  // pages being read: discovery lets them go first
    bool stop_ = false;
    std::condition_variable stateCv_;
    std::thread discovery_;

    std::mutex readsMutex_;
    std::condition_variable readsCv_;
    std::map<std::string, Slot> slots_;

    // Last: their tasks use everything above.
    Workers workers_{kReadWorkers};
    Workers suspectWorkers_{kSuspectWorkers};
};

}  // namespace kivo::exporter

#endif
