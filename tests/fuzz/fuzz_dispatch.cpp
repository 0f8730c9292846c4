// Request decoding of every request code, through the service's own dispatch. Every
// port open fails (fail point "l2.port_open"), so the handlers run their whole
// decoding and error paths while no frame can reach a link whatever interface a
// datagram names; this needs no fake of the library and keeps the real handlers.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "failpoint.h"
#include "kivohost.h"
#include "l2fwserver.h"
#include "log.h"
#include "service_internal.h"

namespace {
// The request loop's buffer: the whole of it is handed to the handlers.
INT8U message[KIVO_MESSAGE_SIZE];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::FailPointArm("l2.port_open", UINT_MAX);
    kivo::LogSinkSet([](kivo::LogStream, std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The loop reads at most the buffer and never hands an empty datagram on.
    if (size == 0 || size > KIVO_MESSAGE_SIZE) return 0;
    std::memset(message, 0, sizeof(message));
    std::memcpy(message, data, size);
    // Keeps the fail point armed for ever: each hit uses up one count.
    kivo::FailPointArm("l2.port_open", UINT_MAX);
    const INT32S replyLength = ServerDispatch(static_cast<INT32S>(size), message);
    // A reply is never longer than the buffer it is written into.
    if (replyLength < 0 || replyLength > KIVO_MESSAGE_SIZE) __builtin_trap();
    // A transfer started by this input ends (its port cannot open) before the next.
    kivo::service::Firmware().transfers.Stop();
    kivo::service::Firmware().transfers.Wait();
    return 0;
}
