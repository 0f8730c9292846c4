// Bytes written as text in tests: "00 11 AA", two hex digits per byte and one separator
// between bytes.
#ifndef KIVO_TEST_HEX_H
#define KIVO_TEST_HEX_H

#include <cstdint>
#include <string>
#include <vector>

namespace kivotest {

inline std::vector<uint8_t> hex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 2 <= s.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace kivotest

#endif
