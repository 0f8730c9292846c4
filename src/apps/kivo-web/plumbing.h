// The plumbing under kivo-web's routes: the folder of uploaded images and the events the
// pages listen to.
#ifndef KIVO_WEB_PLUMBING_H
#define KIVO_WEB_PLUMBING_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "kivo_client.h"
#include "scheduler.h"

namespace kivoweb {

using nlohmann::json;
namespace kc = kivo::client;

// ISO-8601 UTC, seconds.
std::string IsoTime(std::chrono::system_clock::time_point t);

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
        uint64_t firmwareSeq = 0, discoverySeq = 0, serviceSeq = 0, transfersSeq = 0;
        std::string firmware, discovery, service, transfers;
        bool stopping = false;
    };
    void PublishFirmware(const json& status);
    // The service's transfer list: published when it changes.
    void PublishTransfers(const json& list);
    void PublishDiscovery(const json& devices);
    // Whether kivohost answers: published when that changes.
    void PublishService(const json& state);
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

}  // namespace kivoweb

#endif
