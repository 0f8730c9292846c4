// What the request server and the handler files share inside kivohost: the request
// table, the field reader, the one-code reply and the failure texts every handler uses.
#ifndef KIVO_SERVICE_INTERNAL_H
#define KIVO_SERVICE_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "configlayer.h"
#include "kivohost.h"
#include "l2fwserver.h"
#include "mac_discover.h"
#include "scp_client_legacy.h"
#include "status.h"

namespace kivo::service {

// One request the service answers: its code, the name its log lines and failure texts
// use, and its handler (datagram length, message buffer) -> reply length and why it failed.
struct Request {
    INT8U code;  // its name is the protocol's (RequestName)
    HandlerReply (*handler)(INT32S inputLength, INT8U* message);
};

// A client as the failure detail and the scheduler know it: its IPv4 address and UDP
// port (0 for a request dispatched without a datagram).
uint64_t ClientKeyOf(const struct sockaddr_in* client);

// The request with that code, or nullptr for an unassigned code.
const Request* RequestFind(INT8U code);
// The name of an assigned request code ("Get all"); "Request" for any other.
const char* RequestName(INT8U code);

// Reads the fields of a request. A fixed-size field beyond the received datagram reads
// as zero (short requests are defined that way); a variable-length field whose claimed
// length runs past the datagram makes the request invalid. Nothing is ever read past
// the datagram, whatever the buffer held before.
class RequestReader {
   public:
    RequestReader(const INT8U* msg, INT32S inputLength, size_t start)
        : msg_(msg), len_(inputLength > 0 ? static_cast<size_t>(inputLength) : 0), pos_(start) {
        if (len_ > KIVO_MESSAGE_SIZE) len_ = KIVO_MESSAGE_SIZE;
    }
    bool ok() const { return ok_; }

    INT8U u8() { return static_cast<INT8U>(fixed(1)); }
    INT16U be16() { return static_cast<INT16U>(fixed(2)); }
    INT32U be32() { return static_cast<INT32U>(fixed(4)); }
    // A fixed-size block (MAC address, ...); zero where beyond the datagram.
    void block(INT8U* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = u8();
    }
    // A variable-length field of n bytes that must lie within the datagram.
    const INT8U* field(size_t n);
    // A text field of n bytes within the datagram, returned as a string.
    std::string text(size_t n) {
        const INT8U* p = field(n);
        return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    }

   private:
    uint64_t fixed(size_t n);
    const INT8U* msg_;
    size_t len_;
    size_t pos_;
    bool ok_ = true;
};

// Writes a reply with no body and returns its length.
inline INT32S ReplyCode(INT8U* msg, INT8U code) {
    msg[3] = code;
    return 4;
}

// Why a request that must reach devices failed when no layer below said so: no
// permission, no such interface, or silence (of the device with mac, or of every device
// when mac is nullptr).
kivo::Status LinkFailure(const CHAR* ifName, const INT8U* mac);
// Why a request whose length fields or texts break the protocol's rules is refused.
kivo::Status Malformed(const char* request);

// What the service keeps from one request for the next, as its protocol says, and what
// its requests share. One for the process (ServiceStateGet).
struct ServiceState {
    // The VLAN the last parameter request chose for LCMP traffic (0: untagged): a request
    // whose id cannot be tagged (4095) goes out under it. Guarded by mutex.
    std::mutex mutex;
    INT16U lcmpVlan = 0;
    // The numbers on LCMP requests, shared by every request so that no device sees a
    // transaction identifier repeat while an answer to it may still be on its way.
    kivo::lcmp::Numbering lcmpNumbering;
    // The legacy SCP client's waits and sends: the same for every request (no request
    // changes them). Guarded by mutex.
    kivo::scp::Settings scp;
    // The MAC discovery's listening time (no request changes it) and the probe's VLAN
    // tag, which a Discover request sets for itself and later ones: an id that cannot
    // be tagged (4095) goes out under the tag of the discovery before. Guarded by mutex.
    kivo::discovery::Settings discovery;
    // Set at start-up when this process may not open packet sockets: every request that
    // needs one fails, and says why.
    std::atomic<bool> rawSocketsDenied{false};
};
ServiceState& ServiceStateGet();

// The SCP settings every SCP request runs with.
kivo::scp::Settings ScpSettings();
// Takes up the VLAN id of a Discover request (1 to 4094 tags, 0 untags, others keep the
// previous tag) and returns the settings its discovery runs with.
kivo::discovery::Settings DiscoverySettingsFor(INT16U vlanId);
// The settings of an untagged discovery (SCP frames are never tagged); the kept tag is
// turned off too, as it always was.
kivo::discovery::Settings DiscoverySettingsUntagged();

// Takes up the VLAN id of a parameter request (1 to 4094 tags, 0 untags, others keep
// the previous choice) and returns the VLAN its LCMP traffic goes out under.
INT16U LcmpVlanChoose(INT16U requestVlanId);
// The settings of configuration-layer operations for traffic on vlanId.
t_configlayerOptions ConfiglayerOptionsFor(INT16U vlanId);

// The service's firmware transfers and the settings every transfer it starts is given
// (the protocol's time-outs; the VLAN comes with each start).
struct FirmwareService {
    kivo::fw::Server transfers;
    kivo::fw::TransferSettings settings;
};
FirmwareService& Firmware();

// Any firmware transfer running (not in a final state); whether the latest one started
// ended in the error state; and the latest one's error in the reason table's terms.
bool FwServerRunning();
bool FwLatestFailed();
kivo::Status FwServerLastFailure();

// The reply body of the transfer listing (request 0xF2), after the reply code: `nowMs`
// then the records, each text cut at kFwListTextMax bytes. Returns the bytes written, 0
// when they do not fit `room`.
inline constexpr size_t kFwListTextMax = 500;
size_t FwTransfersEncode(const std::vector<kivo::fw::TransferRecord>& list, uint64_t nowMs, INT8U* out,
                         size_t room);

}  // namespace kivo::service

#endif
