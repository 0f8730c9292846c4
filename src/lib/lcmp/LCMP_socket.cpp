// LCMP link layer: sending (framing, segmentation, tagging, sequence numbers) and
// receiving (receive thread, reassembly, ageing, dispatch to registered callbacks).
#include "LCMP_socket.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "LCMP_internal.h"
#include "byte_io.h"
#include "device.h"
#include "raw_socket.h"

namespace kivo::lcmp {

// ---------------------------------------------------------------------------
// Frame and header codecs

void MmhEncode(const Mmh& mmh, uint8_t out[kMmhLength]) {
    out[0] = static_cast<uint8_t>(mmh.length & 0xFF);
    out[1] = static_cast<uint8_t>(((mmh.length >> 8) & 0x0F) | ((mmh.opcode & 0x0F) << 4));
    out[2] = static_cast<uint8_t>((mmh.opcode >> 4) & 0xFF);
    out[3] = 0;
    out[4] = static_cast<uint8_t>((mmh.numSegments & 0x0F) | ((mmh.segment & 0x0F) << 4));
    storeLe16(out + 5, mmh.numSeq);
    out[7] = 0x10;
}

Mmh MmhDecode(const uint8_t in[kMmhLength]) {
    Mmh mmh;
    mmh.length = static_cast<uint16_t>(((in[1] & 0x0F) << 8) | in[0]);
    mmh.opcode = static_cast<uint16_t>((in[2] << 4) | (in[1] >> 4));
    mmh.numSegments = in[4] & 0x0F;
    mmh.segment = in[4] >> 4;
    mmh.numSeq = loadLe16(in + 5);
    return mmh;
}

size_t FrameBuild(uint8_t* out, size_t cap, const uint8_t dstMAC[6], const uint8_t srcMAC[6],
                  const VlanSetting& vlan, const Mmh& mmh, const uint8_t* segment, size_t segmentLength) {
    if (segmentLength > kMaxSegmentLength || (segmentLength > 0 && segment == nullptr)) return 0;
    const size_t payload = std::max(kMmhLength + segmentLength, kMinPayloadLength);
    const size_t total = kEthHeaderLength + (vlan.enabled ? kVlanTagLength : 0) + payload;
    if (out == nullptr || total > cap) return 0;
    std::memset(out, 0, total);
    ByteWriter w(out, total);
    w.bytes(dstMAC, 6);
    w.bytes(srcMAC, 6);
    if (vlan.enabled) {
        w.be16(kVlanTpid);
        w.be16(static_cast<uint16_t>(vlan.pcp * 8192 + vlan.vid));
    }
    w.be16(kEtherType);
    uint8_t header[kMmhLength];
    MmhEncode(mmh, header);
    w.bytes(header, kMmhLength);
    w.bytes(segment, segmentLength);
    return w.ok() ? total : 0;
}

bool FrameParse(const uint8_t* frame, size_t length, FrameView& out) {
    ByteReader r(frame, length);
    uint16_t type = 0;
    if (!r.skip(6)) return false;
    out.srcMAC = r.current();
    if (!r.skip(6) || !r.be16(type)) return false;
    out.tagged = type == kVlanTpid;
    // The tag itself is not examined; the EtherType behind it is not either (the
    // socket only receives LCMP frames).
    if (out.tagged && !r.skip(4)) return false;
    if (!r.has(kMmhLength)) return false;
    out.mmh = MmhDecode(r.current());
    r.skip(kMmhLength);
    // The MMH's length is a claim: the segment must lie within the received bytes.
    if (!r.has(out.mmh.length)) return false;
    out.mmpl = r.current();
    return true;
}

uint32_t NowMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// ---------------------------------------------------------------------------
// Allocation fault points

namespace {
std::atomic<unsigned> failPoints[static_cast<size_t>(FailPoint::kCount)];
}  // namespace

void FailPointArm(FailPoint point, unsigned count) {
    failPoints[static_cast<size_t>(point)].store(count);
}

void FailPointsClear() {
    for (auto& p : failPoints) p.store(0);
}

bool FailPointHit(FailPoint point) {
    auto& p = failPoints[static_cast<size_t>(point)];
    unsigned v = p.load();
    while (v > 0) {
        if (p.compare_exchange_weak(v, v - 1)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Reassembly

Reassembler::~Reassembler() {
    while (head_ != nullptr) SegmentedFrameDelete(head_);
}

Reassembler::SegmentedFrame* Reassembler::SegmentedFrameOpen(const FrameView& frame) const {
    const uint8_t seq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    for (SegmentedFrame* r = head_; r != nullptr; r = r->nextSegmentedFrame) {
        if (r->numSeq == seq && r->opcode == frame.mmh.opcode && std::memcmp(r->srcMAC, frame.srcMAC, 6) == 0)
            return r;
    }
    return nullptr;
}

Reassembler::SegmentedFrame* Reassembler::SegmentedFrameCreate(const FrameView& frame, uint32_t nowMs) {
    if (FailPointHit(FailPoint::kRecord)) return nullptr;
    SegmentedFrame* r = new (std::nothrow) SegmentedFrame();
    if (r == nullptr) return nullptr;
    r->numSeq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    std::memcpy(r->srcMAC, frame.srcMAC, 6);
    r->opcode = frame.mmh.opcode;
    r->numSegments = frame.mmh.numSegments;
    r->timeStamp = nowMs;
    r->prevSegmentedFrame = tail_;
    if (tail_ != nullptr)
        tail_->nextSegmentedFrame = r;
    else
        head_ = r;
    tail_ = r;
    ++segmentedFrames_;
    return r;
}

void Reassembler::SegmentedFrameDelete(SegmentedFrame* r) {
    if (r->prevSegmentedFrame != nullptr)
        r->prevSegmentedFrame->nextSegmentedFrame = r->nextSegmentedFrame;
    else
        head_ = r->nextSegmentedFrame;
    if (r->nextSegmentedFrame != nullptr)
        r->nextSegmentedFrame->prevSegmentedFrame = r->prevSegmentedFrame;
    else
        tail_ = r->prevSegmentedFrame;
    --segmentedFrames_;
    delete r;
}

// Stores a copy of the frame's segment; false when no memory is left (the record
// stays as it was). A number already present changes nothing, not even the time.
bool Reassembler::SegmentOnSegmentedFrameInsert(SegmentedFrame* r, const FrameView& frame, uint32_t nowMs) {
    Segment& seg = r->segments[frame.mmh.segment];
    if (seg.present) return true;
    const uint16_t length = frame.mmh.length;
    if (length > 0) {
        uint8_t* copy = FailPointHit(FailPoint::kSegment) ? nullptr : new (std::nothrow) uint8_t[length];
        if (copy == nullptr) return false;
        std::memcpy(copy, frame.mmpl, length);
        seg.value.reset(copy);
    }
    seg.valueLength = length;
    seg.present = true;
    ++r->numSegmentsSaved;
    r->timeStamp = nowMs;
    return true;
}

// Puts the segments of a complete record together, in order.
bool Reassembler::FrameExtract(SegmentedFrame* r, std::unique_ptr<uint8_t[]>& message, size_t& length) {
    size_t total = 0;
    for (unsigned i = 0; i <= r->numSegments; ++i) total += r->segments[i].valueLength;
    uint8_t* buf = FailPointHit(FailPoint::kReassemblyBuffer) ? nullptr
                                                              : new (std::nothrow)
                                                                    uint8_t[total > 0 ? total : 1];
    if (buf == nullptr) return false;
    size_t pos = 0;
    for (unsigned i = 0; i <= r->numSegments; ++i) {
        const Segment& s = r->segments[i];
        if (s.valueLength > 0) std::memcpy(buf + pos, s.value.get(), s.valueLength);
        pos += s.valueLength;
    }
    message.reset(buf);
    length = total;
    return true;
}

Reassembler::Result Reassembler::SegmentAdd(const FrameView& frame, uint32_t nowMs,
                                            std::unique_ptr<uint8_t[]>& message, size_t& length) {
    // A segment numbered beyond the message's last segment cannot belong to it.
    if (frame.mmh.segment > frame.mmh.numSegments) return Result::kDropped;
    SegmentedFrame* r = SegmentedFrameOpen(frame);
    if (r == nullptr) {
        r = SegmentedFrameCreate(frame, nowMs);
        if (r == nullptr) return Result::kDropped;
    } else if (r->numSegments != frame.mmh.numSegments) {
        // Frames that disagree on the message's size: nothing of it can be trusted.
        SegmentedFrameDelete(r);
        return Result::kDropped;
    }
    if (!SegmentOnSegmentedFrameInsert(r, frame, nowMs)) return Result::kDropped;
    // Every number from 0 to numSegments is present once the count is reached,
    // since no number above numSegments is ever stored and none twice.
    if (r->numSegmentsSaved != r->numSegments + 1) return Result::kPending;
    // Without memory for the message it cannot be dispatched; a complete record
    // would never change again, so it goes either way.
    const bool extracted = FrameExtract(r, message, length);
    SegmentedFrameDelete(r);
    return extracted ? Result::kComplete : Result::kDropped;
}

void Reassembler::SegmentedFramesListClean(uint32_t nowMs) {
    SegmentedFrame* r = head_;
    while (r != nullptr) {
        SegmentedFrame* next = r->nextSegmentedFrame;
        if (static_cast<uint32_t>(nowMs - r->timeStamp) >= kSegmentMaxAgeMs) SegmentedFrameDelete(r);
        r = next;
    }
}

}  // namespace kivo::lcmp

using namespace kivo::lcmp;

namespace {

// Time base of the ageing: the steady clock, so that a step of the wall clock
// neither ages every partial message at once nor keeps them.
INT32U GetCurrentTimeInMs() {
    return NowMs();
}

// ---------------------------------------------------------------------------
// Module state

CHAR lcmpInterfaceName[100];
// The socket of the open period, -1 while LCMP is closed. Read by the receive
// thread and the sending thread.
std::atomic<int> sc{-1};
INT16U lcmpOpcodeNumSeq[NUM_OPCODES - LCMP_READ_REQ];
BOOLEAN vlanEnabled = FALSE;
INT16U vlanId = 0;
INT8U vlanClass = 0;

// Closing a packet socket waits for an RCU grace period in the kernel (tens of
// milliseconds), and its first bind to an interface as well. The socket is
// therefore kept between open periods and reused by the next one in the same
// network namespace; frames that queued up meanwhile are discarded when it is
// taken up again.
int keptSocket = -1;
dev_t keptSocketNsDev = 0;
ino_t keptSocketNsIno = 0;

// Callback registry, newest registration first.
std::mutex lcmpCallbacksMutex;
t_lcmpCallback* lcmpCallbacksList = nullptr;

// Receive thread.
std::thread rxThread;
std::mutex lcmpReceiveThreadMutex;
BOOLEAN lcmpReceiveThreadKeepAlive = FALSE;
// Written by LCMPReceiveThreadStop so that the thread sees a stop at once; made
// once and kept, the thread consumes the wake-up before it ends.
int rxWakeFd = -1;
// The interface the socket is bound to (binding again to the same one changes
// nothing and is skipped).
int boundIfindex = 0;

bool CurrentNetns(dev_t& dev, ino_t& ino) {
    struct stat st;
    if (stat("/proc/thread-self/ns/net", &st) != 0) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

// Discards what a kept socket received while LCMP was closed (bounded, so that a
// flood cannot hold the caller).
void DrainSocket(int fd) {
    uint8_t buf[kMaxFrameLength];
    for (int i = 0; i < 4096; ++i) {
        if (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) < 0) break;
    }
}

void CloseKeptSocket() {
    if (keptSocket >= 0) close(keptSocket);
    keptSocket = -1;
}

// Takes up the kept socket when it belongs to the caller's network namespace, else
// creates a new one. Returns -1 when no socket can be had.
int SocketOpen() {
    dev_t nsDev = 0;
    ino_t nsIno = 0;
    const bool nsKnown = CurrentNetns(nsDev, nsIno);
    if (keptSocket >= 0) {
        if (nsKnown && nsDev == keptSocketNsDev && nsIno == keptSocketNsIno) {
            int fd = keptSocket;
            keptSocket = -1;
            DrainSocket(fd);
            return fd;
        }
        CloseKeptSocket();
    }
    int fd = socket(AF_PACKET, SOCK_RAW, htons(kEtherType));
    if (fd < 0) return -1;
    boundIfindex = 0;
    // Frames whose 802.1Q tag the kernel strips are handed back with the tag.
    kivo::RawSocketEnableAuxdata(fd);
    keptSocketNsDev = nsKnown ? nsDev : 0;
    keptSocketNsIno = nsKnown ? nsIno : 0;
    return fd;
}

void SocketKeep(int fd) {
    CloseKeptSocket();
    keptSocket = fd;
}

// ---------------------------------------------------------------------------
// Callback registry

t_lcmpCallback* CallbackAdd(t_lcmpCallbackFunction callback, const INT8U* srcMAC, t_lcmpOpcodeType opcode,
                            const void* callbackData) {
    if (FailPointHit(FailPoint::kRegistration)) return nullptr;
    t_lcmpCallback* cb = new (std::nothrow) t_lcmpCallback();
    if (cb == nullptr) return nullptr;
    cb->callback = callback;
    cb->callbackData = callbackData;
    cb->compareSrcMAC = srcMAC != nullptr ? TRUE : FALSE;
    if (srcMAC != nullptr) std::memcpy(cb->srcMAC, srcMAC, 6);
    cb->opcode = opcode;
    std::lock_guard<std::mutex> lock(lcmpCallbacksMutex);
    cb->nextCallback = lcmpCallbacksList;
    lcmpCallbacksList = cb;
    return cb;
}

// Unlinks the registration and frees it, only when it was still in the registry
// (the receive thread frees the remaining ones when it ends).
bool CallbackDelete(t_lcmpCallback* cb) {
    bool unlinked = false;
    {
        std::lock_guard<std::mutex> lock(lcmpCallbacksMutex);
        for (t_lcmpCallback** p = &lcmpCallbacksList; *p != nullptr; p = &(*p)->nextCallback) {
            if (*p == cb) {
                *p = cb->nextCallback;
                unlinked = true;
                break;
            }
        }
    }
    if (unlinked) delete cb;
    return unlinked;
}

void CallbackListDestroy() {
    std::lock_guard<std::mutex> lock(lcmpCallbacksMutex);
    while (lcmpCallbacksList != nullptr) {
        t_lcmpCallback* next = lcmpCallbacksList->nextCallback;
        delete lcmpCallbacksList;
        lcmpCallbacksList = next;
    }
}

// Hands one complete message to every matching registration, newest first. The
// registry lock is held for the whole walk, so an uninstall waits for it.
void CallbacksExecute(const INT8U* srcMAC, INT16U opcode, INT8U* data, INT16U length) {
    INT8U src[6];
    std::memcpy(src, srcMAC, 6);
    std::lock_guard<std::mutex> lock(lcmpCallbacksMutex);
    for (t_lcmpCallback* cb = lcmpCallbacksList; cb != nullptr; cb = cb->nextCallback) {
        if (cb->opcode != opcode) continue;
        if (cb->compareSrcMAC && std::memcmp(cb->srcMAC, src, 6) != 0) continue;
        cb->callback(src, static_cast<t_lcmpOpcodeType>(opcode), data, length,
                     const_cast<void*>(cb->callbackData));
    }
}

// ---------------------------------------------------------------------------
// Receive thread

bool KeepAlive() {
    std::lock_guard<std::mutex> lock(lcmpReceiveThreadMutex);
    return lcmpReceiveThreadKeepAlive != 0;
}

void FrameHandle(Reassembler& reassembler, INT8U* frame, size_t length) {
    FrameView view;
    if (!FrameParse(frame, length, view)) return;
    if (view.mmh.numSegments == 0) {
        CallbacksExecute(view.srcMAC, view.mmh.opcode, const_cast<INT8U*>(view.mmpl), view.mmh.length);
        return;
    }
    std::unique_ptr<uint8_t[]> message;
    size_t messageLength = 0;
    if (reassembler.SegmentAdd(view, GetCurrentTimeInMs(), message, messageLength) ==
        Reassembler::Result::kComplete) {
        CallbacksExecute(view.srcMAC, view.mmh.opcode, message.get(), static_cast<INT16U>(messageLength));
    }
}

void ReceiveThreadFunction(int fd, int wakeFd) {
    // One buffer for the thread's life: a tagged frame with a full segment.
    std::unique_ptr<INT8U[]> buf(new (std::nothrow) INT8U[kMaxFrameLength]);
    Reassembler reassembler;
    if (fd < 0) std::fprintf(stderr, "Socket error\n");
    if (fd >= 0 && buf) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        while (KeepAlive()) {
            // One wait cycle of at most 20 ms: frames are read as they come; the
            // cycle ends when the time is used up or a stop is signalled.
            const auto cycleEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            bool stop = false;
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    cycleEnd - std::chrono::steady_clock::now());
                const int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
                fds[0].revents = fds[1].revents = 0;
                const int n = poll(fds, 2, timeout);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                if (fds[1].revents != 0) {
                    stop = true;
                    break;
                }
                if ((fds[0].revents & POLLNVAL) != 0) {
                    // No socket to read: wait out the cycle for a stop only.
                    if (poll(&fds[1], 1, timeout) > 0) stop = true;
                    break;
                }
                // A pending socket error (the interface went down) is taken by the
                // read, which then fails and counts as an ignored frame.
                if ((fds[0].revents & (POLLIN | POLLERR)) == 0) break;
                const ssize_t got = kivo::RawSocketRecv(fd, buf.get(), kMaxFrameLength, MSG_DONTWAIT);
                if (got > 0) FrameHandle(reassembler, buf.get(), static_cast<size_t>(got));
                reassembler.SegmentedFramesListClean(GetCurrentTimeInMs());
            }
            if (stop) break;
        }
    }
    // Registrations still installed are freed; their callback data stays with its
    // owners. The partial messages go with the reassembler.
    CallbackListDestroy();
}

int LCMPReceiveThreadCreate(int fd) {
    {
        std::lock_guard<std::mutex> lock(lcmpReceiveThreadMutex);
        lcmpReceiveThreadKeepAlive = TRUE;
    }
    if (FailPointHit(FailPoint::kReceiveThread)) return -1;
    if (rxWakeFd < 0) rxWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (rxWakeFd < 0) return -1;
    try {
        rxThread = std::thread(ReceiveThreadFunction, fd, rxWakeFd);
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

void LCMPReceiveThreadStop() {
    {
        std::lock_guard<std::mutex> lock(lcmpReceiveThreadMutex);
        lcmpReceiveThreadKeepAlive = FALSE;
    }
    if (rxWakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(rxWakeFd, &one, sizeof(one));
    }
    if (rxThread.joinable()) rxThread.join();
    // The thread may have ended between two cycles without taking the wake-up;
    // clear it so that the next thread does not stop at once.
    if (rxWakeFd >= 0) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t r = read(rxWakeFd, &count, sizeof(count));
    }
}

// ---------------------------------------------------------------------------
// Sending

t_lcmpErrorCode LCMPPacketSegmentSend(const INT8U* dstMAC, const Mmh& mmh, const INT8U* segment) {
    const int fd = sc.load();
    if (fd < 0) {
        std::fprintf(stderr, "Warning: LCMPPacketSegmentSend: Socket not opened\n");
        return LCMP_ERROR_SOCKET_NOT_OPENED;
    }
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof(sll));
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(kEtherType);
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::memcpy(ifr.ifr_name, lcmpInterfaceName, IFNAMSIZ - 1);

    if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        std::fprintf(stderr, "Warning: LCMPPacketSegmentSend: ioctl error @SIOCGIFHWADDR (%d,%s)\n", errno,
                     std::strerror(errno));
        return LCMP_ERROR_ETH_IF;
    }
    INT8U srcMAC[6];
    std::memcpy(srcMAC, ifr.ifr_hwaddr.sa_data, 6);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        std::fprintf(stderr, "Warning: LCMPPacketSegmentSend: ioctl error @SIOCGIFINDEX (%d,%s)\n", errno,
                     std::strerror(errno));
        return LCMP_ERROR_ETH_IF;
    }
    sll.sll_ifindex = ifr.ifr_ifindex;
    if (sll.sll_ifindex != boundIfindex) {
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) < 0) {
            std::fprintf(stderr, "LCMPPacketSegmentSend: bind to interface %s (ifindex %d) error\n",
                         lcmpInterfaceName, sll.sll_ifindex);
            boundIfindex = 0;
            return LCMP_ERROR_ETH_IF;
        }
        boundIfindex = sll.sll_ifindex;
    }
    INT8U frame[kMaxFrameLength];
    const VlanSetting vlan{vlanEnabled != 0, vlanId, vlanClass};
    const size_t len = FrameBuild(frame, sizeof(frame), dstMAC, srcMAC, vlan, mmh, segment, mmh.length);
    if (len == 0) return LCMP_ERROR_BAD_ARGS;
    if (sendto(fd, frame, len, 0, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) == -1) {
        std::fprintf(stderr, "Warning: LCMPPacketSegmentSend: sendto error (%d,%s)\n", errno,
                     std::strerror(errno));
        return LCMP_ERROR_SENDTO;
    }
    return LCMP_ERROR_NONE;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public interface

