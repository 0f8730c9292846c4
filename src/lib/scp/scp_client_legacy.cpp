// Legacy SCP client sessions: one operation is one or two complete attempts (SHA-256
// key material, then the legacy hash), each over a link-layer port of its own with an
// operation number of its own.
#include "scp_client_legacy.h"

#include <array>
#include <random>
#include <string>

#include "log.h"
#include "scp_client_legacy_internal.h"

namespace kivo::scp {
namespace {

// Draws an operation number from the system's entropy source: the numbers a spoofer
// would have to guess differ from run to run, and sessions running at once share no
// generator.
uint8_t DrawOpNumber() {
    std::random_device source;
    return static_cast<uint8_t>(source() & 0xFF);
}

bool Enciphered(t_scpOp op) {
    return op == SCP_OP_SET || op == SCP_OP_SETP || op == SCP_OP_GETP || op == SCP_OP_FACTORY_RESET;
}

}  // namespace

Answer Session::Attempt(t_scpOp op, std::string_view password, bool legacyHash,
                        std::span<const uint8_t> data) const {
    Answer answer;
    l2::Port port;
    answer.result = PortResult(port.Open(interfaceName_.c_str()), PortStep::kOpen, interfaceName_);
    if (answer.result == SCP_ERROR_SOCKET_NOT_OPENED) Log(LogStream::kOut, "socket not opened\n");
    if (answer.result != SCP_ERROR_NONE) return answer;

    Exchange exchange(port, deviceMac_.data(), settings_, DrawOpNumber());
    // The key is made from the password as far as its first zero byte.
    const std::string passwordText(password);
    std::array<uint8_t, kKeySize> key{};
    const auto* bytes = data.empty() ? nullptr : data.data();
    const auto length = static_cast<uint32_t>(data.size());
    switch (op) {
        case SCP_OP_SET:
        case SCP_OP_SETP:
            KeyMake(reinterpret_cast<const uint8_t*>(passwordText.c_str()), key.data(), legacyHash);
            answer.result = exchange.Set(op, bytes, length, key.data(), answer.info);
            break;
        case SCP_OP_GET:
            answer.result = exchange.Get(bytes, length, false, key.data(), answer.info);
            break;
        case SCP_OP_FACTORY_RESET:
            KeyMake(reinterpret_cast<const uint8_t*>(passwordText.c_str()), key.data(), legacyHash);
            answer.result = exchange.SetOrder(op, nullptr, 0, key.data(), nullptr, 0, answer.info);
            break;
        case SCP_OP_GETP:
            KeyMake(reinterpret_cast<const uint8_t*>(passwordText.c_str()), key.data(), legacyHash);
            answer.result = exchange.Get(bytes, length, true, key.data(), answer.info);
            break;
    }
    answer.result.Follows(exchange.words());
    answer.timeoutCode = exchange.timeoutCode();
    return answer;
}

Answer Session::Run(t_scpOp op, std::string_view password, std::span<const uint8_t> data) const {
    Answer answer = Attempt(op, password, false, data);
    if (answer.result != SCP_ERROR_NONE) {
        // The first attempt's words stay first.
        const Status first = answer.result;
        answer = Attempt(op, password, true, data);
        answer.result.Follows(first);
    }
    if (answer.result == SCP_ERROR_TIMEOUT || answer.result == SCP_ERROR_CRC) {
        // Without the key the device drops the request, or its reply does not check:
        // both look like silence.
        const auto& m = deviceMac_;
        answer.result.Explain(
            Reason::kNoAnswer,
            "device %02x:%02x:%02x:%02x:%02x:%02x did not answer on %s within %u s per try%s", m[0], m[1],
            m[2], m[3], m[4], m[5], interfaceName_.c_str(), static_cast<unsigned>(settings_.timeoutSeconds),
            Enciphered(op) ? " (a wrong password looks the same: check the password)"
                           : "; check that it is on and connected");
    }
    return answer;
}

}  // namespace kivo::scp
