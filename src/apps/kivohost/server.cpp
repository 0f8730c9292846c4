// kivohost's request server: the UDP socket and its serve loop, the scheduler that runs
// requests of different clients side by side, reply segmentation, the idle watchdog, the
// allow-list, the request table and the failure detail. The handlers live in
// handlers_*.cpp.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "byte_io.h"
#include "clock.h"
#include "kivo_segments.h"
#include "kivohost.h"
#include "l2fwserver.h"
#include "log.h"
#include "port.h"
#include "reason.h"
#include "requester_lookup.h"
#include "service_internal.h"
#include "service_options.h"
#include "unique_fd.h"

namespace kivo::service {

namespace {

// Every request the service answers. Version and the failure detail are handled here;
// the others in handlers_params.cpp, handlers_discovery.cpp and handlers_fw.cpp.
constexpr Request kRequests[] = {
    {REQUEST_DISCOVER, DiscoverGet},
    {REQUEST_GET_ALL, GetAllGet},
    {REQUEST_GET, GetGet},
    {REQUEST_SET, SetGet},
    {REQUEST_FACTORY_RESET, FactoryResetGet},
    {REQUEST_FW_START, StartL2FwServerGet},
    {REQUEST_FW_STOP, StopL2FwServerGet},
    {REQUEST_FW_STATUS, GetStatusL2FwServerGet},
    {REQUEST_VERSION, GetKivoVersionGet},
    {REQUEST_FAILURE_DETAIL, FailureDetailGet},
    {REQUEST_DISCOVER_LCMP, DiscoverLcmpGet},
    {REQUEST_FW_TRANSFERS, FwTransfersGet},
    {REQUEST_FW_STOP_DEVICE, FwStopDeviceGet},
};

// Who may send requests; inactive (everyone) unless the command line set it.
AllowList allowList;
// Set at start-up when this process may not open packet sockets: every request that
// needs one fails, and says why.
bool rawSocketsDenied = false;

// The most recent request of one client answered FAILED or REFUSED.
struct FailedRequest {
    bool any = false;
    INT8U seq = 0;
    INT8U code = 0;
    kivo::Failure failure;
};

// A client as the failure detail knows it: its IPv4 address and UDP port (0 for a
// request dispatched without a datagram).
uint64_t ClientKeyOf(const struct sockaddr_in* client) {
    if (client == nullptr) return 0;
    return static_cast<uint64_t>(ntohl(client->sin_addr.s_addr)) << 16 | ntohs(client->sin_port);
}

// The last failed request of each client, for the failure detail: each client is told
// about its own requests only. Bounded: past kMaxClients the client that failed longest
// ago is forgotten.
class FailureTable {
   public:
    static constexpr size_t kMaxClients = 64;
    void Note(uint64_t client, const FailedRequest& failed) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Forget(client);
        entries_.emplace_front(client, failed);
        if (entries_.size() > kMaxClients) entries_.pop_back();
    }
    FailedRequest Get(uint64_t client) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, failed] : entries_)
            if (key == client) return failed;
        return FailedRequest{};
    }
    void Clear() {
        const std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

   private:
    void Forget(uint64_t client) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->first == client) {
                entries_.erase(it);
                return;
            }
    }
    std::mutex mutex_;
    std::list<std::pair<uint64_t, FailedRequest>> entries_;  // most recent first
};

FailureTable& Failures() {
    // Never destroyed: request threads may still run when the process exits.
    static FailureTable& table = *new FailureTable();
    return table;
}

// The client whose request this thread is handling.
thread_local uint64_t currentClientKey = 0;

}  // namespace

const Request* RequestFind(INT8U code) {
    for (const Request& r : kRequests)
        if (r.code == code) return &r;
    return nullptr;
}

const char* RequestName(INT8U code) {
    // The protocol's names, spelled for the start of a sentence: "Get all request ...".
    static const auto kTitles = [] {
        std::array<std::string, 256> titles;
        for (size_t c = 0; c < titles.size(); ++c)
            titles[c] = kivo::protocol::RequestTitle(static_cast<kivo::protocol::RequestCode>(c));
        return titles;
    }();
    return RequestFind(code) != nullptr ? kTitles[code].c_str() : "Request";
}

