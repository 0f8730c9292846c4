// Parameter requests on an LCMP device through the UDP protocol against kivo-devsim
// over a veth pair, beside the LCMP exchanges they need measured without the service
// (the library's read exchanges on one open session) and the raw frame round trip on
// the same link. Needs root.
//
//   build/bench/bench_configlayer --benchmark_counters_tabular=true
//
// Version: 1000 requests answered by the service alone (the loopback round trip and the
// dispatch every request pays). Get: 1000 requests, one exchange each. GetAll of 1000
// parameters: one listing and 84 batch reads of up to 12 names (85 exchanges). Figures:
// median (p50_us) and p99 (p99_us) in microseconds; exchanges_us is the sum over the
// exchanges one request needs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
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

#include "LCMP_comm.h"
#include "configlayer.h"
#include "configlayer_internal.h"
#include "harness_cfg.h"
#include "kivohost.h"
#include "raw_echo.h"
#include "testbed.h"

using namespace kivotest;

namespace {

const char* kHostMac = "02:00:00:00:05:01";
const char* kDevMac = "02:00:00:00:05:02";
const char* kPassword = "s3cret";
constexpr int kParams = 1000;

struct Setup {
    Topology topo;
    Setup() {
        topo.Link("eth1", "eth1", kHostMac, kDevMac);
        std::string config = std::string("[device dev1]\nmac = ") + kDevMac +
                             "\ninterface = eth1\nrole = lcmp\npassword = " + kPassword +
                             "\nquiet = yes\nsegment_size = 1492\n"
                             "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 00:11:22:33:44:55\n";
        for (int i = 1; i < kParams; ++i)
            config += "param = TABLE.GROUP_" + std::to_string(i / 100) + ".ENTRY_" + std::to_string(i) +
                      " INT32U " + std::to_string(i) + "\n";
        topo.StartDevsim(config);
        topo.StartKivohost();
    }
};

Setup& Shared() {
    static std::unique_ptr<Setup> setup = std::make_unique<Setup>();
    return *setup;
}

void Report(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void UdpRequest(benchmark::State& state, uint8_t code, const std::optional<std::string>& block,
                size_t records) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    Setup& s = Shared();
    const Bytes body = ParamRequestBody(kDeviceLcmp, "eth1", 0, ParseMac(kDevMac), kPassword, block);
    std::vector<double> us;
    uint8_t seq = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto reply = s.topo.client().Request(++seq, code, body, std::chrono::seconds(30));
        const double t = Seconds(start);
        auto recs = reply ? ParamRecords(*reply) : std::nullopt;
        if (!recs || recs->size() != records) {
            state.SkipWithError("request failed");
            return;
        }
        state.SetIterationTime(t);
        us.push_back(t * 1e6);
    }
    Report(state, us);
}

void BM_VersionRoundTrip(benchmark::State& state) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    Setup& s = Shared();
    std::vector<double> us;
    uint8_t seq = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto reply = s.topo.client().Request(++seq, REQUEST_VERSION, {}, std::chrono::seconds(30));
        const double t = Seconds(start);
        if (!reply || reply->size() < 5) {
            state.SkipWithError("request failed");
            return;
        }
        state.SetIterationTime(t);
        us.push_back(t * 1e6);
    }
    Report(state, us);
}

void BM_GetOneParameter(benchmark::State& state) {
    UdpRequest(state, REQUEST_GET, GetBlock({"SYSTEM.PRODUCTION.MAC_ADDR"}), 1);
}
void BM_GetAll1000Parameters(benchmark::State& state) {
    UdpRequest(state, REQUEST_GET_ALL, std::nullopt, kParams);
}

// The exchanges of one request, made with the library's LCMP read directly on one
// session: what the requests above cost on the link and in the device.
struct Exchanges {
    std::unique_ptr<NsGuard> guard;
    t_lcmpEncryptionConf conf{kPassword, LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, LCMP_HASH_SHA256};
    Mac dev = ParseMac(kDevMac);
    std::unique_ptr<kivo::lcmp::Session> session;
    bool ok = false;
    explicit Exchanges(Setup& s) : guard(std::make_unique<NsGuard>(s.topo.host())) {
        session = std::make_unique<kivo::lcmp::Session>("eth1");
        ok = session->Open() == LCMP_ERROR_NONE;
    }
    // One read exchange; the answer list is handed over.
    bool Read(t_configlayerParam* names, t_lcmpValueList** answer) {
        t_lcmpValueList* request = nullptr;
        if (GenerateGetValueList(FALSE, names, &request) != CONFIGLAYER_ERROR_NONE) return false;
        *answer = nullptr;
        const kivo::Status rc =
            session->Read(LCMP_CONTROL_VENDOR, request, &conf, LCMP_UNICAST, dev.data(), answer);
        LCMPValueListDestroy(request);
        return rc == LCMP_ERROR_NONE && *answer != nullptr;
    }
};

void BM_ExchangeGetOneParameter(benchmark::State& state) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    Exchanges x(Shared());
    t_configlayerParam* names = nullptr;
    ConfiglayerParamAdd(&names, "SYSTEM.PRODUCTION.MAC_ADDR", nullptr);
    std::vector<double> us;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        t_lcmpValueList* answer = nullptr;
        const bool ok = x.ok && x.Read(names, &answer);
        const double t = Seconds(start);
        LCMPValueListDestroy(answer);
        if (!ok) {
            state.SkipWithError("exchange failed");
            break;
        }
        state.SetIterationTime(t);
        us.push_back(t * 1e6);
    }
    ConfiglayerParamsDestroy(names);
    Report(state, us);
}

// The 85 exchanges of a GetAll of 1000 parameters; each iteration reports their sum.
void BM_ExchangesGetAll1000Parameters(benchmark::State& state) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    Exchanges x(Shared());
    std::vector<double> us;
    for (auto _ : state) {
        double sum = 0;
        int exchanges = 0;
        t_lcmpValueList* answer = nullptr;
        auto start = std::chrono::steady_clock::now();
        bool ok = x.ok && x.Read(nullptr, &answer);
        sum += Seconds(start);
        ++exchanges;
        t_configlayerParam* names = nullptr;
        ok = ok && AddParamsFromList(answer, &names) == CONFIGLAYER_ERROR_NONE;
        LCMPValueListDestroy(answer);
        // Batches of 12 names, built outside the timed part.
        while (ok && names != nullptr) {
            t_configlayerParam* batch = nullptr;
            for (int i = 0; i < 12 && names != nullptr; ++i) {
                t_configlayerParam* node = nullptr;
                ConfiglayerParamsShift(&names, &node);
                ConfiglayerParamsPush(&batch, node);
            }
            start = std::chrono::steady_clock::now();
            ok = x.Read(batch, &answer);
            sum += Seconds(start);
            ++exchanges;
            LCMPValueListDestroy(answer);
            ConfiglayerParamsDestroy(batch);
        }
        ConfiglayerParamsDestroy(names);
        if (!ok || exchanges != 85) {
            state.SkipWithError("exchanges failed");
            break;
        }
        state.SetIterationTime(sum);
        us.push_back(sum * 1e6);
    }
    Report(state, us);
}

// One 60-byte frame host -> device namespace and back through two raw sockets: the
// floor under every exchange.
void BM_RawFrameRoundTrip(benchmark::State& state) {
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

BENCHMARK(BM_RawFrameRoundTrip)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExchangeGetOneParameter)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VersionRoundTrip)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetOneParameter)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExchangesGetAll1000Parameters)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAll1000Parameters)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
