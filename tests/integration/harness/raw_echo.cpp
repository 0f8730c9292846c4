// Raw packet sockets in namespaces, and a frame echo across a veth pair.
#include "raw_echo.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "raw_socket.h"

namespace kivotest {

int OpenRawSocket(const Netns& ns, const std::string& ifname, uint16_t protocol) {
    NsGuard inNs(ns);
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof(sll));
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(protocol);
    sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    if (sll.sll_ifindex == 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) {
        close(fd);
        return -1;
    }
    kivo::RawSocketEnableAuxdata(fd);
    return fd;
}

RawEcho::RawEcho(const Netns& host, const Netns& dev, const std::string& ifname, uint16_t protocol)
    : hostFd_(OpenRawSocket(host, ifname, protocol)), devFd_(OpenRawSocket(dev, ifname, protocol)) {
    if (!ok()) return;
    echo_ = std::thread([this] {
        uint8_t buf[1600];
        while (!stop_) {
            struct pollfd p{devFd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            kivo::RawFrameInfo info;
            ssize_t n = kivo::RawSocketRecv(devFd_, buf, sizeof(buf), 0, &info);
            if (n < 14 || info.outgoing) continue;
            uint8_t tmp[6];
            std::memcpy(tmp, buf, 6);
            std::memcpy(buf, buf + 6, 6);
            std::memcpy(buf + 6, tmp, 6);
            send(devFd_, buf, static_cast<size_t>(n), 0);
        }
    });
}

RawEcho::~RawEcho() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
    if (hostFd_ >= 0) close(hostFd_);
    if (devFd_ >= 0) close(devFd_);
}

double RawEcho::RoundTrip(const uint8_t* frame, size_t len) {
    const auto start = std::chrono::steady_clock::now();
    if (send(hostFd_, frame, len, 0) != static_cast<ssize_t>(len)) return -1;
    uint8_t buf[1600];
    for (;;) {
        struct pollfd p{hostFd_, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return -1;
        kivo::RawFrameInfo info;
        ssize_t n = kivo::RawSocketRecv(hostFd_, buf, sizeof(buf), 0, &info);
        if (n >= 14 && !info.outgoing) break;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kivotest
