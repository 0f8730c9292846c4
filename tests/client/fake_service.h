// A loopback UDP socket that plays kivohost for the client tests: it answers every
// request with the datagrams a script returns, and keeps the requests it received.
#ifndef KIVO_TEST_FAKE_SERVICE_H
#define KIVO_TEST_FAKE_SERVICE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kivotest_client {

using Bytes = std::vector<uint8_t>;

class FakeService {
   public:
    using Script = std::function<std::vector<Bytes>(const Bytes& request, int index)>;

    explicit FakeService(Script script) : script_(std::move(script)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot bind a loopback UDP socket");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeService() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    std::vector<Bytes> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

   private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            Bytes buf(70000);
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            buf.resize(static_cast<size_t>(n));
            int index;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(buf);
                index = static_cast<int>(requests_.size()) - 1;
            }
            for (const Bytes& d : script_(buf, index))
                sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    Script script_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> requests_;
};

// Cuts a whole reply (seq, 0, 0, code, body) into segments as the service does.
inline std::vector<Bytes> Segments(const Bytes& reply) {
    const size_t payload = 1397;
    const size_t body = reply.size() - 3;
    const size_t count = body <= payload ? 1 : (body + payload - 1) / payload;
    std::vector<Bytes> out;
    for (size_t k = 0; k < count; ++k) {
        Bytes seg{reply[0], static_cast<uint8_t>(count), static_cast<uint8_t>(k)};
        size_t from = 3 + k * payload;
        size_t to = std::min(reply.size(), from + payload);
        seg.insert(seg.end(), reply.begin() + static_cast<std::ptrdiff_t>(from),
                   reply.begin() + static_cast<std::ptrdiff_t>(to));
        out.push_back(seg);
    }
    return out;
}

}  // namespace kivotest_client

#endif
