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

namespace kivo {

// Codes front-ends see; never renumber, only append.
enum class Reason : uint16_t {
    kNone = 0,
    kNoInterface = 1,        // no interface of that name
    kInterfaceDown = 2,      // the interface exists but is down
    kNoPermission = 3,       // raw sockets need CAP_NET_RAW
    kNoAnswer = 4,           // the device did not answer in time
    kDeviceRefused = 5,      // the device answered with an error status
    kInvalidValue = 6,       // a value does not fit its parameter's type
    kRequestTooLarge = 7,    // the request does not fit the protocol's limits
    kFileMissing = 8,        // firmware or loader file does not exist
    kFileNotRegular = 9,     // ... is a directory, a device, ...
    kFileUnreadable = 10,    // ... cannot be read (permissions, I/O error)
    kFileTooLarge = 11,      // ... larger than a transfer can carry
    kFileBadMagic = 12,      // ... does not start with the firmware magic word
    kNoFileRequest = 13,     // the device did not ask for the file in time
    kAckMissing = 14,        // acknowledgements stopped during a transfer
    kCancelled = 15,         // stopped on request
    kNotAllowed = 16,        // the requester may not do this
    kIncompleteAnswer = 17,  // parts of the device's answer were lost
    kMalformedRequest = 18,  // the request is not well formed
    kBusy = 19,              // another operation is running
    kNoDevice = 20,          // nothing answered a discovery
    kInternal = 21,          // out of memory, no thread, ...
};

// The table's name of a code ("no answer"); "unknown" for a code outside the table.
const char* ReasonName(Reason reason);

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
