#include "web.h"

#include <arpa/inet.h>
#include <crypt.h>

#include <cstring>
#include <memory>

namespace kivo::exporter {

std::optional<ListenAddress> ParseListenAddress(const std::string& text) {
    ListenAddress a;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        a.host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
        in6_addr v6{};
        if (inet_pton(AF_INET6, a.host.c_str(), &v6) != 1) return std::nullopt;
        a.loopback = IN6_IS_ADDR_LOOPBACK(&v6);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        a.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (a.host.find(':') != std::string::npos) return std::nullopt;  // IPv6 needs brackets
        in_addr v4{};
        if (a.host.empty()) {
            a.host = "0.0.0.0";
        } else if (a.host == "localhost") {
            a.host = "127.0.0.1";
            a.loopback = true;
        } else if (inet_pton(AF_INET, a.host.c_str(), &v4) == 1) {
            a.loopback = (ntohl(v4.s_addr) >> 24) == 127;
        } else {
            return std::nullopt;  // names other than localhost could resolve anywhere
        }
    }
    if (portText.empty() || portText.size() > 5) return std::nullopt;
    for (char c : portText)
        if (c < '0' || c > '9') return std::nullopt;
    a.port = std::stoi(portText);
    if (a.port < 1 || a.port > 65535) return std::nullopt;
    return a;
}

std::optional<std::string> DecodeBase64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad) return std::nullopt;  // data after padding
            v[k] = value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out += static_cast<char>(n >> 16);
        if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(n & 0xFF);
    }
    return out;
}

bool CheckBasicAuth(const std::string& header, const std::map<std::string, std::string>& users) {
    // A well-formed hash nobody's password matches, checked for unknown users so that they
    // cost as much as known ones.
    static const std::string kDummy = "$2b$10$CwTycUXWue0Thq9StjUM0uJ8DPLKXt1FYlwYpQW2G3cAwjKoh2WZe";
    constexpr char kPrefix[] = "Basic ";
    if (header.size() > 4096 || header.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0) return false;
    const auto decoded = DecodeBase64(header.substr(sizeof(kPrefix) - 1));
    if (!decoded) return false;
    const auto colon = decoded->find(':');
    if (colon == std::string::npos) return false;
    const std::string user = decoded->substr(0, colon);
    const std::string password = decoded->substr(colon + 1);
    // crypt() stops at a zero byte: "pw\0anything" must not pass as "pw".
    if (password.find('\0') != std::string::npos) return false;
    const auto it = users.find(user);
    const std::string& hash = it == users.end() ? kDummy : it->second;
    auto data = std::make_unique<crypt_data>();
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (result == nullptr || result[0] == '*' || std::strlen(result) != hash.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < hash.size(); ++i) diff |= static_cast<unsigned char>(result[i] ^ hash[i]);
    return diff == 0 && it != users.end();
}

}  // namespace kivo::exporter
