// Test helper for discovery: a link-layer port playing devices on a test link.
#include "harness_discover.h"

#include "raw_echo.h"

namespace kivotest {

RawPeer::RawPeer(const Netns& ns, const std::string& ifname) : port_(OpenPort(ns, ifname)) {}

bool RawPeer::Send(const Bytes& frame) {
    return port_.SendFrame(frame.data(), frame.size()) == kivo::l2::PortStatus::kOk;
}

std::optional<Bytes> RawPeer::WaitSnap(uint8_t p0, uint8_t p1, std::chrono::milliseconds timeout) {
    const auto deadline = kivo::Deadline::After(timeout);
    const uint16_t pid = static_cast<uint16_t>(p0 << 8 | p1);
    kivo::l2::FrameView view;
    while (!deadline.passed()) {
        if (port_.Recv(view, deadline) != kivo::l2::PortStatus::kOk) continue;
        kivo::ByteReader r = view.payloadReader();
        kivo::l2::SnapHeader snap;
        if (kivo::l2::SnapRead(r, snap) && snap.ours() && snap.pid == pid)
            return Bytes(view.data, view.data + view.length);
    }
    return std::nullopt;
}

void RawPeer::Drain() {
    port_.Drain();
}

}  // namespace kivotest
