// A firmware device without privileges or namespaces: the far end of a socket pair whose
// near end is a link-layer port (Port::Adopt), so that the firmware exchanges run against
// a scripted peer in unit tests and fuzzers alike. No GoogleTest.
#ifndef KIVO_FW_PEER_H
#define KIVO_FW_PEER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "port.h"

namespace kivotest {

class FwPeer {
   public:
    using Frame = std::vector<uint8_t>;
    // The frames answering the host's frame number `index`.
    using Script = std::function<std::vector<Frame>(const Frame& frame, size_t index)>;

    // The host's end is a port whose own address is host; throws when no socket pair can
    // be made.
    explicit FwPeer(Script script = nullptr, const kivo::l2::Mac& host = {0x02, 0, 0, 0, 0, 0x0a});
    ~FwPeer();
    FwPeer(const FwPeer&) = delete;
    FwPeer& operator=(const FwPeer&) = delete;

    kivo::l2::Port& port() { return port_; }
    // Sends a frame to the host unasked; false when it could not be sent whole.
    bool Inject(const Frame& frame);
    // Every frame the host sent, in order; or those of one subtype (byte 21).
    std::vector<Frame> Frames();
    std::vector<Frame> Frames(uint8_t subtype);
    // Frames of one subtype once at least n have arrived, or after 2 s (the peer records
    // frames on its own thread, possibly after the host has given up on them).
    std::vector<Frame> WaitFrames(uint8_t subtype, size_t n);
    // Forgets the frames recorded so far (a fuzzer's peer would otherwise grow forever).
    void Clear();

   private:
    void Loop();

    Script script_;
    int peer_ = -1;
    kivo::l2::Port port_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Frame> frames_;
    std::thread thread_;
};

// The script of a device that acknowledges every frame: addresses swapped, the subtype
// turned into its acknowledgement, the sequence number kept in place.
std::vector<FwPeer::Frame> FwAckAll(const FwPeer::Frame& frame, size_t index);

}  // namespace kivotest

#endif
