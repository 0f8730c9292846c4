// Raw packet sockets in namespaces, and a frame echo for measuring the round trip of
// a link: the floor under every exchange a benchmark measures.
#ifndef KIVO_RAW_ECHO_H
#define KIVO_RAW_ECHO_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "harness.h"

namespace kivotest {

// A packet socket inside ns bound to ifname for the EtherType protocol (ETH_P_ALL
// for every frame), with VLAN tags reported; -1 on failure.
int OpenRawSocket(const Netns& ns, const std::string& ifname, uint16_t protocol);

// Sends frames from the host end of a veth pair to a thread on the device end that
// sends each back with its addresses swapped.
class RawEcho {
public:
    RawEcho(const Netns& host, const Netns& dev, const std::string& ifname, uint16_t protocol);
    ~RawEcho();
    RawEcho(const RawEcho&) = delete;
    RawEcho& operator=(const RawEcho&) = delete;

    bool ok() const { return hostFd_ >= 0 && devFd_ >= 0; }
    // Seconds from sending the frame to receiving its echo; negative after a 1 s time-out.
    double RoundTrip(const uint8_t* frame, size_t len);

private:
    int hostFd_ = -1;
    int devFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

}  // namespace kivotest

#endif
