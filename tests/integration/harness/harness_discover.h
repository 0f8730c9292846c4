// Test helper for discovery: a link-layer port on one interface of a test namespace
// that plays devices (sends crafted frames) or watches what arrives on the link.
#ifndef KIVO_HARNESS_DISCOVER_H
#define KIVO_HARNESS_DISCOVER_H

#include <chrono>
#include <optional>
#include <string>

#include "harness.h"
#include "port.h"

namespace kivotest {

class RawPeer {
   public:
    RawPeer(const Netns& ns, const std::string& ifname);
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // Sends a complete frame as is.
    bool Send(const Bytes& frame);
    // The next received frame (802.1Q tag in place) whose LLC/SNAP header, after the
    // 802.3 length, is AA AA 03 00 13 9D p0 p1; frames this socket sent are skipped.
    std::optional<Bytes> WaitSnap(uint8_t p0, uint8_t p1, std::chrono::milliseconds timeout = 5s);
    // The next discovery probe.
    std::optional<Bytes> WaitProbe(std::chrono::milliseconds timeout = 5s) {
        return WaitSnap(0x0C, 0x01, timeout);
    }
    // Throws away everything received so far.
    void Drain();

   private:
    kivo::l2::Port port_;
};

}  // namespace kivotest

#endif
