// Counters and gauges of simulated devices (see live_values.h).
#include "live_values.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>

namespace devsim {
namespace {

// Every device's counters run from the same moment, so two reads a second apart
// differ by RATE whatever the device.
const Clock::time_point kStart = Clock::now();

// Width in bytes and signedness of the integer types a live value may have; 0 for
// the others (addresses, text, enumerations: nothing a plot could show).
int IntWidth(int type, bool& isSigned) {
    isSigned = type == 1 || type == 3 || type == 5;  // INT8S, INT16S, INT32S
    switch (type) {
        case 1:
        case 2:
            return 1;
        case 3:
        case 4:
            return 2;
        case 5:
        case 6:
            return 4;
        case 31:  // INT64U
            return 8;
        default:
            return 0;
    }
}

uint64_t GetUint(const Bytes& b, ByteOrder order) {
    uint64_t v = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        const size_t at = order == ByteOrder::Big ? i : b.size() - 1 - i;
        v = (v << 8) | b[at];
    }
    return v;
}

Bytes PutUint(uint64_t v, size_t width, ByteOrder order) {
    Bytes out(width);
    for (size_t i = 0; i < width; ++i) {
        const size_t shift = 8 * (order == ByteOrder::Big ? width - 1 - i : i);
        out[i] = static_cast<uint8_t>(v >> shift);
    }
    return out;
}

// The numbers after NAME on the last line of key that names the parameter.
bool LineFor(const Device& d, const std::string& key, const std::string& name, double& a, double& b) {
    bool found = false;
    for (const std::string& line : d.optAll(key)) {
        const std::vector<std::string> words = SplitWords(line);
        if (words.size() < 2 || words[0] != name) continue;
        a = std::strtod(words[1].c_str(), nullptr);
        b = words.size() > 2 ? std::strtod(words[2].c_str(), nullptr) : 0;
        found = true;
    }
    return found;
}

}  // namespace

Bytes LiveValue(const Device& d, const std::string& name, int type, const Bytes& stored, ByteOrder order) {
    bool isSigned = false;
    const int width = IntWidth(type, isSigned);
    if (width == 0 || stored.size() != static_cast<size_t>(width)) return stored;
    double rate = 0;
    double amplitude = 0;
    double period = 0;
    const bool counter = LineFor(d, "counter", name, rate, period);
    const bool gauge = !counter && LineFor(d, "gauge", name, amplitude, period);
    if (!counter && !gauge) return stored;

    const double seconds = std::chrono::duration<double>(Clock::now() - kStart).count();
    uint64_t base = GetUint(stored, order);
    if (isSigned && width < 8 && (base >> (8 * width - 1)) != 0) base |= ~uint64_t{0} << (8 * width);
    int64_t delta = 0;
    if (counter) {
        delta = static_cast<int64_t>(std::floor(rate * seconds));
    } else if (period > 0) {
        delta =
            static_cast<int64_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * seconds / period)));
    }
    uint64_t now = base + static_cast<uint64_t>(delta);
    // A gauge of an unsigned type stops at 0 rather than jumping to the top of its range;
    // a counter wraps at the type's width like a real one (two's complement arithmetic).
    if (gauge && !isSigned && delta < 0 && static_cast<uint64_t>(-delta) > base) now = 0;
    return PutUint(now, static_cast<size_t>(width), order);
}

}  // namespace devsim
