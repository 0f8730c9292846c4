// Link-layer ports in test namespaces, and a frame echo for measuring the round trip
// of a link: the floor under every exchange a benchmark measures.
#ifndef KIVO_RAW_ECHO_H
#define KIVO_RAW_ECHO_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

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

}  // namespace kivotest

#endif
