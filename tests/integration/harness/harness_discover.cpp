// Test helper for discovery: a raw socket playing devices on a test link.
#include "harness_discover.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "raw_socket.h"

namespace kivotest {

RawPeer::RawPeer(const Netns& ns, const std::string& ifname) {
    NsGuard guard(ns);
    // Protocol 0 until bound, so nothing from another interface gets in first.
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("raw socket");
    ifindex_ = static_cast<int>(if_nametoindex(ifname.c_str()));
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof(sll));
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = ifindex_;
    if (ifindex_ == 0 || !kivo::RawSocketEnableAuxdata(fd_) ||
        bind(fd_, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) {
        close(fd_);
        throw std::runtime_error("cannot bind to " + ifname);
    }
}

RawPeer::~RawPeer() { close(fd_); }

bool RawPeer::Send(const Bytes& frame) {
    if (frame.size() < 6) return false;
    struct sockaddr_ll to;
    std::memset(&to, 0, sizeof(to));
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame.data(), 6);
    return sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(frame.size());
}

std::optional<Bytes> RawPeer::WaitSnap(uint8_t p0, uint8_t p1, std::chrono::milliseconds timeout) {
    static const uint8_t kSnap[6] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t buf[2048];
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        kivo::RawFrameInfo info;
        ssize_t n = kivo::RawSocketRecv(fd_, buf, sizeof(buf), MSG_DONTWAIT, &info);
        if (n <= 0 || info.outgoing) continue;
        size_t len = static_cast<size_t>(n);
        size_t o = (len >= 14 && buf[12] == 0x81 && buf[13] == 0x00) ? 16 : 12;
        if (len >= o + 10 && std::memcmp(buf + o + 2, kSnap, 6) == 0 && buf[o + 8] == p0 && buf[o + 9] == p1)
            return Bytes(buf, buf + len);
    }
    return std::nullopt;
}

void RawPeer::Drain() {
    uint8_t buf[2048];
    while (recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace kivotest
