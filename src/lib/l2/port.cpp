#include "port.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "failpoint.h"
#include "kivo_protocol.h"
#include "pcap.h"
#include "raw_socket.h"
#include "status.h"
#include "unique_fd.h"

namespace kivo::l2 {

const char* PortStatusText(PortStatus status) {
    switch (status) {
        case PortStatus::kOk:
            return "ok";
        case PortStatus::kTimeout:
            return "timed out";
        case PortStatus::kWoken:
            return "woken";
        case PortStatus::kBadArgs:
            return "invalid interface name or frame";
        case PortStatus::kNoInterface:
            return "no such interface";
        case PortStatus::kInterfaceDown:
            return "interface down";
        case PortStatus::kPermission:
            return "no permission to open raw sockets (CAP_NET_RAW)";
        case PortStatus::kSocket:
            return "raw socket could not be opened";
        case PortStatus::kTooLong:
            return "frame longer than the interface's MTU";
        case PortStatus::kSend:
            return "send failed";
        case PortStatus::kReceive:
            return "receive failed";
        case PortStatus::kClosed:
            return "port not open";
    }
    return "unknown";
}

Status PortFailure(PortStatus status, const char* name) {
    if (name == nullptr) return Status();
    if (status == PortStatus::kNoInterface)
        return Because(Reason::kNoInterface, "there is no interface %s; check the name (ip link lists them)",
                       name);
    if (status == PortStatus::kInterfaceDown)
        return Because(Reason::kInterfaceDown, "interface %s is down; bring it up (ip link set %s up)", name,
                       name);
    if (status == PortStatus::kPermission)
        return Because(Reason::kNoPermission,
                       "no permission to open a raw socket on %s; run the service as root or give it the "
                       "CAP_NET_RAW capability",
                       name);
    return Status();
}

namespace {

// ---------------------------------------------------------------------------
// The one policy for the slow close of packet sockets.
//
// Releasing a packet socket waits for an RCU grace period in the kernel. A port that
// closes keeps its socket here, bound as it is, and the next port opened on the same
// interface, for the same protocol and in the same network namespace takes it up
// (frames that queued meanwhile are discarded). Sockets beyond the few kept are closed
// on the closer thread, which lives as long as the process and is never destroyed, so
// that it is safe at exit.

class Closer {
   public:
    static Closer& Get() {
        static Closer* closer = new Closer();
        return *closer;
    }
    void Close(int fd) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            pending_.push_back(fd);
        }
        wake_.notify_one();
    }

   private:
    Closer() {
        std::thread([this] { Run(); }).detach();
    }
    [[noreturn]] void Run() {
        for (;;) {
            std::vector<int> fds;
            {
                std::unique_lock<std::mutex> guard(lock_);
                wake_.wait(guard, [this] { return !pending_.empty(); });
                fds.swap(pending_);
            }
            for (int fd : fds) close(fd);
        }
    }
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<int> pending_;
};

struct KeptSocket {
    int fd;
    int ifindex;
    uint16_t protocol;
    bool skipOutgoing;
    uint64_t nsDev;
    uint64_t nsIno;
};

constexpr size_t kMaxKept = 8;
std::mutex keptMutex;
std::deque<KeptSocket> kept;  // guarded by keptMutex; oldest first

bool CurrentNetns(uint64_t& dev, uint64_t& ino) {
    struct stat st;
    if (stat("/proc/thread-self/ns/net", &st) != 0) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

int TakeKept(int ifindex, const PortOptions& o, uint64_t nsDev, uint64_t nsIno) {
    std::lock_guard<std::mutex> lock(keptMutex);
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (it->ifindex == ifindex && it->protocol == o.protocol && it->skipOutgoing == o.skipOutgoing &&
            it->nsDev == nsDev && it->nsIno == nsIno) {
            const int fd = it->fd;
            kept.erase(it);
            return fd;
        }
    }
    return -1;
}

void Keep(const KeptSocket& k) {
    int evicted = -1;
    {
        std::lock_guard<std::mutex> lock(keptMutex);
        if (kept.size() >= kMaxKept) {
            evicted = kept.front().fd;
            kept.pop_front();
        }
        kept.push_back(k);
    }
    if (evicted >= 0) Closer::Get().Close(evicted);
}

// Interface requests on a socket that needs no privilege.
// Interface requests go through a datagram socket, which needs no privilege.
bool InterfaceRequest(int control, unsigned long request, const std::string& name, struct ifreq& ifr) {
    std::memset(&ifr, 0, sizeof(ifr));
    std::memcpy(ifr.ifr_name, name.data(), name.size());
    return control >= 0 && ioctl(control, request, &ifr) == 0;
}

PortStatus StatusOfErrno(int err, PortStatus otherwise) {
    switch (err) {
        case ENODEV:
        case ENXIO:
            return PortStatus::kNoInterface;
        case ENETDOWN:
            return PortStatus::kInterfaceDown;
        case EPERM:
        case EACCES:
            return PortStatus::kPermission;
        case EMSGSIZE:
            return PortStatus::kTooLong;
        default:
            return otherwise;
    }
}

}  // namespace

