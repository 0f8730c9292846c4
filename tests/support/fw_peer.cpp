#include "fw_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace kivotest {

FwPeer::FwPeer(Script script, const kivo::l2::Mac& host) : script_(std::move(script)) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socket pair for the firmware peer");
    port_ = kivo::l2::Port::Adopt(fds[0], host);
    peer_ = fds[1];
    thread_ = std::thread([this] { Loop(); });
}

FwPeer::~FwPeer() {
    stop_ = true;
    thread_.join();
    close(peer_);
}

bool FwPeer::Inject(const Frame& frame) {
    return send(peer_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

std::vector<FwPeer::Frame> FwPeer::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

void FwPeer::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
}

std::vector<FwPeer::Frame> FwPeer::Frames(uint8_t subtype) {
    std::vector<Frame> out;
    for (auto& f : Frames())
        if (f.size() > 21 && f[21] == subtype) out.push_back(f);
    return out;
}

std::vector<FwPeer::Frame> FwPeer::WaitFrames(uint8_t subtype, size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        auto f = Frames(subtype);
        if (f.size() >= n || std::chrono::steady_clock::now() >= deadline) return f;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void FwPeer::Loop() {
    uint8_t buf[2048];
    while (!stop_) {
        struct pollfd p = {peer_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        const ssize_t n = recv(peer_, buf, sizeof(buf), 0);
        if (n <= 0) continue;
        Frame f(buf, buf + n);
        size_t index;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index = frames_.size();
            frames_.push_back(f);
        }
        if (script_)
            for (auto& reply : script_(f, index)) send(peer_, reply.data(), reply.size(), 0);
    }
}

std::vector<FwPeer::Frame> FwAckAll(const FwPeer::Frame& f, size_t) {
    if (f.size() < 24) return {};
    uint8_t ack;
    switch (f[21]) {
        case 0x01:  // start
        case 0x05:  // end
        case 0x0E:  // chunk information
        case 0x10:  // entry point
            ack = f[21] == 0x05 ? 0x07 : static_cast<uint8_t>(f[21] + 1);
            break;
        case 0x03:  // data
            ack = 0x04;
            break;
        default:
            return {};
    }
    // 60 bytes from the device: the addresses swapped, the sequence number kept.
    FwPeer::Frame a(60, 0);
    std::copy(f.begin() + 6, f.begin() + 12, a.begin());
    std::copy(f.begin(), f.begin() + 6, a.begin() + 6);
    a[12] = 0;
    a[13] = 46;
    std::copy(f.begin() + 14, f.begin() + 21, a.begin() + 14);
    a[21] = ack;
    if (ack == 0x04) {
        a[22] = f[22];
        a[23] = f[23];
    }
    return {a};
}

}  // namespace kivotest
