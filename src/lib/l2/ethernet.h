// Layer-2 constants and the codecs of the headers every kivo frame starts with:
// Ethernet, the optional 802.1Q tag, and LLC/SNAP with the kivo OUI. Each codec reads
// from a ByteReader or writes to a ByteWriter, so a short frame fails the read instead
// of being read past its end.
#ifndef KIVO_ETHERNET_H
#define KIVO_ETHERNET_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "byte_io.h"

namespace kivo::l2 {

using Mac = std::array<uint8_t, 6>;

inline constexpr size_t kMacLength = 6;
inline constexpr Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline constexpr uint16_t kVlanTpid = 0x8100;
inline constexpr size_t kEthHeaderLength = 14;  // two addresses and the type/length field
inline constexpr size_t kVlanTagLength = 4;
// Frames shorter than this (without FCS) are padded: 46 payload bytes after the type.
inline constexpr size_t kMinPayloadLength = 46;
inline constexpr size_t kMinFrameLength = kEthHeaderLength + kMinPayloadLength;  // 60
// Largest frame any kivo peer sends: a 1500-byte payload with a tag.
inline constexpr size_t kMaxFrameLength = kEthHeaderLength + kVlanTagLength + 1500;
// Receive buffers hold a jumbo frame, so that an oversized frame is seen (and refused)
// whole rather than cut.
inline constexpr size_t kRxBufferLength = 9216 + kVlanTagLength;

// LLC/SNAP: DSAP and SSAP 0xAA, control 0x03 (unnumbered information), then the OUI and
// a 16-bit protocol id. Discovery, SCP and the firmware transfer all use kivo's OUI.
inline constexpr std::array<uint8_t, 3> kLlcSnap = {0xAA, 0xAA, 0x03};
inline constexpr std::array<uint8_t, 3> kOui = {0x00, 0x13, 0x9D};
inline constexpr size_t kSnapHeaderLength = 8;
// Highest value of the type/length field that is a length (802.3) rather than an EtherType.
inline constexpr uint16_t kMaxLengthField = 1500;

// Boot ROMs start their announcement with this word.
inline constexpr std::array<uint8_t, 4> kBootRomMagic = {0x2D, 0x5A, 0xD2, 0xA5};

// The 802.1Q tag: TPID and TCI (priority in the top 3 bits, DEI, 12-bit VLAN id).
struct VlanTag {
    uint16_t tpid = kVlanTpid;
    uint16_t tci = 0;
    uint16_t vid() const { return tci & 0x0FFF; }
    uint8_t pcp() const { return static_cast<uint8_t>(tci >> 13); }
    static VlanTag Make(uint16_t vid, uint8_t pcp) {
        return VlanTag{kVlanTpid, static_cast<uint16_t>((pcp & 7) << 13 | (vid & 0x0FFF))};
    }
};

struct EthernetHeader {
    Mac dst{};
    Mac src{};
    std::optional<VlanTag> tag;
    uint16_t typeOrLength = 0;  // the field after the addresses and the tag
};

// Reads addresses, a tag when the field after the addresses is 0x8100, and the
// type/length field behind it.
inline bool EthernetRead(ByteReader& r, EthernetHeader& h) {
    uint16_t type = 0;
    if (!r.bytes(h.dst.data(), kMacLength) || !r.bytes(h.src.data(), kMacLength) || !r.be16(type))
        return false;
    h.tag.reset();
    if (type == kVlanTpid) {
        VlanTag tag;
        tag.tpid = type;
        if (!r.be16(tag.tci) || !r.be16(type)) return false;
        h.tag = tag;
    }
    h.typeOrLength = type;
    return true;
}

inline bool EthernetWrite(ByteWriter& w, const uint8_t* dst, const uint8_t* src, const VlanTag* tag,
                          uint16_t typeOrLength) {
    w.bytes(dst, kMacLength);
    w.bytes(src, kMacLength);
    if (tag != nullptr) {
        w.be16(tag->tpid);
        w.be16(tag->tci);
    }
    w.be16(typeOrLength);
    return w.ok();
}

struct SnapHeader {
    std::array<uint8_t, 3> oui{};
    uint16_t pid = 0;
    bool ours() const { return oui == kOui; }
};

// Reads an LLC/SNAP header; false when the LLC bytes are not AA AA 03.
inline bool SnapRead(ByteReader& r, SnapHeader& h) {
    std::array<uint8_t, 3> llc{};
    if (!r.bytes(llc.data(), llc.size()) || llc != kLlcSnap) return false;
    return r.bytes(h.oui.data(), h.oui.size()) && r.be16(h.pid);
}

inline bool SnapWrite(ByteWriter& w, uint16_t pid) {
    w.bytes(kLlcSnap.data(), kLlcSnap.size());
    w.bytes(kOui.data(), kOui.size());
    w.be16(pid);
    return w.ok();
}

// A received frame, parsed once: addresses, tag and type; the payload is what follows
// the type/length field. Pointers are into the receive buffer.
struct FrameView {
    const uint8_t* data = nullptr;  // the whole frame as it was on the wire, tag in place
    size_t length = 0;
    EthernetHeader eth;
    const uint8_t* payload = nullptr;
    size_t payloadLength = 0;
    bool outgoing = false;  // sent by this host (packet sockets see those too)

    const uint8_t* dst() const { return eth.dst.data(); }
    const uint8_t* src() const { return eth.src.data(); }
    ByteReader payloadReader() const { return ByteReader(payload, payloadLength); }
};

// Parses the Ethernet header (and tag) of length bytes at data; false when too short.
inline bool FrameParse(const uint8_t* data, size_t length, FrameView& out) {
    ByteReader r(data, length);
    if (!EthernetRead(r, out.eth)) return false;
    out.data = data;
    out.length = length;
    out.payload = data + r.pos();
    out.payloadLength = r.remaining();
    return true;
}

// Writes a frame into out (cap bytes): header, optional tag, type/length, payload, and
// zero padding of the payload to kMinPayloadLength. Returns the frame length, 0 when it
// does not fit.
inline size_t FrameBuild(uint8_t* out, size_t cap, const uint8_t* dst, const uint8_t* src, const VlanTag* tag,
                         uint16_t typeOrLength, const uint8_t* payload, size_t payloadLength) {
    const size_t padded = payloadLength < kMinPayloadLength ? kMinPayloadLength : payloadLength;
    const size_t total = kEthHeaderLength + (tag != nullptr ? kVlanTagLength : 0) + padded;
    if (out == nullptr || total > cap || (payload == nullptr && payloadLength > 0)) return 0;
    ByteWriter w(out, total);
    EthernetWrite(w, dst, src, tag, typeOrLength);
    w.bytes(payload, payloadLength);
    w.fill(0, padded - payloadLength);
    return w.ok() ? total : 0;
}

}  // namespace kivo::l2

#endif
