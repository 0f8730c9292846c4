// The stress run: each client owns one parameter on every device (SYSTEM.C<client>), so it
// always knows what the device must answer for it, whatever the other clients do.
#include "stress.h"

#include <mutex>
#include <random>
#include <thread>

#include "harness_cfg.h"

namespace kivotest {

namespace {

constexpr uint8_t kTypeInt32u = 6;
constexpr uint8_t kTypeSetOk = 254;
constexpr uint8_t kTypeError = 255;

Mac StressMac(int i) {
    return SeriesMac(0x30, i);
}

std::string Own(int client) {
    return "SYSTEM.C" + std::to_string(client);
}

// Bytes of a reply with the code alone.
Bytes Code(uint8_t seq, uint8_t code) {
    return Bytes{seq, 1, 0, code};
}

const ParamRecord* Find(const std::vector<ParamRecord>& records, const std::string& name) {
    for (const ParamRecord& r : records)
        if (r.name == name) return &r;
    return nullptr;
}

}  // namespace

std::string StressDevsimConfig(const StressOptions& options) {
    std::string c;
    for (int i = 0; i < options.devices; ++i) {
        c += LcmpDeviceSection("s" + std::to_string(i), StressMac(i));
        if (i % 4 == 0) c += "silent = yes\n";
        if (i % 4 == 1) c += "delay_ms = 20\n";
        for (int k = 0; k < options.clients; ++k) c += "param = " + Own(k) + " INT32U 0\n";
        c += "param = SYSTEM.FIXED STRING fixed" + std::to_string(i) + "\n";
    }
    return c;
}

StressResult RunStress(Topology& topo, uint16_t port, const StressOptions& options) {
    StressResult result;
    std::mutex mutex;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + options.duration;
    auto client = [&](int k) {
        UdpClient c(topo.host(), port);
        std::mt19937 rng(options.seed * 7919u + static_cast<uint32_t>(k));
        std::vector<uint32_t> expected(static_cast<size_t>(options.devices), 0);
        long requests = 0;
        std::vector<std::string> wrong;
        uint8_t seq = 0;
        while (std::chrono::steady_clock::now() < end) {
            const int d = static_cast<int>(rng() % static_cast<uint32_t>(options.devices));
            const Mac mac = StressMac(d);
            const int kind = d % 4;
            const unsigned op = rng() % 5;
            ++seq;
            ++requests;
            std::string what;
            std::optional<Bytes> reply;
            bool ok = false;
            if (kind == 3 && op == 0) {
                what = "factory reset";
                reply = c.Request(seq, 5, ParamRequestBody(kDeviceLcmp, "kv0", 0, mac, "pw"), 60s);
                ok = reply == Code(seq, 1);
            } else if (kind == 3 || op == 1) {
                what = "get all";
                reply = c.Request(seq, 2, ParamRequestBody(kDeviceLcmp, "kv0", 0, mac, "pw"), 60s);
                if (kind == 0) {
                    ok = reply == Code(seq, 4);
                } else if (auto records = reply ? ParamRecords(*reply) : std::nullopt) {
                    const ParamRecord* fixed = Find(*records, "SYSTEM.FIXED");
                    const ParamRecord* own = Find(*records, Own(k));
                    ok = records->size() == static_cast<size_t>(options.clients) + 1 && fixed != nullptr &&
                         fixed->value == "fixed" + std::to_string(d) && own != nullptr &&
                         (kind == 3 || own->value == std::to_string(expected[static_cast<size_t>(d)]));
                }
            } else if (op == 2) {
                const uint32_t value = rng() % 1000000;
                what = "set " + std::to_string(value);
                reply = c.Request(seq, 4,
                                  ParamRequestBody(kDeviceLcmp, "kv0", 0, mac, "pw",
                                                   SetBlock({{Own(k), std::to_string(value)}})),
                                  60s);
                if (kind == 0) {
                    ok = reply == Code(seq, 4);
                } else if (auto records = reply ? ParamRecords(*reply) : std::nullopt) {
                    ok = records->size() == 1 && records->at(0).name == Own(k) &&
                         records->at(0).type == kTypeSetOk;
                    if (ok) expected[static_cast<size_t>(d)] = value;
                }
            } else if (op == 3) {
                what = "get of a name the device refuses";
                reply = c.Request(
                    seq, 3, ParamRequestBody(kDeviceLcmp, "kv0", 0, mac, "pw", GetBlock({"SYSTEM.NOPE"})),
                    60s);
                if (kind == 0) {
                    ok = reply == Code(seq, 4);
                } else if (auto records = reply ? ParamRecords(*reply) : std::nullopt) {
                    ok = records->size() == 1 && records->at(0).name == "SYSTEM.NOPE" &&
                         records->at(0).type == kTypeError;
                }
            } else {
                what = "get";
                reply = c.Request(
                    seq, 3, ParamRequestBody(kDeviceLcmp, "kv0", 0, mac, "pw", GetBlock({Own(k)})), 60s);
                if (kind == 0) {
                    ok = reply == Code(seq, 4);
                } else if (auto records = reply ? ParamRecords(*reply) : std::nullopt) {
                    ok = records->size() == 1 && records->at(0).name == Own(k) &&
                         records->at(0).type == kTypeInt32u &&
                         records->at(0).value == std::to_string(expected[static_cast<size_t>(d)]);
                }
            }
            if (!ok && wrong.size() < 5)
                wrong.push_back("client " + std::to_string(k) + ", device " + std::to_string(d) + ": " +
                                what +
                                (reply ? ": unexpected reply of " + std::to_string(reply->size()) + " bytes"
                                       : ": no reply (" + c.lastError + ")"));
            if (!ok) {
                const std::lock_guard<std::mutex> lock(mutex);
                ++result.wrong;
            }
        }
        const std::lock_guard<std::mutex> lock(mutex);
        result.requests += requests;
        for (auto& w : wrong)
            if (result.firstWrong.size() < 10) result.firstWrong.push_back(std::move(w));
    };
    std::vector<std::thread> threads;
    for (int k = 0; k < options.clients; ++k) threads.emplace_back(client, k);
    for (auto& t : threads) t.join();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

}  // namespace kivotest
