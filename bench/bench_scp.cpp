// SCP parameter requests through the UDP protocol against kivo-devsim over a veth
// pair, beside the raw round trip of one frame on the same link. Needs root.
//
//   build/bench_scp --benchmark_counters_tabular=true
//
// Each benchmark runs 200 requests and reports the median (p50_us) and p99 (p99_us)
// in microseconds.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivohost.h"
#include "raw_echo.h"
#include "testbed.h"

using namespace kivotest;

namespace {

const char* kHostMac = "02:00:00:00:03:01";
const char* kDevMac = "02:00:00:00:03:02";
constexpr int kRuns = 200;

struct Setup {
    Topology topo;
    Setup() {
        topo.Link("eth1", "eth1", kHostMac, kDevMac);
        std::string config = std::string("[device scp1]\nmac = ") + kDevMac +
                             "\ninterface = eth1\nrole = scp\npassword = s3cret\n"
                             "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 00:11:22:33:44:55\n";
        for (int i = 0; i < 499; ++i)
            config += "param = TABLE.ENTRY_" + std::to_string(i) + " INT32U " + std::to_string(i) + "\n";
        topo.StartDevsim(config);
        topo.StartKivohost();
    }
};

Setup& Shared() {
    static std::unique_ptr<Setup> setup = std::make_unique<Setup>();
    return *setup;
}

Bytes Body(bool withName) {
    Bytes b;
    PutU8(b, 2);
    PutU8(b, 4);
    PutText(b, "eth1");
    PutBe16(b, 0);
    PutMac(b, ParseMac(kDevMac));
    PutU8(b, 6);
    PutText(b, "s3cret");
    if (withName) {
        std::string name = "SYSTEM.PRODUCTION.MAC_ADDR";
        PutBe32(b, static_cast<uint32_t>(name.size() + 1));
        PutText(b, name);
        PutU8(b, 0);
    }
    return b;
}

void Report(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

void Request(benchmark::State& state, uint8_t code, bool withName) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    Setup& s = Shared();
    Bytes body = Body(withName);
    std::vector<double> us;
    uint8_t seq = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto reply = s.topo.client().Request(++seq, code, body, std::chrono::seconds(30));
        auto end = std::chrono::steady_clock::now();
        if (!reply || reply->size() < 4 || (*reply)[3] != REPLY_SCP_DATA) {
            state.SkipWithError("request failed");
            return;
        }
        double t = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(t);
        us.push_back(t * 1e6);
    }
    Report(state, us);
}

void BM_ScpGetOneParameter(benchmark::State& state) {
    Request(state, REQUEST_GET, true);
}
void BM_ScpGetAll500Parameters(benchmark::State& state) {
    Request(state, REQUEST_GET_ALL, false);
}

// One 60-byte frame host -> device namespace and back, through two raw sockets.
void BM_RawRoundTrip(benchmark::State& state) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    Setup& s = Shared();
    std::vector<double> us =
        RawRoundTrips(state, s.topo.host(), s.topo.dev(), 60, ParseMac(kDevMac), ParseMac(kHostMac));
    Report(state, us);
}

}  // namespace

BENCHMARK(BM_RawRoundTrip)->Iterations(kRuns)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScpGetOneParameter)->Iterations(kRuns)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScpGetAll500Parameters)->Iterations(kRuns)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
