// The typed requests of the client: each encodes its request, checks the fields that
// travel with one-byte lengths, and parses the reply it expects.
#include "byte_io.h"
#include "client_internal.h"

namespace kivo::client {

namespace detail {

std::optional<std::string> CheckName(std::string_view what, std::string_view text, size_t max) {
    if (text.size() > max) return std::string(what) + " is longer than " + std::to_string(max) + " bytes";
    if (HasZero(text)) return std::string(what) + " contains a zero byte";
    return std::nullopt;
}

std::optional<std::string> CheckVlan(uint16_t vlan) {
    if (vlan >= 4095) return "VLAN id " + std::to_string(vlan) + " is out of range (0 to 4094)";
    return std::nullopt;
}

// Request header: seq (set when sent), 0, 0, 0, code.
Bytes Header(RequestCode code, size_t bodySize) {
    Bytes b(5 + bodySize);
    b[4] = static_cast<uint8_t>(code);
    return b;
}

// Common checks of a typed reply: the one-byte answer, REFUSED, FAILED and foreign codes.
std::optional<Error> ReplyError(const Bytes& reply, RequestCode code, ReplyCode expected) {
    uint8_t seq = reply.empty() ? 0 : reply[0];
    if (reply.size() == 1)
        return MakeError(ErrorKind::kUnsupported, code, seq,
                         "the service does not know the " + std::string(RequestName(code)) +
                             " request (it is older than this client)");
    if (reply.size() < 4)
        return MakeError(ErrorKind::kBadReply, code, seq,
                         "the reply has only " + std::to_string(reply.size()) + " bytes");
    uint8_t got = reply[3];
    if (got == static_cast<uint8_t>(expected)) return std::nullopt;
    if (got == static_cast<uint8_t>(ReplyCode::kRefused))
        return MakeError(ErrorKind::kRefused, code, seq,
                         "the service refused the " + std::string(RequestName(code)) + " request");
    if (got == static_cast<uint8_t>(ReplyCode::kFailed))
        return MakeError(ErrorKind::kFailed, code, seq,
                         "the " + std::string(RequestName(code)) + " request failed");
    return MakeError(ErrorKind::kBadReply, code, seq,
                     "the service answered the " + std::string(RequestName(code)) + " request with " +
                         ReplyName(got) + " instead of " + ReplyName(static_cast<uint8_t>(expected)));
}

Error Malformed(const Bytes& reply, RequestCode code, ReplyCode expected) {
    return MakeError(ErrorKind::kBadReply, code, reply.empty() ? 0 : reply[0],
                     "the " + ReplyName(static_cast<uint8_t>(expected)) + " reply to the " +
                         std::string(RequestName(code)) + " request is malformed (" +
                         std::to_string(reply.size()) + " bytes)");
}

}  // namespace detail

using namespace detail;
using protocol::kMaxDatagram;

Result<Version> Client::GetVersion() {
    auto r = Exchange(Header(RequestCode::kVersion, 0), RequestCode::kVersion, true,
                      TimeoutFor(RequestCode::kVersion));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kVersion, ReplyCode::kVersion)) return *e;
    if (r->size() != 7) return Malformed(*r, RequestCode::kVersion, ReplyCode::kVersion);
    return Version{(*r)[4], (*r)[5], (*r)[6]};
}

Result<std::vector<DeviceRecord>> Client::DiscoverRequestSend(RequestCode code,
                                                              const DiscoverRequest& request) {
    if (auto e = CheckName("the interface name", request.interface, 255))
        return MakeError(ErrorKind::kInvalidArgument, code, 0, *e);
    if (auto e = CheckVlan(request.vlan)) return MakeError(ErrorKind::kInvalidArgument, code, 0, *e);
    Bytes req = Header(code, 1 + request.interface.size() + 2);
    ByteWriter w(req.data() + 5, req.size() - 5);
    w.u8(static_cast<uint8_t>(request.interface.size()));
    w.bytes(request.interface.data(), request.interface.size());
    w.be16(request.vlan);
    auto r = Exchange(std::move(req), code, true, TimeoutFor(code));
    if (!r) return r.error();
    if (r->size() >= 4 && (*r)[3] == static_cast<uint8_t>(ReplyCode::kFailed))
        return std::vector<DeviceRecord>{};  // nothing found
    if (auto e = ReplyError(*r, code, ReplyCode::kDevices)) return *e;
    auto devices = ParseDevices(*r);
    if (!devices) return Malformed(*r, code, ReplyCode::kDevices);
    return *devices;
}

Result<std::vector<DeviceRecord>> Client::Discover(const DiscoverRequest& request) {
    return DiscoverRequestSend(RequestCode::kDiscover, request);
}

Result<std::vector<DeviceRecord>> Client::DiscoverLcmp(const DiscoverRequest& request) {
    return DiscoverRequestSend(RequestCode::kDiscoverLcmp, request);
}