const INT8U* RequestReader::field(size_t n) {
    if (!ok_) return nullptr;
    // An empty field is valid wherever it stands, even past a short datagram.
    if (n == 0) return msg_ + (pos_ < KIVO_MESSAGE_SIZE ? pos_ : KIVO_MESSAGE_SIZE - 1);
    if (n > len_ || pos_ > len_ - n) {
        ok_ = false;
        return nullptr;
    }
    const INT8U* p = msg_ + pos_;
    pos_ += n;
    return p;
}

uint64_t RequestReader::fixed(size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        INT8U b = 0;
        if (ok_ && pos_ < len_) b = msg_[pos_];
        if (pos_ < KIVO_MESSAGE_SIZE) ++pos_;
        v = (v << 8) | b;
    }
    return v;
}

ServiceState& ServiceStateGet() {
    // Never destroyed: threads of the process may still use it at exit.
    static ServiceState& state = *new ServiceState();
    return state;
}

INT16U LcmpVlanChoose(INT16U requestVlanId) {
    ServiceState& state = ServiceStateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (requestVlanId == 0)
        state.lcmpVlan = 0;
    else if (requestVlanId <= 4094)
        state.lcmpVlan = requestVlanId;
    return state.lcmpVlan;
}

t_configlayerOptions ConfiglayerOptionsFor(INT16U vlanId) {
    t_configlayerOptions options;
    options.lcmp.vlanId = vlanId;
    options.lcmp.numbering = &ServiceStateGet().lcmpNumbering;
    return options;
}

void LinkFailureRecord(const CHAR* ifName, const INT8U* mac) {
    if (rawSocketsDenied) {
        kivo::FailureRecord(
            kivo::Reason::kNoPermission,
            "kivohost may not open raw packet sockets (CAP_NET_RAW): grant it with "
            "'setcap cap_net_raw+ep' on the kivohost binary or AmbientCapabilities=CAP_NET_RAW "
            "in its service unit, then restart it");
        return;
    }
    if (ifName != nullptr && ifName[0] != '\0' && if_nametoindex(ifName) == 0) {
        kivo::FailureRecord(kivo::Reason::kNoInterface,
                            "there is no interface %s on this host: check the name with 'ip link'", ifName);
        return;
    }
    if (mac != nullptr)
        kivo::FailureRecord(kivo::Reason::kNoAnswer,
                            "device %02x:%02x:%02x:%02x:%02x:%02x did not answer on %s: check that it is "
                            "powered and connected and that the password is right",
                            mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], ifName);
    else
        kivo::FailureRecord(kivo::Reason::kNoDevice,
                            "no device answered on %s: check the cabling and the VLAN",
                            ifName != nullptr && ifName[0] != '\0' ? ifName : "any interface");
}

void MalformedRecord(const char* request) {
    kivo::FailureRecord(kivo::Reason::kMalformedRequest,
                        "%s request not well formed: a length field runs past the end of the datagram or a "
                        "text holds a zero byte",
                        request);
}

