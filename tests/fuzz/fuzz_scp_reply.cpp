// Legacy SCP reply payloads: deciphering, the search for the padding that ends an
// enciphered payload, and the item walk that turns collected payloads into info data
// (names, values of every sub-type, device errors) or into the list of value types.
// Input: one control byte (bit 0: enciphered, bit 1: legacy key, bits 2-3: the output
// capacity is small), then the payload.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "log.h"
#include "scp_client_legacy.h"
#include "scp_client_legacy_internal.h"

using namespace kivo::scp;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::LogSinkSet([](kivo::LogStream, std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kCollectMax) return 0;
    const uint8_t control = data[0];
    std::vector<uint8_t> payload(data + 1, data + size);
    uint32_t length = static_cast<uint32_t>(payload.size());
    if ((control & 1) != 0) {
        // Key making hashes at length; once per run is enough.
        static const auto keys = [] {
            std::array<std::array<uint8_t, kKeySize>, 2> k{};
            KeyMake(reinterpret_cast<const uint8_t*>("fuzz-password"), k[0].data(), false);
            KeyMake(reinterpret_cast<const uint8_t*>("fuzz-password"), k[1].data(), true);
            return k;
        }();
        Decipher(payload.data(), length, keys[(control & 2) != 0 ? 1 : 0].data());
        uint32_t carry = 0;
        const uint32_t padding = PaddingPositionGet(payload.data(), length, carry);
        if (padding > length) __builtin_trap();  // the padding lies inside the payload
        if (padding != 0) length = padding;
    }
    // Small capacities reach the "does not fit" paths.
    const uint32_t capacity = (control & 0x0C) != 0 ? 16u << ((control >> 2) & 3) : 300000;
    std::vector<uint8_t> buffer(capacity);
    for (bool typesOnly : {false, true}) {
        uint32_t written = 0;
        ParseInfoData(payload.data(), length, buffer.data(), &written, typesOnly, capacity);
        if (written > capacity) __builtin_trap();
    }
    return 0;
}
