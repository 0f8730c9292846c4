// kivohost's serve loop: the UDP socket (its own or systemd's), the scheduler that runs
// requests of different clients side by side, and the idle watchdog.
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
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

#include "kivohost.h"
#include "log.h"
#include "port.h"
#include "service_internal.h"
#include "unique_fd.h"

namespace kivo::service {
namespace {

// Without CAP_NET_RAW no request can reach a device. Say so once at start-up, with the
// remedy, and keep serving: Version and the failure detail still work, and every other
// request fails with the no-permission reason.
void RawSocketCheck() {
    kivo::l2::Port probe;
    if (probe.Open("lo") != kivo::l2::PortStatus::kPermission) return;
    ServiceStateGet().rawSocketsDenied.store(true);
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
// time in arrival order. Requests to one device (interface and MAC) share a line: a
// device answers one request at a time, and two SCP operations on one device could only
// be told apart by their random operation numbers. The firmware requests share one line.
// Discover needs none: each discovery has its own ports and device list, and every
// discovery sees every answer to a probe on its interfaces.
std::vector<std::string> LinesOf(const std::vector<INT8U>& datagram) {
    std::vector<std::string> lines;
    if (datagram.size() < 5 || datagram[3] != 0) return lines;
    const INT8U code = datagram[4];
    switch (code) {
        case REQUEST_VERSION:
        case REQUEST_FAILURE_DETAIL:
        case REQUEST_DISCOVER_LCMP:
        case REQUEST_DISCOVER:
            return lines;
        case REQUEST_GET_ALL:
        case REQUEST_GET:
        case REQUEST_SET:
        case REQUEST_FACTORY_RESET: {
            RequestReader r(datagram.data(), static_cast<INT32S>(datagram.size()), 5);
            r.u8();  // device type
            const INT8U nameLength = r.u8();
            const std::string name = r.text(nameLength);
            r.be16();
            INT8U mac[6];
            r.block(mac, sizeof(mac));
            // A request that cannot be read is refused at once: it waits for nothing.
            if (!r.ok()) return lines;
            lines.push_back("device " + name + " " + kivo::protocol::MacText(mac));
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
