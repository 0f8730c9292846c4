// Boot-ROM state of simulated devices (role "bootrom"), shared between the discovery
// module, which broadcasts the boot-ROM announcements, and modules that boot the
// device (which end the announcements).
//
// The state lives in the device's "booted" option, so it can also be changed with
// the control commands "<device> set booted yes|no".
#ifndef KIVO_DEVSIM_BOOTROM_H
#define KIVO_DEVSIM_BOOTROM_H

#include "sim.h"

namespace devsim {

// Fields of a boot-ROM announcement, from the device's options.
struct BootRomInfo {
    uint16_t romVersion = 3;
    uint16_t romSubversion = 0;
    uint8_t chipId[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // chip_id_lsb then chip_id_msb, as sent
};
BootRomInfo BootRomInfoGet(const Device& d);

// True once the device has left its boot ROM; it then announces no more.
bool BootRomIsBooted(const Device& d);
// Marks the device booted (announcements stop) or back in its boot ROM
// (announcements resume with the configured period). Logged.
void BootRomSetBooted(Sim& sim, Device& d, bool booted);

// The device's boot-ROM announcement frame as it goes on the wire (tagged when the
// device has a "vlan_tci" option).
Bytes BootRomAnnouncementBuild(const Device& d);

}  // namespace devsim

#endif
