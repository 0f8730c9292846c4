// Client side of the kivohost request protocol (docs/protocol.md): typed requests and
// replies over UDP to the service on 127.0.0.1.
//
// One Client owns one UDP socket. Every call sends one request and waits for its whole
// reply; replies are reassembled segment by segment and checked against the request's
// sequence number, the segment count and the segment numbers, so that a lost, repeated
// or reordered segment ends in an error rather than in a wrong result. Requests that
// only read (version, discovery, get, get all, firmware status, failure detail) are
// sent once more when their reply is lost or damaged; requests that change a device
// (set, factory reset, firmware start and stop) are sent exactly once.
#ifndef KIVO_CLIENT_H
#define KIVO_CLIENT_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kivo_protocol.h"

namespace kivo::client {

// The protocol's codes and names (kivo_protocol.h), under the client's names.
using protocol::DeviceKind;
using protocol::DeviceKindName;
using protocol::FwKind;
using protocol::FwKindName;
using protocol::FwState;
using protocol::FwStateDescription;
using protocol::FwStateName;
using protocol::GroupAddressRefusal;
using protocol::IsDeviceAddress;
using protocol::kDefaultPort;
using protocol::Mac;
using protocol::MacText;
using protocol::ParseMac;
using protocol::ReasonName;
using protocol::ReplyCode;
using protocol::RequestCode;
using protocol::RequestName;

// Name of a reply code ("FAILED", "PARAMS" ...), or "code N" for others.
std::string ReplyName(uint8_t code);

// A failure reason (the failure detail, request 0xF0) for people: the reason's name and
// what a person can do about it, one sentence or two, the same in every front-end. The
// remedy is empty for reasons that need no advice beyond their text (none, cancelled) and
// for codes outside the table.
struct Explanation {
    std::string_view reason;
    std::string_view remedy;
};
Explanation Explain(uint16_t code);

// ---- Errors -------------------------------------------------------------------------

enum class ErrorKind {
    kNoService,        // no reply at all within the time-out, or nothing listens on the port
    kBadReply,         // a reply arrived but is damaged or does not match the protocol
    kRefused,          // REFUSED: the service did not take the request up
    kFailed,           // FAILED: the operation failed (or found nothing)
    kUnsupported,      // the one-byte answer: the service does not know the request code
    kInvalidArgument,  // the request cannot be encoded (a field too long, a zero byte ...)
    kSystem,           // the local socket could not be used
};

struct Error {
    ErrorKind kind = ErrorKind::kSystem;
    RequestCode request = RequestCode::kVersion;
    uint8_t seq = 0;  // sequence number of the last attempt
    std::string message;
};

template <typename T>
class Result {
   public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    const Error& error() const { return std::get<1>(v_); }

