// Simulated legacy SCP device (role "scp").
//
// Frames: destination, source, 802.3 length (message length + 8), LLC AA AA 03,
// SNAP 00 13 9D, type 0x16, subtype 0x01, then the SCP message:
//   0 opcode, 1 fixed 1, 2 reserved, 3 op_number, 4 seq_number, 5 last_item,
//   6-7 reserved, 8-9 payload_length (BE), 10-13 crc (BE), 14... payload.
// The payload is an item list: length L (BE16, bytes after the length field), item
// type (1 name, 2 value, 3 error), sub-type (0x0A for names, the value type for
// values), L - 2 content bytes. Enciphered payloads (set, factory reset, private
// get/set and their replies) are padded with 0xE6 to a multiple of 8 first; the CRC
// (CRC-32 table, preset 0xFFFFFFFF, no final inversion) covers the plain padded
// payload.
//
// Requests and replies:
//   get (1) -> 4, private get (7) -> 9: name + value item per name, or name + error
//     item for names the device does not have; an empty list asks for everything.
//   set (2) -> 5, private set (8) -> 10: name + status item per pair (status 0 when
//     stored).
//   factory reset (3) -> 6: name + status item; the table returns to its start.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "crc32.h"
#include "live_values.h"
#include "sha2_pub.h"
#include "sim.h"
#include "sim_values.h"
#include "triple_des.h"

