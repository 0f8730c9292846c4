// Firmware upgrade throughput over a veth pair against kivo-devsim.
//
//   BM_StopAndWaitLimit       the link's own limit: this process sends 1076-byte data
//                             frames (1024 payload bytes) straight from a link-layer port and
//                             waits for each acknowledgement; 1024 bytes per round trip.
//   BM_Upgrade16MiB/polls:0   kivohost uploading a 16 MiB image, nobody asking for status.
//   BM_Upgrade16MiB/polls:1   the same while a front-end polls the status 10 times a second.
//   BM_UpgradeVsLimit         all three back to back per iteration; medians of the ratios.
//
// On a virtual machine the round trip depends above all on where the sender and the
// simulator run: on one CPU a frame and its acknowledgement cost two context switches;
// on two CPUs each direction also pays for waking an idle virtual CPU. Left to the
// scheduler the figures swing between the two; so the sender (this process or kivohost)
// and kivo-devsim are pinned: /apart:0 puts both on CPU 0, /apart:1 the device on CPU 1.
//
// Needs root (network namespaces). Run: ./build-bench/bench/bench_fw
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "harness_fw.h"
#include "port.h"
#include "testbed.h"

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
        sim =
            &topo.StartDevsim("[device dev1]\nmac = " + std::string(kDevMac) +
                              "\ninterface = eth1\nrole = fw\nfw_log_data = no\nfw_request_period_ms = 20\n");
        topo.StartKivohost();
    }
};

// Pins the senders (this thread, threads it starts later, kivohost) and the simulator.
void Pin(Env& env, bool apart) {
    cpu_set_t sender, device;
    CPU_ZERO(&sender);
    CPU_SET(0, &sender);
    CPU_ZERO(&device);
    CPU_SET(apart ? 1 : 0, &device);
    sched_setaffinity(0, sizeof(sender), &sender);
    sched_setaffinity(env.topo.kivohost()->pid(), sizeof(sender), &sender);
    sched_setaffinity(env.sim->pid(), sizeof(device), &device);
}

Env& GetEnv() {
    static std::unique_ptr<Env> env;
    if (!env) env = std::make_unique<Env>();
    return *env;
}

// ---------------------------------------------------------------------------
// The link's limit, measured with a minimal host of our own

