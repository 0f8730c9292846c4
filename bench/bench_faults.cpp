// Fault figures against the real kivohost and kivo-devsim in namespaces. Needs root.
// Prints, does not judge time: each case says what happened and how long it took.
//   flood    Get all of 1,000 parameters, quiet and under a flood of garbage and
//            near-valid LCMP frames: still correct, and how much slower
//   vanish   a device that stops answering mid-upgrade: time to the failed state,
//            then the next request
//   ifdel    the host interface deleted mid-Get and mid-upgrade: time to the failure
//            reply / failed state, then the next request
//   fwloop   200 upgrades in a row, every third stopped halfway: threads,
//            descriptors and memory of the service
//   queue    one front-end blocks the service with a Get to a silent SCP device while a
//            second sends 1,000 version requests: how many are answered
//   bench_faults [CASE...]        default: every case
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "harness_cfg.h"
#include "harness_fw.h"
#include "raw_echo.h"
#include "testbed.h"

using namespace kivotest;
using namespace std::chrono;
using Clock = steady_clock;

namespace {
const Mac kDev = ParseMac("02:00:00:00:10:01");

double Ms(Clock::time_point t0) {
    return duration<double, std::milli>(Clock::now() - t0).count();
}
bool Answers(UdpClient& c) {
    const auto r = c.Request(77, 9, {}, 5s);
    return r && r->size() >= 4 && (*r)[3] == 9;
}

void Flood() {
    std::string config =
        "[device d1]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = lcmp\npassword = pw\n";
    for (int i = 0; i < 1000; ++i)
        config += "param = BENCH.P" + std::to_string(i) + " INT32U " + std::to_string(i) + "\n";
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(config);
    topo.StartKivohost();
    UdpClient& c = topo.client();
    const Bytes getAll = ParamRequestBody(kDeviceLcmp, "kv0", 0, kDev, "pw");
    auto run = [&](const char* label) {
        const auto t0 = Clock::now();
        const auto r = c.Request(1, 2, getAll, 120s);
        const double ms = Ms(t0);
        const auto rec = r ? ParamRecords(*r) : std::nullopt;
        bool ok = rec && rec->size() == 1000;
        for (size_t i = 0; ok && i < rec->size(); ++i) ok = (*rec)[i].value == std::to_string(i);
        std::printf("flood: Get all of 1000 %-34s %8.1f ms  %s (reply code %d, %zu records)\n", label, ms,
                    ok ? "correct" : "WRONG", r && r->size() >= 4 ? (*r)[3] : -1, rec ? rec->size() : 0);
        return ms;
    };
    run("quiet link");
    const double quiet = run("quiet link (again)");
    // The flood comes from the device's side of the link, addressed to the host.
    kivo::l2::Port port = OpenPort(topo.dev(), "eth1");
    const Mac host = topo.host().InterfaceMac("kv0");
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::atomic<int> gapUs{0};
    std::thread flooder([&] {
        std::mt19937 rng(7);
        uint8_t payload[1500];
        while (!stop.load()) {
            const size_t n = 46 + rng() % 1400;
            for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(rng());
            const unsigned kind = rng() % 3;
            if (kind == 1) {  // near-valid: a read confirm MMH, wrong transaction, random values
                payload[0] = static_cast<uint8_t>(n - 8);
                payload[1] = static_cast<uint8_t>(((n - 8) >> 8) | 0x10);
                payload[2] = 0x16;
                payload[4] = static_cast<uint8_t>(rng() % 3);  // sometimes a segment
            }
            const uint16_t type = kind == 2 ? static_cast<uint16_t>(rng()) : 0x22E3;
            if (port.Send(host.data(), type, payload, n, nullptr) == kivo::l2::PortStatus::kOk) ++sent;
            if (gapUs.load() > 0) std::this_thread::sleep_for(microseconds(gapUs.load()));
        }
    });
    for (int gap : {1000, 100, 0}) {
        gapUs = gap;
        std::this_thread::sleep_for(200ms);
        const long before = sent.load();
        const auto t0 = Clock::now();
        const char* label = gap == 1000  ? "flood, <= 1 frame/ms"
                            : gap == 100 ? "flood, <= 10 frames/ms"
                                         : "flood, unthrottled";
        const double flooded = run(label);
        std::printf("flood:   %.0f frames/s during the run; %.1fx the quiet time\n",
                    (sent.load() - before) * 1000.0 / Ms(t0), flooded / quiet);
    }
    stop = true;
    flooder.join();
}

void Vanish() {
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(
        "[device g]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\n"
        "fw_request_period_ms = 100\nfw_request_count = 100000\nfw_log_data = no\nfw_vanish_after = 50\n");
    topo.StartKivohost();
    UdpClient& c = topo.client();
    TempFile fw(std::string(1 << 20, 'x'));
    c.Request(1, 6, FwStartBody("kv0", 0, kDev, fw.path()), 10s);
    const auto t0 = Clock::now();
    const auto final = FwPollUntilFinal(c, 120s);
    std::printf(
        "vanish: device silent after 50 data frames: state %d after %.0f ms (%u of %u bytes); next "
        "request answered: %s\n",
        final ? final->state : -1, Ms(t0), final ? final->uploaded : 0, final ? final->total : 0,
        Answers(c) ? "yes" : "NO");
}

void InterfaceDeleted() {
    {
        Topology topo;
        topo.Link("kv0", "eth1");
        topo.StartDevsim(
            "[device d1]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = lcmp\npassword = pw\n"
            "param = SYSTEM.INFO.UPTIME INT32U 5\nsilent = yes\n");
        topo.StartKivohost();
        UdpClient& c = topo.client();
        std::thread killer([&] {
            std::this_thread::sleep_for(300ms);
            topo.host().Run("ip link del kv0");
        });
        const auto t0 = Clock::now();
        const auto r = c.Request(
            2, 3, ParamRequestBody(kDeviceLcmp, "kv0", 0, kDev, "pw", GetBlock({"SYSTEM.INFO.UPTIME"})),
            120s);
        const double ms = Ms(t0);
        killer.join();
        std::printf(
            "ifdel: Get, interface deleted after 300 ms: reply code %d after %.0f ms; next request "
            "answered: %s\n",
            r && r->size() >= 4 ? (*r)[3] : -1, ms, Answers(c) ? "yes" : "NO");
    }
    {
        Topology topo;
        topo.Link("kv0", "eth1");
        topo.StartDevsim(
            "[device g]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = fw\n"
            "fw_request_at_start = yes\nfw_request_period_ms = 100\nfw_request_count = 100000\n"
            "fw_log_data = no\n");
        topo.StartKivohost();
        UdpClient& c = topo.client();
        TempFile fw(std::string(8 << 20, 'x'));
        c.Request(1, 6, FwStartBody("kv0", 0, kDev, fw.path()), 10s);
        for (auto s = FwStatusGet(c); s && s->uploaded == 0 && s->state < 5; s = FwStatusGet(c))
            std::this_thread::sleep_for(5ms);
        topo.host().Run("ip link del kv0");
        const auto t0 = Clock::now();
        const auto final = FwPollUntilFinal(c, 120s);
        std::printf(
            "ifdel: upgrade, interface deleted while uploading: state %d after %.0f ms; next request "
            "answered: %s\n",
            final ? final->state : -1, Ms(t0), Answers(c) ? "yes" : "NO");
    }
}

void FwLoop() {
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(
        "[device g]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = fw\nfw_request_at_start = yes\n"
        "fw_request_period_ms = 20\nfw_request_count = 1000000\nfw_log_data = no\nfw_idle_ms = 300\n");
    const pid_t pid = topo.StartKivohost().pid();
    UdpClient& c = topo.client();
    TempFile fw(std::string(256 << 10, 'x'));
    long rss10 = 0, fd10 = 0, thr10 = 0, done = 0, failed = 0, other = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < 200; ++i) {
        // A device that took an image runs it and stops asking: tell it to ask again.
        if (i > 0) topo.devsim()->SendLine("g fw request");
        const auto started =
            c.Request(static_cast<uint8_t>(i), 6, FwStartBody("kv0", 0, kDev, fw.path()), 10s);
        if (!started || started->size() < 4 || (*started)[3] != 1) {
            ++other;
            continue;
        }
        if (i % 3 == 2) {  // stopped halfway
            for (auto s = FwStatusGet(c); s && s->uploaded < s->total / 2 && s->state < 5; s = FwStatusGet(c))
                std::this_thread::sleep_for(1ms);
            c.Request(static_cast<uint8_t>(i), 7, {}, 10s);
        }
        const auto final = FwPollUntilFinal(c, 60s, nullptr, 5ms);
        if (final && final->state == 5)
            ++done;
        else if (final && final->state == 6)
            ++failed;
        else
            ++other;
        if ((i + 1) % 20 == 0) std::fprintf(stderr, "fwloop: %d operations\n", i + 1);
        if (i == 9) {
            rss10 = ProcStatusField(pid, "VmRSS:");
            fd10 = ProcFdCount(pid);
            thr10 = ProcStatusField(pid, "Threads:");
        }
    }
    std::printf("fwloop: 200 upgrades in %.1f s: %ld completed, %ld stopped/failed, %ld other\n",
                Ms(t0) / 1000, done, failed, other);
    std::printf(
        "fwloop: after 10 -> after 200: VmRSS %ld -> %ld KiB, descriptors %ld -> %ld, threads %ld -> %ld\n",
        rss10, ProcStatusField(pid, "VmRSS:"), fd10, ProcFdCount(pid), thr10,
        ProcStatusField(pid, "Threads:"));
}
void Queue() {
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(
        std::string("[device s]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = scp\nsilent = yes\n"));
    topo.StartKivohost();
    BareUdp blocker(topo.host(), kivo::protocol::kDefaultPort);
    BareUdp second(topo.host(), kivo::protocol::kDefaultPort);
    const auto t0 = Clock::now();
    blocker.Send([] {
        Bytes m = {1, 0, 0, 0, 3};
        const Bytes body = ParamRequestBody(kDeviceScp, "kv0", 0, kDev, "pw", GetBlock({"NETWORK.PORT"}));
        m.insert(m.end(), body.begin(), body.end());
        return m;
    }());
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 1000; ++i) second.Send(Bytes{static_cast<uint8_t>(i), 0, 0, 0, 9});
    const auto blocked = blocker.Recv(60s);
    const double ms = Ms(t0);
    int answered = 0;
    while (second.Recv(2s)) ++answered;
    std::printf(
        "queue: blocking Get answered after %.0f ms (code %d); 1000 queued version requests, %d answered\n",
        ms, blocked && blocked->size() >= 4 ? (*blocked)[3] : -1, answered);
}
}  // namespace

int main(int argc, char** argv) {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_faults: needs root (network namespaces)\n");
        return 2;
    }
    auto want = [&](const char* name) {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], name) == 0) return true;
        return false;
    };
    if (want("flood")) Flood();
    if (want("vanish")) Vanish();
    if (want("ifdel")) InterfaceDeleted();
    if (want("fwloop")) FwLoop();
    if (want("queue")) Queue();
    return 0;
}
