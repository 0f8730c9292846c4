// Client side of the kivohost request protocol.
#include "kivo_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "byte_io.h"

namespace kivo::client {

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

using protocol::kMaxDatagram;
using protocol::kSegmentSize;
// Segments of one reply are sent back to back: once the first is in, a gap this long
// means one was lost.
constexpr milliseconds kSegmentGap{2000};
constexpr milliseconds kPollSlice{60000};
// Longer waits are taken as this (a deadline far beyond would overflow the clock).
constexpr milliseconds kMaxTimeout{std::chrono::hours(24)};

std::string Seconds(milliseconds ms) {
    char buf[32];
    if (ms.count() % 1000 == 0)
        std::snprintf(buf, sizeof(buf), "%lld s", static_cast<long long>(ms.count() / 1000));
    else
        std::snprintf(buf, sizeof(buf), "%.1f s", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

Error MakeError(ErrorKind kind, RequestCode code, uint8_t seq, std::string message) {
    return Error{kind, code, seq, std::move(message)};
}

bool HasZero(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

// Reads a zero-terminated text that must end before `end` (an absolute offset).
bool ReadText(ByteReader& r, size_t end, std::string& out) {
    const uint8_t* start = r.current();
    size_t avail = end > r.pos() ? end - r.pos() : 0;
    const void* zero = std::memchr(start, 0, avail);
    if (zero == nullptr) return false;
    size_t n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - start);
    out.assign(reinterpret_cast<const char*>(start), n);
    return r.skip(n + 1);
}

bool ReadCode(ByteReader& r, ReplyCode expected) {
    uint8_t code = 0;
    return r.seek(3) && r.u8(code) && code == static_cast<uint8_t>(expected);
}

// Checks the fields a request carries as one-byte lengths.
std::optional<std::string> CheckName(std::string_view what, std::string_view text, size_t max) {
    if (text.size() > max) return std::string(what) + " is longer than " + std::to_string(max) + " bytes";
    if (HasZero(text)) return std::string(what) + " contains a zero byte";
    return std::nullopt;
}

std::optional<std::string> CheckVlan(uint16_t vlan) {
    if (vlan >= 4095) return "VLAN id " + std::to_string(vlan) + " is out of range (0 to 4094)";
    return std::nullopt;
}

}  // namespace

// ---- Names -----------------------------------------------------------------------------

std::string ReplyName(uint8_t code) {
    const std::string_view name = protocol::ReplyCodeName(code);
    return name.empty() ? "code " + std::to_string(code) : std::string(name);
}

std::string Version::Text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

std::string DeviceKindName(uint8_t type) {
    switch (type) {
        case 0:
            return "bootrom";
        case 1:
            return "bootrom-v3";
        case 2:
            return "scp";
        case 3:
            return "lcmp";
        default:
            return "type " + std::to_string(type);
    }
}

std::string_view WriteResultName(WriteResult result) {
    switch (result) {
        case WriteResult::kWritten:
            return "written";
        case WriteResult::kRefused:
            return "refused";
        case WriteResult::kNotWritten:
            break;
    }
    return "not written";
}

std::vector<WriteOutcome> WriteOutcomes(const ParamReply& reply, const std::vector<std::string>& names) {
    const bool lcmp = reply.protocol == Protocol::kLcmp;
    std::string refusedNames;
    bool readBack = false;  // a record with a value: the write stopped at the type check
    bool anyWritten = false;
    for (const auto& p : reply.params) {
        anyWritten |= !lcmp || p.type == kTypeSetOk;
        if (p.refused)
            refusedNames += (refusedNames.empty() ? "" : ", ") + p.name;
        else if (lcmp && p.type != kTypeSetOk)
            readBack = true;
    }
    std::vector<WriteOutcome> out;
    out.reserve(names.size());
    bool anyMissing = false;
    for (const auto& name : names) {
        auto it = std::find_if(reply.params.begin(), reply.params.end(),
                               [&](const Param& p) { return p.name == name; });
        anyMissing |= it == reply.params.end();
        out.push_back({name, WriteResult::kNotWritten, ""});
        if (it == reply.params.end()) continue;
        if (it->refused) {
            out.back().result = WriteResult::kRefused;
            out.back().text = it->value;
        } else if (!(lcmp && it->type != kTypeSetOk)) {
            out.back().result = WriteResult::kWritten;
        }
    }
    // An LCMP write is sent only once every name passed the type check.
    const bool nothingWritten = lcmp && !anyWritten && (readBack || anyMissing);
    for (auto& o : out) {
        if (o.result != WriteResult::kNotWritten) continue;
        if (nothingWritten && !refusedNames.empty())
            o.text = "the device refused " + refusedNames + ", so nothing of this write was written";
        else
            o.text = "the device did not confirm this value";
    }
    return out;
}

std::string FwStateName(uint8_t state) {
    switch (state) {
        case 0:
            return "idle";
        case 1:
            return "waiting";
        case 2:
            return "upgrading";
        case 3:
            return "loader";
        case 4:
            return "firmware";
        case 5:
            return "succeeded";
        case 6:
            return "failed";
        default:
            return "state " + std::to_string(state);
    }
}

std::string FwKindName(uint8_t kind) {
    switch (kind) {
        case 1:
            return "upgrade";
        case 2:
            return "boot";
        default:
            return "kind " + std::to_string(kind);
    }
}

std::string_view ReasonHint(uint16_t code) {
    using protocol::Reason;
    switch (static_cast<Reason>(code)) {
        case Reason::kNoInterface:
            return "Check the interface name ('ip link' lists those of the host kivohost runs on).";
        case Reason::kInterfaceDown:
            return "Bring the interface up ('ip link set NAME up') and check its cable.";
        case Reason::kNoPermission:
            return "kivohost needs CAP_NET_RAW for the devices' frames: run it as root, or run the packaged "
                   "service (systemctl start kivohost.socket), which has the capability.";
        case Reason::kNoAnswer:
            return "Check that the device is on and on that segment and VLAN; legacy devices are managed "
                   "over "
                   "SCP, not LCMP.";
        case Reason::kDeviceRefused:
            return "The device's own words say why; check the parameter's name and that it may be written.";
        case Reason::kInvalidValue:
            return "Write the value as a read of the parameter shows it, within its type's range.";
        case Reason::kRequestTooLarge:
            return "Ask for fewer parameters at a time, or write shorter values.";
        case Reason::kFileMissing:
            return "Check the path: the service reads the file on its own host.";
        case Reason::kFileNotRegular:
            return "Name the image file itself, not a directory or a device.";
        case Reason::kFileUnreadable:
            return "The service reads the file as its own user, not as you: the packaged service runs as "
                   "user "
                   "kivo, so a file it sends must be readable to group kivo.";
        case Reason::kFileTooLarge:
            return "Check that this is the right file: a transfer carries at most 4294967295 bytes.";
        case Reason::kFileBadMagic:
            return "Check that this is the right file: an upgrade image, an Ethernet loader and a chunked "
                   "firmware are different files.";
        case Reason::kNoFileRequest:
            return "Check the MAC address, the interface and the VLAN, and that the device is about to ask "
                   "for its firmware (start the upgrade first, then let the device ask).";
        case Reason::kAckMissing:
            return "The device stopped answering during the transfer: check its power and cabling, then "
                   "start "
                   "again.";
        case Reason::kNotAllowed:
            return "Only root and the users kivohost allows may manage devices. With the package, an "
                   "administrator adds a user to group kivo ('adduser USER kivo', then log in again); a "
                   "kivohost started by hand takes --allow-user USER or --allow-group GROUP.";
        case Reason::kIncompleteAnswer:
            return "Parts of the answer were lost on the way: repeat the request, and check the link if it "
                   "keeps happening.";
        case Reason::kMalformedRequest:
            return "The service took the request for malformed; please report this with the command used.";
        case Reason::kBusy:
            return "Wait until the running firmware transfer ends, or stop it.";
        case Reason::kNoDevice:
            return "Check the interface, the VLAN and the cabling, and that the devices are on.";
        case Reason::kInternal:
            return "Repeat the request; if it keeps failing, the service's log tells more (journalctl -u "
                   "kivohost).";
        case Reason::kFileEmpty:
            return "Check that this is the right file and that it was copied whole.";
        case Reason::kPasswordRejected:
            return "Check the device's password.";
        case Reason::kNone:
        case Reason::kCancelled:
            break;
    }
    return {};
}

std::string FwStateDescription(uint8_t state) {
    switch (state) {
        case 0:
            return "idle: no transfer since the service started";
        case 1:
            return "waiting for the device to ask for a file (a boot ROM: to announce itself)";
        case 2:
            return "sending the firmware image";
        case 3:
            return "sending the Ethernet loader";
        case 4:
            return "sending the chunked firmware";
        case 5:
            return "the last transfer succeeded";
        case 6:
            return "the last transfer failed or was stopped";
        default:
            return "unknown state " + std::to_string(state);
    }
}

milliseconds DefaultTimeout(RequestCode code, Protocol protocol) {
    switch (code) {
        case RequestCode::kDiscover:
        case RequestCode::kDiscoverLcmp:
            return milliseconds{8000};  // 3 s of listening
        case RequestCode::kGetAll:
        case RequestCode::kGet:
        case RequestCode::kSet:
        case RequestCode::kFactoryReset:
            // A silent device costs ~18 s over SCP (two keys, three sends of 3 s) and
            // ~6 s over LCMP (two keys, 3 s each). Devices that answer in part cost more:
            // an LCMP Set reads the types before it writes (3 s + 3 s per key); an SCP
            // get whose later reply message is lost waits 16 s for it after up to 9 s
            // for the first, and a Set up to 9 + 3 + 9 s, each with both keys (~50 s).
            return protocol == Protocol::kScp ? milliseconds{60000} : milliseconds{20000};
        case RequestCode::kFwStart:
        case RequestCode::kFwStop:
            // Answered at once, but never sent twice: a reply held up behind another
            // front-end's long request must not be taken for a lost one.
            return milliseconds{30000};
        case RequestCode::kFwStopDevice:
            return milliseconds{30000};  // as Stop (7)
        case RequestCode::kFwStatus:
        case RequestCode::kFwTransfers:
        case RequestCode::kVersion:
        case RequestCode::kFailureDetail:
            return milliseconds{5000};  // answered at once, and asked again when lost
    }
    return milliseconds{5000};
}

// ---- Reply parsers --------------------------------------------------------------------------

std::optional<std::vector<DeviceRecord>> ParseDevices(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    uint8_t count = 0;
    if (!ReadCode(r, ReplyCode::kDevices) || !r.u8(count)) return std::nullopt;
    std::vector<DeviceRecord> out;
    for (unsigned i = 0; i < count; ++i) {
        DeviceRecord d;
        uint8_t len = 0;
        std::span<const uint8_t> name;
        if (!r.u8(d.type) || !r.u8(len) || !r.view(name, len) || !r.bytes(d.mac.data(), d.mac.size()))
            return std::nullopt;
        d.interface.assign(name.begin(), name.end());
        out.push_back(std::move(d));
    }
    if (r.remaining() != 0) return std::nullopt;
    return out;
}

std::optional<std::vector<Param>> ParseParams(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    uint32_t length = 0;
    if (!ReadCode(r, ReplyCode::kParams) || !r.be32(length) || length != r.remaining()) return std::nullopt;
    const size_t end = reply.size();
    std::vector<Param> out;
    while (r.remaining() > 0) {
        Param p;
        uint8_t type = 0;
        uint32_t elements = 0;
        if (!ReadText(r, end, p.name) || !ReadText(r, end, p.value) || !r.u8(type) || !r.be32(elements))
            return std::nullopt;
        p.type = type;
        p.elements = elements;
        p.refused = type == kTypeError;
        out.push_back(std::move(p));
    }
    return out;
}

std::optional<std::vector<Param>> ParseScpData(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    uint32_t length = 0;
    if (!ReadCode(r, ReplyCode::kScpData) || !r.be32(length) || length != r.remaining()) return std::nullopt;
    const size_t end = reply.size();
    std::vector<std::string> items;
    while (r.remaining() > 0) {
        std::string item;
        if (!ReadText(r, end, item)) return std::nullopt;
        items.push_back(std::move(item));
    }
    // Name and value (or status) alternate; an odd count means the data is cut.
    if (items.size() % 2 != 0) return std::nullopt;
    std::vector<Param> out;
    for (size_t i = 0; i < items.size(); i += 2) {
        Param p;
        p.name = std::move(items[i]);
        p.value = std::move(items[i + 1]);
        p.refused = p.value.rfind("ERROR", 0) == 0;
        out.push_back(std::move(p));
    }
    return out;
}

std::optional<FwStatus> ParseFwStatus(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    FwStatus s;
    if (!ReadCode(r, ReplyCode::kFwStatus) || !r.u8(s.state) || !r.be32(s.bytes) || !r.be32(s.total))
        return std::nullopt;
    uint32_t retransmissions = 0;
    if (r.remaining() == 0) return s;
    if (r.remaining() == 4 && r.be32(retransmissions)) {
        s.retransmissions = retransmissions;
        return s;
    }
    return std::nullopt;
}

std::optional<FwTransfers> ParseFwTransfers(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    FwTransfers out;
    uint8_t count = 0;
    if (!ReadCode(r, ReplyCode::kFwTransfers) || !r.be64(out.nowMs) || !r.u8(count)) return std::nullopt;
    for (unsigned i = 0; i < count; ++i) {
        FwTransfer t;
        uint8_t flags = 0;
        uint8_t ifLength = 0;
        uint16_t textLength = 0;
        std::span<const uint8_t> name;
        std::span<const uint8_t> text;
        Mac mac{};
        if (!r.u8(flags) || !r.u8(t.kind) || !r.u8(ifLength) || !r.view(name, ifLength) ||
            !r.bytes(mac.data(), mac.size()) || !r.u8(t.state) || !r.be32(t.bytes) || !r.be32(t.total) ||
            !r.be32(t.retransmissions) || !r.be16(t.reason.code) || !r.be64(t.startMs) || !r.be64(t.endMs) ||
            !r.be16(textLength) || !r.view(text, textLength))
            return std::nullopt;
        t.latest = (flags & 1) != 0;
        if ((flags & 2) != 0) t.device = mac;
        t.interface.assign(name.begin(), name.end());
        t.reason.text.assign(text.begin(), text.end());
        out.transfers.push_back(std::move(t));
    }
    if (r.remaining() != 0) return std::nullopt;
    return out;
}

std::optional<FailureDetail> ParseFailureDetail(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    FailureDetail d;
    uint8_t any = 0;
    uint16_t len = 0;
    std::span<const uint8_t> text;
    if (!ReadCode(r, ReplyCode::kDetail) || !r.u8(any) || !r.u8(d.seq) || !r.u8(d.request) ||
        !r.be16(d.reason.code) || !r.be16(len) || !r.view(text, len))
        return std::nullopt;
    d.any = any != 0;
    d.reason.text.assign(text.begin(), text.end());
    if (!r.be16(d.firmware.code) || !r.be16(len) || !r.view(text, len)) return std::nullopt;
    d.firmware.text.assign(text.begin(), text.end());
    return d;
}

// ---- The client -----------------------------------------------------------------------------

Client::Client(uint16_t port) : port_(port) {
    // A random start keeps the replies of two kivoctl runs apart and makes a stale
    // reply of an earlier run unlikely to carry a number this run is waiting for.
    std::random_device rd;
    seq_ = static_cast<uint8_t>(rd());
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        socketErrno_ = errno;
        return;
    }
    // A full 300000-byte reply is 215 segments sent back to back.
    int size = 1 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    if (!Connect()) {
        close(fd_);
        fd_ = -1;
    }
}

// Connected: only the service's datagrams come in, and a port nobody listens on is
// reported at once (ECONNREFUSED) instead of after the time-out.
bool Client::Connect() {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        socketErrno_ = errno;
        return false;
    }
    return true;
}