void kivo::lcmp::Dispatch(const INT8U* srcMAC, INT16U opcode, INT8U* data, INT16U length) {
    CallbacksExecute(srcMAC, opcode, data, length);
}

t_lcmpErrorCode LCMPSocketInit(const CHAR* interfaceName) {
    if (interfaceName == nullptr) return LCMP_ERROR_BAD_ARGS;
    // A name that does not fit an interface request with its terminator would be
    // cut and could name another interface.
    if (strnlen(interfaceName, IFNAMSIZ) >= IFNAMSIZ) return LCMP_ERROR_BAD_ARGS;
    std::memset(lcmpInterfaceName, 0, sizeof(lcmpInterfaceName));
    std::strncpy(lcmpInterfaceName, interfaceName, sizeof(lcmpInterfaceName) - 1);
    // Already open (and its thread running): the new name holds from the next send.
    if (sc.load() >= 0 && rxThread.joinable()) return LCMP_ERROR_NONE;
    if (sc.load() < 0) sc.store(SocketOpen());
    const int fd = sc.load();
    if (fd < 0) return LCMP_ERROR_SOCKET_NOT_OPENED;
    if (LCMPReceiveThreadCreate(fd) != 0) {
        // Without a receive thread nothing would ever close the socket.
        sc.store(-1);
        close(fd);
        return LCMP_ERROR_PTHREAD_CREATE;
    }
    return LCMP_ERROR_NONE;
}

