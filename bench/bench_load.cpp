// Load figure: mixed requests, a fifth of them malformed, against the real kivohost
// and one simulated LCMP device in namespaces. Prints the wrong answers, whether the
// service is still running, its resident memory from the 1,000th request to the last,
// and its descriptor and thread counts. Needs root. Not a timed test: it prints.
//   bench_load [REQUESTS]        default 100000
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "harness_cfg.h"
#include "kivo_protocol.h"
#include "testbed.h"

using namespace kivotest;

namespace {
const char* kConfig =
    "[device d1]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = lcmp\npassword = pw\n"
    "param = SYSTEM.INFO.UPTIME INT32U 86400\nparam = NETWORK.VLAN.IDS INT16U 1,100,200\n"
    "param = SYSTEM.GENERAL.DEVICE_NAME STRING hall\n";

}  // namespace

int main(int argc, char** argv) {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_load: needs root (network namespaces)\n");
        return 2;
    }
    const long total = argc > 1 ? std::atol(argv[1]) : 100000;
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(kConfig);
    const pid_t pid = topo.StartKivohost().pid();
    UdpClient& c = topo.client();
    const Mac dev = ParseMac("02:00:00:00:10:01");
    const Bytes get = ParamRequestBody(kDeviceLcmp, "kv0", 0, dev, "pw", GetBlock({"SYSTEM.INFO.UPTIME"}));
    std::mt19937 rng(12345);
    long wrong = 0, malformed = 0, rss1000 = 0, fd1000 = 0, thr1000 = 0;
    for (long i = 0; i < total; ++i) {
        const uint8_t seq = static_cast<uint8_t>(i);
        const unsigned kind = rng() % 10;
        std::optional<Bytes> reply;
        bool ok = false;
        if (kind < 2) {  // malformed: four shapes, each with its documented answer
            ++malformed;
            Bytes m(5 + get.size(), 0);  // seq, 0, 0, 0, 3, then the Get's body
            m[0] = seq;
            m[4] = 3;
            std::copy(get.begin(), get.end(), m.begin() + 5);
            switch (rng() % 4) {
                case 0:  // byte 3 not 0: the one-byte answer
                    m[3] = static_cast<uint8_t>(1 + rng() % 255);
                    reply = c.Request(m, std::chrono::seconds(5));
                    ok = reply && reply->size() == 1 && (*reply)[0] == seq;
                    break;
                case 1:  // unassigned code (none of the table's): the one-byte answer
                    do m[4] = static_cast<uint8_t>(10 + rng() % 246);
                    while (kivo::protocol::RequestName(static_cast<kivo::protocol::RequestCode>(m[4])) !=
                           "request");
                    reply = c.Request(m, std::chrono::seconds(5));
                    ok = reply && reply->size() == 1 && (*reply)[0] == seq;
                    break;
                case 2:  // interface name claims more than was sent: REFUSED
                    m.resize(7 + rng() % 4);
                    m[6] = 200;
                    reply = c.Request(m, std::chrono::seconds(5));
                    ok = reply && reply->size() == 4 && (*reply)[3] == 3;
                    break;
                default:  // parameter block cut short: REFUSED
                    m.resize(m.size() - 1 - rng() % 10);
                    reply = c.Request(m, std::chrono::seconds(5));
                    ok = reply && reply->size() == 4 && (*reply)[3] == 3;
                    break;
            }
        } else if (kind < 7) {  // Get of one parameter: PARAMS with its value
            reply = c.Request(seq, 3, get, std::chrono::seconds(20));
            const auto records = reply ? ParamRecords(*reply) : std::nullopt;
            ok = records && records->size() == 1 && (*records)[0].value == "86400";
        } else if (kind < 9) {  // firmware status, nothing running: FW_STATUS
            reply = c.Request(seq, 8, {}, std::chrono::seconds(5));
            ok = reply && reply->size() >= 4 && (*reply)[3] == 8;
        } else {  // version
            reply = c.Request(seq, 9, {}, std::chrono::seconds(5));
            ok = reply && reply->size() >= 4 && (*reply)[3] == 9;
        }
        if (!ok && ++wrong <= 5) {  // the first few, to tell what went wrong
            std::fprintf(stderr, "wrong answer to request %ld (kind %u):", i, kind);
            if (!reply) std::fprintf(stderr, " none");
            for (size_t b = 0; reply && b < reply->size() && b < 48; ++b)
                std::fprintf(stderr, " %02x", (*reply)[b]);
            std::fprintf(stderr, "\n");
        }
        if (i == 999) {
            rss1000 = ProcStatusField(pid, "VmRSS:");
            fd1000 = ProcFdCount(pid);
            thr1000 = ProcStatusField(pid, "Threads:");
        }
        if ((i + 1) % 10000 == 0) std::fprintf(stderr, "%ld requests\n", i + 1);
    }
    const bool running = topo.kivohost()->Running();
    std::printf("requests %ld (malformed %ld)\nwrong answers %ld\nservice running at the end: %s\n", total,
                malformed, wrong, running ? "yes" : "NO");
    std::printf("VmRSS at request 1000: %ld KiB, at the end: %ld KiB (growth %ld KiB)\n", rss1000,
                ProcStatusField(pid, "VmRSS:"), ProcStatusField(pid, "VmRSS:") - rss1000);
    std::printf("descriptors: %ld -> %ld, threads: %ld -> %ld\n", fd1000, ProcFdCount(pid), thr1000,
                ProcStatusField(pid, "Threads:"));
    return running && wrong == 0 ? 0 : 1;
}
