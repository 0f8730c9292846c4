// LCMP exchange latency over a veth pair against kivo-devsim (a session opened, one
// encrypted unicast read, the session closed), beside the raw round trip of one frame on the
// same veth pair and the crypto work of one exchange. Needs root (namespaces).
//
//   ./build/bench/bench_lcmp --benchmark_counters_tabular=true
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "raw_echo.h"
#include "testbed.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 1000;
const kivotest::Mac kDev = {0x02, 0, 0, 0, 0, 0x01};
const t_lcmpEncryptionConf kSha{"secret-pass!", LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, LCMP_HASH_SHA256};

std::unique_ptr<kivotest::Topology> topo;

void Percentiles(benchmark::State& state, std::vector<double>& us, const char* prefix = "") {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
    state.counters[std::string(prefix) + "p50_us"] = at(0.50);
    state.counters[std::string(prefix) + "p99_us"] = at(0.99);
}

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// One frame of the size of an encrypted read request there, echoed back by a thread
// on the far end.
void BM_RawRoundTrip(benchmark::State& state) {
    std::vector<double> us = kivotest::RawRoundTrips(state, topo->host(), topo->dev(), 85,
                                                     kivotest::Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Percentiles(state, us);
}

// Key material and cipher work of one exchange: the request's 40 enciphered bytes
// and the confirm's 16.
void BM_ExchangeCrypto(benchmark::State& state) {
    uint8_t request[40] = {}, confirm[16] = {};
    for (auto _ : state) {
        kivo::lcmp::Cipher(request, sizeof(request), kSha.password, kSha.hashType);
        kivo::lcmp::Decipher(confirm, sizeof(confirm), kSha.password, kSha.hashType);
        benchmark::DoNotOptimize(request);
        benchmark::DoNotOptimize(confirm);
    }
}

void BM_LcmpInitReadEnd(benchmark::State& state) {
    kivotest::NsGuard g(topo->host());
    t_lcmpValueList* req = nullptr;
    const std::vector<uint8_t> info(5, 1), dm(1, 0), rd(30, 2);
    LCMPValueAdd(&req, LCMP_VALUE_INFO, 5, info.data());
    LCMPValueAdd(&req, LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, dm.data());
    LCMPValueAdd(&req, LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_READ_REQ, 30, rd.data());
    std::vector<double> total, init, read, end;
    int failures = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        auto session = std::make_unique<kivo::lcmp::Session>("eth1");
        if (session->Open() != LCMP_ERROR_NONE) ++failures;
        const auto t1 = Clock::now();
        t_lcmpValueList* out = nullptr;
        if (session->Read(LCMP_CONTROL_VENDOR, req, &kSha, LCMP_UNICAST, kDev.data(), &out) !=
            LCMP_ERROR_NONE)
            ++failures;
        const auto t2 = Clock::now();
        session.reset();
        const auto t3 = Clock::now();
        LCMPValueListDestroy(out);
        state.SetIterationTime(std::chrono::duration<double>(t3 - t0).count());
        total.push_back(Us(t3 - t0));
        init.push_back(Us(t1 - t0));
        read.push_back(Us(t2 - t1));
        end.push_back(Us(t3 - t2));
    }
    LCMPValueListDestroy(req);
    state.counters["failures"] = failures;
    Percentiles(state, total);
    Percentiles(state, init, "init_");
    Percentiles(state, read, "read_");
    Percentiles(state, end, "end_");
}

BENCHMARK(BM_RawRoundTrip)->Iterations(kRuns)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExchangeCrypto)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LcmpInitReadEnd)->Iterations(kRuns)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!kivotest::IsRoot()) {
        std::fprintf(stderr, "bench_lcmp needs root (network namespaces)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    topo = std::make_unique<kivotest::Topology>();
    topo->Link("eth1", "eth1", "02:00:00:00:00:10", kivotest::MacText(kDev));
    topo->StartDevsim(
        "[device dev1]\nmac = 02:00:00:00:00:01\ninterface = eth1\nrole = lcmp\npassword = secret-pass!\n"
        "quiet = yes\nread.reply = 0x20:00 0x24:0102030405 0x26:\n");
    // The first open in a namespace makes the socket and binds it; not measured.
    {
        kivotest::NsGuard g(topo->host());
        kivo::lcmp::Session session("eth1");
        if (session.Open() == LCMP_ERROR_NONE) {
            t_lcmpValueList* out = nullptr;
            session.Read(LCMP_CONTROL_VENDOR, nullptr, nullptr, LCMP_UNICAST, kDev.data(), &out);
            LCMPValueListDestroy(out);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    topo.reset();
    return 0;
}
