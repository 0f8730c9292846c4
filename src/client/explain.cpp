// The one table of what people can do about each failure reason, for every front-end.
#include <string>
#include <utility>
#include <vector>

#include "kivo_client.h"

namespace kivo::client {

namespace {

using R = protocol::Reason;

// Reasons without a remedy (none, cancelled) say enough by their text.
constexpr std::pair<R, std::string_view> kRemedies[] = {
    {R::kNoInterface, "Check the interface name ('ip link' lists those of the host kivohost runs on)."},
    {R::kInterfaceDown, "Bring the interface up ('ip link set NAME up') and check its cable."},
    {R::kNoPermission,
     "kivohost needs CAP_NET_RAW for the devices' frames: run it as root, or run the packaged service "
     "(systemctl start kivohost.socket), which has the capability."},
    {R::kNoAnswer,
     "Check the MAC address, the interface, the VLAN and the password (a wrong password looks like a device "
     "that does not answer); legacy devices need the SCP protocol."},
    {R::kDeviceRefused,
     "The device's own words say why; check the parameter's name and that it may be written."},
    {R::kInvalidValue, "Write the value as a read of the parameter shows it, within its type's range."},
    {R::kRequestTooLarge, "Ask for fewer parameters at a time, or write shorter values."},
    {R::kFileMissing, "Check the path: the service reads the file on its own host."},
    {R::kFileNotRegular, "Name the image file itself, not a directory or a device."},
    {R::kFileUnreadable,
     "The service reads the file as its own user, not as you: the packaged service runs as user kivo, so a "
     "file it sends must be readable to group kivo."},
    {R::kFileTooLarge, "Check that this is the right file: a transfer carries at most 4294967295 bytes."},
    {R::kFileBadMagic,
     "Check that this is the right file: an upgrade image, an Ethernet loader and a chunked firmware are "
     "different files."},
    {R::kNoFileRequest,
     "Check the MAC address, the interface and the VLAN, and that the device is about to ask for its "
     "firmware (start the upgrade first, then let the device ask)."},
    {R::kAckMissing,
     "The device stopped answering during the transfer: check its power and cabling, then start again."},
    {R::kNotAllowed,
     "Only root and the users kivohost allows may manage devices. With the package, an administrator adds a "
     "user to group kivo ('adduser USER kivo', then log in again); a kivohost started by hand takes "
     "--allow-user USER or --allow-group GROUP."},
    {R::kIncompleteAnswer,
     "Parts of the answer were lost on the way: repeat the request, and check the link if it keeps "
     "happening."},
    {R::kMalformedRequest,
     "The service took the request for malformed; please report this with the command used."},
    {R::kBusy, "Wait until the running firmware transfer ends, or stop it."},
    {R::kNoDevice, "Check the interface, the VLAN and the cabling, and that the devices are on."},
    {R::kInternal,
     "Repeat the request; if it keeps failing, the service's log tells more (journalctl -u kivohost)."},
    {R::kFileEmpty, "Check that this is the right file and that it was copied whole."},
    {R::kPasswordRejected, "Check the device's password."},
};

}  // namespace

Explanation Explain(uint16_t code) {
    for (const auto& [reason, remedy] : kRemedies)
        if (static_cast<uint16_t>(reason) == code) return {ReasonName(code), remedy};
    return {ReasonName(code), {}};
}

bool NothingListens(const Error& e) {
    return e.kind == ErrorKind::kNoService && e.message.rfind("nothing listens", 0) == 0;
}

std::vector<std::string> ServiceRemedies(const Error& e, Audience audience, std::string_view program,
                                         uint16_t port) {
    const std::string name(program), p = std::to_string(port);
    const bool server = audience == Audience::kServer;
    // A server asks on the port it was given: it says how to start the service, not which
    // port to give.
    if (e.kind == ErrorKind::kNoService && server)
        return {
            "Start kivohost: systemctl start kivohost.socket where the package is installed, or "
            "scripts/run.sh in the source tree."};
    if (e.kind == ErrorKind::kNoService) {
        std::vector<std::string> remedies{"Is kivohost running on port " + p +
                                          "? Start it as root with './scripts/run.sh" +
                                          (port == kDefaultPort ? std::string() : " " + p) +
                                          "' (or 'kivohost " + p + "'), or give its port with --port."};
        if (!NothingListens(e))
            remedies.push_back(
                "A service busy with a long request answers late: --timeout SECONDS waits longer.");
        return remedies;
    }
    if (e.kind != ErrorKind::kUnsupported && e.kind != ErrorKind::kBadReply) return {};
    if (server) return {"kivohost and " + name + " may not be of the same release."};
    if (e.kind == ErrorKind::kUnsupported)
        return {"Update kivohost, or use a " + name + " of the same release."};
    return {"Repeat the command; if it keeps happening, the service and " + name + " do not match."};
}

}  // namespace kivo::client
