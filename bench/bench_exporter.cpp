// The cost of one kivo-exporter scrape: 5 simulated LCMP devices with 20 parameters each,
// the real kivohost and kivo-exporter in a test namespace. Prints the scrape's duration
// and the share of it spent waiting for kivohost (the exporter's own
// kivo_scrape_duration_seconds and kivo_scrape_service_seconds), median of 20 scrapes
// after 3 to warm up. Needs root (network namespaces).
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "testbed.h"

using namespace kivotest;

namespace {

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
        sim += "[device d" + std::to_string(i) + "]\nmac = " + mac +
               "\ninterface = eth1\nrole = lcmp\npassword = pw\nquiet = yes\n";
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
        std::string page;
        {
            NsGuard in(topo.host());
            httplib::Client cli("127.0.0.1", 9551);
            cli.set_read_timeout(30s);
            auto res = cli.Get("/metrics");
            if (!res || res->status != 200) {
                std::fprintf(stderr, "scrape %d failed\n", run);
                return 1;
            }
            page = res->body;
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
    return 0;
}
