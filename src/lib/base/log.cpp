#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace kivo {

namespace {
std::mutex sinkMutex;
std::shared_ptr<LogSink> sink;  // guarded by sinkMutex
}  // namespace

void Log(LogStream stream, const char* format, ...) {
    std::shared_ptr<LogSink> s;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        s = sink;
    }
    va_list args;
    va_start(args, format);
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
        va_end(args);
        return;
    }
    FILE* f = stream == LogStream::kOut ? stdout : stderr;
    std::vfprintf(f, format, args);
    va_end(args);
    std::fflush(f);
}

void LogSinkSet(LogSink newSink) {
    std::shared_ptr<LogSink> s = newSink ? std::make_shared<LogSink>(std::move(newSink)) : nullptr;
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = std::move(s);
}

}  // namespace kivo
