// The client's socket and the exchange of one request for its reassembled reply.
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
#include <span>

#include "client_internal.h"
#include "kivo_segments.h"

namespace kivo::client {

using namespace detail;

namespace {

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

}  // namespace

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

    const auto deadline = Clock::now() + std::min(timeout, kMaxTimeout);
    protocol::Reassembler reply;
    Bytes buf(kMaxDatagram + 1);
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (reply.Started()) left = std::min(left, kSegmentGap);
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
        if (pr == 0 && !reply.Started())
            return error(ErrorKind::kNoService, "no answer from the service on 127.0.0.1 port " +
                                                    std::to_string(port_) + " within " + Seconds(timeout));
        if (pr == 0) return error(ErrorKind::kBadReply, reply.MissingText());
        ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == ECONNREFUSED) return error(ErrorKind::kNoService, noService);
            return error(ErrorKind::kSystem,
                         std::string("cannot receive the reply: ") + std::strerror(errno));
        }
        const auto segment = std::span<const uint8_t>(buf.data(), static_cast<size_t>(n));
        // Empty datagrams and replies to earlier requests are not ours.
        if (segment.empty()) continue;
        if (anySeq && !reply.Started()) seq = segment[0];
        if (segment[0] != seq) continue;
        lastSegments_.emplace_back(segment.begin(), segment.end());
        switch (reply.Add(segment)) {
            case protocol::Reassembler::Step::kMore:
                break;
            case protocol::Reassembler::Step::kComplete:
                return reply.Take();
            case protocol::Reassembler::Step::kError:
                return error(ErrorKind::kBadReply, reply.Error());
        }
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
        bool retry =
            e.kind == ErrorKind::kBadReply || (e.kind == ErrorKind::kNoService && !NothingListens(e));
        if (!retry) return r;
    }
}
}  // namespace kivo::client
