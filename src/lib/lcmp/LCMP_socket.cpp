// LCMP link layer and sessions: sending (segmentation, tagging, sequence numbers),
// receiving, and the session's exchanges, which read their own answers on the calling
// thread. The frame codecs and the reassembly are in LCMP_frames.cpp.
#include "LCMP_socket.h"

#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "byte_io.h"
#include "clock.h"
#include "device.h"
#include "failpoint.h"
#include "kivo_protocol.h"
#include "log.h"
#include "port.h"
#include "status.h"

using namespace kivo::lcmp;
using kivo::Log;
using kivo::LogStream;
using kivo::l2::Port;
using kivo::l2::PortStatus;

namespace {

// ---------------------------------------------------------------------------
// The port

// Outcome of a port operation in LCMP's codes. With the interface's name, a failure
// people can act on is also worded.
t_lcmpErrorCode LcmpCodeOf(PortStatus status) {
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

// Outcome of a port operation in LCMP's codes. With the interface's name, a failure
// people can act on is also worded.
kivo::Status ErrorOf(PortStatus status, const char* name = nullptr) {
    return kivo::Status(LcmpCodeOf(status)).Explain(kivo::l2::PortFailure(status, name));
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

// Reports why a segment could not be sent on the named interface and gives the code.
kivo::Status SendFailure(PortStatus status, int err, const std::string& name) {
    kivo::Status rc = ErrorOf(status, name.c_str());
    // The port layer says what went wrong; errno adds the kernel's word on a failed send.
    if (status == PortStatus::kSend || status == PortStatus::kSocket)
        Log(LogStream::kErr, "Warning: LCMP frame not sent on %s: %s (%s)\n", name.c_str(),
            PortStatusText(status), std::strerror(err));
    else
        Log(LogStream::kErr, "Warning: LCMP frame not sent on %s: %s\n", name.c_str(),
            PortStatusText(status));
    return rc;
}

// Opens a port for name into port; the status says why there is none.
PortStatus PortOpen(const std::string& name, std::unique_ptr<Port>& port, int& err) {
    port.reset();
    auto fresh = std::make_unique<Port>();
    const PortStatus status = fresh->Open(name, LcmpPortOptions());
    err = fresh->lastErrno();
    if (status == PortStatus::kOk) port = std::move(fresh);
    return status;
}

// Where segments go out: the port, and how to get one again when its interface went
// away under it (null for a port that cannot be opened again).
struct SendPath {
    std::unique_ptr<Port>* port = nullptr;
    const std::string* reopenName = nullptr;
    const kivo::l2::VlanTag* tag = nullptr;
};

// Sends one segment. A port that can be opened again is tried twice when its
// interface went away under it: one of the same name may be there again.
kivo::Status SegmentSend(SendPath& path, const std::string& name, const INT8U* dstMAC, const Mmh& mmh,
                         const INT8U* segment) {
    INT8U frame[kMaxFrameLength];
    PortStatus status = PortStatus::kNoInterface;
    int err = 0;
    const bool reopen = path.reopenName != nullptr;
    for (int attempt = 0; attempt < (reopen ? 2 : 1) && status == PortStatus::kNoInterface; ++attempt) {
        if (attempt > 0 && PortOpen(*path.reopenName, *path.port, err) != PortStatus::kOk) {
            status = PortStatus::kNoInterface;
            if (!*path.port) break;
        }
        Port& port = **path.port;
        const size_t length =
            FrameBuild(frame, sizeof(frame), dstMAC, port.mac().data(), path.tag, mmh, segment, mmh.length);
        if (length == 0) return LCMP_ERROR_BAD_ARGS;
        status = port.SendFrame(frame, length);
        err = errno;
    }
    return status == PortStatus::kOk ? LCMP_ERROR_NONE : SendFailure(status, err, name);
}

// Sends one message (null port: status and err tell why there is none), cut into at
// most 16 segments.
kivo::Status MessageSend(SendPath& path, PortStatus status, int err, const std::string& name,
                         const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength, const INT8U* MMPL,
                         Numbering& numbering, INT16U* numSeq) {
    if (dstMAC == nullptr || (MMPL == nullptr && MMPLlength > 0) || opcode < LCMP_READ_REQ ||
        opcode >= NUM_OPCODES)
        return LCMP_ERROR_BAD_ARGS;
    const Port* port = path.port != nullptr ? path.port->get() : nullptr;
    // Segments as long as the link carries, never longer than the protocol's: a link
    // whose MTU carries a full segment sees the frames it always saw.
    size_t segmentLength = kMaxSegmentLength;
    if (port != nullptr && port->mtu() > static_cast<int>(kMmhLength))
        segmentLength = std::min(kMaxSegmentLength, static_cast<size_t>(port->mtu()) - kMmhLength);
    const unsigned numSegments = static_cast<unsigned>(MMPLlength / segmentLength);
    if (numSegments > kMaxSegments - 1) {
        Log(LogStream::kErr,
            "Warning: LCMP message of %d bytes would need %u segments of %d; at most 16 fit\n", MMPLlength,
            numSegments + 1, static_cast<int>(segmentLength));
        return kivo::Status(LCMP_ERROR_SENDTO)
            .Explain(kivo::Reason::kRequestTooLarge,
                     "the request needs %u bytes, more than 16 segments of %zu bytes carry on %s (MTU "
                     "%d); ask for fewer parameters at a time, or raise the interface's MTU",
                     static_cast<unsigned>(MMPLlength), segmentLength, name.c_str(),
                     port != nullptr ? port->mtu() : 0);
    }
    const INT16U seq = numbering.NextSequence(opcode);
    if (numSeq != nullptr) *numSeq = seq;
    for (unsigned segment = 0; segment <= numSegments; ++segment) {
        Mmh mmh;
        mmh.length = static_cast<uint16_t>(segment < numSegments ? segmentLength
                                                                 : MMPLlength - segmentLength * numSegments);
        mmh.opcode = static_cast<uint16_t>(opcode);
        mmh.numSegments = static_cast<uint8_t>(numSegments);
        mmh.segment = static_cast<uint8_t>(segment);
        mmh.numSeq = seq;
        kivo::Status rc = port != nullptr
                              ? SegmentSend(path, name, dstMAC, mmh, MMPL + segmentLength * segment)
                              : SendFailure(status, err, name);
        // The segment's own failure has been logged with its cause.
        if (!rc.ok()) return rc;
    }
    return LCMP_ERROR_NONE;
}

// ---------------------------------------------------------------------------
// Reception

DispatchInfo InfoOf(Reassembler& reassembler, const MessageSegment& segment) {
    DispatchInfo info;
    info.seqKnown = true;
    info.seq = segment.mmh.numSeq;
    info.incompleteBefore = reassembler.IncompleteTake(segment);
    return info;
}

// Hands the frame's message, once whole, to handle(srcMAC, opcode, data, length, info).
// Segments that accept() refuses are passed over before any reassembly.
template <typename Accept, typename Handle>
void FrameHandle(Reassembler& reassembler, const kivo::l2::FrameView& frame, const Accept& accept,
                 const Handle& handle) {
    MessageSegment segment;
    if (!SegmentParse(frame, segment) || !accept(segment)) return;
    if (segment.mmh.numSegments == 0) {
        handle(segment.srcMAC, segment.mmh.opcode, const_cast<INT8U*>(segment.mmpl), segment.mmh.length,
               InfoOf(reassembler, segment));
        return;
    }
    std::unique_ptr<uint8_t[]> message;
    size_t messageLength = 0;
    if (reassembler.SegmentAdd(segment, kivo::NowMs(), message, messageLength) ==
        Reassembler::Result::kComplete) {
        handle(segment.srcMAC, segment.mmh.opcode, message.get(), static_cast<INT16U>(messageLength),
               InfoOf(reassembler, segment));
    }
}

// Reads port (without one: waits) and hands what arrives to FrameHandle until done()
// holds or the deadline passes. A socket error (the interface went down or away) is
// taken by the read and counts as an ignored frame. True when done() held.
template <typename Accept, typename Handle>
bool Pump(Port* port, Reassembler& reassembler, const kivo::Deadline& deadline,
          const std::function<bool()>& done, const Accept& accept, const Handle& handle) {
    for (;;) {
        if (done()) return true;
        if (port == nullptr) {
            kivo::SleepMs(static_cast<uint32_t>(deadline.msLeft()));
            return done();
        }
        kivo::l2::FrameView frame;
        const PortStatus status = port->Recv(frame, deadline);
        if (status == PortStatus::kTimeout) return done();
        if (status == PortStatus::kOk) FrameHandle(reassembler, frame, accept, handle);
        reassembler.SegmentedFramesListClean(kivo::NowMs());
    }
}

std::string MacText(const INT8U* mac) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

// Destination of a request; null for an unknown transmission type or a unicast
// without an address.
const INT8U* Destination(t_lcmpTransmissionType type, const INT8U* dstMAC) {
    switch (type) {
        case LCMP_UNICAST:
            return dstMAC;
        case LCMP_MULTICAST:
            return lcmpMulticastMACAddr;
        case LCMP_BROADCAST:
            return lcmpBroadcastMACAddr;
    }
    return nullptr;
}

// The confirm opcode that answers a request opcode; false for any other opcode.
bool ConfirmOpcodeOf(t_lcmpOpcodeType opcode, t_lcmpOpcodeType& confirm) {
    switch (opcode) {
        case LCMP_READ_REQ:
            confirm = LCMP_READ_CNF;
            return true;
        case LCMP_WRITE_REQ:
            confirm = LCMP_WRITE_CNF;
            return true;
        default:
            return false;
    }
}

// The result of a unicast exchange once the wait is over, with the failure worded for
// the user: silence, or an answer of which part was lost.
kivo::Status UnicastOutcome(bool whole, const Answer& answer, const std::string& name,
                            const INT8U* destination, uint64_t waitMs, const t_lcmpValueList* values,
                            const t_lcmpEncryptionConf* encryptionConf) {
    const std::string device = MacText(destination);
    const char* iface = name.empty() ? "?" : name.c_str();
    if (!whole) {
        Log(LogStream::kErr, "Warning: device did not reply in time\n");
        const bool encrypted =
            encryptionConf != nullptr && RequestLayoutGet(values, encryptionConf).encrypted;
        return kivo::Status(LCMP_ERROR_UNICAST_READ_TIMEOUT)
            .Explain(kivo::Reason::kNoAnswer, "device %s did not answer on %s within %llu s%s",
                     device.c_str(), iface, static_cast<unsigned long long>((waitMs + 999) / 1000),
                     encrypted ? " (a wrong password looks the same: check the password)"
                               : "; check that it is on and connected");
    }
    if (answer.incomplete) {
        Log(LogStream::kErr, "Warning: part of the device's answer was lost\n");
        return kivo::Status(LCMP_ERROR_INCOMPLETE)
            .Explain(kivo::Reason::kIncompleteAnswer,
                     "part of the answer of device %s on %s was lost on the link; try again, and "
                     "check the cabling or the link's load if it keeps happening",
                     device.c_str(), iface);
    }
    return LCMP_ERROR_NONE;
}

}  // namespace

// ---------------------------------------------------------------------------
// The session

struct Session::State {
    std::string name;
    SessionSettings settings;
    bool adopted = false;  // a test's port: never opened again
    bool open = false;
    std::unique_ptr<Port> port;
    Reassembler reassembler;
    Numbering ownNumbering;
    Numbering& numbering() { return settings.numbering != nullptr ? *settings.numbering : ownNumbering; }
    std::optional<kivo::l2::VlanTag> tag;

    // The port to send on: the current one while its interface is there, else one opened
    // on the name again (an interface made again under the same name is a new one).
    // status and err tell why there is none.
    Port* UsablePort(PortStatus& status, int& err) {
        status = open ? PortStatus::kOk : PortStatus::kClosed;
        err = 0;
        if (!open) return nullptr;
        if (!adopted && (!port || !port->isBound())) status = PortOpen(name, port, err);
        return port.get();
    }
    kivo::Status Send(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength, const INT8U* MMPL,
                      INT16U* numSeq) {
        PortStatus status = PortStatus::kOk;
        int err = 0;
        UsablePort(status, err);
        SendPath path{&port, adopted ? nullptr : &name, tag ? &*tag : nullptr};
        return MessageSend(path, status, err, name, dstMAC, opcode, MMPLlength, MMPL, numbering(), numSeq);
    }
    t_lcmpErrorCode OwnMac(INT8U* myMAC) {
        if (myMAC == nullptr) return LCMP_ERROR_BAD_ARGS;
        PortStatus status = PortStatus::kOk;
        int err = 0;
        const Port* usable = UsablePort(status, err);
        if (usable == nullptr) return LCMP_ERROR_SOCKET_NOT_OPENED;
        std::memcpy(myMAC, usable->mac().data(), usable->mac().size());
        return LCMP_ERROR_NONE;
    }

    // Builds the request under the next transaction id and sends it. NONE when it went
    // out, MALLOC when its message could not be allocated, SEND_PACKET otherwise.
    kivo::Status SendRequest(const INT8U* destination, t_lcmpOpcodeType opcode, t_lcmpControlCode controlCode,
                             const t_lcmpValueList* values, const t_lcmpEncryptionConf* encryptionConf,
                             INT16U& transactionId) {
        kivo::Status sent(LCMP_ERROR_SEND_PACKET);
        INT8U myMAC[6];
        // A request too long for 16 segments is refused before anything is allocated.
        const uint64_t requestLength = RequestLayoutGet(values, encryptionConf).mmplLength;
        if (requestLength > kMaxMessageLength) {
            sent.Explain(kivo::Reason::kRequestTooLarge,
                         "the request needs %llu bytes, more than the %zu bytes one LCMP message carries; "
                         "ask for fewer parameters or shorter values at a time",
                         static_cast<unsigned long long>(requestLength), kMaxMessageLength);
        } else if (OwnMac(myMAC) != LCMP_ERROR_NONE) {
            Log(LogStream::kErr,
                "Warning: LCMP request not sent: the interface's own MAC address cannot be read\n");
        } else {
            transactionId = numbering().NextTransactionId();
            std::unique_ptr<uint8_t[]> mmpl;
            size_t mmplLength = 0;
            const BuildResult built =
                RequestBuild(controlCode, values, encryptionConf, myMAC, transactionId, mmpl, mmplLength);
            if (built == BuildResult::kNoMemory) {
                Log(LogStream::kErr, "Warning: LCMP request not sent: out of memory\n");
                return LCMP_ERROR_MALLOC;
            }
            if (built == BuildResult::kOk) {
                INT16U numSeq = 0;
                sent = Send(destination, opcode, static_cast<INT16U>(mmplLength), mmpl.get(), &numSeq);
                if (!sent.ok()) sent.Recode(LCMP_ERROR_SEND_PACKET);
            }
        }
        if (!sent.ok()) Log(LogStream::kErr, "Warning: no LCMP request was sent\n");
        return sent;
    }

    // Collects the confirms of every device for the reference time.
    void CollectConfirms(t_lcmpOpcodeType confirmOpcode, Answer& answer) {
        const kivo::Deadline deadline = kivo::Deadline::AfterMs(settings.timeoutMs);
        Pump(
            port.get(), reassembler, deadline, [] { return false; },
            [confirmOpcode](const MessageSegment& m) { return m.mmh.opcode == confirmOpcode; },
            [&](const INT8U* src, INT16U op, INT8U* data, INT16U length, const DispatchInfo&) {
                ConfirmParse(src, static_cast<t_lcmpOpcodeType>(op), data, length, answer);
            });
    }

    // Reads until the device's confirm is whole or waitMs pass; true when it is whole.
    // Only the device's confirms of this opcode are reassembled and parsed.
    bool AwaitConfirm(const INT8U* device, t_lcmpOpcodeType confirmOpcode, uint64_t waitMs, Answer& answer) {
        bool whole = false;
        const auto ofDevice = [&](const MessageSegment& m) {
            return m.mmh.opcode == confirmOpcode && std::memcmp(m.srcMAC, device, 6) == 0;
        };
        Pump(
            port.get(), reassembler, kivo::Deadline::AfterMs(static_cast<int64_t>(waitMs)),
            [&whole] { return whole; }, ofDevice,
            [&](const INT8U* src, INT16U op, INT8U* data, INT16U length, const DispatchInfo& info) {
                if (UnicastConfirm(src, static_cast<t_lcmpOpcodeType>(op), data, length, info, answer))
                    whole = true;
            });
        return whole;
    }
};

Session::Session(const CHAR* interfaceName, const SessionSettings& settings)
    : state_(std::make_unique<State>()) {
    state_->name = interfaceName != nullptr ? interfaceName : "";
    state_->settings = settings;
}

Session::Session(Port adopted, const SessionSettings& settings) : state_(std::make_unique<State>()) {
    state_->settings = settings;
    state_->adopted = true;
    state_->port = std::make_unique<Port>(std::move(adopted));
}

Session::~Session() = default;

const std::string& Session::interfaceName() const {
    return state_->name;
}

const SessionSettings& Session::settings() const {
    return state_->settings;
}

kivo::Status Session::Open() {
    State& s = *state_;
    const SessionSettings& settings = s.settings;
    if (settings.vlanId > 4094 || settings.vlanPriority > 7) return LCMP_ERROR_BAD_ARGS;
    if (settings.vlanId != 0) s.tag = kivo::l2::VlanTag::Make(settings.vlanId, settings.vlanPriority);
    if (!s.adopted) {
        // A name that does not fit an interface request with its terminator would be
        // cut and could name another interface.
        if (!kivo::protocol::InterfaceNameFits(s.name)) return LCMP_ERROR_BAD_ARGS;
        if (kivo::FailPointHit("lcmp.open")) return LCMP_ERROR_SOCKET_NOT_OPENED;
        int err = 0;
        // A port that is missing or down is worded; the session stays open for it.
        kivo::Status opened = ErrorOf(PortOpen(s.name, s.port, err), s.name.c_str());
        if (opened == LCMP_ERROR_SOCKET_NOT_OPENED) return opened;
        s.open = true;
        return opened.Recode(LCMP_ERROR_NONE);
    }
    s.open = true;
    return LCMP_ERROR_NONE;
}

kivo::Status Session::PacketSend(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength,
                                 const INT8U* MMPL, INT16U* numSeq) {
    return state_->Send(dstMAC, opcode, MMPLlength, MMPL, numSeq);
}

t_lcmpErrorCode Session::MyMACGet(INT8U* myMAC) {
    return state_->OwnMac(myMAC);
}

kivo::Status Session::Read(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                           const t_lcmpEncryptionConf* encryptionConf, t_lcmpTransmissionType transmisionType,
                           const INT8U* dstMAC, t_lcmpValueList** readValues) {
    return Request(LCMP_READ_REQ, controlCode, controlValues, encryptionConf, transmisionType, dstMAC,
                   readValues, 0);
}

kivo::Status Session::Write(t_lcmpControlCode controlCode, const t_lcmpValueList* controlValues,
                            const t_lcmpEncryptionConf* encryptionConf,
                            t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                            t_lcmpValueList** comfirmValues, INT32S retry) {
    return Request(LCMP_WRITE_REQ, controlCode, controlValues, encryptionConf, transmisionType, dstMAC,
                   comfirmValues, retry);
}

kivo::Status Session::Request(t_lcmpOpcodeType opcode, t_lcmpControlCode controlCode,
                              const t_lcmpValueList* controlValues,
                              const t_lcmpEncryptionConf* encryptionConf,
                              t_lcmpTransmissionType transmisionType, const INT8U* dstMAC,
                              t_lcmpValueList** comfirmValues, INT32S retry) {
    State& s = *state_;
    const INT8U* destination = Destination(transmisionType, dstMAC);
    if (destination == nullptr) {
        Log(LogStream::kErr,
            "Warning: LCMP request not sent: a unicast request needs the device's MAC address\n");
        return LCMP_ERROR_BAD_ARGS;
    }
    t_lcmpOpcodeType confirmOpcode;
    if (!ConfirmOpcodeOf(opcode, confirmOpcode)) return LCMP_ERROR_BAD_ARGS;

    INT16U transactionId = 0;
    kivo::Status sent =
        s.SendRequest(destination, opcode, controlCode, controlValues, encryptionConf, transactionId);
    if (!sent.ok()) return sent;

    Answer answer(comfirmValues, transactionId, encryptionConf);
    if (transmisionType != LCMP_UNICAST) {
        s.CollectConfirms(confirmOpcode, answer);
        return LCMP_ERROR_NONE;
    }
    const uint64_t tries = static_cast<uint64_t>(retry > 0 ? retry : 0) + 1;
    const uint64_t wait = std::min<uint64_t>(tries * s.settings.timeoutMs, UINT32_MAX);
    const bool whole = s.AwaitConfirm(destination, confirmOpcode, wait, answer);
    return UnicastOutcome(whole, answer, s.name, destination, wait, controlValues, encryptionConf)
        .Follows(sent);
}

// ---------------------------------------------------------------------------
// Multicast on several interfaces

kivo::Status kivo::lcmp::MulticastOnEvery(const std::vector<std::string>& names, const INT8U* dstMAC,
                                          const MessageBuilder& build, const kivo::Deadline& deadline,
                                          const MessageHandler& handle, const kivo::l2::VlanTag* tag,
                                          Numbering& numbering) {
    struct Member {
        size_t interface = 0;
        std::unique_ptr<Port> port;
        Reassembler reassembler;
    };
    std::vector<std::unique_ptr<Member>> members;
    std::vector<struct pollfd> fds;
    kivo::Status words;  // the first interface's trouble, whether or not another one sent
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        std::unique_ptr<uint8_t[]> mmpl;
        size_t length = 0;
        auto m = std::make_unique<Member>();
        m->interface = i;
        int err = 0;
        const PortStatus status = PortOpen(name, m->port, err);
        kivo::Status rc = ErrorOf(status, name.c_str());
        if (rc.ok()) {
            rc = build(i, m->port->mac().data(), mmpl, length);
            if (rc.ok()) {
                SendPath path{&m->port, nullptr, tag};
                rc = MessageSend(path, status, 0, name, dstMAC, LCMP_READ_REQ, static_cast<INT16U>(length),
                                 mmpl.get(), numbering, nullptr);
            }
        }
        words.Explain(rc);
        if (!rc.ok()) {
            // One interface that cannot send hides no other.
            Log(LogStream::kErr, "Warning: LCMP multicast: interface %s skipped (%d)\n", name.c_str(),
                static_cast<int>(rc.code));
            continue;
        }
        fds.push_back({m->port->fd(), POLLIN, 0});
        members.push_back(std::move(m));
    }
    if (members.empty()) return words.Recode(LCMP_ERROR_SEND_PACKET);
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
            PortStatus status = PortStatus::kOk;
            for (int n = 0; n < 64 && (status = m.port->TryRecv(frame)) != PortStatus::kTimeout; ++n) {
                if (status != PortStatus::kOk) continue;
                FrameHandle(
                    m.reassembler, frame, [](const MessageSegment&) { return true; },
                    [&](const INT8U* src, INT16U opcode, INT8U* data, INT16U length, const DispatchInfo&) {
                        handle(m.interface, src, opcode, data, length);
                    });
                m.reassembler.SegmentedFramesListClean(kivo::NowMs());
            }
        }
    }
    return words;
}
