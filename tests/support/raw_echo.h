// Link-layer ports in test namespaces, and a frame echo for measuring the round trip
// of a link: the floor under every exchange a benchmark measures.
#ifndef KIVO_RAW_ECHO_H
#define KIVO_RAW_ECHO_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "port.h"
#include "testbed.h"

namespace kivotest {

// A port on ifname inside ns; throws when it cannot be opened.
kivo::l2::Port OpenPort(const Netns& ns, const std::string& ifname,
                        const kivo::l2::PortOptions& options = {});

// Sends frames from the host end of a veth pair to a thread on the device end that
// sends each back with its addresses swapped.
class RawEcho {
   public:
    RawEcho(const Netns& host, const Netns& dev, const std::string& ifname, uint16_t protocol);
    ~RawEcho();
    RawEcho(const RawEcho&) = delete;
    RawEcho& operator=(const RawEcho&) = delete;

    bool ok() const { return host_.isOpen() && dev_.isOpen(); }
    // Seconds from sending the frame to receiving its echo; negative after a 1 s time-out.
    double RoundTrip(const uint8_t* frame, size_t len);

   private:
    kivo::l2::Port host_;
    kivo::l2::Port dev_;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

// The raw round trip a benchmark measures beside its exchanges, the floor under them: a
// frame of `length` bytes (to dst from src, type 0x88B5, zero payload) sent from the
// host's eth1 and echoed from the device's. Each round trip is one iteration's manual
// time (1 s when lost); returns the microseconds of each, for the caller's percentiles.
template <class State>
std::vector<double> RawRoundTrips(State& state, const Netns& host, const Netns& dev, size_t length,
                                  const Mac& dst, const Mac& src = {}) {
    RawEcho echo(host, dev, "eth1", 0x88B5);
    std::vector<uint8_t> frame(length, 0);
    std::copy(dst.begin(), dst.end(), frame.begin());
    std::copy(src.begin(), src.end(), frame.begin() + 6);
    frame[12] = 0x88;
    frame[13] = 0xB5;
    std::vector<double> us;
    for (auto _ : state) {
        const double t = echo.RoundTrip(frame.data(), frame.size());
        state.SetIterationTime(t > 0 ? t : 1.0);
        us.push_back(t * 1e6);
    }
    return us;
}

}  // namespace kivotest

#endif
