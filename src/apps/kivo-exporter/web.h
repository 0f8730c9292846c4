// The HTTP side's checks: the listen address, and basic authentication against bcrypt hashes.
#ifndef KIVO_EXPORTER_WEB_H
#define KIVO_EXPORTER_WEB_H

#include <map>
#include <optional>
#include <string>

#include "listen_address.h"

namespace kivo::exporter {

// The listen address: "127.0.0.1:9551", "[::1]:9551", "localhost:9551", ":9551" (every
// address), by the front-ends' one parser with its strict rules (no host names, no port 0).
using client::ListenAddress;
using client::ParseListenAddress;

// Standard base64 with padding; nullopt for anything else.
std::optional<std::string> DecodeBase64(const std::string& text);

// Checks an Authorization header against the users and their bcrypt hashes. Takes the
// same time whether or not the user exists, so that names cannot be probed.
bool CheckBasicAuth(const std::string& header, const std::map<std::string, std::string>& users);

}  // namespace kivo::exporter

#endif