namespace devsim {
namespace {

constexpr size_t kFrameHeader = 22;
constexpr size_t kMsgHeader = 14;
constexpr size_t kMaxFrame = 1514;
constexpr size_t kMaxPayload = kMaxFrame - kFrameHeader - kMsgHeader;  // 1478
constexpr uint8_t kSnap[8] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x16, 0x01};
constexpr uint8_t kPad = 0xE6;
constexpr const char* kFactoryResetName = "FACTORYRESET.GENERAL.FORCE_RESET";

enum ItemType : uint8_t { kItemName = 1, kItemValue = 2, kItemError = 3 };

struct Param {
    std::string name;
    int type = 0;
    Bytes value;
};

struct Item {
    uint8_t type = 0;
    uint8_t sub = 0;
    Bytes content;
};

struct ScpState {
    bool loaded = false;
    std::vector<Param> params;
    std::vector<Param> initial;
    int badCrcLeft = 0;  // replies still to be sent with a wrong CRC
};

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
void PutBe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void PutBe32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t ScpCrc(const uint8_t* p, size_t n) {
    return crc32(p, static_cast<INT32U>(n), 0xFFFFFFFFu);
}

// Key material of the device's password: SHA-256 digest or the legacy hash.
struct Key {
    std::string kind;  // "sha256" or "legacy"
    uint8_t bytes[32];
};

std::vector<Key> Keys(const Device& d) {
    std::string password = d.opt("password");
    std::string hash = d.opt("hash", "both");
    std::vector<Key> keys;
    auto* pw = reinterpret_cast<const INT8U*>(password.data());
    if (hash == "sha256" || hash == "both") {
        Key k{"sha256", {}};
        GenerateSha256Hash(k.bytes, pw, static_cast<INT32U>(password.size()));
        keys.push_back(k);
    }
    if (hash == "legacy" || hash == "both") {
        Key k{"legacy", {}};
        GenerateLegacyHash(k.bytes, pw, static_cast<INT32U>(password.size()));
        keys.push_back(k);
    }
    return keys;
}

void LoadTable(Sim& sim, Device& d, ScpState& st) {
    st.params.clear();
    for (const std::string& line : d.optAll("param")) {
        ParamLine entry;
        std::string why;
        if (!ParseParamLine(line, ByteOrder::Big, entry, &why)) {
            sim.Log(d, "SCP config error: param " + why);
            continue;
        }
        st.params.push_back(Param{entry.name, entry.type, entry.value});
    }
    st.initial = st.params;
    st.badCrcLeft = static_cast<int>(d.optInt("bad_crc", 0));
    st.loaded = true;
}

Param* FindParam(ScpState& st, const std::string& name) {
    for (Param& p : st.params)
        if (p.name == name) return &p;
    return nullptr;
}

bool IsReadOnly(const Device& d, const std::string& name) {
    for (const std::string& n : d.optAll("readonly"))
        if (n == name) return true;
    return false;
}

// Reads an item list. With padded, two 0xE6 bytes where a length field would start
// end the list. False when an item runs past the payload.
bool ReadItems(const uint8_t* p, size_t n, bool padded, std::vector<Item>& items) {
    size_t pos = 0;
    while (pos < n) {
        // Padding: up to 7 bytes 0xE6 at the end where a length field would start.
        if (padded && n - pos < 8 && p[pos] == kPad && (n - pos == 1 || p[pos + 1] == kPad)) break;
        if (n - pos < 4) return false;
        size_t len = Be16(p + pos);
        if (len < 2 || len + 2 > n - pos) return false;
        items.push_back(Item{p[pos + 2], p[pos + 3], Bytes(p + pos + 4, p + pos + 2 + len)});
        pos += len + 2;
    }
    return true;
}

void AddItem(Bytes& list, uint8_t type, uint8_t sub, const uint8_t* content, size_t n) {
    PutBe16(list, static_cast<uint16_t>(n + 2));
    list.push_back(type);
    list.push_back(sub);
    list.insert(list.end(), content, content + n);
}
void AddName(Bytes& list, const std::string& name) {
    AddItem(list, kItemName, 0x0A, reinterpret_cast<const uint8_t*>(name.data()), name.size());
}
void AddStatus(Bytes& list, int32_t status) {
    Bytes s;
    PutBe32(s, static_cast<uint32_t>(status));
    AddItem(list, kItemError, 0, s.data(), s.size());
}

// Opcode of the reply to a request opcode.
uint8_t ReplyOpcode(uint8_t opcode) {
    switch (opcode) {
        case 1:
            return 4;
        case 2:
            return 5;
        case 3:
            return 6;
        case 7:
            return 9;
        case 8:
            return 10;
        default:
            return 0;
    }
}

std::string OpName(uint8_t opcode) {
    switch (opcode) {
        case 1:
            return "GET";
        case 2:
            return "SET";
        case 3:
            return "FACTORY_RESET";
        case 7:
            return "GETP";
        case 8:
            return "SETP";
        default:
            return "OPCODE" + std::to_string(opcode);
    }
}

// Builds one reply frame. lengthClaimExtra makes payload_length claim more bytes than
// the frame holds (a decoy).
Bytes BuildFrame(const Mac& dst, const Mac& src, uint8_t opcode, uint8_t opNumber, uint8_t seq, bool last,
                 const Bytes& plain, const Key* key, bool badCrc, int lengthClaimExtra = 0) {
    Bytes payload = plain;
    if (key != nullptr)
        while (payload.size() % 8 != 0) payload.push_back(kPad);
    uint32_t crc = ScpCrc(payload.data(), payload.size());
    if (badCrc) crc ^= 0x5A5A5A5Au;
    // Key material whose first byte is 0 leaves the payload plain (the client makes
    // the same test before deciphering).
    if (key != nullptr && key->bytes[0] != 0)
        DES3CBCCipher(payload.data(), static_cast<INT32S>(payload.size()), key->bytes);
    Bytes msg;
    msg.push_back(opcode);
    msg.push_back(1);
    msg.push_back(0);
    msg.push_back(opNumber);
    msg.push_back(seq);
    msg.push_back(last ? 1 : 0);
    PutBe16(msg, 0);
    PutBe16(msg, static_cast<uint16_t>(payload.size() + lengthClaimExtra));
    PutBe32(msg, crc);
    msg.insert(msg.end(), payload.begin(), payload.end());
    Bytes frame(dst.begin(), dst.end());
    frame.insert(frame.end(), src.begin(), src.end());
    PutBe16(frame, static_cast<uint16_t>(msg.size() + 8));
    frame.insert(frame.end(), kSnap, kSnap + 8);
    frame.insert(frame.end(), msg.begin(), msg.end());
    while (frame.size() < kFrameHeader + 24) frame.push_back(0);
    return frame;
}

// Cuts a reply item list into messages of at most chunk bytes. Items may continue
// into the next message. Enciphered messages other than the last carry a multiple of
// 8 bytes, so that padding only ever ends the list.
std::vector<Bytes> Chunks(const Bytes& list, size_t chunk, bool enciphered) {
    if (enciphered) chunk = std::max<size_t>(8, chunk & ~size_t{7});
    std::vector<Bytes> out;
    size_t pos = 0;
    do {
        size_t n = std::min(chunk, list.size() - pos);
        out.emplace_back(list.begin() + static_cast<long>(pos), list.begin() + static_cast<long>(pos + n));
        pos += n;
    } while (pos < list.size());
    return out;
}

void SendReply(Sim& sim, Device& d, Port* port, const Mac& to, uint8_t opcode, uint8_t opNumber,
               const Bytes& list, const Key* key, bool split) {
    ScpState& st = sim.State<ScpState>(d, "scp");
    size_t chunk = kMaxPayload;
    if (key != nullptr) chunk = kMaxPayload & ~size_t{7};
    if (split)
        chunk = std::min<size_t>(
            chunk, static_cast<size_t>(std::max<long long>(1, d.optInt("reply_payload", 1478))));
    if (!split && list.size() > chunk) {
        sim.Log(d,
                "SCP reply of " + std::to_string(list.size()) + " bytes does not fit one message; not sent");
        return;
    }
    std::vector<Bytes> chunks = split ? Chunks(list, chunk, key != nullptr) : std::vector<Bytes>{list};
    const uint8_t reply = ReplyOpcode(opcode);
    // Set and factory-reset replies that always announce more to come.
    const bool endless = !split && d.optBool("endless", false);
    const bool noise = d.optBool("noise", false);
    std::vector<Bytes> frames;
    for (size_t i = 0; i < chunks.size(); ++i) {
        uint8_t seq = static_cast<uint8_t>(i + 1);
        bool last = (i + 1 == chunks.size()) && !endless;
        if (noise) {
            // Decoys the client must skip: another sender, another operation,
            // another sequence number, a payload longer than the frame, another
            // frame type. Each carries a different item list.
            Bytes decoy;
            AddName(decoy, "DECOY");
            Mac other = d.mac;
            other[5] ^= 0xFF;
            frames.push_back(BuildFrame(to, other, reply, opNumber, seq, last, decoy, key, false));
            frames.push_back(BuildFrame(to, d.mac, reply, static_cast<uint8_t>(opNumber + 1), seq, last,
                                        decoy, key, false));
            frames.push_back(BuildFrame(to, d.mac, reply, opNumber, static_cast<uint8_t>(seq + 1), last,
                                        decoy, key, false));
            frames.push_back(BuildFrame(to, d.mac, reply, opNumber, seq, last, decoy, key, false, 600));
            Bytes wrongType = BuildFrame(to, d.mac, reply, opNumber, seq, last, decoy, key, false);
            wrongType[20] = 0x17;
            frames.push_back(wrongType);
        }
        bool badCrc = st.badCrcLeft > 0;
        if (badCrc) --st.badCrcLeft;
        frames.push_back(BuildFrame(to, d.mac, reply, opNumber, seq, last, chunks[i], key, badCrc));
    }
    std::ostringstream log;
    log << "SCP tx " << OpName(opcode) << ".reply op=" << int(opNumber) << " messages=" << chunks.size()
        << " bytes=" << list.size();
    long long delayMs = d.optInt("delay_ms", 0);
    auto send = [&sim, &d, port, frames, text = log.str()]() {
        for (const Bytes& f : frames) port->Send(f);
        sim.Log(d, text);
    };
    if (delayMs > 0)
        sim.After(std::chrono::milliseconds(delayMs), send);
    else
        send();
}

void HandleGet(Sim& sim, Device& d, ScpState& st, const Frame& f, uint8_t opcode, uint8_t opNumber,
               const std::vector<Item>& items, const Key* key) {
    Bytes list;
    std::vector<std::string> names;
    for (const Item& it : items)
        if (it.type == kItemName) names.emplace_back(it.content.begin(), it.content.end());
    const int32_t unknownStatus = static_cast<int32_t>(d.optInt("unknown_status", -36));
    if (names.empty()) {
        for (const Param& p : st.params) {
            AddName(list, p.name);
            const Bytes now = LiveValue(d, p.name, p.type, p.value, ByteOrder::Big);
            AddItem(list, kItemValue, static_cast<uint8_t>(p.type), now.data(), now.size());
        }
    } else {
        for (const std::string& name : names) {
            AddName(list, name);
            const Param* p = FindParam(st, name);
            if (p == nullptr) {
                AddStatus(list, unknownStatus);
            } else {
                const Bytes now = LiveValue(d, name, p->type, p->value, ByteOrder::Big);
                AddItem(list, kItemValue, static_cast<uint8_t>(p->type), now.data(), now.size());
            }
        }
    }
    SendReply(sim, d, f.port, f.src(), opcode, opNumber, list, key, true);
}

void HandleSet(Sim& sim, Device& d, ScpState& st, const Frame& f, uint8_t opcode, uint8_t opNumber,
               const std::vector<Item>& items, const Key* key) {
    Bytes list;
    const int32_t unknownStatus = static_cast<int32_t>(d.optInt("unknown_status", -36));
    const int32_t readonlyStatus = static_cast<int32_t>(d.optInt("readonly_status", -60));
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].type != kItemName) continue;
        std::string name(items[i].content.begin(), items[i].content.end());
        AddName(list, name);
        const Item* value =
            (i + 1 < items.size() && items[i + 1].type == kItemValue) ? &items[i + 1] : nullptr;
        Param* p = FindParam(st, name);
        int32_t status = 0;
        if (p == nullptr)
            status = unknownStatus;
        else if (IsReadOnly(d, name))
            status = readonlyStatus;
        else if (value == nullptr || value->sub != p->type)
            status = -4;  // wrong parameter
        else
            p->value = value->content;
        std::ostringstream log;
        log << "SCP set " << name;
        if (value != nullptr)
            log << " type=" << ValueTypeName(value->sub) << " value=" << Hex(value->content);
        log << " status=" << status;
        sim.Log(d, log.str());
        AddStatus(list, status);
    }
    SendReply(sim, d, f.port, f.src(), opcode, opNumber, list, key, false);
}

