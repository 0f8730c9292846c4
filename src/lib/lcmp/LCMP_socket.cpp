// LCMP link layer: sending (framing, segmentation, tagging, sequence numbers) and
// receiving (receive thread, reassembly, ageing, dispatch to registered callbacks).
#include "LCMP_socket.h"

#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "LCMP_internal.h"
#include "byte_io.h"
#include "clock.h"
#include "device.h"
#include "failpoint.h"
#include "log.h"
#include "port.h"
#include "reason.h"

namespace kivo::lcmp {

namespace {
// The last MMH byte: the same constant in every frame.
constexpr uint8_t kMmhTrailer = 0x10;
constexpr uint16_t kMmhLengthMask = 0x0FFF;
}  // namespace

// ---------------------------------------------------------------------------
// Frame and header codecs

// The MMH packs the 12-bit length and the 12-bit opcode into its first three bytes,
// little-endian, and the two 4-bit segment numbers into its fifth.
bool MmhWrite(ByteWriter& w, const Mmh& mmh) {
    w.le16(static_cast<uint16_t>((mmh.length & kMmhLengthMask) | (mmh.opcode & 0x0F) << 12));
    w.u8(static_cast<uint8_t>(mmh.opcode >> 4));
    w.u8(0);
    w.u8(static_cast<uint8_t>((mmh.numSegments & 0x0F) | (mmh.segment & 0x0F) << 4));
    w.le16(mmh.numSeq);
    w.u8(kMmhTrailer);
    return w.ok();
}

bool MmhRead(ByteReader& r, Mmh& mmh) {
    uint16_t lengthAndOpcode = 0;
    uint8_t opcodeHigh = 0, segments = 0;
    if (!r.le16(lengthAndOpcode) || !r.u8(opcodeHigh) || !r.skip(1) || !r.u8(segments) ||
        !r.le16(mmh.numSeq) || !r.skip(1))
        return false;
    mmh.length = lengthAndOpcode & kMmhLengthMask;
    mmh.opcode = static_cast<uint16_t>(opcodeHigh << 4 | lengthAndOpcode >> 12);
    mmh.numSegments = segments & 0x0F;
    mmh.segment = segments >> 4;
    return true;
}

size_t FrameBuild(uint8_t* out, size_t cap, const uint8_t dstMAC[6], const uint8_t srcMAC[6],
                  const l2::VlanTag* tag, const Mmh& mmh, const uint8_t* segment, size_t segmentLength) {
    if (segmentLength > kMaxSegmentLength || (segmentLength > 0 && segment == nullptr)) return 0;
    const size_t payload = std::max(kMmhLength + segmentLength, l2::kMinPayloadLength);
    const size_t total = l2::kEthHeaderLength + (tag != nullptr ? l2::kVlanTagLength : 0) + payload;
    if (out == nullptr || total > cap) return 0;
    ByteWriter w(out, total);
    l2::EthernetWrite(w, dstMAC, srcMAC, tag, kEtherType);
    MmhWrite(w, mmh);
    w.bytes(segment, segmentLength);
    w.fill(0, w.remaining());
    return w.ok() ? total : 0;
}

bool SegmentParse(const l2::FrameView& frame, MessageSegment& out) {
    if (frame.eth.typeOrLength != kEtherType) return false;
    ByteReader r = frame.payloadReader();
    if (!MmhRead(r, out.mmh)) return false;
    // The MMH's length is a claim: the segment must lie within the received bytes.
    if (!r.has(out.mmh.length)) return false;
    // Into the received bytes (the source address follows the destination), so that it
    // stays valid as long as the frame does, not only as long as the view.
    out.srcMAC = frame.data + l2::kMacLength;
    out.mmpl = r.current();
    return true;
}

// ---------------------------------------------------------------------------
// Reassembly

Reassembler::~Reassembler() {
    while (head_ != nullptr) SegmentedFrameDelete(head_);
}

Reassembler::SegmentedFrame* Reassembler::SegmentedFrameOpen(const MessageSegment& frame) const {
    const uint8_t seq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    for (SegmentedFrame* r = head_; r != nullptr; r = r->nextSegmentedFrame) {
        if (r->numSeq == seq && r->opcode == frame.mmh.opcode && std::memcmp(r->srcMAC, frame.srcMAC, 6) == 0)
            return r;
    }
    return nullptr;
}

Reassembler::SegmentedFrame* Reassembler::SegmentedFrameCreate(const MessageSegment& frame, uint32_t nowMs) {
    if (kivo::FailPointHit("lcmp.record")) return nullptr;
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
bool Reassembler::SegmentOnSegmentedFrameInsert(SegmentedFrame* r, const MessageSegment& frame,
                                                uint32_t nowMs) {
    Segment& seg = r->segments[frame.mmh.segment];
    if (seg.present) return true;
    const uint16_t length = frame.mmh.length;
    if (length > 0) {
        uint8_t* copy = kivo::FailPointHit("lcmp.segment") ? nullptr : new (std::nothrow) uint8_t[length];
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
    uint8_t* buf = kivo::FailPointHit("lcmp.reassembly_buffer") ? nullptr
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

Reassembler::Result Reassembler::SegmentAdd(const MessageSegment& frame, uint32_t nowMs,
                                            std::unique_ptr<uint8_t[]>& message, size_t& length) {
    // A segment numbered beyond the message's last segment cannot belong to it.
    if (frame.mmh.segment > frame.mmh.numSegments) return Result::kDropped;
    SegmentedFrame* r = SegmentedFrameOpen(frame);
    if (r == nullptr) {
        r = SegmentedFrameCreate(frame, nowMs);
        if (r == nullptr) return Result::kDropped;
    } else if (r->numSegments != frame.mmh.numSegments) {
        // Frames that disagree on the message's size: nothing of it can be trusted.
        LostNote(r);
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
    if (!extracted) LostNote(r);
    SegmentedFrameDelete(r);
    return extracted ? Result::kComplete : Result::kDropped;
}

void Reassembler::SegmentedFramesListClean(uint32_t nowMs) {
    SegmentedFrame* r = head_;
    while (r != nullptr) {
        SegmentedFrame* next = r->nextSegmentedFrame;
        if (static_cast<uint32_t>(nowMs - r->timeStamp) >= kSegmentMaxAgeMs) {
            LostNote(r);
            SegmentedFrameDelete(r);
        }
        r = next;
    }
}

void Reassembler::LostNote(const SegmentedFrame* r) {
    // Only whether something was lost matters, not how much: one entry per device and
    // opcode, and few of them, so frames from strangers cannot make the list grow.
    constexpr size_t kMaxLost = 32;
    for (const Lost& l : lost_)
        if (l.opcode == r->opcode && std::memcmp(l.srcMAC, r->srcMAC, 6) == 0) return;
    if (lost_.size() >= kMaxLost) lost_.erase(lost_.begin());
    Lost l;
    std::memcpy(l.srcMAC, r->srcMAC, 6);
    l.opcode = r->opcode;
    lost_.push_back(l);
}

bool Reassembler::IncompleteTake(const MessageSegment& frame) {
    bool incomplete = false;
    for (auto it = lost_.begin(); it != lost_.end();) {
        if (it->opcode == frame.mmh.opcode && std::memcmp(it->srcMAC, frame.srcMAC, 6) == 0) {
            it = lost_.erase(it);
            incomplete = true;
        } else {
            ++it;
        }
    }
    // A partial message sent before this one (a lower sequence number, modulo 256)
    // that is still waiting for a segment will not be part of the answer in time.
    const uint8_t seq = static_cast<uint8_t>(frame.mmh.numSeq & 0xFF);
    for (const SegmentedFrame* r = head_; r != nullptr; r = r->nextSegmentedFrame) {
        const uint8_t behind = static_cast<uint8_t>(seq - r->numSeq);
        if (r->opcode == frame.mmh.opcode && std::memcmp(r->srcMAC, frame.srcMAC, 6) == 0 && behind > 0 &&
            behind < 128)
            incomplete = true;
    }
    return incomplete;
}

namespace {
thread_local DispatchInfo currentDispatch;
}  // namespace

const DispatchInfo& CurrentDispatch() {
    return currentDispatch;
}

namespace {
// Sets what callbacks see of the message being dispatched, for the length of a dispatch.
class DispatchScope {
   public:
    explicit DispatchScope(const DispatchInfo& info) { currentDispatch = info; }
    ~DispatchScope() { currentDispatch = DispatchInfo{}; }
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;
};
}  // namespace

}  // namespace kivo::lcmp

using namespace kivo::lcmp;
using kivo::Log;
using kivo::LogStream;
using kivo::l2::Port;
using kivo::l2::PortStatus;

namespace {

// ---------------------------------------------------------------------------
// Module state

constexpr int kReceiveCycleMs = 20;

INT16U lcmpOpcodeNumSeq[NUM_OPCODES - LCMP_READ_REQ];
BOOLEAN vlanEnabled = FALSE;
INT16U vlanId = 0;
INT8U vlanClass = 0;

// Callback registry, newest registration first.
std::mutex lcmpCallbacksMutex;
t_lcmpCallback* lcmpCallbacksList = nullptr;

// Receive thread.
std::thread rxThread;
std::mutex lcmpReceiveThreadMutex;
BOOLEAN lcmpReceiveThreadKeepAlive = FALSE;
// Written to stop the thread at once, and to make it take up a new port; made once and
// kept. The thread consumes the wake-ups it sees; LCMPReceiveThreadStop clears one it
// did not.
int rxWakeFd = -1;

void ReceiveThreadWake() {
    if (rxWakeFd < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(rxWakeFd, &one, sizeof(one));
}

void ReceiveThreadWakeClear() {
    if (rxWakeFd < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] ssize_t r = read(rxWakeFd, &count, sizeof(count));
}

// ---------------------------------------------------------------------------
// The port

// Outcome of a port operation in LCMP's codes. With the interface's name, a failure
// people can act on is also recorded as the reason.
t_lcmpErrorCode ErrorOf(PortStatus status, const char* name = nullptr) {
    if (name != nullptr) {
        if (status == PortStatus::kNoInterface)
            kivo::FailureRecord(kivo::Reason::kNoInterface,
                                "there is no interface %s; check the name (ip link lists them)", name);
        else if (status == PortStatus::kInterfaceDown)
            kivo::FailureRecord(kivo::Reason::kInterfaceDown,
                                "interface %s is down; bring it up (ip link set %s up)", name, name);
        else if (status == PortStatus::kPermission)
            kivo::FailureRecord(
                kivo::Reason::kNoPermission,
                "no permission to open a raw socket on %s; run the service as root or give it "
                "the CAP_NET_RAW capability",
                name);
    }
    switch (status) {
        case PortStatus::kOk:
            return LCMP_ERROR_NONE;
        case PortStatus::kBadArgs:
        case PortStatus::kNoInterface:
            return LCMP_ERROR_ETH_IF;
        case PortStatus::kPermission:
        case PortStatus::kSocket:
        case PortStatus::kClosed:
            return LCMP_ERROR_SOCKET_NOT_OPENED;
        case PortStatus::kInterfaceDown:
        case PortStatus::kTooLong:
        case PortStatus::kSend:
            return LCMP_ERROR_SENDTO;
        case PortStatus::kTimeout:
        case PortStatus::kWoken:
        case PortStatus::kReceive:
            return LCMP_ERROR_RECV;
    }
    return LCMP_ERROR_RECV;
}

// The interface LCMP is opened on and its port. The port is shared with the receive
// thread, which takes it up at the start of each cycle (or at once when woken): one
// that is replaced stays open until the thread lets it go. The port is null while LCMP
// is closed and while the named interface does not exist; LCMP may be opened on a name
// before its interface appears, and the name is resolved again whenever the port is
// missing or its interface has gone away.
class Link {
   public:
    // Opens LCMP on name, or takes name up while open: the following sends go out on it.
    // A missing interface leaves LCMP open without a port.
    t_lcmpErrorCode Open(const char* name) {
        std::lock_guard<std::mutex> lock(mutex_);
        name_ = name;
        if (!port_ || port_->name() != name_) {
            int err = 0;
            if (ErrorOf(ReopenLocked(err), name) == LCMP_ERROR_SOCKET_NOT_OPENED)
                return LCMP_ERROR_SOCKET_NOT_OPENED;
        }
        open_ = true;
        return LCMP_ERROR_NONE;
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        port_.reset();
        open_ = false;
    }
    bool isOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }
    std::string name() {
        std::lock_guard<std::mutex> lock(mutex_);
        return name_;
    }
    std::shared_ptr<Port> port() {
        std::lock_guard<std::mutex> lock(mutex_);
        return port_;
    }
    // The port to send on: the current one while its interface is there, else one
    // opened on the name again (an interface made again under the same name is a new
    // one). status and err tell why there is none.
    std::shared_ptr<Port> UsablePort(PortStatus& status, int& err) {
        std::lock_guard<std::mutex> lock(mutex_);
        status = open_ ? PortStatus::kOk : PortStatus::kClosed;
        err = 0;
        if (open_ && (!port_ || !port_->isBound())) status = ReopenLocked(err);
        return port_;
    }

   private:
    PortStatus ReopenLocked(int& err) {
        port_.reset();
        std::shared_ptr<Port> port;
        try {
            port = std::make_shared<Port>();
        } catch (const std::bad_alloc&) {
            err = ENOMEM;
            return PortStatus::kSocket;
        }
        kivo::l2::PortOptions options;
        options.protocol = kEtherType;
        // Packet sockets bound to one protocol are not handed the frames this host
        // sends (only taps for every protocol are), so LCMP never saw its own frames;
        // skipping them would change nothing.
        options.skipOutgoing = false;
        const PortStatus status = port->Open(name_, options);
        err = port->lastErrno();
        if (status == PortStatus::kOk) port_ = std::move(port);
        ReceiveThreadWake();
        return status;
    }

    std::mutex mutex_;
    std::string name_;
    std::shared_ptr<Port> port_;
    bool open_ = false;
};

Link lcmpLink;

// ---------------------------------------------------------------------------
// Callback registry

t_lcmpCallback* CallbackAdd(t_lcmpCallbackFunction callback, const INT8U* srcMAC, t_lcmpOpcodeType opcode,
                            const void* callbackData) {
    if (kivo::FailPointHit("lcmp.registration")) return nullptr;
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

DispatchInfo InfoOf(Reassembler& reassembler, const MessageSegment& segment) {
    DispatchInfo info;
    info.seqKnown = true;
    info.seq = segment.mmh.numSeq;
    info.incompleteBefore = reassembler.IncompleteTake(segment);
    return info;
}

void FrameHandle(Reassembler& reassembler, const kivo::l2::FrameView& frame) {
    MessageSegment segment;
    if (!SegmentParse(frame, segment)) return;
    if (segment.mmh.numSegments == 0) {
        const DispatchScope scope(InfoOf(reassembler, segment));
        CallbacksExecute(segment.srcMAC, segment.mmh.opcode, const_cast<INT8U*>(segment.mmpl),
                         segment.mmh.length);
        return;
    }
    std::unique_ptr<uint8_t[]> message;
    size_t messageLength = 0;
    if (reassembler.SegmentAdd(segment, kivo::NowMs(), message, messageLength) ==
        Reassembler::Result::kComplete) {
        const DispatchScope scope(InfoOf(reassembler, segment));
        CallbacksExecute(segment.srcMAC, segment.mmh.opcode, message.get(),
                         static_cast<INT16U>(messageLength));
    }
}

// Without a port only a wake-up can end the wait early.
PortStatus WaitForWake(const kivo::Deadline& deadline, int wakeFd) {
    for (;;) {
        struct pollfd fd = {wakeFd, POLLIN, 0};
        const int ready = poll(&fd, 1, deadline.msLeft());
        if (ready > 0) return PortStatus::kWoken;
        if (ready == 0) return PortStatus::kTimeout;
        if (errno != EINTR) return PortStatus::kReceive;
    }
}

void ReceiveThreadFunction(int wakeFd) {
    Reassembler reassembler;
    bool stop = false;
    while (!stop && KeepAlive()) {
        // One wait cycle of at most 20 ms: frames are handled as they come; the cycle
        // ends when the time is used up or the thread is woken.
        const kivo::Deadline cycleEnd = kivo::Deadline::AfterMs(kReceiveCycleMs);
        const std::shared_ptr<Port> port = lcmpLink.port();
        for (;;) {
            kivo::l2::FrameView frame;
            const PortStatus status =
                port ? port->Recv(frame, cycleEnd, wakeFd) : WaitForWake(cycleEnd, wakeFd);
            if (status == PortStatus::kWoken) {
                // A stop, or a new port to take up.
                ReceiveThreadWakeClear();
                stop = !KeepAlive();
                break;
            }
            if (status == PortStatus::kTimeout || !port) break;
            // A socket error (the interface went down or away) is taken by the read and
            // counts as an ignored frame; the next send finds out whether the port must
            // be opened again.
            if (status == PortStatus::kOk) FrameHandle(reassembler, frame);
            reassembler.SegmentedFramesListClean(kivo::NowMs());
        }
    }
    // Registrations still installed are freed; their callback data stays with its
    // owners. The partial messages go with the reassembler.
    CallbackListDestroy();
}

int LCMPReceiveThreadCreate() {
    {
        std::lock_guard<std::mutex> lock(lcmpReceiveThreadMutex);
        lcmpReceiveThreadKeepAlive = TRUE;
    }
    if (kivo::FailPointHit("lcmp.receive_thread")) return -1;
    if (rxWakeFd < 0) rxWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (rxWakeFd < 0) return -1;
    try {
        rxThread = std::thread(ReceiveThreadFunction, rxWakeFd);
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
    ReceiveThreadWake();
    if (rxThread.joinable()) rxThread.join();
    // The thread may have ended between two cycles without taking the wake-up; clear
    // it so that the next thread does not stop at once.
    ReceiveThreadWakeClear();
}

// ---------------------------------------------------------------------------
// Sending

// Reports why a segment could not be sent and gives the code for it.
t_lcmpErrorCode SendFailure(PortStatus status, int err) {
    const t_lcmpErrorCode rc = ErrorOf(status, lcmpLink.name().c_str());
    if (rc == LCMP_ERROR_ETH_IF) {
        Log(LogStream::kErr, "Warning: LCMPPacketSegmentSend: ioctl error @SIOCGIFHWADDR (%d,%s)\n", err,
            std::strerror(err));
    } else if (status == PortStatus::kClosed) {
        Log(LogStream::kErr, "Warning: LCMPPacketSegmentSend: Socket not opened\n");
    } else if (rc == LCMP_ERROR_SOCKET_NOT_OPENED) {
        const std::string name = lcmpLink.name();
        Log(LogStream::kErr, "LCMPPacketSegmentSend: bind to interface %s (ifindex %d) error\n", name.c_str(),
            static_cast<int>(if_nametoindex(name.c_str())));
    } else {
        Log(LogStream::kErr, "Warning: LCMPPacketSegmentSend: sendto error (%d,%s)\n", err,
            std::strerror(err));
    }
    return rc;
}

t_lcmpErrorCode LCMPPacketSegmentSend(std::shared_ptr<Port>& port, const INT8U* dstMAC, const Mmh& mmh,
                                      const INT8U* segment) {
    const kivo::l2::VlanTag tag = kivo::l2::VlanTag::Make(vlanId, vlanClass);
    INT8U frame[kMaxFrameLength];
    PortStatus status = PortStatus::kNoInterface;
    int err = 0;
    // Twice when the interface went away under the port: one of the same name may be
    // there again.
    for (int attempt = 0; attempt < 2 && status == PortStatus::kNoInterface; ++attempt) {
        if (attempt > 0 && !(port = lcmpLink.UsablePort(status, err))) break;
        const size_t length = FrameBuild(frame, sizeof(frame), dstMAC, port->mac().data(),
                                         vlanEnabled ? &tag : nullptr, mmh, segment, mmh.length);
        if (length == 0) return LCMP_ERROR_BAD_ARGS;
        status = port->SendFrame(frame, length);
        err = errno;
    }
    return status == PortStatus::kOk ? LCMP_ERROR_NONE : SendFailure(status, err);
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
    // Already open (and its thread running): the new name holds from the next send.
    const bool running = lcmpLink.isOpen() && rxThread.joinable();
    const t_lcmpErrorCode rc = lcmpLink.Open(interfaceName);
    if (running) return LCMP_ERROR_NONE;
    if (rc != LCMP_ERROR_NONE) return rc;
    if (LCMPReceiveThreadCreate() != 0) {
        // Without a receive thread nothing would ever close the port.
        lcmpLink.Close();
        return LCMP_ERROR_PTHREAD_CREATE;
    }
    return LCMP_ERROR_NONE;
}

void LCMPSocketEnd() {
    LCMPReceiveThreadStop();
    lcmpLink.Close();
}

t_lcmpErrorCode LCMPPacketSend(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength,
                               const INT8U* MMPL, INT16U* numSeq) {
    if (dstMAC == nullptr || (MMPL == nullptr && MMPLlength > 0) || opcode < LCMP_READ_REQ ||
        opcode >= NUM_OPCODES)
        return LCMP_ERROR_BAD_ARGS;
    PortStatus status = PortStatus::kOk;
    int err = 0;
    std::shared_ptr<Port> port = lcmpLink.UsablePort(status, err);
    // Segments as long as the link carries, never longer than the protocol's: a link
    // whose MTU carries a full segment sees the frames it always saw.
    size_t segmentLength = kMaxSegmentLength;
    if (port && port->mtu() > static_cast<int>(kMmhLength))
        segmentLength = std::min(kMaxSegmentLength, static_cast<size_t>(port->mtu()) - kMmhLength);
    const unsigned numSegments = static_cast<unsigned>(MMPLlength / segmentLength);
    if (numSegments > kMaxSegments - 1) {
        Log(LogStream::kErr, "Warning: LCMPPacketSend: num_segments = %d/%d = %d > 16!\n", MMPLlength,
            static_cast<int>(segmentLength), numSegments);
        const std::string name = lcmpLink.name();
        kivo::FailureRecord(kivo::Reason::kRequestTooLarge,
                            "the request needs %u bytes, more than 16 segments of %zu bytes carry on %s (MTU "
                            "%d); ask for fewer parameters at a time, or raise the interface's MTU",
                            static_cast<unsigned>(MMPLlength), segmentLength, name.c_str(),
                            port ? port->mtu() : 0);
        return LCMP_ERROR_SENDTO;
    }
    INT16U& counter = lcmpOpcodeNumSeq[opcode - LCMP_READ_REQ];
    const INT16U seq = counter++;
    if (numSeq != nullptr) *numSeq = seq;
    for (unsigned segment = 0; segment <= numSegments; ++segment) {
        Mmh mmh;
        mmh.length = static_cast<uint16_t>(segment < numSegments ? segmentLength
                                                                 : MMPLlength - segmentLength * numSegments);
        mmh.opcode = static_cast<uint16_t>(opcode);
        mmh.numSegments = static_cast<uint8_t>(numSegments);
        mmh.segment = static_cast<uint8_t>(segment);
        mmh.numSeq = seq;
        const t_lcmpErrorCode rc =
            port ? LCMPPacketSegmentSend(port, dstMAC, mmh, MMPL + segmentLength * segment)
                 : SendFailure(status, err);
        if (rc != LCMP_ERROR_NONE) {
            Log(LogStream::kErr, "Warning: LCMPPacketSend: LCMPPacketSegmentSend returned error\n");
            return rc;
        }
    }
    return LCMP_ERROR_NONE;
}

t_lcmpErrorCode LCMPMyMACGet(INT8U* MyMAC) {
    if (MyMAC == nullptr) return LCMP_ERROR_BAD_ARGS;
    if (!lcmpLink.isOpen()) {
        if (MacAddressGet(lcmpLink.name().c_str(), MyMAC) != 0) return LCMP_ERROR_SOCKET_NOT_OPENED;
        return LCMP_ERROR_NONE;
    }
    PortStatus status = PortStatus::kOk;
    int err = 0;
    const std::shared_ptr<Port> port = lcmpLink.UsablePort(status, err);
    if (!port) return LCMP_ERROR_SOCKET_NOT_OPENED;
    std::memcpy(MyMAC, port->mac().data(), port->mac().size());
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
