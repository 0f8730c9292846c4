#include "scheduler.h"

#include <algorithm>
#include <utility>

namespace kivo::client {

Scheduler::Scheduler(uint16_t port, Options options) : port_(port), options_(std::move(options)) {}

Scheduler::Lease Scheduler::Acquire() {
    std::unique_ptr<Client> client;
    {
        std::unique_lock lock(mutex_);
        const uint64_t ticket = nextTicket_++;
        cv_.wait(lock, [&] { return turn_ == ticket && inUse_ < std::max<size_t>(options_.clients, 1); });
        ++turn_;
        ++inUse_;
        if (!idle_.empty()) {
            client = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    // The next in line may have a client free as well.
    cv_.notify_all();
    if (!client) {
        client = std::make_unique<Client>(port_);
        if (options_.setup) options_.setup(*client);
    }
    return Lease(*this, std::move(client));
}

void Scheduler::Release(std::unique_ptr<Client> client, bool discard) {
    {
        std::lock_guard lock(mutex_);
        --inUse_;
        lastDone_ = std::chrono::steady_clock::now();
        if (!discard && idle_.size() < options_.keep) idle_.push_back(std::move(client));
    }
    cv_.notify_all();
    // A client not kept closes here, outside the lock.
}

Scheduler::Lease::Lease(Lease&& other) noexcept
    : scheduler_(std::exchange(other.scheduler_, nullptr)),
      client_(std::move(other.client_)),
      discard_(other.discard_) {}

Scheduler::Lease::~Lease() {
    if (scheduler_ != nullptr) scheduler_->Release(std::move(client_), discard_);
}

size_t Scheduler::Waiting() const {
    std::lock_guard lock(mutex_);
    return nextTicket_ - turn_;
}

std::chrono::steady_clock::time_point Scheduler::LastDone() const {
    std::lock_guard lock(mutex_);
    return lastDone_;
}

}  // namespace kivo::client
