// Device and host-interface lists, host interface enumeration.
#ifndef KIVO_DEVICE_H
#define KIVO_DEVICE_H

#include "types.h"

typedef enum e_deviceType {
    DEVICE_TORVIX_ETH_BOOT_V2 = 0,
    DEVICE_TORVIX_ETH_BOOT_V3 = 1,
    DEVICE_TORVIX_SCP = 2,
    DEVICE_TORVIX_LCMP = 3,
} t_deviceType;

typedef struct s_device {
    CHAR* interfaceName;
    INT8U hostMACAddr[6];
    INT8U deviceMACAddr[6];
    t_deviceType type;
    struct s_device* next;
} t_device;

typedef struct s_interface {
    CHAR* name;
    CHAR* description;
    struct s_interface* next;
} t_interface;

// Longest interface name the kernel accepts (IFNAMSIZ - 1).
#define DEVICE_IFNAME_MAX 15

t_device* DeviceListFind(t_device* list, const INT8U* deviceMACAddr, const CHAR* interfaceName,
                         const INT8U* hostMACAddr, t_deviceType type);
void DeviceListAdd(t_device** list, const INT8U* deviceMACAddr, const CHAR* interfaceName,
                   const INT8U* hostMACAddr, t_deviceType type);
void DeviceListFree(t_device* list);

void InterfaceListAdd(t_interface** list, const CHAR* name, const CHAR* description);
void InterfaceListGet(t_interface** list);
void InterfaceListFree(t_interface* list);

// Hardware address of a host interface; 0 on success, -1 when it cannot be read
// (no socket, no such interface, or a name of 16 bytes or more).
INT32S MacAddressGet(const CHAR* adapter, INT8U* mac);

#endif