bool Client::SetPort(uint16_t port) {
    port_ = port;
    if (fd_ < 0) return false;
    if (Connect()) return true;
    // A socket left connected to the old port would quietly talk to the wrong service.
    close(fd_);
    fd_ = -1;
    return false;
}

Client::~Client() {
    if (fd_ >= 0) close(fd_);
}

milliseconds Client::TimeoutFor(RequestCode code, Protocol protocol) const {
    return timeout_ ? *timeout_ : DefaultTimeout(code, protocol);
}

Result<Bytes> Client::Attempt(Bytes& request, RequestCode code, milliseconds timeout, bool raw) {
    // A raw datagram keeps its own number; an empty one has none to match replies on.
    const bool anySeq = raw && request.empty();
    uint8_t seq = raw ? (anySeq ? 0 : request[0]) : seq_++;
    if (!raw) request[0] = seq;
    lastSegments_.clear();
    auto error = [&](ErrorKind kind, std::string message) -> Result<Bytes> {
        return MakeError(kind, code, seq, std::move(message));
    };
    const std::string noService = "nothing listens on 127.0.0.1 port " + std::to_string(port_);

    // Drop what an earlier, abandoned exchange left behind (and a pending error).
    uint8_t drain[kSegmentSize];
    while (recv(fd_, drain, sizeof(drain), MSG_DONTWAIT) >= 0 || errno == ECONNREFUSED || errno == EINTR) {
    }
    ssize_t sent = -1;
    for (int i = 0; i < 2 && sent < 0; ++i) sent = send(fd_, request.data(), request.size(), 0);
    if (sent < 0) {
        if (errno == ECONNREFUSED) return error(ErrorKind::kNoService, noService);
        return error(ErrorKind::kSystem, std::string("cannot send to the service: ") + std::strerror(errno));
    }

    const auto start = Clock::now();
    const auto deadline = start + std::min(timeout, kMaxTimeout);
    Bytes out;
    Bytes buf(kMaxDatagram + 1);
    size_t count = 0;  // segments of the reply, once the first has come
    size_t next = 0;   // number of the segment expected next
    for (;;) {
        auto now = Clock::now();
        auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
        if (next > 0) left = std::min(left, kSegmentGap);
        if (left.count() < 0) left = milliseconds{0};
        // poll takes an int: a long time-out is waited for in slices.
        const bool sliced = left > kPollSlice;
        if (sliced) left = kPollSlice;
        pollfd p{fd_, POLLIN, 0};
        int pr = poll(&p, 1, static_cast<int>(left.count()));
        if (pr < 0 && errno == EINTR) continue;
        if (pr < 0)
            return error(ErrorKind::kSystem,
                         std::string("cannot wait for the reply: ") + std::strerror(errno));
        if (pr == 0 && sliced) continue;
        if (pr == 0) {
            if (next == 0)
                return error(ErrorKind::kNoService, "no answer from the service on 127.0.0.1 port " +
                                                        std::to_string(port_) + " within " +
                                                        Seconds(timeout));
            return error(ErrorKind::kBadReply, "the reply is incomplete: segment " + std::to_string(next) +
                                                   " of " + std::to_string(count) + " never arrived");
        }
        ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == ECONNREFUSED) return error(ErrorKind::kNoService, noService);
            return error(ErrorKind::kSystem,
                         std::string("cannot receive the reply: ") + std::strerror(errno));
        }
        const size_t len = static_cast<size_t>(n);
        // Empty datagrams and replies to earlier requests are not ours.
        if (len == 0) continue;
        if (anySeq && next == 0) seq = buf[0];
        if (buf[0] != seq) continue;
        lastSegments_.emplace_back(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len));
        if (len == 1) {
            if (next == 0) return Bytes{seq};
            return error(ErrorKind::kBadReply,
                         "a one-byte datagram arrived in the middle of a segmented reply");
        }
        if (len < 4)
            return error(ErrorKind::kBadReply,
                         "a reply segment of " + std::to_string(len) + " bytes is too short");
        const size_t segCount = buf[1];
        const size_t segNum = buf[2];
        if (segCount == 0 || segNum >= segCount)
            return error(ErrorKind::kBadReply, "a reply segment is numbered " + std::to_string(segNum) +
                                                   " of " + std::to_string(segCount));
        if (next > 0 && segCount != count)
            return error(ErrorKind::kBadReply, "the reply's segments disagree on their count (" +
                                                   std::to_string(count) + ", then " +
                                                   std::to_string(segCount) + ")");
        if (segNum < next)
            return error(ErrorKind::kBadReply, "reply segment " + std::to_string(segNum) + " arrived twice");
        if (segNum > next)
            return error(ErrorKind::kBadReply, "reply segment " + std::to_string(next) +
                                                   " is missing or late: segment " + std::to_string(segNum) +
                                                   " came first");
        if (len > kSegmentSize || (segNum + 1 < segCount && len != kSegmentSize))
            return error(ErrorKind::kBadReply, "reply segment " + std::to_string(segNum) + " has " +
                                                   std::to_string(len) + " bytes, not " +
                                                   std::to_string(kSegmentSize));
        if (segNum == 0) {
            count = segCount;
            out.assign(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len));
        } else {
            out.insert(out.end(), buf.begin() + 3, buf.begin() + static_cast<std::ptrdiff_t>(len));
        }
        if (++next == count) return out;
    }
}

