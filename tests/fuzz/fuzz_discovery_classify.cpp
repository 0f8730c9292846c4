// Discovery: the classification of every frame a discovery's receive threads see
// (legacy device replies, boot-ROM announcements, everything else). Input: the frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mac_discover.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy, so that a read past the frame's end is caught.
    std::vector<uint8_t> frame(data, data + size);
    static const INT8U interfaceMAC[6] = {2, 0, 0, 0, 0, 1};
    t_deviceType type{};
    const BOOLEAN known =
        MACDiscoverFrameClassify(frame.data(), static_cast<INT32U>(frame.size()), interfaceMAC, &type);
    if (known != TRUE && known != FALSE) __builtin_trap();
    return 0;
}
