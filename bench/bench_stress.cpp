// The long stress run: 8 clients x 16 simulated LCMP devices (silent, slow, answering,
// factory resets), random Get/Set/GetAll/reset for a bounded time against the real
// kivohost, every answer checked. Needs root. Prints; exit status 1 on a wrong answer.
//   bench_stress [SECONDS [SEED]]     default 60 s, seed 1
#include <cstdio>
#include <cstdlib>

#include "stress.h"
#include "testbed.h"

using namespace kivotest;

int main(int argc, char** argv) {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_stress: needs root (network namespaces)\n");
        return 2;
    }
    StressOptions options;
    options.duration = std::chrono::seconds(argc > 1 ? std::atoi(argv[1]) : 60);
    options.seed = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 1;
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(StressDevsimConfig(options));
    Process& host = topo.StartKivohost(40350);
    const StressResult r = RunStress(topo, 40350, options);
    std::printf("%d clients x %d devices, %.1f s: %ld requests (%.0f/s), %ld wrong answers, kivohost %s\n",
                options.clients, options.devices, r.seconds, r.requests,
                static_cast<double>(r.requests) / r.seconds, r.wrong, host.Running() ? "running" : "gone");
    for (const std::string& w : r.firstWrong) std::printf("  %s\n", w.c_str());
    return r.wrong == 0 && host.Running() ? 0 : 1;
}
