#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "clock.h"

namespace kivo {

namespace {
std::mutex sinkMutex;
std::shared_ptr<LogSink> sink;  // guarded by sinkMutex
}  // namespace

namespace {
// Writes one formatted line to the sink when one is set, else to the stream.
void LogV(LogStream stream, const char* format, va_list args) {
    std::shared_ptr<LogSink> s;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        s = sink;
    }
    if (s) {
        char small[512];
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(small, sizeof(small), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < sizeof(small)) {
            (*s)(stream, std::string_view(small, static_cast<size_t>(n)));
        } else if (n >= 0) {
            std::string big(static_cast<size_t>(n) + 1, '\0');
            std::vsnprintf(big.data(), big.size(), format, args);
            big.resize(static_cast<size_t>(n));
            (*s)(stream, big);
        }
        return;
    }
    FILE* f = stream == LogStream::kOut ? stdout : stderr;
    std::vfprintf(f, format, args);
    std::fflush(f);
}
}  // namespace

void Log(LogStream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(stream, format, args);
    va_end(args);
}

namespace {
struct LimitState {
    uint64_t windowStart = 0;
    unsigned written = 0;  // in the current window
    uint64_t leftOut = 0;  // since the last line written
};
std::mutex limitMutex;
// Keys are fixed texts of the code, so the map stays small.
std::unordered_map<std::string, LimitState> limits;  // guarded by limitMutex
}  // namespace

bool LogLimitPass(std::string_view key, uint64_t nowMs, uint64_t& leftOut) {
    std::lock_guard<std::mutex> lock(limitMutex);
    auto [it, created] = limits.try_emplace(std::string(key));
    LimitState& st = it->second;
    if (created || nowMs - st.windowStart >= kLogLimitWindowMs) {
        st.windowStart = nowMs;
        st.written = 0;
    }
    if (st.written >= kLogLimitBurst) {
        ++st.leftOut;
        leftOut = 0;
        return false;
    }
    ++st.written;
    leftOut = st.leftOut;
    st.leftOut = 0;
    return true;
}

void LogLimited(std::string_view key, LogStream stream, const char* format, ...) {
    uint64_t leftOut = 0;
    const uint64_t nowMs = static_cast<uint64_t>(
        std::chrono::duration_cast<Milliseconds>(SteadyClock::now().time_since_epoch()).count());
    if (!LogLimitPass(key, nowMs, leftOut)) return;
    if (leftOut > 0)
        Log(stream, "(%llu more lines \"%.*s\" left out)\n", static_cast<unsigned long long>(leftOut),
            static_cast<int>(key.size()), key.data());
    va_list args;
    va_start(args, format);
    LogV(stream, format, args);
    va_end(args);
}

void LogSinkSet(LogSink newSink) {
    std::shared_ptr<LogSink> s = newSink ? std::make_shared<LogSink>(std::move(newSink)) : nullptr;
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = std::move(s);
}

}  // namespace kivo