namespace {

// The reason for a failed request when its handler recorded none.
kivo::Failure GenericFailure(INT8U code, INT8U replyCode) {
    kivo::Failure f;
    if (code == REQUEST_FW_START && replyCode == REPLY_REFUSED) {
        if (FwServerRunning()) {
            f.reason = kivo::Reason::kBusy;
            f.text = "a firmware transfer is running: wait for it to end or stop it first";
        } else {
            f.reason = kivo::Reason::kMalformedRequest;
            f.text =
                "the firmware start was refused: it needs an interface, a firmware file and a VLAN id other "
                "than 4095";
        }
    } else if (replyCode == REPLY_REFUSED) {
        f.reason = kivo::Reason::kMalformedRequest;
        f.text = std::string(RequestName(code)) + " request refused: it is not well formed";
    } else {
        f.reason = kivo::Reason::kInternal;
        f.text = std::string(RequestName(code)) + " request failed; the service's log may tell more";
    }
    return f;
}

// Keeps the detail of a request answered FAILED or REFUSED (or a firmware start whose
// transfer is already in its error state) and logs it; forgets this request's record
// otherwise.
void FailedRequestNote(uint64_t client, INT8U seq, INT8U code, INT32S replyLength, const INT8U* msg) {
    kivo::Failure failure = kivo::FailureTake();
    bool failed = replyLength == 4 && (msg[3] == REPLY_FAILED || msg[3] == REPLY_REFUSED);
    if (!failed && code == REQUEST_FW_START && replyLength == 4 && msg[3] == REPLY_DONE && FwLatestFailed()) {
        failed = true;
        if (failure.empty()) failure = FwServerLastFailure();
    }
    if (!failed) return;
    if (failure.empty()) failure = GenericFailure(code, msg[3]);
    FailedRequest entry;
    entry.any = true;
    entry.seq = seq;
    entry.code = code;
    entry.failure = failure;
    Failures().Note(client, entry);
    kivo::Log(kivo::LogStream::kOut, "%s request (seq %u) failed: %s: %s\n", RequestName(code),
              static_cast<unsigned>(seq), kivo::ReasonName(failure.reason), failure.text.c_str());
}

// False, with the refusal logged and recorded, when the allow-list keeps the sender out.
// Version and failure detail are open to everyone: they show no device and change nothing.
bool RequestAllowed(INT8U code) {
    if (!allowList.active() || code == REQUEST_VERSION || code == REQUEST_FAILURE_DETAIL) return true;
    const kivo::Requester& requester = CurrentRequester();
    if (allowList.Allows(requester)) return true;
    if (requester.known) {
        kivo::Log(kivo::LogStream::kOut, "Refused %s request from uid %u: not in the allow-list\n",
                  RequestName(code), static_cast<unsigned>(requester.uid));
        kivo::FailureRecord(
            kivo::Reason::kNotAllowed,
            "uid %u may not send %s requests: an administrator can add the user or one of its "
            "groups to kivohost's allow-list (--allow-user, --allow-group)",
            static_cast<unsigned>(requester.uid), RequestName(code));
    } else {
        kivo::Log(kivo::LogStream::kOut, "Refused %s request from an unidentified sender\n",
                  RequestName(code));
        kivo::FailureRecord(kivo::Reason::kNotAllowed,
                            "the sender of the %s request could not be identified, and only listed users may "
                            "send it",
                            RequestName(code));
    }
    return false;
}

// Without CAP_NET_RAW no request can reach a device. Say so once at start-up, with the
// remedy, and keep serving: Version and the failure detail still work, and every other
// request fails with the no-permission reason.
void RawSocketCheck() {
    kivo::l2::Port probe;
    if (probe.Open("lo") != kivo::l2::PortStatus::kPermission) return;
    rawSocketsDenied = true;
    char path[PATH_MAX] = "kivohost";
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) path[n] = '\0';
    kivo::Log(kivo::LogStream::kErr,
              "Warning: kivohost may not open raw packet sockets (CAP_NET_RAW is missing), so requests to "
              "devices will fail: run 'setcap cap_net_raw+ep %s' or set AmbientCapabilities=CAP_NET_RAW in "
              "the service unit\n",
              path);
}

// The socket systemd handed over, or one bound to 127.0.0.1:serverPort; an invalid
// descriptor and the exit status when neither can be had.
kivo::UniqueFd ServerSocket(INT32S serverPort, INT32S& port, INT32S& status) {
    // Started by systemd with its socket: serve on that one instead of binding.
    const int activated = sd_listen_fds(0);
    if (activated > 1 ||
        (activated == 1 && sd_is_socket(SD_LISTEN_FDS_START, AF_INET, SOCK_DGRAM, -1) <= 0)) {
        kivo::Log(kivo::LogStream::kOut,
                  "Error: systemd passed %d sockets; kivohost needs exactly one UDP socket on 127.0.0.1 "
                  "(ListenDatagram=127.0.0.1:PORT in its socket unit)\n",
                  activated);
        status = -2;
        return {};
    }
    if (activated == 1) {
        kivo::UniqueFd sock(SD_LISTEN_FDS_START);
        struct sockaddr_in bound;
        socklen_t boundLength = sizeof(bound);
        std::memset(&bound, 0, sizeof(bound));
        getsockname(sock.get(), reinterpret_cast<struct sockaddr*>(&bound), &boundLength);
        port = ntohs(bound.sin_port);
        return sock;
    }
    kivo::UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        kivo::Log(kivo::LogStream::kOut, "Error: could not create socket\n");
        status = -2;
        return {};
    }
    struct sockaddr_in server;
    std::memset(&server, 0, sizeof(server));
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(serverPort & 0xFFFF));
    if (bind(sock.get(), reinterpret_cast<struct sockaddr*>(&server), sizeof(server)) < 0) {
        // No line end: front-end scripts match this text as it has always been.
        kivo::Log(kivo::LogStream::kOut, "Error: bind failed (port %d is already in use)", serverPort);
        status = -3;
        return {};
    }
    // Port 0 lets the system choose: name the port really bound.
    struct sockaddr_in bound;
    socklen_t boundLength = sizeof(bound);
    std::memset(&bound, 0, sizeof(bound));
    port = getsockname(sock.get(), reinterpret_cast<struct sockaddr*>(&bound), &boundLength) == 0
               ? ntohs(bound.sin_port)
               : serverPort;
    return sock;
}