Result<Bytes> Client::ExchangeRaw(Bytes datagram, milliseconds timeout) {
    // The code names the request in messages; an unassigned one reads as "request".
    const auto code = static_cast<RequestCode>(datagram.size() > 4 ? datagram[4] : 0);
    const uint8_t seq = datagram.empty() ? 0 : datagram[0];
    if (fd_ < 0)
        return MakeError(
            ErrorKind::kSystem, code, seq,
            std::string("cannot open a UDP socket to the service: ") + std::strerror(socketErrno_));
    if (datagram.size() > kMaxDatagram)
        return MakeError(ErrorKind::kInvalidArgument, code, seq,
                         "the datagram has " + std::to_string(datagram.size()) +
                             " bytes, more than one UDP datagram holds (" + std::to_string(kMaxDatagram) +
                             ")");
    return Attempt(datagram, code, timeout, true);
}

Result<Bytes> Client::Exchange(Bytes request, RequestCode code, bool readOnly, milliseconds timeout) {
    if (fd_ < 0)
        return MakeError(
            ErrorKind::kSystem, code, 0,
            std::string("cannot open a UDP socket to the service: ") + std::strerror(socketErrno_));
    if (request.size() < 5)
        return MakeError(ErrorKind::kInvalidArgument, code, 0, "a request has at least 5 bytes");
    if (request.size() > kMaxDatagram)
        return MakeError(ErrorKind::kInvalidArgument, code, 0,
                         "the request would be " + std::to_string(request.size()) +
                             " bytes, more than one UDP datagram holds (" + std::to_string(kMaxDatagram) +
                             ")");
    const int attempts = readOnly ? readAttempts_ : 1;
    for (int i = 1;; ++i) {
        Result<Bytes> r = Attempt(request, code, timeout);
        if (r.ok() || i >= attempts) return r;
        const Error& e = r.error();
        bool retry = e.kind == ErrorKind::kBadReply ||
                     (e.kind == ErrorKind::kNoService && e.message.rfind("nothing listens", 0) != 0);
        if (!retry) return r;
    }
}

