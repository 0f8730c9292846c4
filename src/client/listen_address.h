// The address a front-end serves HTTP on: one parser and one loopback check for every
// program, each with its own rules of what it accepts.
#ifndef KIVO_LISTEN_ADDRESS_H
#define KIVO_LISTEN_ADDRESS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::client {

struct ListenAddress {
    std::string host;  // without brackets
    uint16_t port = 0;
    bool loopback = false;  // reachable from this host only
};

struct ListenRules {
    bool hostNames = false;  // a host name other than localhost is taken as given (else refused)
    bool portZero = false;   // port 0: the kernel chooses one
    bool emptyHost = true;   // ":PORT" listens on every address (0.0.0.0)
};

// "127.0.0.1:9551", "[::1]:9551" (IPv6 in brackets), "localhost:9551" (127.0.0.1 unless host
// names are taken as given), ":9551"; nullopt for anything the rules do not accept.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, ListenRules rules = {});

// Whether an address (or localhost) can only be reached from this host: 127.0.0.0/8, ::1.
bool IsLoopback(std::string_view host);

}  // namespace kivo::client

#endif
