#include "reason.h"

#include <cstdarg>
#include <cstdio>

namespace kivo {

namespace {
thread_local Failure current;
}  // namespace

const char* ReasonName(Reason reason) {
    switch (reason) {
        case Reason::kNone:
            return "none";
        case Reason::kNoInterface:
            return "no such interface";
        case Reason::kInterfaceDown:
            return "interface down";
        case Reason::kNoPermission:
            return "no permission";
        case Reason::kNoAnswer:
            return "no answer";
        case Reason::kDeviceRefused:
            return "device refused";
        case Reason::kInvalidValue:
            return "value not valid";
        case Reason::kRequestTooLarge:
            return "request too large";
        case Reason::kFileMissing:
            return "file missing";
        case Reason::kFileNotRegular:
            return "not a regular file";
        case Reason::kFileUnreadable:
            return "file unreadable";
        case Reason::kFileTooLarge:
            return "file too large";
        case Reason::kFileBadMagic:
            return "bad magic word";
        case Reason::kNoFileRequest:
            return "no file request";
        case Reason::kAckMissing:
            return "acknowledgement missing";
        case Reason::kCancelled:
            return "cancelled";
        case Reason::kNotAllowed:
            return "not allowed";
        case Reason::kIncompleteAnswer:
            return "incomplete answer";
        case Reason::kMalformedRequest:
            return "malformed request";
        case Reason::kBusy:
            return "busy";
        case Reason::kNoDevice:
            return "no device";
        case Reason::kInternal:
            return "internal error";
    }
    return "unknown";
}

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
