// The HTTP side's checks: the listen address, and basic authentication against bcrypt hashes.
#ifndef KIVO_EXPORTER_WEB_H
#define KIVO_EXPORTER_WEB_H

#include <map>
#include <optional>
#include <string>

namespace kivo::exporter {

struct ListenAddress {
    std::string host;  // as given, without brackets; "0.0.0.0" for an empty host
    int port = 0;
    bool loopback = false;
};

// "127.0.0.1:9551", "[::1]:9551", "localhost:9551", ":9551" (every address); nullopt when
// it is none of these.
std::optional<ListenAddress> ParseListenAddress(const std::string& text);

// Standard base64 with padding; nullopt for anything else.
std::optional<std::string> DecodeBase64(const std::string& text);

// Checks an Authorization header against the users and their bcrypt hashes. Takes the
// same time whether or not the user exists, so that names cannot be probed.
bool CheckBasicAuth(const std::string& header, const std::map<std::string, std::string>& users);

}  // namespace kivo::exporter

#endif
