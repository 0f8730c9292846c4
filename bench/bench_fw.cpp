// Firmware upgrade throughput over a veth pair against kivo-devsim.
//
//   BM_StopAndWaitLimit       the link's own limit: this process sends 1076-byte data
//                             frames (1024 payload bytes) straight from a raw socket and
//                             waits for each acknowledgement; 1024 bytes per round trip.
//   BM_Upgrade16MiB/polls:0   kivohost uploading a 16 MiB image, nobody asking for status.
//   BM_Upgrade16MiB/polls:1   the same while a front-end polls the status 10 times a second.
//
// Needs root (network namespaces). Run: ./build-bench/bench/bench_fw
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include <benchmark/benchmark.h>

#include "harness.h"
#include "harness_fw.h"
#include "raw_socket.h"

using namespace kivotest;

namespace {

constexpr size_t kImageSize = 16u << 20;
const char* kHostMac = "02:00:00:00:00:0a";
const char* kDevMac = "02:00:00:00:00:0b";

struct Env {
    Topology topo;
    std::unique_ptr<TempFile> image;
    Process* sim = nullptr;
    Env() {
        topo.Link("eth1", "eth1", kHostMac, kDevMac);
        image = std::make_unique<TempFile>(AsString(PatternBytes(kImageSize, 1)));
        sim = &topo.StartDevsim("[device dev1]\nmac = " + std::string(kDevMac) +
                                "\ninterface = eth1\nrole = fw\nfw_log_data = no\nfw_request_period_ms = 20\n");
        topo.StartKivohost();
    }
};

Env& GetEnv() {
    static std::unique_ptr<Env> env;
    if (!env) env = std::make_unique<Env>();
    return *env;
}

// Waits until the simulator's log holds `text` more than `before` times.
bool WaitCount(Process& p, const std::string& text, int before, std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (p.CountInLog(text) <= before) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- The link's limit, measured with a minimal host of our own -------------------------

struct RawPort {
    int fd = -1;
    explicit RawPort(const char* ifname) {
        fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        if (fd < 0) throw std::runtime_error("raw socket");
        struct sockaddr_ll sll;
        std::memset(&sll, 0, sizeof(sll));
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) throw std::runtime_error("bind");
        // As the firmware server does: our own frames are not queued back to us.
        int one = 1;
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
    }
    ~RawPort() { close(fd); }
    // Next frame of the firmware type with this subtype (and sequence, for data acks).
    bool Wait(uint8_t subtype, int seq = -1) {
        uint8_t buf[2048];
        for (;;) {
            struct pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) return false;
            kivo::RawFrameInfo info;
            ssize_t n = kivo::RawSocketRecv(fd, buf, sizeof(buf), 0, &info);
            if (n < 24 || info.outgoing || buf[20] != 0x0B || buf[21] != subtype) continue;
            if (seq >= 0 && (buf[22] | (buf[23] << 8)) != seq) continue;
            return true;
        }
    }
};

Bytes Frame(uint8_t subtype, uint16_t ethLen) {
    Bytes f;
    PutMac(f, ParseMac(kDevMac));
    PutMac(f, ParseMac(kHostMac));
    PutBe16(f, ethLen);
    for (uint8_t x : {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B}) f.push_back(x);
    f.push_back(subtype);
    f.resize(14u + ethLen, 0);
    return f;
}

void BM_StopAndWaitLimit(benchmark::State& state) {
    Env& env = GetEnv();
    NsGuard g(env.topo.host());
    RawPort port("eth1");
    Bytes data = Frame(0x03, 1062);
    data[24] = 0x00;
    data[25] = 0x04;  // count 1024
    const int frames = static_cast<int>(kImageSize / 1024);
    double rttSum = 0;
    for (auto _ : state) {
        if (!env.sim->SendLine("dev1 fw request") || !port.Wait(0x00)) {
            state.SkipWithError("no file request");
            return;
        }
        Bytes start = Frame(0x01, 46);
        send(port.fd, start.data(), start.size(), 0);
        if (!port.Wait(0x02)) {
            state.SkipWithError("no start acknowledgement");
            return;
        }
        auto t0 = std::chrono::steady_clock::now();
        for (int seq = 1; seq <= frames; ++seq) {
            data[22] = static_cast<uint8_t>(seq);
            data[23] = static_cast<uint8_t>(seq >> 8);
            send(port.fd, data.data(), data.size(), 0);
            if (!port.Wait(0x04, seq & 0xFFFF)) {
                state.SkipWithError("lost acknowledgement");
                return;
            }
        }
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(secs);
        rttSum += secs / frames;
        Bytes end = Frame(0x05, 46);
        send(port.fd, end.data(), end.size(), 0);
        port.Wait(0x07);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageSize));
    state.counters["rtt_us"] = rttSum / static_cast<double>(state.iterations()) * 1e6;
}

// ---- kivohost ------------------------------------------------------------------------------

void BM_Upgrade16MiB(benchmark::State& state) {
    Env& env = GetEnv();
    const bool polling = state.range(0) != 0;
    auto& client = env.topo.client();
    int polls = 0;
    for (auto _ : state) {
        const std::string complete = "fw upgrade complete bytes=16777216";
        int done = env.sim->CountInLog(complete);
        auto reply = client.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), env.image->path()));
        if (!reply || reply->size() != 4 || (*reply)[3] != 1) {
            state.SkipWithError("start refused");
            return;
        }
        std::atomic<bool> stop{false};
        std::thread poller;
        if (polling) {
            poller = std::thread([&] {
                uint8_t seq = 0;
                while (!stop) {
                    FwStatusGet(client, ++seq);
                    ++polls;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
        }
        auto t0 = std::chrono::steady_clock::now();
        env.sim->SendLine("dev1 fw request");
        bool ok = WaitCount(*env.sim, complete, done, std::chrono::seconds(120));
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        stop = true;
        if (poller.joinable()) poller.join();
        if (!ok) {
            state.SkipWithError("upgrade did not complete");
            return;
        }
        state.SetIterationTime(secs);
        // Reap the finished server thread before the next start.
        FwPollUntilFinal(client, std::chrono::seconds(10));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageSize));
    state.counters["status_polls"] = polls;
}

BENCHMARK(BM_StopAndWaitLimit)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upgrade16MiB)->ArgName("polls")->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
