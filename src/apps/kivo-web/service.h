// kivo-web's side of the service: a few clients shared by every browser tab, requests handed
// to kivohost in arrival order, the cached discovery, the firmware transfer
// watched once for everyone, and the events the pages listen to. Nothing here knows HTTP:
// routes hand in parsed JSON and get JSON back, or an ApiError.
#ifndef KIVO_WEB_SERVICE_H
#define KIVO_WEB_SERVICE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors.h"
#include "kivo_client.h"
#include "plumbing.h"

namespace kivoweb {

struct Options {
    uint16_t servicePort = kc::kDefaultPort;
    std::filesystem::path uploadParent;
};

class Service {
   public:
    explicit Service(const Options& options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // The routes' work: request JSON in, reply JSON out; throw ApiError.
    json Version();
    json Health();
    json Interfaces();
    json Discover(const json& body);
    json Devices();
    json ParamsRead(const json& body);
    json ParamsWrite(const json& body);
    json ParamsCheck(const json& body);
    json Reset(const json& body);
    struct UploadedFile {
        std::string content;
        std::string name;  // as the browser gave it
        bool present = false;
    };
    // JSON (paths on the host) or the fields and files of a multipart form.
    json FirmwareUpgrade(const json& fields, const UploadedFile& image);
    json FirmwareBoot(const json& fields, const UploadedFile& loader, const UploadedFile& image);
    // Stops the transfer to body's "mac", or without one the latest transfer.
    json FirmwareStop(const json& body);
    json FirmwareStatus();
    // Every transfer the service lists: {"transfers": [...], "source": "list" or "status"}.
    json FirmwareTransfers();
    json Watch(const json& body);

    Events& events() { return events_; }
    // Ends the monitor and wakes every event stream.
    void Stop();

   private:
    struct Sample {
        std::chrono::steady_clock::time_point at;
        uint32_t bytes;
        uint8_t state;
    };
    // What the user's files are called (the service sees only our temporary copies).
    struct TransferFiles {
        std::vector<std::string> uploaded;                       // removed once the transfer ends
        std::vector<std::pair<std::string, std::string>> shown;  // temporary path -> the user's name
    };
    // Reads the status (the caller holds the queue) and updates the shared state.
    json ReadStatus(kc::Client& client);
    // Every transfer the service runs, whoever started it: the service's transfer list as
    // last read, or from a service without the list the latest status (one entry, none
    // while idle).
    json Transfers();
    // Reads the transfer list (the caller holds the queue) and publishes it when it
    // changed; none from a service without the list.
    std::optional<json> ReadTransferList(kc::Client& client);
    // The monitor: follows a transfer closely, and otherwise reads the status every few
    // seconds, which notices transfers started by other front-ends, keeps /api/health
    // current and keeps kivohost (which ends after a minute without requests) running.
    void Monitor();
    // What one monitor read saw: whether any transfer runs, and whether the latest is
    // idle; none when the service did not answer.
    struct MonitorSeen {
        bool running = false;
        bool idle = false;
    };
    std::optional<MonitorSeen> MonitorRead();
    void ServiceSeen(bool up, const std::string& why);
    void TransferStarted(TransferFiles files);
    void TransferEnded();
    json StartTransfer(bool boot, const json& fields, const std::vector<std::string>& paths,
                       TransferFiles files);

    // Runs f(client) on the firmware line: firmware requests (starts, stops, status and
    // list reads, the monitor's) go one at a time, so that a start, the reads after it and
    // the monitor's never pass each other.
    template <typename F>
    auto RunFirmware(F&& f) {
        ++firmwareWaiting_;
        std::unique_lock line(firmwareLine_);
        --firmwareWaiting_;
        return queue_.Run(std::forward<F>(f));
    }

    // Requests go to kivohost on up to kClients clients, first come first served: the
    // service serves them side by side, one device's in order, so a silent device holds up
    // no other device. One route's requests stay on one client, in order; /api/health
    // shows the callers waiting for a client or for the firmware line.
    static constexpr size_t kClients = 4;
    kc::Scheduler queue_;
    std::mutex firmwareLine_;
    std::atomic<size_t> firmwareWaiting_{0};
    Uploads uploads_;
    Events events_;

    std::mutex stateMutex_;
    std::condition_variable stateCv_;
    bool watching_ = false;  // a transfer may be running: the monitor polls
    bool stop_ = false;
    std::optional<json> lastStatus_;
    std::optional<json> transferList_;  // the service's list as last read; none without the request
    uint64_t statusSeq_ = 0;            // numbers the statuses read, under stateMutex_
    std::deque<Sample> samples_;
    TransferFiles transferFiles_;
    // The user's names of the files uploaded lately, for the transfer list's reasons: other
    // transfers than the latest may still run, or have failed, with an earlier upload.
    std::vector<std::pair<std::string, std::string>> uploadNames_;
    json discovery_;
    std::thread monitor_;
};

}  // namespace kivoweb

#endif