   private:
    std::variant<T, Error> v_;
};

// Whether nothing listens on the service's port (the datagram was refused), as against a
// service that did not answer in time.
bool NothingListens(const Error& e);

// Who meets a failure of the service itself, for the remedy that fits: a command run by hand
// (it names the port it asked on and its own options), or a server started beside the
// service (it names how the service is started).
enum class Audience { kCommand, kServer };

// What to do when the service itself fails a front-end: nothing answers (kNoService), it does
// not know the request (kUnsupported: another release) or its reply does not read
// (kBadReply). Empty for the other kinds, whose remedy is their reason's (Explain).
// `program` names the front-end, `port` the port a command asked on.
std::vector<std::string> ServiceRemedies(const Error& e, Audience audience, std::string_view program,
                                         uint16_t port = kDefaultPort);

struct Done {};

// ---- Request and reply types ----------------------------------------------------------

struct Version {
    uint8_t major = 0, minor = 0, build = 0;
    std::string Text() const;
};

struct DeviceRecord {
    uint8_t type = 0;  // DeviceKind, kept raw so that an unknown type is still shown
    std::string interface;
    Mac mac{};
};

struct DiscoverRequest {
    std::string interface;  // empty: every interface of the host
    uint16_t vlan = 0;      // 0 untagged
};

// Parameter type codes of the PARAMS records; names as docs/protocol.md gives them.
using protocol::kTypeError;
using protocol::kTypeSetOk;
// "INT16U", "SET_OK", "ERROR" ..., or an empty text for a code without a name.
constexpr std::string_view ParamTypeName(uint8_t type) {
    return protocol::TypeName(type);
}

struct Param {
    std::string name;
    std::string value;  // the text the service returned; the status text for a refused one
    // LCMP records carry a type and an element count; SCP data carries neither.
    std::optional<uint8_t> type;
    std::optional<uint32_t> elements;
    bool refused = false;  // LCMP type ERROR, or an SCP status text "ERROR ..."
};

enum class Protocol : uint8_t { kScp = 2, kLcmp = 3 };

struct DeviceAddress {
    Protocol protocol = Protocol::kLcmp;
    std::string interface;
    uint16_t vlan = 0;
    Mac mac{};
    std::string password;
};

struct ParamReply {
    Protocol protocol = Protocol::kLcmp;
    std::vector<Param> params;
};

// What became of one name of a write.
enum class WriteResult : uint8_t { kWritten, kRefused, kNotWritten };
// "written", "refused", "not written".
std::string_view WriteResultName(WriteResult result);

struct WriteOutcome {
    std::string name;
    WriteResult result = WriteResult::kNotWritten;
    std::string text;  // refused: the device's text; not written: why
};

// The outcome of each name of a write, in the order given. An LCMP device is first asked
// for the names' types: when it refuses one there, the reply carries the others' current
// values (or stops at the refused one) and nothing was written. Only a SET_OK record (LCMP)
// or a status that is no refusal (SCP) is a written value.
std::vector<WriteOutcome> WriteOutcomes(const ParamReply& reply, const std::vector<std::string>& names);

struct FwUpgradeRequest {
    std::string interface;
    uint16_t vlan = 0;
    Mac device{};
    std::string firmwarePath;  // sent as given: make it absolute first
};

struct FwBootRequest {
    std::string interface;
    uint16_t vlan = 0;
    std::string loaderPath;
    std::string firmwarePath;
};

struct FwStatus {
    uint8_t state = 0;  // FwState, kept raw
    uint32_t bytes = 0;
    uint32_t total = 0;
    // Only when the service reports it (four more bytes after the total).
    std::optional<uint32_t> retransmissions;
    bool Final() const { return state == 5 || state == 6; }
};

struct Reason {
    uint16_t code = 0;
    std::string text;
};

// One firmware transfer of the listing (request 0xF2).
struct FwTransfer {
    bool latest = false;  // the one Status (8) and Stop (7) address
    uint8_t kind = 1;     // FwKind, kept raw
    std::string interface;
    std::optional<Mac> device;  // none until the device is known
    uint8_t state = 0;          // FwState, kept raw
    uint32_t bytes = 0;
    uint32_t total = 0;
    uint32_t retransmissions = 0;
    Reason reason;
    // Milliseconds of the service's monotonic clock; end 0 while it runs.
    uint64_t startMs = 0;
    uint64_t endMs = 0;
    bool Final() const { return state == 5 || state == 6; }
    // The transfer's own duration: to its end, or to `nowMs` while it runs.
    uint64_t DurationMs(uint64_t nowMs) const {
        const uint64_t end = endMs != 0 ? endMs : nowMs;
        return end > startMs ? end - startMs : 0;
    }
};

struct FwTransfers {
    uint64_t nowMs = 0;  // the service's monotonic clock when it answered
    std::vector<FwTransfer> transfers;
};

struct FailureDetail {
    bool any = false;  // a request has failed since the service started
    uint8_t seq = 0;
    uint8_t request = 0;
    Reason reason;
    Reason firmware;  // the firmware server's last error
};

// ---- Time-outs ----------------------------------------------------------------------

// How long to wait for the reply to one request: the service's own worst case plus
// margin for a request queued behind another front-end's.
std::chrono::milliseconds DefaultTimeout(RequestCode code, Protocol protocol = Protocol::kLcmp);

// ---- The client -----------------------------------------------------------------------

class Client {
   public:
    explicit Client(uint16_t port = kDefaultPort);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    uint16_t port() const { return port_; }
    // Whether the socket could be opened and connected (Exchange reports why not).
    bool isOpen() const { return fd_ >= 0; }
    // Talks to another port from now on. The socket stays the one made at construction
    // (and so in the network namespace it was made in) and is connected anew; false
    // when that fails, and the next request then reports why.
    bool SetPort(uint16_t port);
    // Replaces every default time-out (nullopt: back to the defaults); at most a day.
    void SetTimeout(std::optional<std::chrono::milliseconds> timeout) { timeout_ = timeout; }
    // Most attempts for a request that only reads (at least 1; default 2).
    void SetReadAttempts(int attempts) { readAttempts_ = attempts < 1 ? 1 : attempts; }
    // The sequence number of the next request (then counting up).
    void SetSequence(uint8_t seq) { seq_ = seq; }

