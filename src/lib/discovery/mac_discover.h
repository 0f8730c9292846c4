// MAC discovery: finds legacy devices and devices waiting in their boot ROM on the
// host's Ethernet segments by a broadcast probe and a fixed listening time.
#ifndef KIVO_MAC_DISCOVER_H
#define KIVO_MAC_DISCOVER_H

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>

#include "device.h"
#include "status.h"
#include "types.h"

typedef enum e_macDiscoverErrorCode {
    MACDISCOVER_ERROR_NONE = 0,
    MACDISCOVER_ERROR_SOCKET_NOT_OPENED = -1,
    MACDISCOVER_ERROR_ETH_IF = -2,
    MACDISCOVER_ERROR_SENDTO = -3,
    MACDISCOVER_ERROR_ROOM_BOOT = -4,
    MACDISCOVER_ERROR_NULL_MAC = -5,
    MACDISCOVER_ERROR_THREAD_CREATE = -6,
    MACDISCOVER_ERROR_BAD_ARGS = -7,
    MACDISCOVER_ERROR_MALLOC = -8,
    MACDISCOVER_ERROR_WRAPPER = -9,
    MACDISCOVER_ERROR_PCAP = -10,
} t_macDiscoverErrorCode;

// Default listening time of one discovery, in milliseconds.
#define MACDISCOVER_DEFAULT_TIMEOUT_MS 3000
// A discovery keeps at most this many devices (the Discover reply counts them in
// one byte); further replies are ignored.
#define MACDISCOVER_MAX_DEVICES 255
// Length of the untagged probe frame; a tagged probe is 4 bytes longer.
#define MACDISCOVER_PROBE_LENGTH 60

namespace kivo::discovery {

// The settings of one discovery.
struct Settings {
    std::chrono::milliseconds listenTime{MACDISCOVER_DEFAULT_TIMEOUT_MS};
    // 802.1Q tag of the probe.
    bool vlanEnabled = false;
    uint16_t vlanId = 0;
    uint8_t vlanClass = 0;

    // With enable, a vid above 4094 or a pcp above 7 is MACDISCOVER_ERROR_BAD_ARGS and
    // keeps the previous tag; without, tagging ends and the stored values stay.
    t_macDiscoverErrorCode VlanSet(bool enable, uint16_t vid, uint8_t pcp);
};

// One discovery at a time per object; objects of their own run side by side. Each run
// opens its own ports and starts its own receive threads, which end before the run
// returns or, when one is held past the wait, end by themselves later without touching
// anything of the caller's.
class MacDiscovery {
   public:
    explicit MacDiscovery(const Settings& settings) : settings_(settings) {}
    MacDiscovery(const MacDiscovery&) = delete;
    MacDiscovery& operator=(const MacDiscovery&) = delete;
    ~MacDiscovery();

    // Runs one discovery on interfaceName, or on every host interface when it is
    // absent, and hands the device list (newest first, none when nothing was found) to
    // *device. The list belongs to the caller, who frees it with DeviceListFree. With
    // multipleDevices false the discovery ends at the first device found. Blocks for
    // the listening time. MACDISCOVER_ERROR_NONE once it listened; the status words
    // why nothing was found, or the first interface that could not be listened on.
    kivo::Status Run(const CHAR* interfaceName, bool multipleDevices, t_device** device);

    struct Listener;  // one interface being listened on

   private:
    class Devices;  // the shared device list of one run
    kivo::Status StartListener(const CHAR* interfaceName, const std::shared_ptr<Devices>& devices);
    bool IsAnyThreadRunning();
    bool NoneRunning() const;
    void WaitForResult(Devices& devices);

    const Settings settings_;
    // Listeners of the current run; touched by the calling thread only.
    std::list<std::shared_ptr<Listener>> listeners_;
};

}  // namespace kivo::discovery

// One discovery with these settings (a MacDiscovery of its own).
kivo::Status MACDiscoverGet(const CHAR* interfaceName, BOOLEAN multipleDeviceEnable, t_device** device,
                            const kivo::discovery::Settings& settings);

// Builds the probe frame with source address srcMAC and the VLAN tag of settings into
// frame (size bytes); returns its length, or 0 when size is too small.
INT32U MACDiscoverProbeBuild(const kivo::discovery::Settings& settings, const INT8U* srcMAC, INT8U* frame,
                             INT32U size);

// Classifies a received frame (length bytes, 802.1Q tag in place when the frame
// carried one) seen on the interface with address interfaceMAC. Returns TRUE and
// sets *type for a legacy device's reply or a boot-ROM announcement; frames too
// short for the fields examined are not recognised.
BOOLEAN MACDiscoverFrameClassify(const INT8U* frame, INT32U length, const INT8U* interfaceMAC,
                                 t_deviceType* type);

// Fail point: every receive thread runs the hook "discovery.frame" (base/failpoint.h)
// after it has received a frame, before it looks at it.

#endif
