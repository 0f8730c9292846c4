// The firmware requests: start an upgrade or an Ethernet boot, stop it, its status, the
// listing of every transfer and the stop by device.
#include <string>

#include "byte_io.h"
#include "kivohost.h"
#include "l2fwserver.h"
#include "log.h"
#include "requester_lookup.h"
#include "service_internal.h"
#include "status.h"

namespace kivo::service {

FirmwareService& Firmware() {
    // Built on first use; at a normal exit its destructor stops every transfer and waits
    // for its thread.
    static FirmwareService service;
    return service;
}

bool FwServerRunning() {
    return Firmware().transfers.Running();
}

bool FwLatestFailed() {
    return Firmware().transfers.State() == L2FWSERVER_STATE_ERROR;
}

// The latest transfer's most recent error, in its own words: the transfer words a
// reason wherever it gives up, so the service has no table of its own to translate.
kivo::Status FwServerLastFailure() {
    return Firmware().transfers.LastFailure();
}

namespace {

// At most limit bytes of text, cut where no UTF-8 character is split.
size_t Utf8Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace

size_t FwTransfersEncode(const std::vector<kivo::fw::TransferRecord>& list, uint64_t nowMs, INT8U* out,
                         size_t room) {
    kivo::ByteWriter w(out, room);
    w.be64(nowMs);
    w.u8(static_cast<uint8_t>(list.size() > 255 ? 255 : list.size()));
    size_t n = 0;
    for (const kivo::fw::TransferRecord& t : list) {
        if (n++ == 255) break;
        const size_t ifLength = t.interfaceName.size() > 255 ? 255 : t.interfaceName.size();
        const size_t textLength = Utf8Cut(t.failure.text, kFwListTextMax);
        w.u8(static_cast<uint8_t>((t.latest ? 1 : 0) | (t.device ? 2 : 0)));
        w.u8(static_cast<uint8_t>(t.kind));
        w.u8(static_cast<uint8_t>(ifLength));
        w.bytes(t.interfaceName.data(), ifLength);
        const kivo::l2::Mac mac = t.device.value_or(kivo::l2::Mac{});
        w.bytes(mac.data(), mac.size());
        w.u8(static_cast<uint8_t>(t.state));
        w.be32(t.sent);
        w.be32(t.total);
        w.be32(t.retransmissions);
        w.be16(static_cast<uint16_t>(t.failure.reason));
        w.be64(t.startMs);
        w.be64(t.endMs);
        w.be16(static_cast<uint16_t>(textLength));
        w.bytes(t.failure.text.data(), textLength);
    }
    return w.ok() ? w.pos() : 0;
}

}  // namespace kivo::service

using namespace kivo::service;

namespace {

// Announcement time-out of every transfer started by a request, seconds.
constexpr INT32S kFwAnnouncementTimeout = 10;

}  // namespace

// Start: interface name, VLAN, device MAC, firmware file name, loader file name. A
// loader name makes it an Ethernet boot; without one it is an upgrade of that MAC.
HandlerReply StartL2FwServerGet(INT32S inputLength, INT8U* msg) {
    RequestReader r(msg, inputLength, 5);
    INT8U ifLength = r.u8();
    std::string ifName = r.text(ifLength);
    INT16U vlan = r.be16();
    INT8U deviceMac[6];
    r.block(deviceMac, sizeof(deviceMac));
    INT16U fwLength = r.be16();
    std::string fwFile = r.text(fwLength);
    INT16U loaderLength = r.be16();
    std::string loaderFile = r.text(loaderLength);
    if (!r.ok()) return ReplyCode(msg, REPLY_REFUSED);
    // A zero byte would cut the name or a path short: the transfer would use another
    // interface or file than the one named.
    for (const std::string* text : {&ifName, &fwFile, &loaderFile})
        if (text->find('\0') != std::string::npos) return ReplyCode(msg, REPLY_REFUSED);

    // The files are read with the rights of the user who asked, not the service's: a
    // file that user could not read ends the transfer as a missing one does (DONE, then
    // the error state), with the reason kept.
    FirmwareService& fw = Firmware();
    kivo::fw::TransferPlan plan;
    plan.interfaceName = ifName;
    plan.file = fwFile;
    plan.loader = loaderFile;
    plan.announcementTimeout = kFwAnnouncementTimeout;
    if (loaderLength == 0) plan.device.emplace(std::to_array(deviceMac));
    plan.requester = CurrentRequester();
    plan.settings = fw.settings;

    // Running transfers are left entirely alone; a transfer to another device starts
    // beside them.
    if (std::optional<kivo::Status> busy = fw.transfers.Refusal(plan))
        return {ReplyCode(msg, REPLY_REFUSED), std::move(*busy)};
    // Without an interface or a firmware file there is nothing to start.
    if (ifLength == 0 || fwLength == 0) return ReplyCode(msg, REPLY_REFUSED);

    INT16U vlanId = vlan & 0x0FFF;
    if (vlanId != 0) {
        // 4095 cannot be tagged; refusing beats sending on another VLAN.
        if (!kivo::fw::VlanTagFor(vlanId, 0, plan.settings.vlan)) return ReplyCode(msg, REPLY_REFUSED);
        kivo::Log(kivo::LogStream::kOut, "VLAN %u\n", static_cast<unsigned>(vlanId));
    } else {
        plan.settings.vlan.reset();
    }
    kivo::Status result = fw.transfers.Start(std::move(plan));
    return {ReplyCode(msg, result == L2FWSERVER_ERROR_NONE ? REPLY_DONE : REPLY_REFUSED), std::move(result)};
}

// Stop: the latest transfer started, as it always was.
HandlerReply StopL2FwServerGet(INT32S /*inputLength*/, INT8U* msg) {
    Firmware().transfers.Stop();
    return ReplyCode(msg, REPLY_DONE);
}

// Status: state (1 byte), bytes uploaded and bytes to upload (4 bytes each) of the latest
// transfer. A final state also reclaims its finished thread.
HandlerReply GetStatusL2FwServerGet(INT32S /*inputLength*/, INT8U* msg) {
    kivo::fw::Server& transfers = Firmware().transfers;
    t_l2fwserverState state = transfers.State();
    INT32U uploaded = transfers.UploadedBytes();
    INT32U total = transfers.TotalBytes();
    if (state == L2FWSERVER_STATE_SUCCESSFUL || state == L2FWSERVER_STATE_ERROR) transfers.Wait();
    kivo::ByteWriter w(msg + 3, 10);
    w.u8(REPLY_FW_STATUS);
    w.u8(static_cast<INT8U>(state));
    w.be32(uploaded);
    w.be32(total);
    return 13;
}

// Transfers: every running one and the last finished ones (see docs/protocol.md).
HandlerReply FwTransfersGet(INT32S /*inputLength*/, INT8U* msg) {
    const std::vector<kivo::fw::TransferRecord> list = Firmware().transfers.List();
    msg[3] = REPLY_FW_TRANSFERS;
    const size_t n =
        FwTransfersEncode(list, kivo::fw::MonotonicMs(), msg + 4, static_cast<size_t>(KIVO_MESSAGE_SIZE) - 4);
    if (n == 0)
        return {ReplyCode(msg, REPLY_FAILED),
                kivo::Because(kivo::Reason::kRequestTooLarge,
                              "the firmware transfer listing does not fit one reply; ask again")};
    return static_cast<INT32S>(4 + n);
}

// Stop by device: byte 5 is 0 (every running transfer) or 1 (the one to the device whose
// MAC follows).
HandlerReply FwStopDeviceGet(INT32S inputLength, INT8U* msg) {
    RequestReader r(msg, inputLength, 5);
    const INT8U which = r.u8();
    kivo::l2::Mac mac{};
    r.block(mac.data(), mac.size());
    kivo::fw::Server& transfers = Firmware().transfers;
    if (which == 0) {
        transfers.StopAll();
        return ReplyCode(msg, REPLY_DONE);
    }
    if (which != 1 || (mac[0] & 0x01) != 0)
        return {ReplyCode(msg, REPLY_REFUSED),
                kivo::Because(kivo::Reason::kMalformedRequest,
                              "firmware stop by device not well formed: byte 5 is 0 (every transfer) or 1 "
                              "followed by a device's own MAC")};
    if (!transfers.StopDevice(mac))
        return {ReplyCode(msg, REPLY_FAILED),
                kivo::Because(kivo::Reason::kNoDevice,
                              "no firmware transfer to device %s is running; list them with request 0xF2",
                              kivo::protocol::MacText(mac.data()).c_str())};
    return ReplyCode(msg, REPLY_DONE);
}
