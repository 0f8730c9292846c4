#include "status.h"

#include <cstdarg>
#include <cstdio>
#include <ostream>

namespace kivo {

namespace {

std::string Format(const char* format, va_list args) {
    char text[512];
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    if (n < 0) return std::string();
    return std::string(text,
                       static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1);
}

}  // namespace

Status& Status::Explain(Reason why, const char* format, ...) {
    if (explained() || why == Reason::kNone) return *this;
    va_list args;
    va_start(args, format);
    text = Format(format, args);
    va_end(args);
    reason = why;
    return *this;
}

Status& Status::Explain(const Status& later) {
    if (!explained() && later.explained()) {
        reason = later.reason;
        text = later.text;
    }
    return *this;
}

Status& Status::Follows(const Status& earlier) {
    if (earlier.explained()) {
        reason = earlier.reason;
        text = earlier.text;
    }
    return *this;
}

Status Because(Reason why, const char* format, ...) {
    Status s;
    if (why == Reason::kNone) return s;
    va_list args;
    va_start(args, format);
    s.text = Format(format, args);
    va_end(args);
    s.reason = why;
    return s;
}

std::ostream& operator<<(std::ostream& out, const Status& status) {
    out << "code " << status.code;
    if (status.explained()) out << " (" << ReasonName(status.reason) << ": " << status.text << ")";
    return out;
}

}  // namespace kivo