// At most limit bytes of text, cut where no UTF-8 character is split.
size_t Utf8Prefix(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

// Longest text a detail reply carries; the layers' texts are a line or two.
constexpr size_t kDetailTextMax = 2000;

// ---------------------------------------------------------------------------
// Scheduling

using SteadyClock = std::chrono::steady_clock;

// Requests running at once, and requests received but not yet running; past the second
// bound nothing more is read from the socket until one starts.
constexpr size_t kMaxRunning = 16;
constexpr size_t kMaxWaiting = 256;
// The watchdog: a minute without requests ends the service.
constexpr auto kIdleLimit = std::chrono::seconds(61);

// The message buffer of one running request, mapped for it: only the pages a reply writes
// are ever touched. A few buffers of ended requests are kept for the next ones (unmapping
// costs every CPU that ran a thread of the process a TLB flush); the rest go back to the
// system.
class MessageBuffer {
   public:
    MessageBuffer() {
        void* p =
            mmap(nullptr, KIVO_MESSAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<INT8U*>(p);
    }
    ~MessageBuffer() {
        if (data_ != nullptr) munmap(data_, KIVO_MESSAGE_SIZE);
    }
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;
    INT8U* get() const { return data_; }

   private:
    INT8U* data_ = nullptr;
};

// The buffers kept between requests: at most kKept, however many requests ran at once.
class BufferPool {
   public:
    std::unique_ptr<MessageBuffer> Take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!kept_.empty()) {
                auto buffer = std::move(kept_.back());
                kept_.pop_back();
                return buffer;
            }
        }
        return std::make_unique<MessageBuffer>();
    }
    void Give(std::unique_ptr<MessageBuffer> buffer) {
        if (buffer == nullptr || buffer->get() == nullptr) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (kept_.size() < kKept) kept_.push_back(std::move(buffer));
    }

   private:
    static constexpr size_t kKept = 2;
    std::mutex mutex_;
    std::vector<std::unique_ptr<MessageBuffer>> kept_;
};

// One request received: its datagram (only the bytes that came), its sender, and the
// lines it waits in.
struct Job {
    uint64_t id = 0;
    std::vector<INT8U> datagram;
    struct sockaddr_in client {};
    socklen_t clientLength = 0;
    std::vector<std::string> lines;
};

// The lines a request waits in, besides its client's: requests in one line run one at a
// time in arrival order. Requests to one device (interface and MAC) share a line; so do
// the firmware requests, and the requests that use the legacy MAC discovery or the SCP
// client, whose modules serve one caller at a time.
std::vector<std::string> LinesOf(const std::vector<INT8U>& datagram) {
    std::vector<std::string> lines;
    if (datagram.size() < 5 || datagram[3] != 0) return lines;
    const INT8U code = datagram[4];
    switch (code) {
        case REQUEST_VERSION:
        case REQUEST_FAILURE_DETAIL:
        case REQUEST_DISCOVER_LCMP:
            return lines;
        case REQUEST_DISCOVER:
            lines.emplace_back("legacy");
            return lines;
        case REQUEST_GET_ALL:
        case REQUEST_GET:
        case REQUEST_SET:
        case REQUEST_FACTORY_RESET: {
            RequestReader r(datagram.data(), static_cast<INT32S>(datagram.size()), 5);
            const INT8U deviceType = r.u8();
            const INT8U nameLength = r.u8();
            const std::string name = r.text(nameLength);
            r.be16();
            INT8U mac[6];
            r.block(mac, sizeof(mac));
            // A request that cannot be read is refused at once: it waits for nothing.
            if (!r.ok()) return lines;
            lines.push_back("device " + name + " " + kivo::protocol::MacText(mac));
            if (deviceType != DEVICE_TORVIX_LCMP) lines.emplace_back("legacy");
            return lines;
        }
        default:
            // Firmware requests, and any request without a rule of its own: one at a time.
            if (RequestFind(code) != nullptr) lines.emplace_back("firmware");
            return lines;
    }
}

