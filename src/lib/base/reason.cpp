#include "reason.h"

#include <cstdarg>
#include <cstdio>

namespace kivo {

namespace {
thread_local Failure current;
}  // namespace

void FailureRecord(Reason reason, const char* format, ...) {
    if (!current.empty() || reason == Reason::kNone) return;
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    current.reason = reason;
    current.text.assign(
        text,
        n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1));
}

const Failure& FailurePeek() {
    return current;
}

Failure FailureTake() {
    Failure f = std::move(current);
    current = Failure{};
    return f;
}

void FailureClear() {
    current = Failure{};
}

}  // namespace kivo