void CloseInBackground(int fd) {
    if (fd >= 0) Closer::Get().Close(fd);
}

Port::~Port() {
    Close();
}

Port::Port(Port&& other) noexcept {
    *this = std::move(other);
}

Port& Port::operator=(Port&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        name_ = std::move(other.name_);
        ifindex_ = other.ifindex_;
        mac_ = other.mac_;
        mtu_ = other.mtu_;
        errno_ = other.errno_;
        options_ = other.options_;
        nsDev_ = other.nsDev_;
        nsIno_ = other.nsIno_;
        rx_ = std::move(other.rx_);
        capture_ = std::move(other.capture_);
        other.fd_ = -1;
    }
    return *this;
}

PortStatus Port::Fail(PortStatus status, int err) {
    errno_ = err;
    return status;
}

PortStatus Port::Open(const std::string& interfaceName, const PortOptions& options) {
    Close();
    // Lets a test or fuzzer run whole request handlers with nothing reaching a link.
    if (FailPointHit("l2.port_open")) return Fail(PortStatus::kNoInterface, ENODEV);
    // A name that does not fit an interface request with its terminator would be cut
    // and could name another interface.
    if (!protocol::InterfaceNameFits(interfaceName)) return Fail(PortStatus::kBadArgs, EINVAL);
    // Index, address and MTU are resolved here, once: sending a frame is then one sendto.
    const UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct ifreq ifr;
    if (!InterfaceRequest(control.get(), SIOCGIFINDEX, interfaceName, ifr))
        return Fail(StatusOfErrno(errno, PortStatus::kSocket), errno);
    const int ifindex = ifr.ifr_ifindex;
    Mac mac{};
    if (InterfaceRequest(control.get(), SIOCGIFHWADDR, interfaceName, ifr))
        std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    int mtu = 1500;
    if (InterfaceRequest(control.get(), SIOCGIFMTU, interfaceName, ifr) && ifr.ifr_mtu > 0) mtu = ifr.ifr_mtu;

    uint64_t nsDev = 0, nsIno = 0;
    const bool nsKnown = CurrentNetns(nsDev, nsIno);
    int fd = nsKnown && !options.promiscuous ? TakeKept(ifindex, options, nsDev, nsIno) : -1;
    if (fd >= 0) {
        fd_ = fd;
        Drain();
    } else {
        // Made without a protocol and given one by the bind: a socket made with a
        // protocol would have its receive hook replaced by the bind, which waits for a
        // grace period; and it would see frames of every interface before the bind.
        fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        if (fd < 0) return Fail(StatusOfErrno(errno, PortStatus::kSocket), errno);
        RawSocketEnableAuxdata(fd);
        if (options.skipOutgoing) {
            // Not queued at all where the kernel can do it (saves a wake-up per frame
            // sent); Recv skips them where it cannot.
            int one = 1;
            setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
        }
        struct sockaddr_ll sll;
        std::memset(&sll, 0, sizeof(sll));
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(options.protocol);
        sll.sll_ifindex = ifindex;
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) < 0) {
            const int err = errno;
            CloseInBackground(fd);
            return Fail(StatusOfErrno(err, PortStatus::kSocket), err);
        }
        if (options.promiscuous) {
            struct packet_mreq mr;
            std::memset(&mr, 0, sizeof(mr));
            mr.mr_ifindex = ifindex;
            mr.mr_type = PACKET_MR_PROMISC;
            setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof(mr));
        }
        fd_ = fd;
    }
    name_ = interfaceName;
    ifindex_ = ifindex;
    mac_ = mac;
    mtu_ = mtu;
    options_ = options;
    nsDev_ = nsKnown ? nsDev : 0;
    nsIno_ = nsKnown ? nsIno : 0;
    errno_ = 0;
    return PortStatus::kOk;
}

void Port::Close() {
    if (fd_ < 0) return;
    if ((nsDev_ != 0 || nsIno_ != 0) && !options_.promiscuous)
        Keep(KeptSocket{fd_, ifindex_, options_.protocol, options_.skipOutgoing, nsDev_, nsIno_});
    else
        CloseInBackground(fd_);
    fd_ = -1;
}

bool Port::isBound() const {
    if (fd_ < 0) return false;
    struct sockaddr_ll sll;
    socklen_t length = sizeof(sll);
    std::memset(&sll, 0, sizeof(sll));
    if (getsockname(fd_, reinterpret_cast<struct sockaddr*>(&sll), &length) != 0) return false;
    return sll.sll_ifindex == ifindex_;
}

