// Why an operation failed: one reason code from a fixed table and a short text with the
// specifics (interface, device, parameter, file, byte offset). The layer that sees the
// failure records it; the service hands the most recent one to front-ends on request.
//
// Reasons are recorded per thread: a request runs on one thread from start to reply, so
// what one request records cannot mix with another's. Within one operation the first
// reason recorded wins: the lowest layer knows most, and the layers above it must not
// replace its words with vaguer ones.
#ifndef KIVO_REASON_H
#define KIVO_REASON_H

#include <cstdint>
#include <string>

#include "kivo_protocol.h"

namespace kivo {

// Codes and names front-ends see, from the protocol header.
using Reason = protocol::Reason;
using protocol::ReasonName;

struct Failure {
    Reason reason = Reason::kNone;
    std::string text;
    bool empty() const { return reason == Reason::kNone; }
};

// Records a failure on this thread unless one is recorded already. printf-style text.
void FailureRecord(Reason reason, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The failure recorded on this thread (none when nothing was recorded).
const Failure& FailurePeek();
// Takes the failure recorded on this thread and clears it.
Failure FailureTake();
void FailureClear();

}  // namespace kivo

#endif