namespace {

std::optional<std::string> CheckDevice(const DeviceAddress& d) {
    if (d.interface.empty()) return "no interface named";
    if (auto e = CheckName("the interface name", d.interface, 255)) return e;
    if (auto e = CheckName("the password", d.password, 255)) return e;
    return CheckVlan(d.vlan);
}

// Parameter request up to the password (from byte 5), then optionally N and the block.
Bytes ParamHeader(RequestCode code, const DeviceAddress& d, const std::string* block) {
    size_t body = 1 + 1 + d.interface.size() + 2 + 6 + 1 + d.password.size();
    if (block) body += 4 + block->size();
    Bytes req = Header(code, body);
    ByteWriter w(req.data() + 5, req.size() - 5);
    w.u8(static_cast<uint8_t>(d.protocol));
    w.u8(static_cast<uint8_t>(d.interface.size()));
    w.bytes(d.interface.data(), d.interface.size());
    w.be16(d.vlan);
    w.bytes(d.mac.data(), d.mac.size());
    w.u8(static_cast<uint8_t>(d.password.size()));
    w.bytes(d.password.data(), d.password.size());
    if (block) {
        w.be32(static_cast<uint32_t>(block->size()));
        w.bytes(block->data(), block->size());
    }
    return req;
}

}  // namespace

Result<ParamReply> Client::ParamRequest(RequestCode code, const DeviceAddress& device,
                                        const std::string* block) {
    if (auto e = CheckDevice(device)) return MakeError(ErrorKind::kInvalidArgument, code, 0, *e);
    if (block && block->size() > kMaxDatagram)
        return MakeError(ErrorKind::kInvalidArgument, code, 0, "the parameter list does not fit one request");
    const bool readOnly = code == RequestCode::kGet || code == RequestCode::kGetAll;
    auto r = Exchange(ParamHeader(code, device, block), code, readOnly, TimeoutFor(code, device.protocol));
    if (!r) return r.error();
    const ReplyCode expected = device.protocol == Protocol::kScp ? ReplyCode::kScpData : ReplyCode::kParams;
    if (auto e = ReplyError(*r, code, expected)) return *e;
    auto params = device.protocol == Protocol::kScp ? ParseScpData(*r) : ParseParams(*r);
    if (!params) return Malformed(*r, code, expected);
    return ParamReply{device.protocol, std::move(*params)};
}

Result<ParamReply> Client::GetAll(const DeviceAddress& device) {
    return ParamRequest(RequestCode::kGetAll, device, nullptr);
}

Result<ParamReply> Client::Get(const DeviceAddress& device, const std::vector<std::string>& names) {
    if (names.empty())
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kGet, 0, "no parameter name given");
    std::string block;
    for (const auto& n : names) {
        if (n.empty() || HasZero(n))
            return MakeError(ErrorKind::kInvalidArgument, RequestCode::kGet, 0,
                             "a parameter name is empty or contains a zero byte");
        block += n;
        block += '\0';
    }
    return ParamRequest(RequestCode::kGet, device, &block);
}

Result<ParamReply> Client::Set(const DeviceAddress& device,
                               const std::vector<std::pair<std::string, std::string>>& values) {
    if (values.empty())
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kSet, 0, "no parameter value given");
    std::string block;
    for (const auto& [name, value] : values) {
        if (name.empty() || HasZero(name) || HasZero(value))
            return MakeError(ErrorKind::kInvalidArgument, RequestCode::kSet, 0,
                             "a parameter name is empty, or a name or value contains a zero byte");
        block += name;
        block += '\0';
        block += value;
        block += '\0';
    }
    return ParamRequest(RequestCode::kSet, device, &block);
}

Result<Done> Client::DoneRequest(Bytes request, RequestCode code, bool readOnly, milliseconds timeout) {
    auto r = Exchange(std::move(request), code, readOnly, timeout);
    if (!r) return r.error();
    if (auto e = ReplyError(*r, code, ReplyCode::kDone)) return *e;
    if (r->size() != 4) return Malformed(*r, code, ReplyCode::kDone);
    return Done{};
}

Result<Done> Client::FactoryReset(const DeviceAddress& device) {
    if (auto e = CheckDevice(device))
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kFactoryReset, 0, *e);
    return DoneRequest(ParamHeader(RequestCode::kFactoryReset, device, nullptr), RequestCode::kFactoryReset,
                       false, TimeoutFor(RequestCode::kFactoryReset, device.protocol));
}

namespace {

Bytes FwStartRequest(const std::string& ifName, uint16_t vlan, const Mac& mac, const std::string& fw,
                     const std::string& loader) {
    Bytes req = Header(RequestCode::kFwStart, 1 + ifName.size() + 2 + 6 + 2 + fw.size() + 2 + loader.size());
    ByteWriter w(req.data() + 5, req.size() - 5);
    w.u8(static_cast<uint8_t>(ifName.size()));
    w.bytes(ifName.data(), ifName.size());
    w.be16(vlan);
    w.bytes(mac.data(), mac.size());
    w.be16(static_cast<uint16_t>(fw.size()));
    w.bytes(fw.data(), fw.size());
    w.be16(static_cast<uint16_t>(loader.size()));
    w.bytes(loader.data(), loader.size());
    return req;
}

std::optional<std::string> CheckFwStart(const std::string& ifName, uint16_t vlan, const std::string& fw,
                                        const std::string* loader) {
    if (ifName.empty()) return "no interface named";
    if (auto e = CheckName("the interface name", ifName, 255)) return e;
    if (auto e = CheckVlan(vlan)) return e;
    if (fw.empty()) return "no firmware file named";
    if (auto e = CheckName("the firmware file path", fw, 65535)) return e;
    if (loader) {
        if (loader->empty()) return "no loader file named";
        if (auto e = CheckName("the loader file path", *loader, 65535)) return e;
    }
    return std::nullopt;
}

}  // namespace

