#include "harness_cfg.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "kivo_client.h"

namespace kivotest {

Bytes ParamRequestBody(uint8_t deviceType, const std::string& ifname, uint16_t vlanField, const Mac& device,
                       const std::string& password, const std::optional<std::string>& block) {
    Bytes b;
    PutU8(b, deviceType);
    PutU8(b, static_cast<uint8_t>(ifname.size()));
    PutText(b, ifname);
    PutBe16(b, vlanField);
    PutMac(b, device);
    PutU8(b, static_cast<uint8_t>(password.size()));
    PutText(b, password);
    if (block) {
        PutBe32(b, static_cast<uint32_t>(block->size()));
        PutText(b, *block);
    }
    return b;
}

std::string GetBlock(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += n + '\0';
    return s;
}

std::string SetBlock(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string s;
    for (const auto& [n, v] : pairs) s += n + '\0' + v + '\0';
    return s;
}

namespace {
// Walks the records; calls f(offset, record) for each. False on a malformed reply.
template <typename F>
bool WalkRecords(const Bytes& reply, F f) {
    if (reply.size() < 8 || reply[3] != 7) return false;
    const size_t r = (size_t{reply[4]} << 24) | (size_t{reply[5]} << 16) | (size_t{reply[6]} << 8) | reply[7];
    if (reply.size() != 8 + r) return false;
    size_t pos = 8;
    auto text = [&](std::string& out) {
        const void* z = std::memchr(reply.data() + pos, 0, reply.size() - pos);
        if (z == nullptr) return false;
        const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(z) - reply.data());
        out.assign(reinterpret_cast<const char*>(reply.data() + pos), end - pos);
        pos = end + 1;
        return true;
    };
    while (pos < reply.size()) {
        const size_t start = pos;
        ParamRecord rec;
        if (!text(rec.name) || !text(rec.value) || reply.size() - pos < 5) return false;
        rec.type = reply[pos];
        rec.nElem = (uint32_t{reply[pos + 1]} << 24) | (uint32_t{reply[pos + 2]} << 16) |
                    (uint32_t{reply[pos + 3]} << 8) | reply[pos + 4];
        pos += 5;
        f(start, rec);
    }
    return true;
}
}  // namespace

std::optional<std::vector<ParamRecord>> ParamRecords(const Bytes& reply) {
    auto params = kivo::client::ParseParams(reply);
    if (!params) return std::nullopt;
    std::vector<ParamRecord> out;
    for (auto& p : *params) out.push_back({std::move(p.name), std::move(p.value), *p.type, *p.elements});
    return out;
}

std::vector<size_t> ParamRecordOffsets(const Bytes& reply) {
    std::vector<size_t> out;
    WalkRecords(reply, [&](size_t at, const ParamRecord&) { out.push_back(at); });
    return out;
}

bool WaitLinkUp(const Netns& ns, const std::string& ifname, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ns.RunOutput("cat /sys/class/net/" + ifname + "/operstate 2>/dev/null").rfind("up", 0) == 0)
            return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace kivotest