// A link-layer port on the host's eth1, as the firmware server opens it.
struct RawPort {
    kivo::l2::Port port;
    RawPort() {
        if (port.Open("eth1") != kivo::l2::PortStatus::kOk) throw std::runtime_error("port on eth1");
    }
    void Send(const Bytes& frame) { port.SendFrame(frame.data(), frame.size()); }
    // Next frame of the firmware type with this subtype (and sequence, for data acks).
    bool Wait(uint8_t subtype, int seq = -1) {
        const kivo::Deadline deadline = kivo::Deadline::AfterMs(2000);
        kivo::l2::FrameView view;
        while (port.Recv(view, deadline) == kivo::l2::PortStatus::kOk) {
            kivo::ByteReader r = view.payloadReader();
            kivo::l2::SnapHeader snap;
            uint16_t acked = 0;
            if (!kivo::l2::SnapRead(r, snap) || snap.pid != (0x0B00 | subtype)) continue;
            if (seq < 0 || (r.le16(acked) && acked == seq)) return true;
        }
        return false;
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

// Waits for the device to have taken the end frame of one more transfer. The device's
// log is read rather than the wire, so that nothing in this process wakes per frame
// while kivohost sends (it shares a CPU with it).
struct EndWatcher {
    const Process& sim;
    int seen = 0;
    explicit EndWatcher(const Process& s) : sim(s) {}
    void Drain() { seen = sim.CountInLog("fw upgrade complete"); }
    bool Wait(int ms) {
        const kivo::Deadline deadline = kivo::Deadline::AfterMs(ms);
        while (sim.CountInLog("fw upgrade complete") <= seen) {
            if (deadline.passed()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
};

struct Ports {
    std::unique_ptr<EndWatcher> end;
    explicit Ports(Env& env) : end(std::make_unique<EndWatcher>(*env.sim)) {}
};

// 16 MiB sent by a minimal host of our own; seconds for the data frames, < 0 on failure.
// Its port is open for this transfer only (its socket then waits, unread, for the next).
double RunLimit(Env& env) {
    std::unique_ptr<RawPort> raw;
    {
        NsGuard g(env.topo.host());
        raw = std::make_unique<RawPort>();
    }
    RawPort& port = *raw;
    Bytes data = Frame(0x03, 1062);
    data[24] = 0x00;
    data[25] = 0x04;  // count 1024
    if (!env.sim->SendLine("dev1 fw request") || !port.Wait(0x00)) return -1;
    port.Send(Frame(0x01, 46));
    if (!port.Wait(0x02)) return -1;
    const int frames = static_cast<int>(kImageSize / 1024);
    auto t0 = std::chrono::steady_clock::now();
    for (int seq = 1; seq <= frames; ++seq) {
        data[22] = static_cast<uint8_t>(seq);
        data[23] = static_cast<uint8_t>(seq >> 8);
        port.Send(data);
        if (!port.Wait(0x04, seq & 0xFFFF)) return -1;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    port.Send(Frame(0x05, 46));
    port.Wait(0x07);
    return secs;
}

// 16 MiB through kivohost, from the device's file request to its end acknowledgement;
// with `polling`, a front-end asks for the status 10 times a second meanwhile.
double RunUpgrade(Env& env, EndWatcher& end, bool polling, int* polls) {
    auto& client = env.topo.client();
    auto reply = client.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), env.image->path()));
    if (!reply || reply->size() != 4 || (*reply)[3] != 1) return -1;
    end.Drain();
    std::atomic<bool> stop{false};
    std::thread poller;
    if (polling) {
        poller = std::thread([&] {
            uint8_t seq = 0;
            while (!stop) {
                FwStatusGet(client, ++seq);
                ++*polls;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    auto t0 = std::chrono::steady_clock::now();
    env.sim->SendLine("dev1 fw request");
    bool ok = end.Wait(120000);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    stop = true;
    if (poller.joinable()) poller.join();
    // Reap the finished server thread before the next start.
    auto final = FwPollUntilFinal(client, std::chrono::seconds(10));
    return ok && final && final->state == 5 ? secs : -1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_StopAndWaitLimit(benchmark::State& state) {
    Env& env = GetEnv();
    Pin(env, state.range(0) != 0);
    Ports ports(env);
    double secsSum = 0;
    for (auto _ : state) {
        double secs = RunLimit(env);
        if (secs < 0) return state.SkipWithError("stop-and-wait transfer failed");
        state.SetIterationTime(secs);
        secsSum += secs;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageSize));
    state.counters["rtt_us"] = secsSum / static_cast<double>(state.iterations()) / (kImageSize / 1024) * 1e6;
}

void BM_Upgrade16MiB(benchmark::State& state) {
    Env& env = GetEnv();
    Pin(env, state.range(0) != 0);
    Ports ports(env);
    int polls = 0;
    for (auto _ : state) {
        double secs = RunUpgrade(env, *ports.end, state.range(1) != 0, &polls);
        if (secs < 0) return state.SkipWithError("upgrade failed");
        state.SetIterationTime(secs);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageSize));
    state.counters["status_polls"] = polls;
}

// The three transfers back to back in every iteration, so that they meet the same load
// on a shared machine; the ratios are the medians of the per-iteration ratios.
void BM_UpgradeVsLimit(benchmark::State& state) {
    Env& env = GetEnv();
    Pin(env, state.range(0) != 0);
    Ports ports(env);
    std::vector<double> limit, plain, polled, ratioPlain, ratioPolled;
    int polls = 0;
    for (auto _ : state) {
        double l = RunLimit(env);
        double u = RunUpgrade(env, *ports.end, false, &polls);
        double p = RunUpgrade(env, *ports.end, true, &polls);
        if (l < 0 || u < 0 || p < 0) return state.SkipWithError("transfer failed");
        state.SetIterationTime(u);
        const double mb = kImageSize / 1e6;
        limit.push_back(mb / l);
        plain.push_back(mb / u);
        polled.push_back(mb / p);
        ratioPlain.push_back(l / u);
        ratioPolled.push_back(l / p);
    }
    state.counters["limit_MBps"] = Median(limit);
    state.counters["upgrade_MBps"] = Median(plain);
    state.counters["polled_MBps"] = Median(polled);
    state.counters["upgrade_of_limit"] = Median(ratioPlain);
    state.counters["polled_of_limit"] = Median(ratioPolled);
    state.counters["status_polls"] = polls;
}

BENCHMARK(BM_StopAndWaitLimit)
    ->ArgName("apart")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upgrade16MiB)
    ->ArgNames({"apart", "polls"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpgradeVsLimit)
    ->ArgName("apart")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(9)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
