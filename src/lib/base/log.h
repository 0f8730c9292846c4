// The one logging function. Every line the service and the library print goes through
// Log, to the stream it has always gone to (some texts go to standard output, others to
// standard error; front-end scripts read both). Tests can divert the lines to a sink
// instead of capturing a process's streams.
#ifndef KIVO_LOG_H
#define KIVO_LOG_H

#include <functional>
#include <string_view>

namespace kivo {

enum class LogStream { kOut, kErr };

// printf-style; the text is written as given (callers add the newline) and the stream
// is flushed, so that lines from several threads and processes keep their order in a
// shared log file.
void Log(LogStream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Tests: while a sink is set, lines go to it instead of the streams. Null restores the
// streams. The sink may be called from any thread.
using LogSink = std::function<void(LogStream, std::string_view)>;
void LogSinkSet(LogSink sink);

}  // namespace kivo

#endif