namespace {

// Request header: seq (set when sent), 0, 0, 0, code.
Bytes Header(RequestCode code, size_t bodySize) {
    Bytes b(5 + bodySize);
    b[4] = static_cast<uint8_t>(code);
    return b;
}

// Common checks of a typed reply: the one-byte answer, REFUSED, FAILED and foreign codes.
std::optional<Error> ReplyError(const Bytes& reply, RequestCode code, ReplyCode expected) {
    uint8_t seq = reply.empty() ? 0 : reply[0];
    if (reply.size() == 1)
        return MakeError(ErrorKind::kUnsupported, code, seq,
                         "the service does not know the " + std::string(RequestName(code)) +
                             " request (it is older than this client)");
    if (reply.size() < 4)
        return MakeError(ErrorKind::kBadReply, code, seq,
                         "the reply has only " + std::to_string(reply.size()) + " bytes");
    uint8_t got = reply[3];
    if (got == static_cast<uint8_t>(expected)) return std::nullopt;
    if (got == static_cast<uint8_t>(ReplyCode::kRefused))
        return MakeError(ErrorKind::kRefused, code, seq,
                         "the service refused the " + std::string(RequestName(code)) + " request");
    if (got == static_cast<uint8_t>(ReplyCode::kFailed))
        return MakeError(ErrorKind::kFailed, code, seq,
                         "the " + std::string(RequestName(code)) + " request failed");
    return MakeError(ErrorKind::kBadReply, code, seq,
                     "the service answered the " + std::string(RequestName(code)) + " request with " +
                         ReplyName(got) + " instead of " + ReplyName(static_cast<uint8_t>(expected)));
}

Error Malformed(const Bytes& reply, RequestCode code, ReplyCode expected) {
    return MakeError(ErrorKind::kBadReply, code, reply.empty() ? 0 : reply[0],
                     "the " + ReplyName(static_cast<uint8_t>(expected)) + " reply to the " +
                         std::string(RequestName(code)) + " request is malformed (" +
                         std::to_string(reply.size()) + " bytes)");
}

}  // namespace