void HandleFactoryReset(Sim& sim, Device& d, ScpState& st, const Frame& f, uint8_t opNumber,
                        const std::vector<Item>& items, const Key* key) {
    bool named = !items.empty() && items[0].type == kItemName &&
                 std::string(items[0].content.begin(), items[0].content.end()) == kFactoryResetName;
    Bytes list;
    AddName(list, kFactoryResetName);
    const int32_t status = named ? static_cast<int32_t>(d.optInt("factory_reset_status", 0)) : -4;
    if (status == 0) {
        st.params = st.initial;
        sim.Log(d, "SCP factory reset: table restored");
    } else {
        sim.Log(d, "SCP factory reset refused: status=" + std::to_string(status));
    }
    AddStatus(list, status);
    SendReply(sim, d, f.port, f.src(), 3, opNumber, list, key, false);
}

// Checks the payload's CRC; an enciphered payload is deciphered first with each key the
// device accepts, and the one whose plain text matches the CRC is the sender's. False
// (and logged) when the frame is to be dropped.
bool Unwrap(Sim& sim, Device& d, Bytes& payload, uint32_t crcField, bool enciphered, std::optional<Key>& key,
            std::ostringstream& head) {
    if (enciphered) {
        for (const Key& k : Keys(d)) {
            Bytes plain = payload;
            DES3CBCDecipher(plain.data(), static_cast<INT32S>(plain.size()), k.bytes);
            if (ScpCrc(plain.data(), plain.size()) == crcField) {
                key = k;
                payload = std::move(plain);
                break;
            }
        }
        if (!key) {
            sim.Log(d, head.str() + " dropped: no key of the device matches");
            return false;
        }
        head << " key=" << key->kind;
    } else if (ScpCrc(payload.data(), payload.size()) != crcField) {
        sim.Log(d, head.str() + " dropped: bad crc");
        return false;
    }
    return true;
}

