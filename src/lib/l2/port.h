// The link-layer port: one packet socket on one host interface, through which every
// protocol module (and the device simulator) sends and receives Ethernet frames.
//
// The interface index, its address and its MTU are resolved once, when the port opens;
// sending a frame is one sendto. Received frames come back parsed (FrameView) with the
// 802.1Q tag the kernel strips put back in place, so every module sees the frame as it
// was on the wire. Closing a packet socket makes the kernel wait for a grace period
// (milliseconds, more on a busy host); a closed port's socket is kept for the next
// port of the same kind or closed on a thread of its own, so no caller waits for it.
#ifndef KIVO_PORT_H
#define KIVO_PORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "clock.h"
#include "ethernet.h"
#include "status.h"

namespace kivo::l2 {

// Outcome of a port operation. Modules map it to their own error codes in one place.
enum class PortStatus {
    kOk,
    kTimeout,        // nothing arrived before the deadline
    kWoken,          // the wake descriptor became readable
    kBadArgs,        // no name, a name of IFNAMSIZ bytes or more, a frame that cannot be built
    kNoInterface,    // no interface of that name (or it went away)
    kInterfaceDown,  // the interface is down
    kPermission,     // no right to open packet sockets (CAP_NET_RAW)
    kSocket,         // the socket could not be made or bound
    kTooLong,        // the frame does not fit the interface's MTU
    kSend,           // sending failed otherwise
    kReceive,        // receiving failed otherwise
    kClosed,         // the port is not open
};
const char* PortStatusText(PortStatus status);
// Words for a port failure people can act on (no such interface, interface down, no
// permission) with the interface's name and the remedy; other outcomes get none, and the
// layer that gives up words them. The one text of these failures for every layer.
Status PortFailure(PortStatus status, const char* name);

class PcapWriter;

struct PortOptions {
    // EtherType the socket receives; kAllProtocols for every frame (the SNAP protocols
    // share no EtherType: their field is a length).
    uint16_t protocol = 0x0003;  // ETH_P_ALL
    // Frames this host sent are not handed to Recv.
    bool skipOutgoing = true;
    // See every frame on the segment, not only those addressed to the interface (the
    // simulator's devices have addresses of their own).
    bool promiscuous = false;
};
inline constexpr uint16_t kAllProtocols = 0x0003;

class Port {
   public:
    Port() = default;
    ~Port();
    Port(Port&& other) noexcept;
    Port& operator=(Port&& other) noexcept;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Opens a port on the named interface. On failure the port stays closed and errno()
    // tells the system's reason. While the fail point "l2.port_open" is armed, every open
    // fails with kNoInterface (fuzzers and tests that must not reach a link).
    PortStatus Open(const std::string& interfaceName, const PortOptions& options = {});
    // Gives the socket up (kept for reuse or closed in the background).
    void Close();

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }  // for callers that poll several ports together
    const std::string& name() const { return name_; }
    int ifindex() const { return ifindex_; }
    const Mac& mac() const { return mac_; }  // the interface's own address
    int mtu() const { return mtu_; }         // payload bytes a frame may carry after its header
    int lastErrno() const { return errno_; }
    // False once the interface the port was opened on has gone away: the kernel unbinds
    // the socket then, and nothing more can be sent or received through it. An
    // interface made again under the same name is a new one; open a new port for it.
    bool isBound() const;
    // True while the port can go on being used as it was opened: the calling thread is in
    // the port's network namespace, and the name still gives the same interface with the
    // address and MTU the port resolved. A few system calls, no new socket. A port over a
    // socket pair has nothing to check.
    bool Unchanged() const;

    // Sends a frame to dst: the interface's address as source, the tag when given,
    // typeOrLength, the payload, padding to the Ethernet minimum.
    PortStatus Send(const uint8_t* dst, uint16_t typeOrLength, const uint8_t* payload, size_t length,
                    const VlanTag* tag = nullptr);
    // Sends a complete frame as it is (the simulator builds its own frames).
    PortStatus SendFrame(const uint8_t* frame, size_t length);

    // Receives the next frame for this port and parses it into view (valid until the next
    // receive). Waits until the deadline, or until wakeFd (when not -1) is readable; the
    // wake-up is left for the caller to consume. A signal does not end the wait early. A
    // pending socket error is consumed once and reported (kNoInterface, kInterfaceDown or
    // kReceive); the port stays usable. Frames that cannot be parsed, and this host's own
    // when skipped, are passed over; the deadline is checked between them, so a flood
    // cannot hold the caller past it.
    PortStatus Recv(FrameView& view, const Deadline& deadline, int wakeFd = -1);
    // Receives a frame that is already waiting; kTimeout when none is.
    PortStatus TryRecv(FrameView& view);
    // Discards what is waiting, at most maxFrames frames.
    void Drain(size_t maxFrames = 4096);

    // Writes every frame sent and received to the capture (null stops it).
    void SetCapture(std::shared_ptr<PcapWriter> capture) { capture_ = std::move(capture); }

    // Tests: a port over a descriptor that carries one whole frame per message (one end
    // of a SOCK_SEQPACKET socket pair), so that a module's exchanges can run against a
    // scripted peer without privileges. The port owns fd; mac is its own address.
    static Port Adopt(int fd, const Mac& mac);

   private:
    PortStatus ReceiveOne(FrameView& view, bool& skipped);
    PortStatus Fail(PortStatus status, int err);

    int fd_ = -1;
    std::string name_;
    int ifindex_ = 0;
    Mac mac_{};
    int mtu_ = 1500;
    int errno_ = 0;
    PortOptions options_;
    uint64_t nsDev_ = 0;
    uint64_t nsIno_ = 0;
    std::unique_ptr<uint8_t[]> rx_;
    std::shared_ptr<PcapWriter> capture_;
};

// Hands a packet socket to the closer thread (for descriptors not owned by a Port).
void CloseInBackground(int fd);

}  // namespace kivo::l2

#endif
