#include "listen_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace kivo::client {

bool IsLoopback(std::string_view host) {
    const std::string h(host);
    if (h == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, h.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, ListenRules rules) {
    ListenAddress a;
    std::string_view port;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        a.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        in6_addr v6{};
        if (inet_pton(AF_INET6, a.host.c_str(), &v6) != 1) return std::nullopt;
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos) return std::nullopt;
        a.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (a.host.find(':') != std::string::npos) return std::nullopt;  // IPv6 needs brackets
        in_addr v4{};
        if (a.host.empty()) {
            if (!rules.emptyHost) return std::nullopt;
            a.host = "0.0.0.0";
        } else if (a.host == "localhost") {
            if (!rules.hostNames) a.host = "127.0.0.1";
        } else if (inet_pton(AF_INET, a.host.c_str(), &v4) != 1 && !rules.hostNames) {
            return std::nullopt;  // a name could resolve anywhere
        }
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || port.size() > 5 || ec != std::errc() || end != port.data() + port.size() ||
        value > 65535 || (value == 0 && !rules.portZero))
        return std::nullopt;
    a.port = static_cast<uint16_t>(value);
    a.loopback = IsLoopback(a.host);
    return a;
}

}  // namespace kivo::client