Result<Version> Client::GetVersion() {
    auto r = Exchange(Header(RequestCode::kVersion, 0), RequestCode::kVersion, true,
                      TimeoutFor(RequestCode::kVersion));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kVersion, ReplyCode::kVersion)) return *e;
    if (r->size() != 7) return Malformed(*r, RequestCode::kVersion, ReplyCode::kVersion);
    return Version{(*r)[4], (*r)[5], (*r)[6]};
}

Result<std::vector<DeviceRecord>> Client::DiscoverRequestSend(RequestCode code,
                                                              const DiscoverRequest& request) {
    if (auto e = CheckName("the interface name", request.interface, 255))
        return MakeError(ErrorKind::kInvalidArgument, code, 0, *e);
    if (auto e = CheckVlan(request.vlan)) return MakeError(ErrorKind::kInvalidArgument, code, 0, *e);
    Bytes req = Header(code, 1 + request.interface.size() + 2);
    ByteWriter w(req.data() + 5, req.size() - 5);
    w.u8(static_cast<uint8_t>(request.interface.size()));
    w.bytes(request.interface.data(), request.interface.size());
    w.be16(request.vlan);
    auto r = Exchange(std::move(req), code, true, TimeoutFor(code));
    if (!r) return r.error();
    if (r->size() >= 4 && (*r)[3] == static_cast<uint8_t>(ReplyCode::kFailed))
        return std::vector<DeviceRecord>{};  // nothing found
    if (auto e = ReplyError(*r, code, ReplyCode::kDevices)) return *e;
    auto devices = ParseDevices(*r);
    if (!devices) return Malformed(*r, code, ReplyCode::kDevices);
    return *devices;
}