// Receives and runs requests on up to kMaxRunning threads (and one more that receives
// while they all run). A request starts when it is first in every line it is in (its
// client's and those of LinesOf), the earliest such request first; so requests of one
// client, or to one device, run one after the other in arrival order, and the others side
// by side. One thread at a time receives; it serves what it received itself when it can
// start at once, and another thread takes over the receiving, so an uncontended request
// costs no hand-over between threads. Idle threads sleep on a condition variable and the
// receiving thread in poll: nothing wakes while nothing arrives, but the watchdog's end.
class Scheduler {
   public:
    explicit Scheduler(int socketFd) : fd_(socketFd), buffer_(new INT8U[KIVO_MESSAGE_SIZE]) {}
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Serves on the calling thread and the threads it starts; returns -1 only when the
    // socket fails. The watchdog ends the process.
    INT32S Run() { return Work(); }

   private:
    static std::string ClientLine(const struct sockaddr_in& client) {
        return "client " + std::to_string(ClientKeyOf(&client));
    }

    // How long the service has been without requests: zero while one waits or runs.
    SteadyClock::duration IdleLocked() const {
        if (!waiting_.empty() || running_ > 0) return SteadyClock::duration::zero();
        return SteadyClock::now() - lastActivity_;
    }

    // The earliest waiting request that is first in all its lines.
    bool TakeLocked(Job& out) {
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
            bool first = true;
            for (const std::string& line : it->lines) first = first && lines_[line].front() == it->id;
            if (!first) continue;
            out = std::move(*it);
            waiting_.erase(it);
            return true;
        }
        return false;
    }

    void QueueLocked(Job job) {
        job.id = nextId_++;
        job.lines.push_back(ClientLine(job.client));
        for (const std::string& line : job.lines) lines_[line].push_back(job.id);
        waiting_.push_back(std::move(job));
        lastActivity_ = SteadyClock::now();
    }

    void FinishLocked(const Job& job) {
        for (const std::string& line : job.lines) {
            auto found = lines_.find(line);
            found->second.pop_front();
            if (found->second.empty()) lines_.erase(found);
        }
        lastActivity_ = SteadyClock::now();
    }

    // Waits for the next datagram no longer than left; nullopt on time-out. -1 in status
    // when the socket failed.
    std::optional<Job> Receive(SteadyClock::duration left, int& status) {
        struct pollfd fd = {fd_, POLLIN, 0};
        // Never a negative time-out, which would wait for ever.
        const auto ms = std::max<std::chrono::milliseconds::rep>(
            1, std::chrono::ceil<std::chrono::milliseconds>(left).count());
        const int ready = poll(&fd, 1, static_cast<int>(ms));
        if (ready < 0 && errno != EINTR) {
            kivo::Log(kivo::LogStream::kOut, "Error: the request socket failed (%s)\n", std::strerror(errno));
            status = -1;
        }
        if (ready <= 0) return std::nullopt;
        Job job;
        job.clientLength = sizeof(job.client);
        const ssize_t received = recvfrom(fd_, buffer_.get(), KIVO_MESSAGE_SIZE, MSG_DONTWAIT,
                                          reinterpret_cast<struct sockaddr*>(&job.client), &job.clientLength);
        if (received <= 0) return std::nullopt;
        job.datagram.assign(buffer_.get(), buffer_.get() + received);
        job.lines = LinesOf(job.datagram);
        return job;
    }

    INT32S Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Job job;
            if (running_ < kMaxRunning && TakeLocked(job)) {
                ++running_;
                // Someone else receives while this thread serves.
                if (!receiving_) {
                    if (idleThreads_ > 0)
                        ready_.notify_one();
                    else if (threads_.size() < kMaxRunning)
                        threads_.emplace_back([this] { Work(); });
                }
                lock.unlock();
                Serve(job);
                lock.lock();
                --running_;
                FinishLocked(job);
                ready_.notify_all();
                continue;
            }
            if (!receiving_ && waiting_.size() < kMaxWaiting) {
                receiving_ = true;
                // The watchdog: while requests run, the idle time counts from the last one's end.
                const auto idle = IdleLocked();
                lock.unlock();
                int status = 0;
                std::optional<Job> got =
                    Receive(idle == SteadyClock::duration::zero() ? kIdleLimit : kIdleLimit - idle, status);
                lock.lock();
                receiving_ = false;
                if (status < 0) return status;
                if (got) {
                    QueueLocked(std::move(*got));
                } else {
                    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(IdleLocked());
                    if (seconds >= kIdleLimit) {
                        kivo::Log(kivo::LogStream::kOut, "Watchdog: %u seconds without requests!\n",
                                  static_cast<unsigned>(seconds.count()));
                        // Other threads may still be running: end without static destructors.
                        _exit(0);
                    }
                }
                continue;
            }
            ++idleThreads_;
            ready_.wait(lock);
            --idleThreads_;
        }
    }

    // Handles one request on this thread and sends its reply. The message buffer lives
    // only as long as the request runs.
    void Serve(const Job& job) {
        std::unique_ptr<MessageBuffer> buffer = buffers_.Take();
        INT8U* msg = buffer->get();
        if (msg == nullptr) {
            kivo::Log(kivo::LogStream::kOut, "Error: no memory for the request's reply; request dropped\n");
            return;
        }
        std::memcpy(msg, job.datagram.data(), job.datagram.size());
        struct sockaddr_in client = job.client;
        INT32S replyLength = ServerDispatchFor(&client, static_cast<INT32S>(job.datagram.size()), msg);
        // A handler can never produce more than the buffer; treat anything else as a fault.
        if (replyLength > KIVO_MESSAGE_SIZE) replyLength = 0;
        ServerReplySend(fd_, msg, replyLength, &client, job.clientLength, job.datagram[0]);
        buffers_.Give(std::move(buffer));
    }

    const int fd_;
    // The receive buffer: one, used by the receiving thread only; each request keeps only
    // the bytes of its own datagram.
    const std::unique_ptr<INT8U[]> buffer_;
    BufferPool buffers_;
    std::mutex mutex_;
    std::condition_variable ready_;  // a request may be able to start, or none receives
    std::list<Job> waiting_;         // arrival order
    std::map<std::string, std::deque<uint64_t>> lines_;
    uint64_t nextId_ = 1;
    size_t running_ = 0;
    size_t idleThreads_ = 0;
    bool receiving_ = false;
    // Threads started to serve requests: they live as long as the process.
    std::vector<std::thread> threads_;
    SteadyClock::time_point lastActivity_ = SteadyClock::now();
};

}  // namespace

}  // namespace kivo::service

