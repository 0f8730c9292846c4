// Link-layer ports in test namespaces, and a frame echo across a veth pair.
#include "raw_echo.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace kivotest {

using kivo::l2::PortStatus;

kivo::l2::Port OpenPort(const Netns& ns, const std::string& ifname, const kivo::l2::PortOptions& options) {
    NsGuard inNs(ns);
    kivo::l2::Port port;
    const PortStatus status = port.Open(ifname, options);
    if (status != PortStatus::kOk)
        throw std::runtime_error("cannot open " + ifname + " in " + ns.name() + ": " +
                                 kivo::l2::PortStatusText(status));
    return port;
}

RawEcho::RawEcho(const Netns& host, const Netns& dev, const std::string& ifname, uint16_t protocol) {
    kivo::l2::PortOptions options;
    options.protocol = protocol;
    try {
        host_ = OpenPort(host, ifname, options);
        dev_ = OpenPort(dev, ifname, options);
    } catch (const std::exception&) {
        return;  // ok() tells; RoundTrip fails
    }
    echo_ = std::thread([this] {
        std::vector<uint8_t> frame;
        while (!stop_) {
            kivo::l2::FrameView view;
            if (dev_.Recv(view, kivo::Deadline::AfterMs(50)) != PortStatus::kOk) continue;
            frame.assign(view.data, view.data + view.length);
            std::swap_ranges(frame.begin(), frame.begin() + 6, frame.begin() + 6);
            dev_.SendFrame(frame.data(), frame.size());
        }
    });
}

RawEcho::~RawEcho() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
}

double RawEcho::RoundTrip(const uint8_t* frame, size_t len) {
    const auto start = std::chrono::steady_clock::now();
    if (!ok() || host_.SendFrame(frame, len) != PortStatus::kOk) return -1;
    kivo::l2::FrameView echo;
    if (host_.Recv(echo, kivo::Deadline::AfterMs(1000)) != PortStatus::kOk) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kivotest
