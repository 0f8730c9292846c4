// LCMP link layer: sending (framing, segmentation, tagging, sequence numbers) and
// receiving (receive thread, reassembly, ageing, dispatch to registered callbacks).
#include "LCMP_socket.h"

#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

// The reader's wait cycle: partial messages are aged within one even when nothing
// arrives.
constexpr int kReceiveCycleMs = 20;

INT16U lcmpOpcodeNumSeq[NUM_OPCODES - LCMP_READ_REQ];
BOOLEAN vlanEnabled = FALSE;
INT16U vlanId = 0;
INT8U vlanClass = 0;

// Callback registry, newest registration first.
std::mutex lcmpCallbacksMutex;
t_lcmpCallback* lcmpCallbacksList = nullptr;

// Written to stop the reader at once, and to make it take up a new port; made once and
// kept. The reader consumes the wake-ups it sees; ReaderStop clears one it did not.
int rxWakeFd = -1;

void ReaderWake() {
    if (rxWakeFd < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(rxWakeFd, &one, sizeof(one));
}

void ReaderWakeClear() {
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

kivo::l2::PortOptions LcmpPortOptions() {
    kivo::l2::PortOptions options;
    options.protocol = kEtherType;
    // Packet sockets bound to one protocol are not handed the frames this host sends
    // (only taps for every protocol are), so LCMP never saw its own frames; skipping
    // them would change nothing.
    options.skipOutgoing = false;
    return options;
}

// The interface LCMP is opened on and its port. The port outlives the open period: the
// next one takes it up while the interface, its address, its MTU and the network
// namespace are the same (a few system calls instead of a socket and a bind), and
// opens a new one otherwise. A reader that runs takes the port up at the start of each
// cycle (or at once when woken): one that is replaced stays open until the reader lets
// it go. The port is null while the named interface does not exist; LCMP may be opened
// on a name before its interface appears, and the name is resolved again whenever the
// port is missing or its interface has gone away.
class Link {
   public:
    // Opens LCMP on name, or takes name up while open: the following sends go out on it.
    // A missing interface leaves LCMP open without a port.
    t_lcmpErrorCode Open(const char* name) {
        std::lock_guard<std::mutex> lock(mutex_);
        name_ = name;
        // A port adopted by a test has no name and nothing to check.
        const bool same = port_ && (port_->name() == name_ || port_->name().empty());
        if (!same || !port_->Unchanged()) {
            int err = 0;
            if (ErrorOf(ReopenLocked(err), name) == LCMP_ERROR_SOCKET_NOT_OPENED)
                return LCMP_ERROR_SOCKET_NOT_OPENED;
        } else if (!open_) {
            // What queued while LCMP was closed answers nothing asked in this period.
            port_->Drain();
        }
        open_ = true;
        return LCMP_ERROR_NONE;
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    void Adopt(Port port) {
        std::lock_guard<std::mutex> lock(mutex_);
        port_ = std::make_shared<Port>(std::move(port));
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
        return open_ ? port_ : nullptr;
    }
    // The port to send on: the current one while its interface is there, else one
    // opened on the name again (an interface made again under the same name is a new
    // one). status and err tell why there is none.
    std::shared_ptr<Port> UsablePort(PortStatus& status, int& err) {
        std::lock_guard<std::mutex> lock(mutex_);
        status = open_ ? PortStatus::kOk : PortStatus::kClosed;
        err = 0;
        if (!open_) return nullptr;
        if (!port_ || !port_->isBound()) status = ReopenLocked(err);
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
        const PortStatus status = port->Open(name_, LcmpPortOptions());
        err = port->lastErrno();
        if (status == PortStatus::kOk) port_ = std::move(port);
        ReaderWake();
        return status;
    }

    std::mutex mutex_;
    std::string name_;
    std::shared_ptr<Port> port_;
    bool open_ = false;
};

// Never destroyed: its port must not be given up after the port module's own state at
// exit.
Link& lcmpLink = *new Link();

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
// Reception
//
// An exchange reads its own answer on the calling thread: it sends, then reads the port
// until its callback has what it waited for. A reader thread runs only while messages
// may come that nobody is waiting for at that moment (a notification registration, a
// public callback), from its start until LCMPEnd; exchanges then wait for their
// callback instead. Either way frames go through one reassembler, made afresh for each
// open period.

// Held by whoever reads the port: the calling thread for the length of its wait, and
// the start and the stop of the reader (which then reads alone until it stops).
std::mutex rxMutex;
std::optional<Reassembler> rxReassembler;
std::thread rxThread;
std::atomic<bool> readerRuns{false};
std::atomic<bool> readerStop{false};

DispatchInfo InfoOf(Reassembler& reassembler, const MessageSegment& segment) {
    DispatchInfo info;
    info.seqKnown = true;
    info.seq = segment.mmh.numSeq;
    info.incompleteBefore = reassembler.IncompleteTake(segment);
    return info;
}

// Hands the frame's message, once whole, to handle (with what callbacks see of it).
template <typename Handle>
void FrameHandle(Reassembler& reassembler, const kivo::l2::FrameView& frame, const Handle& handle) {
    MessageSegment segment;
    if (!SegmentParse(frame, segment)) return;
    if (segment.mmh.numSegments == 0) {
        const DispatchScope scope(InfoOf(reassembler, segment));
        handle(segment.srcMAC, segment.mmh.opcode, const_cast<INT8U*>(segment.mmpl), segment.mmh.length);
        return;
    }
    std::unique_ptr<uint8_t[]> message;
    size_t messageLength = 0;
    if (reassembler.SegmentAdd(segment, kivo::NowMs(), message, messageLength) ==
        Reassembler::Result::kComplete) {
        const DispatchScope scope(InfoOf(reassembler, segment));
        handle(segment.srcMAC, segment.mmh.opcode, message.get(), static_cast<INT16U>(messageLength));
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

// Reads the port and dispatches what arrives until done() holds, the deadline passes or
// wakeFd is written. A socket error (the interface went down or away) is taken by the
// read and counts as an ignored frame; the next send finds out whether the port must be
// opened again.
bool Pump(Port* port, Reassembler& reassembler, const kivo::Deadline& deadline, int wakeFd,
          const std::function<bool()>& done) {
    // done() is asked once after each frame: it may take what it sees (a semaphore).
    for (;;) {
        if (done()) return true;
        kivo::l2::FrameView frame;
        const PortStatus status = port ? port->Recv(frame, deadline, wakeFd) : WaitForWake(deadline, wakeFd);
        if (status == PortStatus::kWoken) ReaderWakeClear();
        if (status == PortStatus::kWoken || status == PortStatus::kTimeout || !port) return done();
        if (status == PortStatus::kOk) FrameHandle(reassembler, frame, kivo::lcmp::Dispatch);
        reassembler.SegmentedFramesListClean(kivo::NowMs());
    }
}

void ReaderFunction(int wakeFd) {
    while (!readerStop.load()) {
        // Cycles of at most 20 ms, so that partial messages age while nothing arrives;
        // a stop or a new port wakes the reader at once.
        const std::shared_ptr<Port> port = lcmpLink.port();
        Pump(port.get(), *rxReassembler, kivo::Deadline::AfterMs(kReceiveCycleMs), wakeFd,
             [] { return readerStop.load(); });
    }
}

t_lcmpErrorCode ReaderStart() {
    std::lock_guard<std::mutex> lock(rxMutex);
    if (readerRuns.load() || !lcmpLink.isOpen()) return LCMP_ERROR_NONE;
    if (kivo::FailPointHit("lcmp.receive_thread")) return LCMP_ERROR_PTHREAD_CREATE;
    if (rxWakeFd < 0) rxWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (rxWakeFd < 0) return LCMP_ERROR_PTHREAD_CREATE;
    if (!rxReassembler) rxReassembler.emplace();
    readerStop.store(false);
    try {
        rxThread = std::thread(ReaderFunction, rxWakeFd);
    } catch (const std::system_error&) {
        return LCMP_ERROR_PTHREAD_CREATE;
    }
    readerRuns.store(true);
    return LCMP_ERROR_NONE;
}

void ReaderStop() {
    std::lock_guard<std::mutex> lock(rxMutex);
    if (!readerRuns.load()) return;
    readerStop.store(true);
    ReaderWake();
    rxThread.join();
    // The reader may have ended between two cycles without taking the wake-up; clear it
    // so that the next reader does not stop at once.
    ReaderWakeClear();
    readerRuns.store(false);
}

bool RegistryEmpty() {
    std::lock_guard<std::mutex> lock(lcmpCallbacksMutex);
    return lcmpCallbacksList == nullptr;
}

// ---------------------------------------------------------------------------
// Sending

// Reports why a segment could not be sent on the named interface and gives the code.
t_lcmpErrorCode SendFailure(PortStatus status, int err, const std::string& name) {
    const t_lcmpErrorCode rc = ErrorOf(status, name.c_str());
    if (rc == LCMP_ERROR_ETH_IF) {
        Log(LogStream::kErr, "Warning: LCMPPacketSegmentSend: ioctl error @SIOCGIFHWADDR (%d,%s)\n", err,
            std::strerror(err));
    } else if (status == PortStatus::kClosed) {
        Log(LogStream::kErr, "Warning: LCMPPacketSegmentSend: Socket not opened\n");
    } else if (rc == LCMP_ERROR_SOCKET_NOT_OPENED) {
        Log(LogStream::kErr, "LCMPPacketSegmentSend: bind to interface %s (ifindex %d) error\n", name.c_str(),
            static_cast<int>(if_nametoindex(name.c_str())));
    } else {
        Log(LogStream::kErr, "Warning: LCMPPacketSegmentSend: sendto error (%d,%s)\n", err,
            std::strerror(err));
    }
    return rc;
}

// Sends one segment on port. LCMP's own port is tried twice when its interface went
// away under it: one of the same name may be there again.
t_lcmpErrorCode SegmentSend(std::shared_ptr<Port>& port, bool own, const INT8U* dstMAC, const Mmh& mmh,
                            const INT8U* segment) {
    const kivo::l2::VlanTag tag = kivo::l2::VlanTag::Make(vlanId, vlanClass);
    INT8U frame[kMaxFrameLength];
    PortStatus status = PortStatus::kNoInterface;
    int err = 0;
    for (int attempt = 0; attempt < (own ? 2 : 1) && status == PortStatus::kNoInterface; ++attempt) {
        if (attempt > 0 && !(port = lcmpLink.UsablePort(status, err))) break;
        const size_t length = FrameBuild(frame, sizeof(frame), dstMAC, port->mac().data(),
                                         vlanEnabled ? &tag : nullptr, mmh, segment, mmh.length);
        if (length == 0) return LCMP_ERROR_BAD_ARGS;
        status = port->SendFrame(frame, length);
        err = errno;
    }
    return status == PortStatus::kOk ? LCMP_ERROR_NONE
                                     : SendFailure(status, err, own ? lcmpLink.name() : port->name());
}

// Sends one message on port (null: status and err tell why there is none), cut into at
// most 16 segments.
t_lcmpErrorCode MessageSend(std::shared_ptr<Port> port, bool own, PortStatus status, int err,
                            const std::string& name, const INT8U* dstMAC, t_lcmpOpcodeType opcode,
                            INT16U MMPLlength, const INT8U* MMPL, INT16U* numSeq) {
    if (dstMAC == nullptr || (MMPL == nullptr && MMPLlength > 0) || opcode < LCMP_READ_REQ ||
        opcode >= NUM_OPCODES)
        return LCMP_ERROR_BAD_ARGS;
    // Segments as long as the link carries, never longer than the protocol's: a link
    // whose MTU carries a full segment sees the frames it always saw.
    size_t segmentLength = kMaxSegmentLength;
    if (port && port->mtu() > static_cast<int>(kMmhLength))
        segmentLength = std::min(kMaxSegmentLength, static_cast<size_t>(port->mtu()) - kMmhLength);
    const unsigned numSegments = static_cast<unsigned>(MMPLlength / segmentLength);
    if (numSegments > kMaxSegments - 1) {
        Log(LogStream::kErr, "Warning: LCMPPacketSend: num_segments = %d/%d = %d > 16!\n", MMPLlength,
            static_cast<int>(segmentLength), numSegments);
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
        const t_lcmpErrorCode rc = port ? SegmentSend(port, own, dstMAC, mmh, MMPL + segmentLength * segment)
                                        : SendFailure(status, err, name);
        if (rc != LCMP_ERROR_NONE) {
            Log(LogStream::kErr, "Warning: LCMPPacketSend: LCMPPacketSegmentSend returned error\n");
            return rc;
        }
    }
    return LCMP_ERROR_NONE;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public interface

void kivo::lcmp::Dispatch(const INT8U* srcMAC, INT16U opcode, INT8U* data, INT16U length) {
    CallbacksExecute(srcMAC, opcode, data, length);
}

t_lcmpCallback* kivo::lcmp::Register(t_lcmpCallbackFunction callback, const INT8U* srcMAC,
                                     t_lcmpOpcodeType opcodeFilter, const void* callbackData) {
    if (callback == nullptr) return nullptr;
    return CallbackAdd(callback, srcMAC, opcodeFilter, callbackData);
}

kivo::lcmp::Reception kivo::lcmp::Receive(const kivo::Deadline& deadline, const std::function<bool()>& done) {
    std::lock_guard<std::mutex> lock(rxMutex);
    if (readerRuns.load()) return Reception::kReader;
    if (!rxReassembler) rxReassembler.emplace();
    const std::shared_ptr<Port> port = lcmpLink.port();
    return Pump(port.get(), *rxReassembler, deadline, -1, done) ? Reception::kDone : Reception::kTimeout;
}

void kivo::lcmp::AdoptPort(kivo::l2::Port port) {
    lcmpLink.Adopt(std::move(port));
}

t_lcmpErrorCode kivo::lcmp::MulticastOnEvery(const std::vector<std::string>& names, const INT8U* dstMAC,
                                             const MessageBuilder& build, const kivo::Deadline& deadline,
                                             const MessageHandler& handle) {
    struct Member {
        size_t interface = 0;
        std::shared_ptr<Port> port;
        Reassembler reassembler;
    };
    std::vector<std::unique_ptr<Member>> members;
    std::vector<struct pollfd> fds;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        std::unique_ptr<uint8_t[]> mmpl;
        size_t length = 0;
        auto m = std::make_unique<Member>();
        m->interface = i;
        m->port = std::make_shared<Port>();
        PortStatus status = m->port->Open(name, LcmpPortOptions());
        t_lcmpErrorCode rc = ErrorOf(status, name.c_str());
        if (rc == LCMP_ERROR_NONE) {
            rc = build(i, m->port->mac().data(), mmpl, length);
            if (rc == LCMP_ERROR_NONE)
                rc = MessageSend(m->port, false, status, 0, name, dstMAC, LCMP_READ_REQ,
                                 static_cast<INT16U>(length), mmpl.get(), nullptr);
        }
        if (rc != LCMP_ERROR_NONE) {
            // One interface that cannot send hides no other.
            Log(LogStream::kErr, "Warning: LCMP multicast: interface %s skipped (%d)\n", name.c_str(),
                static_cast<int>(rc));
            continue;
        }
        fds.push_back({m->port->fd(), POLLIN, 0});
        members.push_back(std::move(m));
    }
    if (members.empty()) return LCMP_ERROR_SEND_PACKET;
    // One collection for all of them: every port is read as its frames come.
    for (;;) {
        const int ready = poll(fds.data(), static_cast<nfds_t>(fds.size()), deadline.msLeft());
        if (ready == 0) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < members.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Member& m = *members[i];
            kivo::l2::FrameView frame;
            // What is waiting now; a socket error is taken by the read and passed over.
            for (int n = 0; n < 64 && m.port->TryRecv(frame) != PortStatus::kTimeout; ++n) {
                FrameHandle(m.reassembler, frame,
                            [&](const INT8U* src, INT16U opcode, INT8U* data, INT16U length) {
                                handle(m.interface, src, opcode, data, length);
                            });
                m.reassembler.SegmentedFramesListClean(kivo::NowMs());
            }
        }
    }
    return LCMP_ERROR_NONE;
}

t_lcmpErrorCode LCMPSocketInit(const CHAR* interfaceName) {
    if (interfaceName == nullptr) return LCMP_ERROR_BAD_ARGS;
    // A name that does not fit an interface request with its terminator would be
    // cut and could name another interface.
    if (strnlen(interfaceName, IFNAMSIZ) >= IFNAMSIZ) return LCMP_ERROR_BAD_ARGS;
    if (kivo::FailPointHit("lcmp.open")) return LCMP_ERROR_SOCKET_NOT_OPENED;
    // Already open: the new name holds from the next send.
    const bool wasOpen = lcmpLink.isOpen();
    const t_lcmpErrorCode rc = lcmpLink.Open(interfaceName);
    if (wasOpen) return LCMP_ERROR_NONE;
    if (rc != LCMP_ERROR_NONE) return rc;
    {
        std::lock_guard<std::mutex> lock(rxMutex);
        rxReassembler.emplace();
    }
    // Registrations made while LCMP was closed wait for messages from now on.
    if (!RegistryEmpty() && ReaderStart() != LCMP_ERROR_NONE) {
        lcmpLink.Close();
        return LCMP_ERROR_PTHREAD_CREATE;
    }
    return LCMP_ERROR_NONE;
}

void LCMPSocketEnd() {
    // Closed first, so that no reader starts after this one stopped.
    lcmpLink.Close();
    ReaderStop();
    // Registrations still installed are freed; their callback data stays with its
    // owners. The partial messages go with the reassembler.
    CallbackListDestroy();
    std::lock_guard<std::mutex> lock(rxMutex);
    rxReassembler.reset();
}

t_lcmpErrorCode LCMPPacketSend(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength,
                               const INT8U* MMPL, INT16U* numSeq) {
    PortStatus status = PortStatus::kOk;
    int err = 0;
    std::shared_ptr<Port> port = lcmpLink.UsablePort(status, err);
    return MessageSend(std::move(port), true, status, err, lcmpLink.name(), dstMAC, opcode, MMPLlength, MMPL,
                       numSeq);
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
    t_lcmpCallback* cb = Register(callback, srcMAC, opcodeFilter, callbackData);
    // Its messages may come at any time: someone must be reading.
    if (cb != nullptr && ReaderStart() != LCMP_ERROR_NONE) {
        CallbackDelete(cb);
        return nullptr;
    }
    return cb;
}

t_lcmpErrorCode LCMPCallBackUninstall(t_lcmpCallback* callback) {
    if (callback == nullptr) return LCMP_ERROR_BAD_ARGS;
    CallbackDelete(callback);
    return LCMP_ERROR_NONE;
}
