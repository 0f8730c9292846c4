#include "web.h"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace kivo::exporter {

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
