// Reply parsers of the client: each checks every length claim of a reassembled reply.
#include <cstring>

#include "byte_io.h"
#include "client_internal.h"

namespace kivo::client {

using namespace detail;

namespace {

// Reads a zero-terminated text that must end before `end` (an absolute offset).
bool ReadText(ByteReader& r, size_t end, std::string& out) {
    const uint8_t* start = r.current();
    size_t avail = end > r.pos() ? end - r.pos() : 0;
    const void* zero = std::memchr(start, 0, avail);
    if (zero == nullptr) return false;
    size_t n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - start);
    out.assign(reinterpret_cast<const char*>(start), n);
    return r.skip(n + 1);
}

bool ReadCode(ByteReader& r, ReplyCode expected) {
    uint8_t code = 0;
    return r.seek(3) && r.u8(code) && code == static_cast<uint8_t>(expected);
}

}  // namespace

std::optional<std::vector<DeviceRecord>> ParseDevices(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    uint8_t count = 0;
    if (!ReadCode(r, ReplyCode::kDevices) || !r.u8(count)) return std::nullopt;
    std::vector<DeviceRecord> out;
    for (unsigned i = 0; i < count; ++i) {
        DeviceRecord d;
        uint8_t len = 0;
        std::span<const uint8_t> name;
        if (!r.u8(d.type) || !r.u8(len) || !r.view(name, len) || !r.bytes(d.mac.data(), d.mac.size()))
            return std::nullopt;
        d.interface.assign(name.begin(), name.end());
        out.push_back(std::move(d));
    }
    if (r.remaining() != 0) return std::nullopt;
    return out;
}

std::optional<std::vector<Param>> ParseParams(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    uint32_t length = 0;
    if (!ReadCode(r, ReplyCode::kParams) || !r.be32(length) || length != r.remaining()) return std::nullopt;
    const size_t end = reply.size();
    std::vector<Param> out;
    while (r.remaining() > 0) {
        Param p;
        uint8_t type = 0;
        uint32_t elements = 0;
        if (!ReadText(r, end, p.name) || !ReadText(r, end, p.value) || !r.u8(type) || !r.be32(elements))
            return std::nullopt;
        p.type = type;
        p.elements = elements;
        p.refused = type == kTypeError;
        out.push_back(std::move(p));
    }
    return out;
}

std::optional<std::vector<Param>> ParseScpData(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    uint32_t length = 0;
    if (!ReadCode(r, ReplyCode::kScpData) || !r.be32(length) || length != r.remaining()) return std::nullopt;
    const size_t end = reply.size();
    std::vector<std::string> items;
    while (r.remaining() > 0) {
        std::string item;
        if (!ReadText(r, end, item)) return std::nullopt;
        items.push_back(std::move(item));
    }
    // Name and value (or status) alternate; an odd count means the data is cut.
    if (items.size() % 2 != 0) return std::nullopt;
    std::vector<Param> out;
    for (size_t i = 0; i < items.size(); i += 2) {
        Param p;
        p.name = std::move(items[i]);
        p.value = std::move(items[i + 1]);
        p.refused = p.value.rfind("ERROR", 0) == 0;
        out.push_back(std::move(p));
    }
    return out;
}

std::optional<FwStatus> ParseFwStatus(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    FwStatus s;
    if (!ReadCode(r, ReplyCode::kFwStatus) || !r.u8(s.state) || !r.be32(s.bytes) || !r.be32(s.total))
        return std::nullopt;
    uint32_t retransmissions = 0;
    if (r.remaining() == 0) return s;
    if (r.remaining() == 4 && r.be32(retransmissions)) {
        s.retransmissions = retransmissions;
        return s;
    }
    return std::nullopt;
}

std::optional<FwTransfers> ParseFwTransfers(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    FwTransfers out;
    uint8_t count = 0;
    if (!ReadCode(r, ReplyCode::kFwTransfers) || !r.be64(out.nowMs) || !r.u8(count)) return std::nullopt;
    for (unsigned i = 0; i < count; ++i) {
        FwTransfer t;
        uint8_t flags = 0;
        uint8_t ifLength = 0;
        uint16_t textLength = 0;
        std::span<const uint8_t> name;
        std::span<const uint8_t> text;
        Mac mac{};
        if (!r.u8(flags) || !r.u8(t.kind) || !r.u8(ifLength) || !r.view(name, ifLength) ||
            !r.bytes(mac.data(), mac.size()) || !r.u8(t.state) || !r.be32(t.bytes) || !r.be32(t.total) ||
            !r.be32(t.retransmissions) || !r.be16(t.reason.code) || !r.be64(t.startMs) || !r.be64(t.endMs) ||
            !r.be16(textLength) || !r.view(text, textLength))
            return std::nullopt;
        t.latest = (flags & 1) != 0;
        if ((flags & 2) != 0) t.device = mac;
        t.interface.assign(name.begin(), name.end());
        t.reason.text.assign(text.begin(), text.end());
        out.transfers.push_back(std::move(t));
    }
    if (r.remaining() != 0) return std::nullopt;
    return out;
}

std::optional<FailureDetail> ParseFailureDetail(const Bytes& reply) {
    ByteReader r(reply.data(), reply.size());
    FailureDetail d;
    uint8_t any = 0;
    uint16_t len = 0;
    std::span<const uint8_t> text;
    if (!ReadCode(r, ReplyCode::kDetail) || !r.u8(any) || !r.u8(d.seq) || !r.u8(d.request) ||
        !r.be16(d.reason.code) || !r.be16(len) || !r.view(text, len))
        return std::nullopt;
    d.any = any != 0;
    d.reason.text.assign(text.begin(), text.end());
    if (!r.be16(d.firmware.code) || !r.be16(len) || !r.view(text, len)) return std::nullopt;
    d.firmware.text.assign(text.begin(), text.end());
    return d;
}

}  // namespace kivo::client