// The item counts and the first name, for the log line of a received message.
void DescribeItems(const std::vector<Item>& items, std::ostringstream& head) {
    size_t names = 0;
    for (const Item& it : items) names += it.type == kItemName;
    head << " items=" << items.size() << " names=" << names;
    for (const Item& it : items)
        if (it.type == kItemName) {
            head << " first=" << std::string(it.content.begin(), it.content.end()).substr(0, 64);
            break;
        }
}

bool OnFrame(Sim& sim, Device& d, const Frame& f) {
    if (d.role != "scp") return false;
    if (f.len < kFrameHeader + kMsgHeader || f.tagged() || f.dst() != d.mac) return false;
    if (std::memcmp(f.data + 14, kSnap, 6) != 0 || f.data[20] != 0x16) return false;
    ScpState& st = sim.State<ScpState>(d, "scp");
    if (!st.loaded) LoadTable(sim, d, st);
    const uint8_t* msg = f.data + kFrameHeader;
    const size_t msgBytes = f.len - kFrameHeader;
    const uint8_t opcode = msg[0];
    const uint8_t opNumber = msg[3];
    const uint16_t lengthField = Be16(f.data + 12);
    const size_t payloadLength = Be16(msg + 8);
    std::ostringstream head;
    head << "SCP rx " << OpName(opcode) << " op=" << int(opNumber) << " seq=" << int(msg[4])
         << " frame=" << f.len << " length=" << lengthField << " payload=" << payloadLength;
    if (payloadLength > msgBytes - kMsgHeader) {
        sim.Log(d, head.str() + " dropped: payload longer than the frame");
        return true;
    }
    Bytes payload(msg + kMsgHeader, msg + kMsgHeader + payloadLength);
    const uint32_t crcField = Be32(msg + 10);
    const bool enciphered = opcode == 2 || opcode == 3 || opcode == 7 || opcode == 8;
    std::optional<Key> key;
    if (!Unwrap(sim, d, payload, crcField, enciphered, key, head)) return true;
    std::vector<Item> items;
    if (!ReadItems(payload.data(), payload.size(), enciphered, items)) {
        sim.Log(d, head.str() + " dropped: bad item list");
        return true;
    }
    DescribeItems(items, head);
    if (d.optBool("silent", false)) {
        sim.Log(d, head.str() + " silent");
        return true;
    }
    sim.Log(d, head.str());
    const Key* k = key ? &*key : nullptr;
    switch (opcode) {
        case 1:
            HandleGet(sim, d, st, f, opcode, opNumber, items, nullptr);
            break;
        case 7:
            HandleGet(sim, d, st, f, opcode, opNumber, items, k);
            break;
        case 2:
        case 8:
            HandleSet(sim, d, st, f, opcode, opNumber, items, k);
            break;
        case 3:
            HandleFactoryReset(sim, d, st, f, opNumber, items, k);
            break;
        default:
            sim.Log(d, "SCP unknown opcode " + std::to_string(opcode));
            break;
    }
    return true;
}

