// The one table of what people can do about each failure reason, for every front-end.
#include <iterator>

#include "kivo_client.h"

namespace kivo::client {

namespace {

// Indexed by the reason code; empty where the reason's own text says enough.
constexpr std::string_view kRemedies[] = {
    // none
    "",
    // no such interface
    "Check the interface name ('ip link' lists those of the host kivohost runs on).",
    // interface down
    "Bring the interface up ('ip link set NAME up') and check its cable.",
    // no permission
    "kivohost needs CAP_NET_RAW for the devices' frames: run it as root, or run the packaged service "
    "(systemctl start kivohost.socket), which has the capability.",
    // no answer
    "Check the MAC address, the interface, the VLAN and the password (a wrong password looks like a device "
    "that does not answer); legacy devices need the SCP protocol.",
    // device refused
    "The device's own words say why; check the parameter's name and that it may be written.",
    // value not valid
    "Write the value as a read of the parameter shows it, within its type's range.",
    // request too large
    "Ask for fewer parameters at a time, or write shorter values.",
    // file missing
    "Check the path: the service reads the file on its own host.",
    // not a regular file
    "Name the image file itself, not a directory or a device.",
    // file unreadable
    "The service reads the file as its own user, not as you: the packaged service runs as user kivo, so a "
    "file it sends must be readable to group kivo.",
    // file too large
    "Check that this is the right file: a transfer carries at most 4294967295 bytes.",
    // bad magic word
    "Check that this is the right file: an upgrade image, an Ethernet loader and a chunked firmware are "
    "different files.",
    // no file request
    "Check the MAC address, the interface and the VLAN, and that the device is about to ask for its "
    "firmware (start the upgrade first, then let the device ask).",
    // acknowledgement missing
    "The device stopped answering during the transfer: check its power and cabling, then start again.",
    // cancelled
    "",
    // not allowed
    "Only root and the users kivohost allows may manage devices. With the package, an administrator adds a "
    "user to group kivo ('adduser USER kivo', then log in again); a kivohost started by hand takes "
    "--allow-user USER or --allow-group GROUP.",
    // incomplete answer
    "Parts of the answer were lost on the way: repeat the request, and check the link if it keeps "
    "happening.",
    // malformed request
    "The service took the request for malformed; please report this with the command used.",
    // busy
    "Wait until the running firmware transfer ends, or stop it.",
    // no device
    "Check the interface, the VLAN and the cabling, and that the devices are on.",
    // internal error
    "Repeat the request; if it keeps failing, the service's log tells more (journalctl -u kivohost).",
    // file empty
    "Check that this is the right file and that it was copied whole.",
    // password rejected
    "Check the device's password.",
};

}  // namespace

Explanation Explain(uint16_t code) {
    return {ReasonName(code), code < std::size(kRemedies) ? kRemedies[code] : std::string_view{}};
}

}  // namespace kivo::client
