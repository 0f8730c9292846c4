// Parameter requests (Get all, Get, Set, Factory reset) for integration tests and
// benchmarks: building requests and reading REPLY_PARAMS records.
#ifndef KIVO_HARNESS_CFG_H
#define KIVO_HARNESS_CFG_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testbed.h"

namespace kivotest {

// Device types of a parameter request.
inline constexpr uint8_t kDeviceScp = 2;
inline constexpr uint8_t kDeviceLcmp = 3;

// Body of a parameter request (from byte 5): device type, interface name, VLAN field,
// device MAC, password and, when given, N and the parameter block.
Bytes ParamRequestBody(uint8_t deviceType, const std::string& ifname, uint16_t vlanField, const Mac& device,
                       const std::string& password, const std::optional<std::string>& block = std::nullopt);
// A Get block from names, a Set block from name/value pairs.
std::string GetBlock(const std::vector<std::string>& names);
std::string SetBlock(const std::vector<std::pair<std::string, std::string>>& pairs);

struct ParamRecord {
    std::string name;
    std::string value;
    uint8_t type = 0;
    uint32_t nElem = 0;
    bool operator==(const ParamRecord&) const = default;
};

// Reads a reassembled REPLY_PARAMS reply; nullopt when the code is not 7, R does not
// match the payload, or a record is cut short.
std::optional<std::vector<ParamRecord>> ParamRecords(const Bytes& reply);
// Offsets (in the reassembled reply) at which each record starts.
std::vector<size_t> ParamRecordOffsets(const Bytes& reply);

// Polls until the interface in the namespace reports operational state UP (both ends
// of a veth up); false after the timeout.
bool WaitLinkUp(const Netns& ns, const std::string& ifname, std::chrono::milliseconds timeout = 5s);

}  // namespace kivotest

#endif