    Result<Version> GetVersion();
    // Legacy and boot-ROM devices (request 0); FAILED (nothing found) gives an empty list.
    Result<std::vector<DeviceRecord>> Discover(const DiscoverRequest& request);
    // LCMP devices (request 0xF1); FAILED gives an empty list, a service without the
    // request gives ErrorKind::kUnsupported.
    Result<std::vector<DeviceRecord>> DiscoverLcmp(const DiscoverRequest& request);
    Result<ParamReply> GetAll(const DeviceAddress& device);
    Result<ParamReply> Get(const DeviceAddress& device, const std::vector<std::string>& names);
    Result<ParamReply> Set(const DeviceAddress& device,
                           const std::vector<std::pair<std::string, std::string>>& values);
    Result<Done> FactoryReset(const DeviceAddress& device);
    Result<Done> FwStartUpgrade(const FwUpgradeRequest& request);
    Result<Done> FwStartBoot(const FwBootRequest& request);
    Result<Done> FwStop();
    Result<FwStatus> GetFwStatus();
    // Every running transfer and the recently finished ones (0xF2); kUnsupported from a
    // service without the request.
    Result<FwTransfers> GetFwTransfers();
    // Stops the running transfer to this device (0xF3): FAILED when none runs.
    Result<Done> FwStopDevice(const Mac& device);
    // Stops every running transfer (0xF3).
    Result<Done> FwStopAll();
    // Detail of the service's last failed request (0xF0); kUnsupported from a service
    // without the request.
    Result<FailureDetail> GetFailureDetail();

    // Sends a request (byte 0 is replaced by the sequence number) and returns the
    // reassembled reply: the header of segment 0, then every segment's payload, so
    // byte 3 is the reply code. A one-byte answer comes back as it is.
    Result<std::vector<uint8_t>> Exchange(std::vector<uint8_t> request, RequestCode code, bool readOnly,
                                          std::chrono::milliseconds timeout);
    // Sends the datagram exactly as given, once: its own sequence number, any length
    // (also shorter than a request header, or empty) and any byte 3, so that tools and
    // tests can see how the service treats what no typed call would send. The reply is
    // checked and put together as for Exchange, matched on byte 0 of the datagram (an
    // empty datagram has none: any reply is taken).
    Result<std::vector<uint8_t>> ExchangeRaw(std::vector<uint8_t> datagram,
                                             std::chrono::milliseconds timeout);
    // Every segment of the last reply as it arrived, headers included (those taken so far
    // when the reply ended in an error); empty when nothing matching came.
    const std::vector<std::vector<uint8_t>>& LastSegments() const { return lastSegments_; }

   private:
    Result<std::vector<uint8_t>> Attempt(std::vector<uint8_t>& request, RequestCode code,
                                         std::chrono::milliseconds timeout, bool raw = false);
    bool Connect();
    Result<ParamReply> ParamRequest(RequestCode code, const DeviceAddress& device, const std::string* block);
    Result<Done> DoneRequest(std::vector<uint8_t> request, RequestCode code, bool readOnly,
                             std::chrono::milliseconds timeout);
    Result<std::vector<DeviceRecord>> DiscoverRequestSend(RequestCode code, const DiscoverRequest& request);
    std::chrono::milliseconds TimeoutFor(RequestCode code, Protocol protocol = Protocol::kLcmp) const;

    int fd_ = -1;
    int socketErrno_ = 0;
    uint16_t port_;
    uint8_t seq_;
    int readAttempts_ = 2;
    std::optional<std::chrono::milliseconds> timeout_;
    std::vector<std::vector<uint8_t>> lastSegments_;
};

// ---- Reply parsers (also used on their own by tests and tools) ---------------------------

// Each takes a reassembled reply (byte 3 the reply code) and checks every length claim.
std::optional<std::vector<DeviceRecord>> ParseDevices(const std::vector<uint8_t>& reply);
std::optional<std::vector<Param>> ParseParams(const std::vector<uint8_t>& reply);
std::optional<std::vector<Param>> ParseScpData(const std::vector<uint8_t>& reply);
std::optional<FwStatus> ParseFwStatus(const std::vector<uint8_t>& reply);
std::optional<FwTransfers> ParseFwTransfers(const std::vector<uint8_t>& reply);
std::optional<FailureDetail> ParseFailureDetail(const std::vector<uint8_t>& reply);

// The service's own words on why request `e` failed, when it can tell (request 0xF0). A
// service without the request, or whose last failure is another request's, gives none.
std::optional<Reason> FailureReason(Client& client, const Error& e);
// The firmware server's last error, when it has one.
std::optional<Reason> FirmwareFailureReason(Client& client);
// After an LCMP discovery that found nothing: the service's words when devices did answer
// but refused to tell their address (a discovery that cannot list them), nullopt otherwise.
std::optional<std::string> RefusedDiscoveryNote(Client& client);

}  // namespace kivo::client

#endif
