// Two ways for exchanges running at once on one interface to get their frames, measured
// side by side on a veth pair: a packet socket per session (every waiting session gets a
// copy of every frame and drops the other sessions'), as LCMP sessions do, and one reader
// per interface that hands each frame to the session it belongs to (a mailbox and a
// wake-up per frame); and, as a possible next step, a socket per session whose kernel
// filter keeps only its device's frames. SESSIONS sessions wait at once; frames go to them in turn, one at a
// time, and each frame's time runs from its send until its session has it. Prints p50 and
// p99 per frame and the process's CPU time per frame. Needs root. Not a timed test.
//   bench_fanout [SESSIONS [FRAMES]]       default 16 sessions, 5000 frames
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "testbed.h"
#include "unique_fd.h"

using namespace kivotest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kEtherType = 0x22E3;  // LCMP's
constexpr size_t kFrameSize = 64;

kivo::UniqueFd PacketSocket(const std::string& ifname) {
    kivo::UniqueFd fd(socket(AF_PACKET, SOCK_RAW, htons(kEtherType)));
    if (!fd.valid()) return fd;
    struct sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(kEtherType);
    sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) return kivo::UniqueFd();
    return fd;
}

// Waits up to 100 ms for a frame; its length, or 0.
ssize_t Receive(int fd, uint8_t* frame) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) return 0;
    return recv(fd, frame, kFrameSize * 2, 0);
}

// What the main thread waits for: the sequence number of the frame its session has.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable cv;
    long latest = -1;
    void Arrived(long seq) {
        {
            std::lock_guard lock(mutex);
            latest = seq;
        }
        cv.notify_one();
    }
    bool WaitFor(long seq) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(1), [&] { return latest >= seq; });
    }
};

// A frame's session is the last byte of its source address; its sequence number follows
// the EtherType.
int SessionOf(const uint8_t* f) {
    return f[11];
}
long SeqOf(const uint8_t* f) {
    long s;
    std::memcpy(&s, f + 14, sizeof(s));
    return s;
}

// Lets through only frames from 02:00:00:00:77:<session>.
bool FilterSource(int fd, int session) {
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0200, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x00007700u | static_cast<uint32_t>(session), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    struct sock_fprog program = {static_cast<unsigned short>(std::size(code)), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

// One reader thread per session on its own socket, each keeping only its frames (with
// the kernel's help when filtered).
std::vector<std::thread> Sockets(Topology& topo, int sessions, std::atomic<bool>& stop, Arrivals& a,
                                 bool filtered) {
    std::vector<std::thread> threads;
    std::vector<kivo::UniqueFd> fds;
    {
        NsGuard g(topo.host());
        for (int i = 0; i < sessions; ++i) {
            fds.push_back(PacketSocket("kv0"));
            if (filtered && !FilterSource(fds.back().get(), i)) std::perror("bench_fanout: SO_ATTACH_FILTER");
        }
    }
    for (int i = 0; i < sessions; ++i)
        threads.emplace_back([&stop, &a, i, fd = std::move(fds[i])] {
            uint8_t frame[kFrameSize * 2];
            while (!stop)
                if (Receive(fd.get(), frame) >= 22 && SessionOf(frame) == i) a.Arrived(SeqOf(frame));
        });
    return threads;
}
std::vector<std::thread> SocketPerSession(Topology& topo, int sessions, std::atomic<bool>& stop,
                                          Arrivals& a) {
    return Sockets(topo, sessions, stop, a, false);
}
std::vector<std::thread> FilteredSockets(Topology& topo, int sessions, std::atomic<bool>& stop, Arrivals& a) {
    return Sockets(topo, sessions, stop, a, true);
}

// One reader for the interface, handing each frame to its session's mailbox.
std::vector<std::thread> ReaderPerInterface(Topology& topo, int sessions, std::atomic<bool>& stop,
                                            Arrivals& a) {
    struct Mailbox {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<long> seqs;
    };
    auto boxes = std::make_shared<std::vector<Mailbox>>(sessions);
    std::vector<std::thread> threads;
    kivo::UniqueFd fd;
    {
        NsGuard g(topo.host());
        fd = PacketSocket("kv0");
    }
    threads.emplace_back([&stop, boxes, sessions, fd = std::move(fd)] {
        uint8_t frame[kFrameSize * 2];
        while (!stop) {
            if (Receive(fd.get(), frame) < 22 || SessionOf(frame) >= sessions) continue;
            Mailbox& box = (*boxes)[SessionOf(frame)];
            {
                std::lock_guard lock(box.mutex);
                box.seqs.push_back(SeqOf(frame));
            }
            box.cv.notify_one();
        }
        for (Mailbox& box : *boxes) box.cv.notify_one();
    });
    for (int i = 0; i < sessions; ++i)
        threads.emplace_back([&stop, &a, boxes, i] {
            Mailbox& box = (*boxes)[i];
            std::unique_lock lock(box.mutex);
            while (!stop) {
                box.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return !box.seqs.empty(); });
                while (!box.seqs.empty()) {
                    const long seq = box.seqs.front();
                    box.seqs.pop_front();
                    a.Arrived(seq);
                }
            }
        });
    return threads;
}