using namespace kivo::service;

INT32U ThreadSleep(INT32U ms) {
    return kivo::SleepMsInterruptible(ms);
}

BOOLEAN UdpMsgSend(INT32S socketFd, INT8U* msg, INT32S msgLength, struct sockaddr_in* client,
                   INT32U clientLength, INT32S seqNum, INT32S segTotal, INT32S segNum) {
    kivo::protocol::WriteSegmentHeader(
        msg, static_cast<size_t>(msgLength),
        {static_cast<INT8U>(seqNum), static_cast<INT8U>(segTotal), static_cast<INT8U>(segNum)});
    const ssize_t sent = sendto(socketFd, msg, static_cast<size_t>(msgLength), 0,
                                reinterpret_cast<struct sockaddr*>(client), clientLength);
    if (sent != msgLength) {
        kivo::Log(kivo::LogStream::kOut, "Send failed\n");
        return TRUE;
    }
    return FALSE;
}

INT32S ServerSegmentCount(INT32S msgLength) {
    if (msgLength <= KIVO_SEGMENT_SIZE) return 1;
    return static_cast<INT32S>(kivo::protocol::SegmentCount(static_cast<size_t>(msgLength)));
}

INT32S ServerReplySend(INT32S socketFd, INT8U* msg, INT32S msgLength, struct sockaddr_in* client,
                       INT32U clientLength, INT32S seqNum) {
    if (msgLength <= 0) return 0;
    if (msgLength > KIVO_MESSAGE_SIZE) msgLength = KIVO_MESSAGE_SIZE;
    const INT32S segTotal = ServerSegmentCount(msgLength);
    for (INT32S k = 0; k < segTotal; ++k) {
        // Segment k's header overwrites the last three payload bytes of the one sent before.
        const auto offset = static_cast<INT32S>(kivo::protocol::SegmentOffset(static_cast<size_t>(k)));
        const auto length = static_cast<INT32S>(
            kivo::protocol::SegmentLength(static_cast<size_t>(msgLength), static_cast<size_t>(k)));
        UdpMsgSend(socketFd, msg + offset, length, client, clientLength, seqNum, segTotal, k);
    }
    return segTotal;
}