Result<Done> Client::FwStartUpgrade(const FwUpgradeRequest& q) {
    if (auto e = CheckFwStart(q.interface, q.vlan, q.firmwarePath, nullptr))
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kFwStart, 0, *e);
    return DoneRequest(FwStartRequest(q.interface, q.vlan, q.device, q.firmwarePath, ""),
                       RequestCode::kFwStart, false, TimeoutFor(RequestCode::kFwStart));
}

Result<Done> Client::FwStartBoot(const FwBootRequest& q) {
    if (auto e = CheckFwStart(q.interface, q.vlan, q.firmwarePath, &q.loaderPath))
        return MakeError(ErrorKind::kInvalidArgument, RequestCode::kFwStart, 0, *e);
    return DoneRequest(FwStartRequest(q.interface, q.vlan, Mac{}, q.firmwarePath, q.loaderPath),
                       RequestCode::kFwStart, false, TimeoutFor(RequestCode::kFwStart));
}

Result<Done> Client::FwStop() {
    return DoneRequest(Header(RequestCode::kFwStop, 0), RequestCode::kFwStop, false,
                       TimeoutFor(RequestCode::kFwStop));
}

Result<FwStatus> Client::GetFwStatus() {
    auto r = Exchange(Header(RequestCode::kFwStatus, 0), RequestCode::kFwStatus, true,
                      TimeoutFor(RequestCode::kFwStatus));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kFwStatus, ReplyCode::kFwStatus)) return *e;
    auto s = ParseFwStatus(*r);
    if (!s) return Malformed(*r, RequestCode::kFwStatus, ReplyCode::kFwStatus);
    return *s;
}

Result<FwTransfers> Client::GetFwTransfers() {
    auto r = Exchange(Header(RequestCode::kFwTransfers, 0), RequestCode::kFwTransfers, true,
                      TimeoutFor(RequestCode::kFwTransfers));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kFwTransfers, ReplyCode::kFwTransfers)) return *e;
    auto t = ParseFwTransfers(*r);
    if (!t) return Malformed(*r, RequestCode::kFwTransfers, ReplyCode::kFwTransfers);
    return *t;
}

Result<Done> Client::FwStopDevice(const Mac& device) {
    Bytes request = Header(RequestCode::kFwStopDevice, 0);
    request.push_back(1);
    request.insert(request.end(), device.begin(), device.end());
    return DoneRequest(std::move(request), RequestCode::kFwStopDevice, false,
                       TimeoutFor(RequestCode::kFwStopDevice));
}

Result<Done> Client::FwStopAll() {
    Bytes request = Header(RequestCode::kFwStopDevice, 0);
    request.push_back(0);
    return DoneRequest(std::move(request), RequestCode::kFwStopDevice, false,
                       TimeoutFor(RequestCode::kFwStopDevice));
}

Result<FailureDetail> Client::GetFailureDetail() {
    auto r = Exchange(Header(RequestCode::kFailureDetail, 0), RequestCode::kFailureDetail, true,
                      TimeoutFor(RequestCode::kFailureDetail));
    if (!r) return r.error();
    if (auto e = ReplyError(*r, RequestCode::kFailureDetail, ReplyCode::kDetail)) return *e;
    auto d = ParseFailureDetail(*r);
    if (!d) return Malformed(*r, RequestCode::kFailureDetail, ReplyCode::kDetail);
    return *d;
}

std::optional<Reason> FailureReason(Client& client, const Error& e) {
    auto d = client.GetFailureDetail();
    if (!d || !d->any || d->seq != e.seq || d->request != static_cast<uint8_t>(e.request))
        return std::nullopt;
    if (d->reason.code == 0 && d->reason.text.empty()) return std::nullopt;
    return d->reason;
}

std::optional<Reason> FirmwareFailureReason(Client& client) {
    auto d = client.GetFailureDetail();
    if (!d || (d->firmware.code == 0 && d->firmware.text.empty())) return std::nullopt;
    return d->firmware;
}

std::optional<std::string> RefusedDiscoveryNote(Client& client) {
    auto d = client.GetFailureDetail();
    if (!d || !d->any || d->request != static_cast<uint8_t>(RequestCode::kDiscoverLcmp) ||
        d->reason.code != static_cast<uint16_t>(protocol::Reason::kDeviceRefused))
        return std::nullopt;
    return d->reason.text;
}

}  // namespace kivo::client
