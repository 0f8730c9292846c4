// How failures reach the API's callers: one error shape, an HTTP status for each reason
// the service gives, and the service's own words on why a request failed.
#ifndef KIVO_WEB_ERRORS_H
#define KIVO_WEB_ERRORS_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "kivo_client.h"

namespace kivoweb {

using nlohmann::json;
namespace kc = kivo::client;

// Every failure a route reports: an HTTP status and the one error shape of the API.
struct ApiError {
    int status = 500;
    std::string message;
    std::string hint;
    std::optional<kc::Reason> reason;
    json Body() const;
};

[[noreturn]] void Fail(int status, std::string message, std::string hint = {});

// Never throws on bytes a device sent that are not UTF-8: they become U+FFFD.
std::string Dump(const json& j);

// The HTTP status of a failure the service gives reason `code` for.
int StatusForReason(uint16_t code);

// The answer to a request that failed: `what` names the request and the device, `e` is
// the client's error, `reason` the service's own words when it gave them.
ApiError ErrorFor(const std::string& what, const kc::Error& e, const std::optional<kc::Reason>& reason);
// The same, asking the service for its reason first.
ApiError ClientFailure(kc::Client& client, const std::string& what, const kc::Error& e);

}  // namespace kivoweb

#endif