void LCMPSocketEnd() {
    LCMPReceiveThreadStop();
    const int fd = sc.exchange(-1);
    if (fd >= 0) SocketKeep(fd);
}

t_lcmpErrorCode LCMPPacketSend(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength,
                               const INT8U* MMPL, INT16U* numSeq) {
    if (dstMAC == nullptr || (MMPL == nullptr && MMPLlength > 0) || opcode < LCMP_READ_REQ ||
        opcode >= NUM_OPCODES)
        return LCMP_ERROR_BAD_ARGS;
    const unsigned numSegments = MMPLlength / kMaxSegmentLength;
    if (numSegments > kMaxSegments - 1) {
        std::fprintf(stderr, "Warning: LCMPPacketSend: num_segments = %d/%d = %d > 16!\n", MMPLlength,
                     static_cast<int>(kMaxSegmentLength), numSegments);
        return LCMP_ERROR_SENDTO;
    }
    INT16U& counter = lcmpOpcodeNumSeq[opcode - LCMP_READ_REQ];
    const INT16U seq = counter++;
    if (numSeq != nullptr) *numSeq = seq;
    for (unsigned segment = 0; segment <= numSegments; ++segment) {
        Mmh mmh;
        mmh.length = static_cast<uint16_t>(
            segment < numSegments ? kMaxSegmentLength : MMPLlength - kMaxSegmentLength * numSegments);
        mmh.opcode = static_cast<uint16_t>(opcode);
        mmh.numSegments = static_cast<uint8_t>(numSegments);
        mmh.segment = static_cast<uint8_t>(segment);
        mmh.numSeq = seq;
        const t_lcmpErrorCode rc = LCMPPacketSegmentSend(dstMAC, mmh, MMPL + kMaxSegmentLength * segment);
        if (rc != LCMP_ERROR_NONE) {
            std::fprintf(stderr, "Warning: LCMPPacketSend: LCMPPacketSegmentSend returned error\n");
            return rc;
        }
    }
    return LCMP_ERROR_NONE;
}

