// Serving figures: several front-ends at once against the real kivohost and simulated
// LCMP devices in namespaces. Needs root. Not a timed test: it prints.
//   bench_serving [KIVOHOST_BINARY [RUNS]]     default: the kivohost built with it, 40 runs
//
// 1. A Get of a live device from one client: idle, and while another client's Get of a
//    silent device is pending (p50, p90, max, and the ratio of the p50s).
// 2. 16 devices answering after 5 ms, 100 parameters each: a GetAll of one device from
//    one client, then a GetAll of each device from 16 clients at once (wall time, ratio).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness_cfg.h"
#include "testbed.h"

using namespace kivotest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDevices = 16;
constexpr int kParams = 100;
constexpr uint16_t kPort = 40340;

Mac DeviceMac(int i) {
    return SeriesMac(0x20, i);
}

std::string Config() {
    std::string c;
    for (int i = 0; i < kDevices; ++i) {
        c += LcmpDeviceSection("d" + std::to_string(i), DeviceMac(i)) + "delay_ms = 5\n";
        for (int p = 0; p < kParams; ++p) {
            char line[80];
            std::snprintf(line, sizeof(line), "param = SYSTEM.P%03d INT32U %d\n", p, i * 1000 + p);
            c += line;
        }
    }
    c += "[device silent]\nmac = 02:00:00:00:21:00\ninterface = eth1\nrole = lcmp\npassword = pw\n"
         "silent = yes\nquiet = yes\n";
    return c;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

Bytes GetOne(int device) {
    return ParamRequestBody(kDeviceLcmp, "kv0", 0, DeviceMac(device), "pw", GetBlock({"SYSTEM.P000"}));
}

Bytes GetAll(int device) {
    return ParamRequestBody(kDeviceLcmp, "kv0", 0, DeviceMac(device), "pw");
}

bool IsOneRecord(const std::optional<Bytes>& r) {
    auto records = r ? ParamRecords(*r) : std::nullopt;
    return records && records->size() == 1;
}

bool IsAll(const std::optional<Bytes>& r) {
    auto records = r ? ParamRecords(*r) : std::nullopt;
    return records && records->size() == static_cast<size_t>(kParams);
}

}  // namespace

int main(int argc, char** argv) {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_serving: needs root (network namespaces)\n");
        return 2;
    }
    const std::string binary = argc > 1 ? argv[1] : KIVOHOST_BIN;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 40;
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(Config());
    if (!WaitLinkUp(topo.host(), "kv0")) return 1;
    topo.StartKivohost(kPort, binary, std::nullopt);
    UdpClient live(topo.host(), kPort), blocker(topo.host(), kPort);
    int wrong = 0;

    // 1. Live Get, idle and behind a pending silent-device Get.
    std::vector<double> idle, behind;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        if (!IsOneRecord(live.Request(static_cast<uint8_t>(i), 3, GetOne(0)))) ++wrong;
        idle.push_back(Ms(Clock::now() - t0));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> silentSent{0};
    const Bytes silent = ParamRequestBody(kDeviceLcmp, "kv0", 0, ParseMac("02:00:00:00:21:00"), "pw",
                                          GetBlock({"SYSTEM.P000"}));
    std::thread pending([&] {
        while (!stop) {
            ++silentSent;
            blocker.Request(1, 3, silent, std::chrono::seconds(30));
        }
    });
    // Each Get is sent while the silent device's Get is pending (a pending one lasts 9 s).
    for (int i = 0; i < runs; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto t0 = Clock::now();
        if (!IsOneRecord(live.Request(static_cast<uint8_t>(i), 3, GetOne(0), std::chrono::seconds(30))))
            ++wrong;
        behind.push_back(Ms(Clock::now() - t0));
    }
    stop = true;
    pending.join();
    std::printf("kivohost: %s\n", binary.c_str());
    std::printf("live Get, idle:            p50 %8.2f ms  p90 %8.2f ms  max %8.2f ms  (%d runs)\n",
                Pct(idle, 0.5), Pct(idle, 0.9), Pct(idle, 1.0), runs);
    std::printf("live Get, behind a silent: p50 %8.2f ms  p90 %8.2f ms  max %8.2f ms  (%d silent Gets)\n",
                Pct(behind, 0.5), Pct(behind, 0.9), Pct(behind, 1.0), silentSent.load());
    std::printf("ratio of the p50s: %.2f\n", Pct(behind, 0.5) / Pct(idle, 0.5));

    // 2. GetAll of 100 parameters: one device alone, then 16 clients at once.
    std::vector<double> one;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        if (!IsAll(live.Request(static_cast<uint8_t>(i), 2, GetAll(0), std::chrono::seconds(60)))) ++wrong;
        one.push_back(Ms(Clock::now() - t0));
    }
    std::vector<std::unique_ptr<UdpClient>> clients;
    for (int i = 0; i < kDevices; ++i) clients.push_back(std::make_unique<UdpClient>(topo.host(), kPort));
    std::vector<double> together;
    for (int round = 0; round < 5; ++round) {
        std::vector<std::thread> threads;
        std::atomic<int> bad{0};
        const auto t0 = Clock::now();
        for (int i = 0; i < kDevices; ++i)
            threads.emplace_back([&, i] {
                if (!IsAll(clients[i]->Request(static_cast<uint8_t>(round), 2, GetAll(i),
                                               std::chrono::seconds(120))))
                    ++bad;
            });
        for (auto& t : threads) t.join();
        together.push_back(Ms(Clock::now() - t0));
        wrong += bad;
    }
    std::printf("GetAll of %d parameters, one device alone:      p50 %8.2f ms\n", kParams, Pct(one, 0.5));
    std::printf("GetAll of %d parameters, %d clients x %d devices: p50 %8.2f ms (all %d answered)\n", kParams,
                kDevices, kDevices, Pct(together, 0.5), kDevices);
    std::printf("ratio: %.2f\n", Pct(together, 0.5) / Pct(one, 0.5));
    std::printf("wrong answers: %d\n", wrong);
    return wrong == 0 ? 0 : 1;
}