bool OnCommand(Sim& sim, Device& d, const std::vector<std::string>& args) {
    if (d.role != "scp") return false;
    ScpState& st = sim.State<ScpState>(d, "scp");
    // Option changes that shape the table take effect at once.
    if ((args[0] == "set" || args[0] == "add" || args[0] == "unset") && args.size() >= 2 &&
        (args[1] == "param" || args[1] == "bad_crc")) {
        if (args[1] == "param") {
            LoadTable(sim, d, st);
        } else {
            st.badCrcLeft = static_cast<int>(d.optInt("bad_crc", 0));
        }
        return true;
    }
    if (args[0] == "dump") {
        if (!st.loaded) LoadTable(sim, d, st);
        for (const Param& p : st.params)
            sim.Log(d, "SCP param " + p.name + " " + ValueTypeName(p.type) + " " + Hex(p.value));
        return true;
    }
    return false;
}

void Init(Sim& sim) {
    for (auto& dp : sim.devices()) {
        if (dp->role != "scp") continue;
        ScpState& st = sim.State<ScpState>(*dp, "scp");
        LoadTable(sim, *dp, st);
        sim.Log(*dp, "SCP device with " + std::to_string(st.params.size()) + " parameters");
    }
}

}  // namespace

DEVSIM_REGISTER_MODULE((Module{"scp", Init, OnFrame, OnCommand}));

}  // namespace devsim