t_lcmpErrorCode LCMPMyMACGet(INT8U* MyMAC) {
    if (MyMAC == nullptr) return LCMP_ERROR_BAD_ARGS;
    // While LCMP is open its socket answers the request; that saves making a socket
    // for each one.
    const int fd = sc.load();
    if (fd >= 0) {
        struct ifreq ifr;
        std::memset(&ifr, 0, sizeof(ifr));
        std::memcpy(ifr.ifr_name, lcmpInterfaceName, IFNAMSIZ - 1);
        if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) return LCMP_ERROR_SOCKET_NOT_OPENED;
        std::memcpy(MyMAC, ifr.ifr_hwaddr.sa_data, 6);
        return LCMP_ERROR_NONE;
    }
    if (MacAddressGet(lcmpInterfaceName, MyMAC) != 0) return LCMP_ERROR_SOCKET_NOT_OPENED;
    return LCMP_ERROR_NONE;
}

t_lcmpErrorCode LCMPVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp) {
    if (enable) {
        if (vid > 4094 || pcp > 7) return LCMP_ERROR_BAD_ARGS;
        vlanId = vid;
        vlanClass = pcp;
        vlanEnabled = TRUE;
    } else {
        vlanEnabled = FALSE;
    }
    return LCMP_ERROR_NONE;
}

t_lcmpCallback* LCMPCallBackInstall(t_lcmpCallbackFunction callback, const INT8U* srcMAC,
                                    t_lcmpOpcodeType opcodeFilter, const void* callbackData) {
    if (callback == nullptr) return nullptr;
    return CallbackAdd(callback, srcMAC, opcodeFilter, callbackData);
}

t_lcmpErrorCode LCMPCallBackUninstall(t_lcmpCallback* callback) {
    if (callback == nullptr) return LCMP_ERROR_BAD_ARGS;
    CallbackDelete(callback);
    return LCMP_ERROR_NONE;
}