double CpuSeconds() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using Design = std::function<std::vector<std::thread>(Topology&, int, std::atomic<bool>&, Arrivals&)>;

void Run(const char* name, const Design& design, Topology& topo, int sessions, long frames) {
    std::atomic<bool> stop{false};
    Arrivals arrivals;
    std::vector<std::thread> threads = design(topo, sessions, stop, arrivals);
    kivo::UniqueFd out;
    {
        NsGuard g(topo.dev());
        out = PacketSocket("eth1");
    }
    const Mac to = topo.host().InterfaceMac("kv0");
    uint8_t frame[kFrameSize] = {};
    std::copy(to.begin(), to.end(), frame);
    const uint8_t from[6] = {0x02, 0, 0, 0, 0x77, 0};
    std::copy(std::begin(from), std::end(from), frame + 6);
    frame[12] = kEtherType >> 8;
    frame[13] = kEtherType & 0xFF;
    std::vector<double> us;
    long lost = 0;
    const double cpu0 = CpuSeconds();
    for (long seq = 0; seq < frames; ++seq) {
        frame[11] = static_cast<uint8_t>(seq % sessions);
        std::memcpy(frame + 14, &seq, sizeof(seq));
        const auto t0 = Clock::now();
        if (send(out.get(), frame, sizeof(frame), 0) != static_cast<ssize_t>(sizeof(frame)) ||
            !arrivals.WaitFor(seq)) {
            ++lost;
            continue;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double cpu = CpuSeconds() - cpu0;
    stop = true;
    for (auto& t : threads) t.join();
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us.empty() ? 0.0 : us[static_cast<size_t>(q * (us.size() - 1))]; };
    std::printf("%-22s %2d sessions: p50 %7.1f us, p99 %7.1f us, CPU %6.1f us a frame, %ld lost\n", name,
                sessions, at(0.5), at(0.99), cpu * 1e6 / static_cast<double>(frames), lost);
}

}  // namespace

int main(int argc, char** argv) {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_fanout: needs root (network namespaces)\n");
        return 2;
    }
    const int sessions = std::clamp(argc > 1 ? std::atoi(argv[1]) : 16, 1, 200);
    const long frames = argc > 2 ? std::atol(argv[2]) : 5000;
    Topology topo;
    topo.Link("kv0", "eth1");
    for (int n : {1, sessions}) {
        Run("socket per session", SocketPerSession, topo, n, frames);
        Run("reader per interface", ReaderPerInterface, topo, n, frames);
        Run("filtered sockets", FilteredSockets, topo, n, frames);
    }
    return 0;
}
