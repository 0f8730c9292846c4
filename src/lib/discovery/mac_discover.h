// MAC discovery: finds legacy devices and devices waiting in their boot ROM on the
// host's Ethernet segments by a broadcast probe and a fixed listening time.
#ifndef KIVO_MAC_DISCOVER_H
#define KIVO_MAC_DISCOVER_H

#include "device.h"
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

// Runs one discovery on interfaceName, or on every host interface when it is absent,
// and hands the device list (newest first, none when nothing was found) to *device.
// The list belongs to the caller, who frees it with DeviceListFree. With
// multipleDeviceEnable FALSE the discovery ends at the first device found.
// Blocks for the listening time. One discovery at a time.
t_macDiscoverErrorCode MACDiscoverGet(CHAR* interfaceName, BOOLEAN multipleDeviceEnable, t_device** device);

// Hands out the list of the last finished discovery that has not been handed out
// yet; MACDiscoverGet hands its list to its own caller, so after it returns this
// gives none. MACDISCOVER_ERROR_BAD_ARGS when device is absent.
t_macDiscoverErrorCode MACDiscoverLastGet(t_device** device);

// 802.1Q tag of the probe. With enable, a vid above 4094 or a pcp above 7 is
// MACDISCOVER_ERROR_BAD_ARGS and keeps the previous setting.
t_macDiscoverErrorCode MACDiscoverVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp);

// Listening time in milliseconds for later discoveries.
t_macDiscoverErrorCode MACDiscoverTimeoutSet(INT32U timeout);

// Builds the probe frame with source address srcMAC and the current VLAN setting
// into frame (size bytes); returns its length, or 0 when size is too small.
INT32U MACDiscoverProbeBuild(const INT8U* srcMAC, INT8U* frame, INT32U size);

// Classifies a received frame (length bytes, 802.1Q tag in place when the frame
// carried one) seen on the interface with address interfaceMAC. Returns TRUE and
// sets *type for a legacy device's reply or a boot-ROM announcement; frames too
// short for the fields examined are not recognised.
BOOLEAN MACDiscoverFrameClassify(const INT8U* frame, INT32U length, const INT8U* interfaceMAC,
                                 t_deviceType* type);

// Fail point: every receive thread runs the hook "discovery.frame" (base/failpoint.h)
// after it has received a frame, before it looks at it.

#endif