Result<std::vector<DeviceRecord>> Client::Discover(const DiscoverRequest& request) {
    return DiscoverRequestSend(RequestCode::kDiscover, request);
}

Result<std::vector<DeviceRecord>> Client::DiscoverLcmp(const DiscoverRequest& request) {
    return DiscoverRequestSend(RequestCode::kDiscoverLcmp, request);
}

namespace {

std::optional<std::string> CheckDevice(const DeviceAddress& d) {
    if (d.interface.empty()) return "no interface named";
    if (auto e = CheckName("the interface name", d.interface, 255)) return e;
    if (auto e = CheckName("the password", d.password, 255)) return e;
    return CheckVlan(d.vlan);
}

// Parameter request up to the password (from byte 5), then optionally N and the block.
Bytes ParamHeader(RequestCode code, const DeviceAddress& d, const std::string* block) {
    size_t body = 1 + 1 + d.interface.size() + 2 + 6 + 1 + d.password.size();
    if (block) body += 4 + block->size();
    Bytes req = Header(code, body);
    ByteWriter w(req.data() + 5, req.size() - 5);
    w.u8(static_cast<uint8_t>(d.protocol));
    w.u8(static_cast<uint8_t>(d.interface.size()));
    w.bytes(d.interface.data(), d.interface.size());
    w.be16(d.vlan);
    w.bytes(d.mac.data(), d.mac.size());
    w.u8(static_cast<uint8_t>(d.password.size()));
    w.bytes(d.password.data(), d.password.size());
    if (block) {
        w.be32(static_cast<uint32_t>(block->size()));
        w.bytes(block->data(), block->size());
    }
    return req;
}

}  // namespace

