// The cost of one kivo-exporter scrape: 5 simulated LCMP devices with 20 parameters each,
// the real kivohost and kivo-exporter in a test namespace. Prints the scrape's duration
// and the share of it spent waiting for kivohost (the exporter's own
// kivo_scrape_duration_seconds and kivo_scrape_service_seconds), median of 20 scrapes
// after 3 to warm up. Then one device goes silent and pages are taken with Prometheus' 2 s
// scrape timeout: how many of the live devices each page read, and how many pages claimed
// the service or a live device down (none should). Needs root (network namespaces).
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "testbed.h"

using namespace kivotest;

namespace {

std::string Page(const Netns& ns, const httplib::Headers& headers = {}) {
    NsGuard in(ns);
    httplib::Client cli("127.0.0.1", 9551);
    cli.set_read_timeout(30s);
    auto res = cli.Get("/metrics", headers);
    return res && res->status == 200 ? res->body : std::string();
}

double Value(const std::string& page, const std::string& name) {
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + " ", 0) == 0) return std::stod(line.substr(name.size() + 1));
    return -1;
}

}  // namespace

int main() {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_exporter: needs root (network namespaces)\n");
        return 1;
    }
    Topology topo;
    topo.Link("eth1", "eth1");
    TempFile password("pw\n");
    std::string sim, params, targets;
    for (int p = 0; p < 20; ++p)
        params += "      - {name: STATS.COUNTER_" + std::to_string(p) + ", metric: kivo_counter_" +
                  std::to_string(p) + "_total, help: A counter., type: counter}\n";
    for (int i = 1; i <= 5; ++i) {
        const std::string mac = "02:00:00:00:01:0" + std::to_string(i);
        sim += LcmpDeviceSection("d" + std::to_string(i), SeriesMac(0x01, i));
        for (int p = 0; p < 20; ++p)
            sim += "param = STATS.COUNTER_" + std::to_string(p) + " INT32U " + std::to_string(1000 * i + p) +
                   "\n";
        targets += "  - {interface: eth1, mac: \"" + mac + "\", password_file: " + password.path() +
                   ", module: m}\n";
    }
    topo.StartDevsim(sim);
    topo.StartKivohost();
    TempFile config("discovery:\n  interval: 0s\nmodules:\n  m:\n    parameters:\n" + params + "targets:\n" +
                    targets);
    Process exporter(&topo.host(), {KIVO_EXPORTER_BIN, "--config.file", config.path()});
    if (!exporter.WaitForLog("listening on", 15s)) {
        std::fprintf(stderr, "kivo-exporter did not start:\n%s\n", exporter.Log().c_str());
        return 1;
    }
    std::vector<double> durations, shares;
    for (int run = 0; run < 23; ++run) {
        const std::string page = Page(topo.host());
        if (page.empty()) {
            std::fprintf(stderr, "scrape %d failed\n", run);
            return 1;
        }
        int samples = 0;
        std::istringstream lines(page);
        for (std::string line; std::getline(lines, line);) samples += line.rfind("kivo_counter_", 0) == 0;
        if (samples != 100) {
            std::fprintf(stderr, "scrape %d: %d of 100 parameter samples\n%s", run, samples, page.c_str());
            return 1;
        }
        const double duration = Value(page, "kivo_scrape_duration_seconds");
        const double service = Value(page, "kivo_scrape_service_seconds");
        if (run < 3) continue;
        durations.push_back(duration * 1000);
        shares.push_back(100 * service / duration);
    }
    std::sort(durations.begin(), durations.end());
    std::sort(shares.begin(), shares.end());
    std::printf(
        "5 devices x 20 parameters, 20 scrapes: duration median %.1f ms (min %.1f, max %.1f); "
        "share in the service median %.1f%% (min %.1f%%, max %.1f%%)\n",
        durations[10], durations.front(), durations.back(), shares[10], shares.front(), shares.back());

    // Device 5 goes silent (its read costs kivohost about 9 s); pages with a 2 s timeout.
    if (!topo.devsim()->SendLine("d5 set silent yes") ||
        !topo.devsim()->WaitForLog("command \"d5 set silent yes\" done", 10s)) {
        std::fprintf(stderr, "the simulator did not take the command\n");
        return 1;
    }
    std::vector<double> live, cutDurations;
    int upZero = 0, liveDown = 0, cut = 0;
    for (int run = 0; run < 20; ++run) {
        const auto page = Page(topo.host(), {{"X-Prometheus-Scrape-Timeout-Seconds", "2"}});
        if (page.empty()) {
            std::fprintf(stderr, "page %d failed\n", run);
            return 1;
        }
        int read = 0;
        for (int i = 1; i <= 4; ++i) {
            const auto up = Value(
                page, "kivo_device_up{mac=\"02:00:00:00:01:0" + std::to_string(i) + "\",interface=\"eth1\"}");
            read += up == 1;
            liveDown += up == 0;
        }
        live.push_back(read);
        upZero += Value(page, "kivo_up") == 0;
        cut += Value(page, "kivo_scrape_deadline_exceeded") == 1;
        cutDurations.push_back(Value(page, "kivo_scrape_duration_seconds") * 1000);
    }
    std::sort(live.begin(), live.end());
    std::sort(cutDurations.begin(), cutDurations.end());
    std::printf(
        "1 of 5 devices silent, 2 s scrape timeout, 20 pages back to back: live devices read per page median "
        "%.0f "
        "of 4 (min %.0f, max %.0f); pages out of time %d; pages with kivo_up 0: %d; live devices reported "
        "down: "
        "%d; duration median %.0f ms (max %.0f)\n",
        live[10], live.front(), live.back(), cut, upZero, liveDown, cutDurations[10], cutDurations.back());
    return 0;
}
