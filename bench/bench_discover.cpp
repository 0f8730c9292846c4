// Discovery time with 1 and with 20 interfaces: every interface listens at the same
// time, so a discovery should take the listening time (3 s) whatever their number.
// Measured in-process (MACDiscoverGet on every interface of a test namespace) and
// end to end (a Discover request to the real kivohost), with one simulated legacy
// device on every interface. Needs root (network namespaces).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "mac_discover.h"
#include "testbed.h"

using namespace kivotest;

namespace {

std::unique_ptr<Topology> MakeTopology(int interfaces) {
    auto topo = std::make_unique<Topology>();
    std::string config;
    for (int i = 1; i <= interfaces; ++i) {
        std::string n = std::to_string(i);
        topo->Link("eth" + n, "p" + n);
        char mac[32];
        std::snprintf(mac, sizeof(mac), "02:00:00:00:01:%02x", i & 0xFF);
        config += "[device l" + n + "]\nmac = " + mac + "\ninterface = p" + n + "\nrole = legacy\n\n";
    }
    topo->StartDevsim(config);
    return topo;
}

void BM_DiscoverInProcess(benchmark::State& state) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    const int interfaces = static_cast<int>(state.range(0));
    auto topo = MakeTopology(interfaces);
    const kivo::discovery::Settings settings;  // the default listening time
    NsGuard inHost(topo->host());
    int found = 0;
    for (auto _ : state) {
        t_device* list = nullptr;
        MACDiscoverGet(nullptr, TRUE, &list, settings);
        found = 0;
        for (t_device* d = list; d != nullptr; d = d->next) ++found;
        DeviceListFree(list);
    }
    state.counters["interfaces"] = interfaces;
    state.counters["devices"] = found;
    if (found != interfaces) state.SkipWithError("not every device was found");
}

void BM_DiscoverRequest(benchmark::State& state) {
    if (!IsRoot()) {
        state.SkipWithError("needs root");
        return;
    }
    const int interfaces = static_cast<int>(state.range(0));
    auto topo = MakeTopology(interfaces);
    topo->StartKivohost();
    int found = 0;
    uint8_t seq = 0;
    for (auto _ : state) {
        auto reply = topo->client().Request(Bytes{seq++}, std::chrono::seconds(30));
        found = (reply && reply->size() > 4 && (*reply)[3] == 5) ? (*reply)[4] : 0;
    }
    state.counters["interfaces"] = interfaces;
    state.counters["devices"] = found;
    if (found != interfaces) state.SkipWithError("not every device was found");
}

BENCHMARK(BM_DiscoverInProcess)->Arg(1)->Arg(20)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoverRequest)->Arg(1)->Arg(20)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
