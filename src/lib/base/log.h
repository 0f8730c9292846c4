// The one logging function. Every line the service and the library print goes through
// Log, to the stream it has always gone to (some texts go to standard output, others to
// standard error; front-end scripts read both). Tests can divert the lines to a sink
// instead of capturing a process's streams.
#ifndef KIVO_LOG_H
#define KIVO_LOG_H

#include <cstdint>
#include <functional>
#include <string_view>

namespace kivo {

enum class LogStream { kOut, kErr };

// printf-style; the text is written as given (callers add the newline) and the stream
// is flushed, so that lines from several threads and processes keep their order in a
// shared log file.
void Log(LogStream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// For lines that anyone on a network segment can cause once per frame (a warning
// about a frame that is not for us): per key, the first kLogLimitBurst lines of
// each kLogLimitWindowMs window are written as Log would write them; the others are
// counted, and the first line written for the key after its window ends is preceded
// by one line with that count, on the same stream. A flood then costs a few lines a
// second instead of one per frame. Keys are short fixed texts naming the message.
inline constexpr unsigned kLogLimitBurst = 5;
inline constexpr uint64_t kLogLimitWindowMs = 1000;
void LogLimited(std::string_view key, LogStream stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The decision behind LogLimited at time nowMs (a steady clock in milliseconds): true
// when the line may be written; leftOut receives the number of lines of the key left
// out before it, to be reported first (0 when none).
bool LogLimitPass(std::string_view key, uint64_t nowMs, uint64_t& leftOut);

// Tests: while a sink is set, lines go to it instead of the streams. Null restores the
// streams. The sink may be called from any thread.
using LogSink = std::function<void(LogStream, std::string_view)>;
void LogSinkSet(LogSink sink);

}  // namespace kivo

#endif
