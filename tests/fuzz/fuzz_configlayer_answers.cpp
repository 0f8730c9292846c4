// Configuration-layer answer readers: the values of a read, write or get-all answer
// (as the LCMP confirm parser hands them on) turned into parameter lists, and the
// discovery answer turned into a device list entry.
// Input: values as type byte, 16-bit little-endian length, data (cut at the input's end).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_io.h"
#include "configlayer.h"
#include "configlayer_internal.h"
#include "device.h"
#include "log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::LogSinkSet([](kivo::LogStream, std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kivo::ByteReader r(data, size);
    t_lcmpValueList* read = nullptr;
    uint8_t type = 0;
    uint16_t length = 0;
    while (r.u8(type) && r.le16(length)) {
        const uint16_t n = static_cast<uint16_t>(std::min<size_t>(length, r.remaining()));
        INT8U mac[6] = {0, 0x13, 0x9D, 0, 0, 1};
        if (n != 0 && LCMPFullValueAdd(&read, mac, 0, static_cast<t_lcmpValueType>(type), n, r.current()) !=
                          LCMP_ERROR_NONE)
            break;
        r.skip(n);
    }
    for (BOOLEAN filterMac : {FALSE, TRUE}) {
        t_configlayerParam* params = nullptr;
        FillParams(read, &params, filterMac);
        ConfiglayerParamsDestroy(params);
    }
    t_configlayerParam* names = nullptr;
    AddParamsFromList(read, &names);
    ConfiglayerParamsDestroy(names);
    t_device* devices = nullptr;
    INT8U hostMAC[6] = {2, 0, 0, 0, 0, 1};
    FillDeviceList(read, "fuzz0", hostMAC, &devices);
    DeviceListFree(devices);
    LCMPValueListDestroy(read);
    return 0;
}