bool Port::Unchanged() const {
    if (fd_ < 0) return false;
    if (nsDev_ == 0 && nsIno_ == 0) return name_.empty();
    uint64_t nsDev = 0, nsIno = 0;
    if (!CurrentNetns(nsDev, nsIno) || nsDev != nsDev_ || nsIno != nsIno_) return false;
    // The port's own socket answers interface requests in its namespace, which is the
    // caller's. An interface made again under the name has a new index.
    struct ifreq ifr;
    return InterfaceRequest(fd_, SIOCGIFINDEX, name_, ifr) && ifr.ifr_ifindex == ifindex_ &&
           InterfaceRequest(fd_, SIOCGIFHWADDR, name_, ifr) &&
           std::memcmp(ifr.ifr_hwaddr.sa_data, mac_.data(), mac_.size()) == 0 &&
           InterfaceRequest(fd_, SIOCGIFMTU, name_, ifr) && ifr.ifr_mtu == mtu_;
}

PortStatus Port::SendFrame(const uint8_t* frame, size_t length) {
    if (fd_ < 0) return Fail(PortStatus::kClosed, EBADF);
    if (frame == nullptr || length < kEthHeaderLength) return Fail(PortStatus::kBadArgs, EINVAL);
    struct sockaddr_ll to;
    std::memset(&to, 0, sizeof(to));
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame, 6);
    const ssize_t sent = sendto(fd_, frame, length, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to));
    if (sent != static_cast<ssize_t>(length)) return Fail(StatusOfErrno(errno, PortStatus::kSend), errno);
    if (capture_) capture_->Write(frame, length);
    return PortStatus::kOk;
}

PortStatus Port::Send(const uint8_t* dst, uint16_t typeOrLength, const uint8_t* payload, size_t length,
                      const VlanTag* tag) {
    if (dst == nullptr) return Fail(PortStatus::kBadArgs, EINVAL);
    uint8_t frame[kRxBufferLength];
    const size_t n = FrameBuild(frame, sizeof(frame), dst, mac_.data(), tag, typeOrLength, payload, length);
    if (n == 0) return Fail(PortStatus::kTooLong, EMSGSIZE);
    return SendFrame(frame, n);
}

PortStatus Port::ReceiveOne(FrameView& view, bool& skipped) {
    skipped = false;
    if (!rx_) {
        rx_.reset(new (std::nothrow) uint8_t[kRxBufferLength]);
        if (!rx_) return Fail(PortStatus::kReceive, ENOMEM);
    }
    RawFrameInfo info;
    const ssize_t n = RawSocketRecv(fd_, rx_.get(), kRxBufferLength, MSG_DONTWAIT, &info);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return PortStatus::kTimeout;
        // A pending socket error is returned (and cleared) by this read.
        return Fail(StatusOfErrno(errno, PortStatus::kReceive), errno);
    }
    const size_t length = static_cast<size_t>(n);
    if (options_.skipOutgoing && info.outgoing) {
        skipped = true;
        return PortStatus::kOk;
    }
    if (!FrameParse(rx_.get(), length, view)) {
        skipped = true;
        return PortStatus::kOk;
    }
    view.outgoing = info.outgoing;
    if (capture_) capture_->Write(rx_.get(), length);
    return PortStatus::kOk;
}

PortStatus Port::TryRecv(FrameView& view) {
    if (fd_ < 0) return Fail(PortStatus::kClosed, EBADF);
    // Passed-over frames are bounded so that a flood cannot hold the caller.
    for (int i = 0; i < 64; ++i) {
        bool skipped = false;
        const PortStatus s = ReceiveOne(view, skipped);
        if (s != PortStatus::kOk || !skipped) return s;
    }
    return PortStatus::kTimeout;
}

PortStatus Port::Recv(FrameView& view, const Deadline& deadline, int wakeFd) {
    if (fd_ < 0) return Fail(PortStatus::kClosed, EBADF);
    for (;;) {
        const PortStatus s = TryRecv(view);
        if (s != PortStatus::kTimeout) return s;
        const int waitMs = deadline.msLeft();
        if (waitMs == 0) return PortStatus::kTimeout;
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Fail(PortStatus::kReceive, errno);
        }
        if (wakeFd >= 0 && (fds[1].revents & POLLIN) != 0) return PortStatus::kWoken;
        if ((fds[0].revents & POLLNVAL) != 0) return Fail(PortStatus::kClosed, EBADF);
        // POLLIN or POLLERR: the next read takes the frame or the pending error.
    }
}

void Port::Drain(size_t maxFrames) {
    if (fd_ < 0) return;
    uint8_t buf[kMinFrameLength];
    for (size_t i = 0; i < maxFrames; ++i) {
        if (recv(fd_, buf, sizeof(buf), MSG_DONTWAIT | MSG_TRUNC) < 0) break;
    }
}

// ---------------------------------------------------------------------------
// Ports over socket pairs, for tests

Port Port::Adopt(int fd, const Mac& mac) {
    Port port;
    port.fd_ = fd;
    port.mac_ = mac;
    return port;  // no namespace recorded: closed, never kept for reuse
}

}  // namespace kivo::l2
