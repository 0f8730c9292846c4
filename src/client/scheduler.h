// How a front-end shares kivohost: a small pool of clients, one request per client at a
// time. The service serves different clients (UDP source addresses) side by side and one
// device's requests in order, so a front-end may run up to `clients` requests at once;
// callers beyond that wait for a client in arrival order.
#ifndef KIVO_SCHEDULER_H
#define KIVO_SCHEDULER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kivo_client.h"

namespace kivo::client {

class Scheduler {
   public:
    struct Options {
        size_t clients = 1;                  // requests at once (at least 1)
        size_t keep = 1;                     // idle clients kept for reuse
        std::function<void(Client&)> setup;  // applied to every new client
    };

    // A client for one caller alone, given back when the lease ends.
    class Lease {
       public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        Client& operator*() { return *client_; }
        Client* operator->() { return client_.get(); }
        // The client goes with a request it gave up on, which the service may still
        // answer: the next caller gets a fresh one instead.
        void Discard() { discard_ = true; }

       private:
        friend class Scheduler;
        Lease(Scheduler& s, std::unique_ptr<Client> c) : scheduler_(&s), client_(std::move(c)) {}
        Scheduler* scheduler_;
        std::unique_ptr<Client> client_;
        bool discard_ = false;
    };

    Scheduler(uint16_t port, Options options);
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Waits for a client, in arrival order.
    Lease Acquire();
    // Runs f(client) with a client of its own.
    template <typename F>
    auto Run(F&& f) {
        Lease lease = Acquire();
        return f(*lease);
    }

    // Callers waiting for a client.
    size_t Waiting() const;
    // When the latest request ended (construction time before the first).
    std::chrono::steady_clock::time_point LastDone() const;
    uint16_t port() const { return port_; }

   private:
    void Release(std::unique_ptr<Client> client, bool discard);

    const uint16_t port_;
    const Options options_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t nextTicket_ = 0;  // handed to the next caller
    uint64_t turn_ = 0;        // the ticket whose caller gets the next free client
    size_t inUse_ = 0;
    std::vector<std::unique_ptr<Client>> idle_;
    std::chrono::steady_clock::time_point lastDone_ = std::chrono::steady_clock::now();
};

}  // namespace kivo::client

#endif