Result<ParamReply> Client::ParamRequest(RequestCode code, const DeviceAddress& device,
                                        const std::string* block) {
    if (auto e = CheckDevice(device)) return MakeError(ErrorKind::kInvalidArgument, code, 0, *e);
    if (block && block->size() > kMaxDatagram)
        return MakeError(ErrorKind::kInvalidArgument, code, 0, "the parameter list does not fit one request");
    const bool readOnly = code == RequestCode::kGet || code == RequestCode::kGetAll;
    auto r = Exchange(ParamHeader(code, device, block), code, readOnly, TimeoutFor(code, device.protocol));
    if (!r) return r.error();
    const ReplyCode expected = device.protocol == Protocol::kScp ? ReplyCode::kScpData : ReplyCode::kParams;
    if (auto e = ReplyError(*r, code, expected)) return *e;
    auto params = device.protocol == Protocol::kScp ? ParseScpData(*r) : ParseParams(*r);
    if (!params) return Malformed(*r, code, expected);
    return ParamReply{device.protocol, std::move(*params)};
}

Result<ParamReply> Client::GetAll(const DeviceAddress& device) {
    return ParamRequest(RequestCode::kGetAll, device, nullptr);
}

Result<ParamReply> Client::Get(const DeviceAddress& device, const std::vector<std::string>& names) {
    if (names.empty())
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kGet, 0, "no parameter name given");
    std::string block;
    for (const auto& n : names) {
        if (n.empty() || HasZero(n))
            return MakeError(ErrorKind::kInvalidArgument, RequestCode::kGet, 0,
                             "a parameter name is empty or contains a zero byte");
        block += n;
        block += '\0';
    }
    return ParamRequest(RequestCode::kGet, device, &block);
}

Result<ParamReply> Client::Set(const DeviceAddress& device,
                               const std::vector<std::pair<std::string, std::string>>& values) {
    if (values.empty())
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kSet, 0, "no parameter value given");
    std::string block;
    for (const auto& [name, value] : values) {
        if (name.empty() || HasZero(name) || HasZero(value))
            return MakeError(ErrorKind::kInvalidArgument, RequestCode::kSet, 0,
                             "a parameter name is empty, or a name or value contains a zero byte");
        block += name;
        block += '\0';
        block += value;
        block += '\0';
    }
    return ParamRequest(RequestCode::kSet, device, &block);
}

Result<Done> Client::DoneRequest(Bytes request, RequestCode code, bool readOnly, milliseconds timeout) {
    auto r = Exchange(std::move(request), code, readOnly, timeout);
    if (!r) return r.error();
    if (auto e = ReplyError(*r, code, ReplyCode::kDone)) return *e;
    if (r->size() != 4) return Malformed(*r, code, ReplyCode::kDone);
    return Done{};
}

Result<Done> Client::FactoryReset(const DeviceAddress& device) {
    if (auto e = CheckDevice(device))
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kFactoryReset, 0, *e);
    return DoneRequest(ParamHeader(RequestCode::kFactoryReset, device, nullptr), RequestCode::kFactoryReset,
                       false, TimeoutFor(RequestCode::kFactoryReset, device.protocol));
}

namespace {

Bytes FwStartRequest(const std::string& ifName, uint16_t vlan, const Mac& mac, const std::string& fw,
                     const std::string& loader) {
    Bytes req = Header(RequestCode::kFwStart, 1 + ifName.size() + 2 + 6 + 2 + fw.size() + 2 + loader.size());
    ByteWriter w(req.data() + 5, req.size() - 5);
    w.u8(static_cast<uint8_t>(ifName.size()));
    w.bytes(ifName.data(), ifName.size());
    w.be16(vlan);
    w.bytes(mac.data(), mac.size());
    w.be16(static_cast<uint16_t>(fw.size()));
    w.bytes(fw.data(), fw.size());
    w.be16(static_cast<uint16_t>(loader.size()));
    w.bytes(loader.data(), loader.size());
    return req;
}

std::optional<std::string> CheckFwStart(const std::string& ifName, uint16_t vlan, const std::string& fw,
                                        const std::string* loader) {
    if (ifName.empty()) return "no interface named";
    if (auto e = CheckName("the interface name", ifName, 255)) return e;
    if (auto e = CheckVlan(vlan)) return e;
    if (fw.empty()) return "no firmware file named";
    if (auto e = CheckName("the firmware file path", fw, 65535)) return e;
    if (loader) {
        if (loader->empty()) return "no loader file named";
        if (auto e = CheckName("the loader file path", *loader, 65535)) return e;
    }
    return std::nullopt;
}

}  // namespace