void ServerAllowListSet(const AllowList& allow) {
    allowList = allow;
}

void ServerFailureDetailReset() {
    Failures().Clear();
}

INT32S ServerDispatch(INT32S inputLength, INT8U* msg) {
    return ServerDispatchFor(nullptr, inputLength, msg);
}

INT32S ServerDispatchFor(const struct sockaddr_in* client, INT32S inputLength, INT8U* msg) {
    // Header bytes the datagram did not carry read as zero, whatever the buffer held
    // before: a one-byte datagram is a Discover.
    for (INT32S i = inputLength > 0 ? inputLength : 0; i < 5; ++i) msg[i] = 0;
    if (msg[3] != 0) {
        kivo::Log(kivo::LogStream::kOut, "Invalid message (%d) received\n", msg[3]);
        return 1;
    }
    const INT8U seq = msg[0];
    const INT8U code = msg[4];
    // An unassigned code keeps its one-byte answer, whoever sends it.
    const Request* request = RequestFind(code);
    if (request == nullptr) return 1;
    currentClientKey = ClientKeyOf(client);
    if (client != nullptr) CurrentClientSet(*client);
    kivo::FailureClear();
    const INT32S replyLength =
        RequestAllowed(code) ? request->handler(inputLength, msg) : ReplyCode(msg, REPLY_REFUSED);
    if (code != REQUEST_FAILURE_DETAIL)
        FailedRequestNote(currentClientKey, seq, code, replyLength, msg);
    else
        kivo::FailureClear();
    return replyLength;
}

INT32S StartServer(INT32S serverPort) {
    INT32S port = serverPort;
    INT32S status = 0;
    kivo::UniqueFd sock = ServerSocket(serverPort, port, status);
    if (!sock.valid()) return status;
    kivo::Log(kivo::LogStream::kOut, "Server running in port %d\n", static_cast<int>(port));
    RawSocketCheck();
    // Never destroyed: its threads serve until the process ends.
    Scheduler& scheduler = *new Scheduler(sock.get());
    return scheduler.Run();
}

INT32S GetKivoVersionGet(INT32S /*inputLength*/, INT8U* msg) {
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_VERSION);
    w.u8(KIVO_VERSION_MAJOR);
    w.u8(KIVO_VERSION_MINOR);
    w.u8(KIVO_VERSION_BUILD);
    return static_cast<INT32S>(w.pos());
}

INT32S FailureDetailGet(INT32S /*inputLength*/, INT8U* msg) {
    const FailedRequest lastFailed = Failures().Get(currentClientKey);
    const kivo::Failure fw = FwServerLastFailure();
    const size_t textLength = Utf8Prefix(lastFailed.failure.text, kDetailTextMax);
    const size_t fwLength = Utf8Prefix(fw.text, kDetailTextMax);
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_FAILURE_DETAIL);
    w.u8(lastFailed.any ? 1 : 0);
    w.u8(lastFailed.seq);
    w.u8(lastFailed.code);
    w.be16(static_cast<INT16U>(lastFailed.failure.reason));
    w.be16(static_cast<INT16U>(textLength));
    w.bytes(lastFailed.failure.text.data(), textLength);
    w.be16(static_cast<INT16U>(fw.reason));
    w.be16(static_cast<INT16U>(fwLength));
    w.bytes(fw.text.data(), fwLength);
    return static_cast<INT32S>(w.pos());
}
