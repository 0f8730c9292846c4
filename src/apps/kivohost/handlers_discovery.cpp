// The discovery requests: MAC discovery of every kind of device (Discover) and the
// LCMP devices' own discovery.
#include <cstring>
#include <string>

#include "byte_io.h"
#include "configlayer.h"
#include "device.h"
#include "kivohost.h"
#include "mac_discover.h"
#include "service_internal.h"

using namespace kivo::service;

namespace {

// Writes one device record per list node, newest first, from byte 5 on; at most 255
// records (the count is one byte). Returns the reply length, or 0 when the records
// would not fit the message buffer.
INT32S DiscoverReplyBuild(INT8U* msg, const t_device* list) {
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_DEVICES);
    w.u8(0);  // count, written at the end
    unsigned count = 0;
    for (const t_device* d = list; d != nullptr && count < MACDISCOVER_MAX_DEVICES; d = d->next) {
        size_t nameLength = d->interfaceName ? std::strlen(d->interfaceName) : 0;
        if (nameLength > 255) continue;  // cannot be described in one length byte
        w.u8(static_cast<INT8U>(d->type));
        w.u8(static_cast<INT8U>(nameLength));
        w.bytes(d->interfaceName, nameLength);
        w.bytes(d->deviceMACAddr, 6);
        if (!w.ok()) return 0;
        ++count;
    }
    msg[4] = static_cast<INT8U>(count);
    return static_cast<INT32S>(w.pos());
}

// The fields of a Discover request (also those of an LCMP discover).
struct DiscoverRequest {
    INT8U nameLength = 0;
    CHAR name[256] = {};  // used as a C string, as far as its first zero byte
    INT16U vlanId = 0;
    CHAR* interface() { return nameLength > 0 ? name : nullptr; }
};

bool DiscoverRequestRead(INT32S inputLength, const INT8U* msg, DiscoverRequest& req) {
    RequestReader r(msg, inputLength, 5);
    req.nameLength = r.u8();
    // An empty name needs no bytes, wherever the datagram ends (a one-byte datagram
    // is a Discover on every interface).
    std::string interfaceName = req.nameLength > 0 ? r.text(req.nameLength) : std::string();
    req.vlanId = static_cast<INT16U>(r.be16() & 0x0FFF);
    // An interface name that runs past the datagram: a malformed request.
    if (!r.ok()) return false;
    std::memcpy(req.name, interfaceName.data(), interfaceName.size());
    req.name[interfaceName.size()] = '\0';
    return true;
}

// The reply for the devices found: their records, or FAILED (with the reason: the
// discovery's words, else the link's) when there are none or they would not fit the buffer.
HandlerReply DevicesReply(INT8U* msg, t_device* list, DiscoverRequest& req, kivo::Status words) {
    if (list == nullptr)
        return {ReplyCode(msg, REPLY_FAILED), words.Explain(LinkFailure(req.interface(), nullptr))};
    const INT32S length = DiscoverReplyBuild(msg, list);
    DeviceListFree(list);
    // Records that would not fit the buffer are not sent cut short.
    return {length > 0 ? length : ReplyCode(msg, REPLY_FAILED), words};
}

}  // namespace

HandlerReply DiscoverGet(INT32S inputLength, INT8U* msg) {
    DiscoverRequest req;
    if (!DiscoverRequestRead(inputLength, msg, req))
        return {ReplyCode(msg, REPLY_REFUSED), Malformed("Discover")};
    t_device* list = nullptr;
    kivo::discovery::MacDiscovery discovery(DiscoverySettingsFor(req.vlanId));
    kivo::Status words = discovery.Run(req.interface(), true, &list);
    if (!words.ok()) {
        DeviceListFree(list);
        list = nullptr;
    }
    return DevicesReply(msg, list, req, std::move(words));
}

// Every LCMP device that answers the multicast read, on the named interface or on all
// of them. The VLAN applies to this discovery only: later parameter requests keep the
// one the last parameter request chose.
HandlerReply DiscoverLcmpGet(INT32S inputLength, INT8U* msg) {
    DiscoverRequest req;
    if (!DiscoverRequestRead(inputLength, msg, req))
        return {ReplyCode(msg, REPLY_REFUSED), Malformed("LCMP discover")};
    if (req.vlanId > 4094) {
        return {ReplyCode(msg, REPLY_REFUSED),
                kivo::Because(kivo::Reason::kInvalidValue,
                              "VLAN id %u cannot be tagged: use 1 to 4094, or 0 for untagged frames",
                              static_cast<unsigned>(req.vlanId))};
    }
    t_device* list = nullptr;
    // Devices found before an interface failed are still worth showing.
    kivo::Status words = ConfiglayerDiscoverAll(req.interface(), &list, ConfiglayerOptionsFor(req.vlanId));
    return DevicesReply(msg, list, req, std::move(words));
}
