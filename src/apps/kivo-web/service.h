// kivo-web's side of the service: one client for every browser tab, requests handed to
// kivohost one at a time in arrival order, the cached discovery, the firmware transfer
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
#include <vector>

#include "kivo_client.h"

namespace kivoweb {

using nlohmann::json;
namespace kc = kivo::client;

// Every failure a route reports: an HTTP status and the one error shape of the API.
struct ApiError {
    int status = 500;
    std::string message;
    std::string hint;
    std::optional<kc::Reason> reason;
    json Body() const;
};

// Never throws on bytes a device sent that are not UTF-8: they become U+FFFD.
std::string Dump(const json& j);
// ISO-8601 UTC, seconds.
std::string IsoTime(std::chrono::system_clock::time_point t);

// Requests go to kivohost one at a time, first come first served: the service handles
// one request at a time and a second front-end's request would only wait in its socket
// buffer, or time out there, behind a 3-second discovery.
class Queue {
   public:
    explicit Queue(uint16_t servicePort);
    // Runs f(client) when every earlier caller is done.
    template <typename F>
    auto Run(F&& f) {
        Ticket t(*this);
        return f(client_);
    }
    // Callers waiting behind the one being served.
    size_t Waiting() const;
    uint16_t port() const { return client_.port(); }

   private:
    class Ticket {
       public:
        explicit Ticket(Queue& q);
        ~Ticket();
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

       private:
        Queue& q_;
    };
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t next_ = 0;
    uint64_t serving_ = 0;
    kc::Client client_;
};

// Uploaded images: one folder of our own, files removed once their transfer ends.
class Uploads {
   public:
    // Makes a fresh folder under parent (0710: the service's group may open a file whose
    // name it is given, nobody may list it).
    explicit Uploads(const std::filesystem::path& parent);
    ~Uploads();
    Uploads(const Uploads&) = delete;
    Uploads& operator=(const Uploads&) = delete;
    // Writes content to a new file (0640) and returns its path; throws ApiError.
    std::string Save(const std::string& content, const std::string& what);
    void Remove(const std::string& path);
    const std::filesystem::path& dir() const { return dir_; }

   private:
    std::filesystem::path dir_;
    std::mutex mutex_;
    uint64_t counter_ = 0;
};

// The events of /api/events: the latest of each kind, with a sequence number that
// counts every change, so that a stream can tell what it has not sent yet.
class Events {
   public:
    struct Snapshot {
        uint64_t firmwareSeq = 0, discoverySeq = 0;
        std::string firmware, discovery;
        bool stopping = false;
    };
    void PublishFirmware(const json& status);
    void PublishDiscovery(const json& devices);
    // Waits until something newer than `seen` is there, stop is asked, or the time is up.
    Snapshot Wait(const Snapshot& seen, std::chrono::milliseconds timeout);
    Snapshot Current();
    void Stop();
    // Streams open now; false when `limit` are open already.
    bool Attach(size_t limit);
    void Detach();

   private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Snapshot s_;
    size_t streams_ = 0;
};

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
        bool present = false;
    };
    // JSON (paths on the host) or the fields and files of a multipart form.
    json FirmwareUpgrade(const json& fields, const UploadedFile& image);
    json FirmwareBoot(const json& fields, const UploadedFile& loader, const UploadedFile& image);
    json FirmwareStop();
    json FirmwareStatus();
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
    // Reads the status (the caller holds the queue) and updates the shared state.
    json ReadStatus(kc::Client& client);
    void Monitor();
    void TransferStarted(std::vector<std::string> files);
    void TransferEnded();
    json StartTransfer(bool boot, const json& fields, const std::vector<std::string>& paths,
                       std::vector<std::string> uploaded);

    Queue queue_;
    Uploads uploads_;
    Events events_;

    std::mutex stateMutex_;
    std::condition_variable stateCv_;
    bool watching_ = false;  // a transfer may be running: the monitor polls
    bool stop_ = false;
    std::optional<json> lastStatus_;
    std::deque<Sample> samples_;
    std::vector<std::string> transferFiles_;
    json discovery_;
    std::thread monitor_;
};

}  // namespace kivoweb

#endif
