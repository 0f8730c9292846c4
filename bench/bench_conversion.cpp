// Rendering and parsing of a GetAll-like mix of 1000 parameter values, on the LCMP
// path and the legacy SCP path. The "ns_per_value" counter is the figure to watch.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "conversion.h"
#include "conversion_legacy.h"

namespace {

struct Value {
    t_paramType type;
    std::vector<INT8U> le;  // LCMP encoding
    std::vector<INT8U> be;  // SCP encoding
    std::string text;
};

std::vector<INT8U> encode(const std::vector<uint64_t>& elems, size_t size, bool bigEndian) {
    std::vector<INT8U> out;
    for (uint64_t v : elems)
        for (size_t i = 0; i < size; ++i)
            out.push_back(static_cast<INT8U>(v >> (8 * (bigEndian ? size - 1 - i : i))));
    return out;
}

// A mix shaped like a device's parameter set: mostly numbers, flags and short strings,
// some addresses, names and product data.
const std::vector<Value>& mix() {
    static const std::vector<Value> values = [] {
        std::mt19937 rng(1);
        std::vector<Value> v;
        auto add = [&](t_paramType t, std::vector<uint64_t> elems, size_t size) {
            v.push_back({t, encode(elems, size, false), encode(elems, size, true), {}});
        };
        for (int i = 0; i < 1000; ++i) {
            const unsigned pick = rng() % 100;
            if (pick < 25) {
                add(PARAM_TYPE_INT32U, {rng() % 100000}, 4);
            } else if (pick < 33) {
                add(PARAM_TYPE_INT8U, {rng() % 256, rng() % 256}, 1);
            } else if (pick < 43) {
                add(PARAM_TYPE_BOOL, {rng() % 2}, 1);
            } else if (pick < 48) {
                add(PARAM_TYPE_INT16U, {rng() % 65536}, 2);
            } else if (pick < 52) {
                add(PARAM_TYPE_INT32S, {static_cast<uint64_t>(-static_cast<int64_t>(rng() % 1000))}, 4);
            } else if (pick < 67) {
                std::string s = "param-value-" + std::to_string(rng());
                v.push_back({PARAM_TYPE_STRING, {s.begin(), s.end()}, {s.begin(), s.end()}, {}});
            } else if (pick < 75) {
                std::vector<INT8U> mac(6);
                for (auto& b : mac) b = static_cast<INT8U>(rng() | 1);
                v.push_back({PARAM_TYPE_MAC_ADDR, mac, mac, {}});
            } else if (pick < 80) {
                std::vector<INT8U> ip = {192, 168, static_cast<INT8U>(rng()), static_cast<INT8U>(rng())};
                v.push_back({PARAM_TYPE_IP_ADDR, ip, ip, {}});
            } else if (pick < 82) {
                std::vector<INT8U> ip6(16);
                for (auto& b : ip6) b = static_cast<INT8U>(rng());
                v.push_back({PARAM_TYPE_IPV6_ADDR, ip6, ip6, {}});
            } else if (pick < 92) {
                const t_paramType enums[] = {PARAM_TYPE_FLUP_SRC,           PARAM_TYPE_ETHIFDRIVER_SPEED,
                                             PARAM_TYPE_ETHIFDRIVER_DUPLEX, PARAM_TYPE_UART_SPEED,
                                             PARAM_TYPE_FEC_RATE,           PARAM_TYPE_VLAN_PORT_CONFIG};
                add(enums[rng() % 6], {1 + rng() % 2}, 4);
            } else if (pick < 94) {
                add(PARAM_TYPE_HW_PROD, {0x00050310}, 4);
            } else if (pick < 96) {
                add(PARAM_TYPE_HW_REVISION, {0x00020001}, 4);
            } else {
                add(PARAM_TYPE_TIME, {5, 4, 3, 2, 0, 124, 2, 0, 0}, 4);
            }
        }
        std::vector<CHAR> text(CONVERSION_TEXT_AREA_SIZE);
        for (Value& x : v) {
            ConversionValueToString(x.type, static_cast<INT32U>(x.le.size()), x.le.data(), text.data(),
                                    CONVERSION_TEXT_AREA_SIZE, nullptr, TRUE);
            x.text = text.data();
        }
        return v;
    }();
    return values;
}

void report(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000);
    state.counters["ns_per_value"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 1000,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RenderLcmp(benchmark::State& state) {
    const auto& values = mix();
    std::vector<CHAR> area(CONVERSION_TEXT_AREA_SIZE);
    INT32U nElem = 0;
    for (auto _ : state)
        for (const Value& v : values) {
            ConversionValueToString(v.type, static_cast<INT32U>(v.le.size()), v.le.data(), area.data(),
                                    CONVERSION_TEXT_AREA_SIZE, &nElem, TRUE);
            benchmark::DoNotOptimize(area.data());
        }
    report(state);
}

// The same with the whole text area cleared before every value, as a caller that
// relies on the zero fill would do; the renderer terminates its text, so this is
// avoidable cost.
void BM_RenderLcmpClearedArea(benchmark::State& state) {
    const auto& values = mix();
    std::vector<CHAR> area(CONVERSION_TEXT_AREA_SIZE);
    INT32U nElem = 0;
    for (auto _ : state)
        for (const Value& v : values) {
            std::fill(area.begin(), area.end(), 0);
            ConversionValueToString(v.type, static_cast<INT32U>(v.le.size()), v.le.data(), area.data(),
                                    CONVERSION_TEXT_AREA_SIZE, &nElem, TRUE);
            benchmark::DoNotOptimize(area.data());
        }
    report(state);
}

void BM_ParseLcmp(benchmark::State& state) {
    const auto& values = mix();
    std::vector<INT8U> out(CONVERSION_VALUE_AREA_SIZE);
    INT32U len = 0;
    for (auto _ : state)
        for (const Value& v : values) {
            benchmark::DoNotOptimize(ConversionStringToValue(v.type, v.text.c_str(), out.data(),
                                                             CONVERSION_VALUE_AREA_SIZE, &len));
        }
    report(state);
}

void BM_RenderLegacy(benchmark::State& state) {
    const auto& values = mix();
    std::vector<INT8U> area(LEGACY_TEXT_AREA_SIZE);
    for (auto _ : state)
        for (const Value& v : values) {
            INT32U len = static_cast<INT32U>(v.be.size() + 2);
            valueToString(static_cast<INT8U>(v.type), v.be.data(), &len, area.data(), LEGACY_TEXT_AREA_SIZE);
            benchmark::DoNotOptimize(len);
        }
    report(state);
}

void BM_ParseLegacy(benchmark::State& state) {
    const auto& values = mix();
    std::vector<INT8U> out(LEGACY_VALUE_AREA_SIZE);
    INT32U len = 0;
    for (auto _ : state)
        for (const Value& v : values) {
            benchmark::DoNotOptimize(stringToValue(static_cast<INT8U>(v.type),
                                                   reinterpret_cast<const INT8U*>(v.text.c_str()), &len,
                                                   out.data(), LEGACY_VALUE_AREA_SIZE));
        }
    report(state);
}

}  // namespace

BENCHMARK(BM_RenderLcmp);
BENCHMARK(BM_RenderLcmpClearedArea);
BENCHMARK(BM_ParseLcmp);
BENCHMARK(BM_RenderLegacy);
BENCHMARK(BM_ParseLegacy);
BENCHMARK_MAIN();
