// A stress run of the real kivohost: several clients at once, each sending random
// parameter requests (Get, Set, GetAll, factory reset) to simulated LCMP devices of
// several kinds (answering, slow, silent, and some names refused) for a bounded time,
// every answer checked against what the device must hold. Shared by the integration
// test (a short run) and the benchmark (a long one). No GoogleTest.
#ifndef KIVO_TESTBED_STRESS_H
#define KIVO_TESTBED_STRESS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "testbed.h"

namespace kivotest {

struct StressOptions {
    int clients = 8;
    int devices = 16;  // device i: i % 4 == 0 silent, 1 slow, 2 answering, 3 factory resets
    std::chrono::milliseconds duration{3000};
    uint32_t seed = 1;
};

struct StressResult {
    long requests = 0;
    long wrong = 0;
    std::vector<std::string> firstWrong;  // at most a few descriptions
    double seconds = 0;
};

// The simulator's configuration for the run's devices on interface eth1.
std::string StressDevsimConfig(const StressOptions& options);

// Runs the clients against the kivohost listening on port in topo's host namespace,
// whose interface kv0 leads to the simulator started with StressDevsimConfig. Returns
// once every client's last request is answered.
StressResult RunStress(Topology& topo, uint16_t port, const StressOptions& options);

}  // namespace kivotest

#endif
