// The firmware requests: start an upgrade or an Ethernet boot, stop it, and its status.
#include <string>

#include "byte_io.h"
#include "kivohost.h"
#include "l2fwserver.h"
#include "log.h"
#include "reason.h"
#include "requester_lookup.h"
#include "service_internal.h"

namespace kivo::service {

bool FwServerRunning() {
    t_l2fwserverState state = L2FwServerStateGet();
    return state != L2FWSERVER_STATE_IDLE && state != L2FWSERVER_STATE_SUCCESSFUL &&
           state != L2FWSERVER_STATE_ERROR;
}

// The firmware server's most recent error, in its own words: the transfer records a
// reason wherever it gives up, so the service has no table of its own to translate.
kivo::Failure FwServerLastFailure() {
    return L2FwServerLastFailure();
}

}  // namespace kivo::service

using namespace kivo::service;

namespace {

// Announcement time-out of every transfer started by a request, seconds.
constexpr INT32S kFwAnnouncementTimeout = 10;

void BusyRecord() {
    kivo::FailureRecord(kivo::Reason::kBusy,
                        "a firmware transfer is running; stop it (request 7) or wait for it to end");
}

}  // namespace

// Start: interface name, VLAN, device MAC, firmware file name, loader file name. A
// loader name makes it an Ethernet boot; without one it is an upgrade of that MAC.
INT32S StartL2FwServerGet(INT32S inputLength, INT8U* msg) {
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
    // A running transfer is left entirely alone, its VLAN setting included.
    if (FwServerRunning()) {
        BusyRecord();
        return ReplyCode(msg, REPLY_REFUSED);
    }
    // Without an interface or a firmware file there is nothing to start.
    if (ifLength == 0 || fwLength == 0) return ReplyCode(msg, REPLY_REFUSED);

    INT16U vlanId = vlan & 0x0FFF;
    if (vlanId != 0) {
        // 4095 cannot be tagged; refusing beats sending on whatever VLAN was set before.
        if (L2FwServerVLANConfigure(TRUE, vlanId, 0) != L2FWSERVER_ERROR_NONE)
            return ReplyCode(msg, REPLY_REFUSED);
        kivo::Log(kivo::LogStream::kOut, "VLAN %u\n", static_cast<unsigned>(vlanId));
    } else {
        L2FwServerVLANConfigure(FALSE, 0, 0);
    }

    // The files are read with the rights of the user who asked, not the service's: a
    // file that user could not read ends the transfer as a missing one does (DONE, then
    // the error state), with the reason recorded.
    kivo::fw::TransferPlan plan;
    plan.interfaceName = ifName;
    plan.file = fwFile;
    plan.loader = loaderFile;
    plan.announcementTimeout = kFwAnnouncementTimeout;
    if (loaderLength == 0) plan.device.emplace(std::to_array(deviceMac));
    plan.requester = CurrentRequester();
    const t_l2fwserverErrorCode result = kivo::fw::Start(std::move(plan));
    if (result == L2FWSERVER_ERROR_INVALID_STATE) BusyRecord();
    return ReplyCode(msg, result == L2FWSERVER_ERROR_NONE ? REPLY_DONE : REPLY_REFUSED);
}

INT32S StopL2FwServerGet(INT32S /*inputLength*/, INT8U* msg) {
    L2FwServerStop();
    return ReplyCode(msg, REPLY_DONE);
}

// Status: state (1 byte), bytes uploaded and bytes to upload (4 bytes each). A final
// state also reclaims the finished server thread.
INT32S GetStatusL2FwServerGet(INT32S /*inputLength*/, INT8U* msg) {
    t_l2fwserverState state = L2FwServerStateGet();
    INT32U uploaded = L2FwServerUploadedBytesGet();
    INT32U total = L2FwServerTotalBytesGet();
    if (state == L2FWSERVER_STATE_SUCCESSFUL || state == L2FWSERVER_STATE_ERROR) L2FwServerWait();
    kivo::ByteWriter w(msg + 3, 10);
    w.u8(REPLY_FW_STATUS);
    w.u8(static_cast<INT8U>(state));
    w.be32(uploaded);
    w.be32(total);
    return 13;
}
