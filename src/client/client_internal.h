// What the client's files share: errors, field checks and the request header.
#ifndef KIVO_CLIENT_INTERNAL_H
#define KIVO_CLIENT_INTERNAL_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivo_client.h"

namespace kivo::client::detail {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

inline Error MakeError(ErrorKind kind, RequestCode code, uint8_t seq, std::string message) {
    return Error{kind, code, seq, std::move(message)};
}

inline bool HasZero(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

// Checks the fields a request carries as one-byte lengths.
std::optional<std::string> CheckName(std::string_view what, std::string_view text, size_t max);
std::optional<std::string> CheckVlan(uint16_t vlan);

// Request header: seq (set when sent), 0, 0, 0, code.
Bytes Header(RequestCode code, size_t bodySize);
// Common checks of a typed reply: the one-byte answer, REFUSED, FAILED and foreign codes.
std::optional<Error> ReplyError(const Bytes& reply, RequestCode code, ReplyCode expected);
Error Malformed(const Bytes& reply, RequestCode code, ReplyCode expected);

}  // namespace kivo::client::detail

#endif