Result<Done> Client::FwStartUpgrade(const FwUpgradeRequest& q) {
    if (auto e = CheckFwStart(q.interface, q.vlan, q.firmwarePath, nullptr))
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kFwStart, 0, *e);
    return DoneRequest(FwStartRequest(q.interface, q.vlan, q.device, q.firmwarePath, ""),
                       RequestCode::kFwStart, false, TimeoutFor(RequestCode::kFwStart));
}

Result<Done> Client::FwStartBoot(const FwBootRequest& q) {
    if (auto e = CheckFwStart(q.interface, q.vlan, q.firmwarePath, &q.loaderPath))
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kFwStart, 0, *e);
    return DoneRequest(FwStartRequest(q.interface, q.vlan, Mac{}, q.firmwarePath, q.loaderPath),
                       RequestCode::kFwStart, false, TimeoutFor(RequestCode::kFwStart));
}

Result<Done> Client::FwStop() {
    return DoneRequest(Header(RequestCode::kFwStop, 0), RequestCode::kFwStop, false,
                       TimeoutFor(RequestCode::kFwStop));
}

Result<FwStatus> Client::GetFwStatus() {
    auto r = Exchange(Header(RequestCode::kFwStatus, 0), RequestCode::kFwStatus, true,
                      TimeoutFor(RequestCode::kFwStatus));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kFwStatus, ReplyCode::kFwStatus)) return *e;
    auto s = ParseFwStatus(*r);
    if (!s) return Malformed(*r, RequestCode::kFwStatus, ReplyCode::kFwStatus);
    return *s;
}

Result<FwTransfers> Client::GetFwTransfers() {
    auto r = Exchange(Header(RequestCode::kFwTransfers, 0), RequestCode::kFwTransfers, true,
                      TimeoutFor(RequestCode::kFwTransfers));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kFwTransfers, ReplyCode::kFwTransfers)) return *e;
    auto t = ParseFwTransfers(*r);
    if (!t) return Malformed(*r, RequestCode::kFwTransfers, ReplyCode::kFwTransfers);
    return *t;
}

Result<Done> Client::FwStopDevice(const Mac& device) {
    Bytes request = Header(RequestCode::kFwStopDevice, 0);
    request.push_back(1);
    request.insert(request.end(), device.begin(), device.end());
    return DoneRequest(std::move(request), RequestCode::kFwStopDevice, false,
                       TimeoutFor(RequestCode::kFwStopDevice));
}

Result<Done> Client::FwStopAll() {
    Bytes request = Header(RequestCode::kFwStopDevice, 0);
    request.push_back(0);
    return DoneRequest(std::move(request), RequestCode::kFwStopDevice, false,
                       TimeoutFor(RequestCode::kFwStopDevice));
}

Result<FailureDetail> Client::GetFailureDetail() {
    auto r = Exchange(Header(RequestCode::kFailureDetail, 0), RequestCode::kFailureDetail, true,
                      TimeoutFor(RequestCode::kFailureDetail));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kFailureDetail, ReplyCode::kDetail)) return *e;
    auto d = ParseFailureDetail(*r);
    if (!d) return Malformed(*r, RequestCode::kFailureDetail, ReplyCode::kDetail);
    return *d;
}

std::optional<Reason> FailureReason(Client& client, const Error& e) {
    auto d = client.GetFailureDetail();
    if (!d || !d->any || d->seq != e.seq || d->request != static_cast<uint8_t>(e.request))
        return std::nullopt;
    if (d->reason.code == 0 && d->reason.text.empty()) return std::nullopt;
    return d->reason;
}

std::optional<Reason> FirmwareFailureReason(Client& client) {
    auto d = client.GetFailureDetail();
    if (!d || (d->firmware.code == 0 && d->firmware.text.empty())) return std::nullopt;
    return d->firmware;
}

std::optional<std::string> RefusedDiscoveryNote(Client& client) {
    auto d = client.GetFailureDetail();
    if (!d || !d->any || d->request != static_cast<uint8_t>(RequestCode::kDiscoverLcmp) ||
        d->reason.code != static_cast<uint16_t>(protocol::Reason::kDeviceRefused))
        return std::nullopt;
    return d->reason.text;
}

}  // namespace kivo::client
