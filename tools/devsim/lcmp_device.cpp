// kivo-devsim LCMP module: decodes LCMP requests addressed to a device of role
// "lcmp" (reassembling segmented ones, opening the encrypted part with the device's
// password) and answers them with confirm messages. The frame, header and message
// codecs here are written from the wire layout, independently of the library's.
#include "lcmp_device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "sha2_pub.h"
#include "triple_des.h"

namespace devsim::lcmp {

namespace {

constexpr size_t kMmhSize = 8;
constexpr size_t kMaxSegment = 1496;
constexpr size_t kMinFrameNoTag = 60;
const Mac kMulticast = {0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<Responder>& Responders() {
    static std::vector<Responder> list;
    return list;
}

// A request message being put together from its segments.
struct Partial {
    Mac src{};
    uint16_t opcode = 0;
    uint16_t seq = 0;
    uint8_t last = 0;  // number of the last segment
    std::map<uint8_t, Bytes> segments;
    Clock::time_point touched;
};

struct State {
    std::vector<Partial> partial;
    uint16_t seq[16] = {};       // per confirm opcode
    long long answerFrames = 0;  // frames sent so far for the current request
    bool nthDropped = false;     // segment_drop_nth_once: done already
};

// Fields of the 8-byte management message header.
struct Header {
    uint16_t length = 0;
    uint16_t opcode = 0;
    uint8_t last = 0;
    uint8_t segment = 0;
    uint16_t seq = 0;
};

Header HeaderRead(const uint8_t* p) {
    Header h;
    h.length = static_cast<uint16_t>(p[0] | ((p[1] & 0x0F) << 8));
    h.opcode = static_cast<uint16_t>((p[1] >> 4) | (p[2] << 4));
    h.last = p[4] & 0x0F;
    h.segment = p[4] >> 4;
    h.seq = static_cast<uint16_t>(p[5] | (p[6] << 8));
    return h;
}

void HeaderWrite(uint8_t* p, const Header& h) {
    p[0] = static_cast<uint8_t>(h.length);
    p[1] = static_cast<uint8_t>(((h.length >> 8) & 0x0F) | ((h.opcode & 0x0F) << 4));
    p[2] = static_cast<uint8_t>(h.opcode >> 4);
    p[3] = 0;
    p[4] = static_cast<uint8_t>((h.last & 0x0F) | ((h.segment & 0x0F) << 4));
    p[5] = static_cast<uint8_t>(h.seq);
    p[6] = static_cast<uint8_t>(h.seq >> 8);
    p[7] = 0x10;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void PutLe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

const char* OpcodeName(uint16_t opcode) {
    switch (opcode) {
        case kReadReq:
            return "READ.req";
        case kReadCnf:
            return "READ.cnf";
        case kWriteReq:
            return "WRITE.req";
        case kWriteCnf:
            return "WRITE.cnf";
        case kCtrlReq:
            return "CTRL.req";
        case kCtrlCnf:
            return "CTRL.cnf";
        case kNotifyInd:
            return "NOTIFY.ind";
        default:
            return "OPCODE";
    }
}

std::string TagText(bool tagged, uint16_t tci) {
    return tagged ? Fmt("0x%04x", tci) : std::string("none");
}

std::string ValuesText(const std::vector<Value>& values) {
    std::string s;
    for (const Value& v : values) {
        if (!s.empty()) s += ",";
        s += Fmt("%02x/%zu", v.type, v.data.size());
    }
    return s.empty() ? "-" : s;
}

bool MakeKey(Key key, const std::string& password, uint8_t out[32]) {
    const auto* p = reinterpret_cast<const uint8_t*>(password.data());
    if (key == Key::kSha256)
        GenerateSha256Hash(out, p, static_cast<uint32_t>(password.size()));
    else if (key == Key::kLegacy)
        GenerateLegacyHash(out, p, static_cast<uint32_t>(password.size()));
    else
        return false;
    return true;
}

// Keys the device accepts, in the order it tries them.
std::vector<Key> AcceptedKeys(const Device& d) {
    const std::string keys = d.opt("keys", "both");
    if (keys == "sha256") return {Key::kSha256};
    if (keys == "legacy") return {Key::kLegacy};
    return {Key::kSha256, Key::kLegacy};
}

// Reads values from bytes [pos, end) of msg; false when they do not fill it exactly.
bool WalkValues(const Bytes& msg, size_t pos, size_t end, std::vector<Value>& out) {
    while (pos < end) {
        if (end - pos < 3) return false;
        const uint8_t type = msg[pos];
        const size_t len = Le16(&msg[pos + 1]);
        if (end - pos - 3 < len) return false;
        out.push_back(Value{type, Bytes(msg.begin() + static_cast<long>(pos + 3),
                                        msg.begin() + static_cast<long>(pos + 3 + len))});
        pos += 3 + len;
    }
    return true;
}

// Decodes a request message; false when it is malformed.
bool DecodeRequest(const Device& d, const Bytes& msg, Request& req, std::string& why) {
    if (msg.size() < 11) {
        why = "short request";
        return false;
    }
    req.control = msg[0];
    std::copy(msg.begin() + 1, msg.begin() + 7, req.hostMac.begin());
    req.declared = Le16(&msg[7]);
    req.tid = Le16(&msg[9]);
    const size_t end = 11 + static_cast<size_t>(req.declared);
    const uint8_t marker = static_cast<uint8_t>(d.optInt("marker", 0x20));
    const size_t own = static_cast<size_t>(d.optInt("marker_length", 1));
    size_t pos = 11;
    while (pos < end) {
        if (pos + 3 > msg.size()) {
            why = "value header past the message";
            return false;
        }
        const uint8_t type = msg[pos];
        const size_t len = Le16(&msg[pos + 1]);
        if (pos + 3 + len > msg.size()) {
            why = "value past the message";
            return false;
        }
        if (type == marker && len > own) {
            // The marker's own data, then the enciphered values up to the end.
            req.markerWireLength = len;
            req.encryptedLength = len - own;
            const size_t cipherAt = pos + 3 + own;
            req.values.push_back(Value{type, Bytes(msg.begin() + static_cast<long>(pos + 3),
                                                   msg.begin() + static_cast<long>(cipherAt))});
            const size_t plain = end > cipherAt ? end - cipherAt : 0;
            req.key = Key::kNone;
            for (Key k : AcceptedKeys(d)) {
                uint8_t key[32];
                MakeKey(k, d.opt("password"), key);
                Bytes clear(msg.begin() + static_cast<long>(cipherAt),
                            msg.begin() + static_cast<long>(cipherAt + req.encryptedLength));
                if (req.encryptedLength % 8 != 0 || plain > clear.size() || clear.size() - plain >= 8) break;
                DES3CBCDecipher(clear.data(), static_cast<int32_t>(clear.size()), key);
                // The right key gives values that fill the declared length exactly,
                // followed by zero padding.
                std::vector<Value> inner;
                if (!std::all_of(clear.begin() + static_cast<long>(plain), clear.end(),
                                 [](uint8_t b) { return b == 0; }))
                    continue;
                if (!WalkValues(clear, 0, plain, inner)) continue;
                req.key = k;
                req.values.insert(req.values.end(), inner.begin(), inner.end());
                break;
            }
            return true;
        }
        req.values.push_back(Value{type, Bytes(msg.begin() + static_cast<long>(pos + 3),
                                               msg.begin() + static_cast<long>(pos + 3 + len))});
        pos += 3 + len;
    }
    if (pos != end) {
        why = "values do not match the declared length";
        return false;
    }
    return true;
}

// Encodes one confirm message: header (control, values length, transaction id) and
// the values, enciphered after the last marker value when a key is given.
Bytes EncodeConfirm(const Device& d, const Request& req, const std::vector<Value>& values, uint16_t tid) {
    const uint8_t marker = static_cast<uint8_t>(d.optInt("marker", 0x20));
    size_t declared = 0;
    for (const Value& v : values) declared += 3 + v.data.size();
    Bytes msg;
    msg.push_back(req.control);
    PutLe16(msg, static_cast<uint16_t>(declared));
    PutLe16(msg, tid);
    size_t markerAt = 0;
    bool hasMarker = false;
    for (const Value& v : values) {
        if (v.type == marker) {
            hasMarker = true;
            markerAt = msg.size();
        }
        msg.push_back(v.type);
        PutLe16(msg, static_cast<uint16_t>(v.data.size()));
        msg.insert(msg.end(), v.data.begin(), v.data.end());
    }
    if (!hasMarker || (req.key != Key::kSha256 && req.key != Key::kLegacy)) return msg;
    const size_t own = Le16(&msg[markerAt + 1]);
    const size_t cipherAt = markerAt + 3 + own;
    if (cipherAt >= msg.size()) return msg;  // nothing follows the marker
    size_t n = msg.size() - cipherAt;
    msg.resize(cipherAt + n + (8 - n % 8) % 8, 0);
    n = msg.size() - cipherAt;
    uint8_t key[32];
    MakeKey(req.key, d.opt("password"), key);
    DES3CBCCipher(&msg[cipherAt], static_cast<int32_t>(n), key);
    if (d.optBool("cipher_fault", false)) {
        // An enciphered part whose length is not a multiple of the block size.
        msg.insert(msg.end(), {0xA5, 0xA5, 0xA5});
        n += 3;
    }
    msg[markerAt + 1] = static_cast<uint8_t>((own + n) & 0xFF);
    msg[markerAt + 2] = static_cast<uint8_t>((own + n) >> 8);
    return msg;
}

// Order in which the segments 0..last go out.
std::vector<unsigned> SegmentOrder(const Device& d, unsigned last) {
    std::vector<unsigned> order;
    const std::string setting = d.opt("segment_order", "normal");
    if (setting == "reverse") {
        for (unsigned i = last + 1; i-- > 0;) order.push_back(i);
    } else if (setting != "normal") {
        std::stringstream ss(setting);
        std::string item;
        while (std::getline(ss, item, ',')) {
            char* endp = nullptr;
            const unsigned long v = std::strtoul(item.c_str(), &endp, 10);
            if (endp != item.c_str() && v <= last) order.push_back(static_cast<unsigned>(v));
        }
    }
    if (order.empty())
        for (unsigned i = 0; i <= last; ++i) order.push_back(i);
    return order;
}

// Cuts a message into segments and sends them as frames to the requester.
size_t SendMessage(Sim& sim, Device& d, const Request& req, uint16_t opcode, const Bytes& msg) {
    Port* port = sim.port(d.interface);
    if (port == nullptr) return 0;
    // By default segments are as long as the link carries (a full 1496-byte segment
    // needs a link MTU of 1504).
    const long long fits = std::min(static_cast<long long>(kMaxSegment),
                                    static_cast<long long>(port->mtu()) - static_cast<long long>(kMmhSize));
    long long size = d.optInt("segment_size", fits);
    if (size < 1 || size > static_cast<long long>(kMaxSegment)) size = fits;
    const size_t seg = static_cast<size_t>(size);
    const size_t last = msg.size() / seg;
    if (last > 15) {
        sim.Log(d, Fmt("LCMP tx error: message of %zu bytes needs more than 16 segments", msg.size()));
        return 0;
    }
    State& st = sim.State<State>(d, "lcmp");
    const uint16_t seq = st.seq[opcode & 0x0F]++;
    const long long drop = d.optInt("segment_drop", -1);
    const long long late = d.optInt("segment_late", -1);
    const bool repeat = d.optBool("segment_repeat", false);
    const long long dropNth = d.optInt("segment_drop_nth", 0);
    const bool dropNthOnce = d.optBool("segment_drop_nth_once", false);
    size_t frames = 0;
    for (unsigned i : SegmentOrder(d, static_cast<unsigned>(last))) {
        if (static_cast<long long>(i) == drop) continue;
        if (++st.answerFrames == dropNth && !(dropNthOnce && st.nthDropped)) {
            st.nthDropped = true;
            sim.Log(d,
                    Fmt("LCMP tx dropped frame %lld of the answer (segment %u of seq %u)", dropNth, i, seq));
            continue;
        }
        const size_t from = i * seg;
        const size_t len = i < last ? seg : msg.size() - from;
        Bytes frame(d.mac.size() * 2);
        std::copy(req.src.begin(), req.src.end(), frame.begin());
        std::copy(d.mac.begin(), d.mac.end(), frame.begin() + 6);
        if (req.tagged) {
            frame.push_back(0x81);
            frame.push_back(0x00);
            frame.push_back(static_cast<uint8_t>(req.tci >> 8));
            frame.push_back(static_cast<uint8_t>(req.tci));
        }
        frame.push_back(static_cast<uint8_t>(kEtherType >> 8));
        frame.push_back(static_cast<uint8_t>(kEtherType));
        uint8_t header[kMmhSize];
        HeaderWrite(header, Header{static_cast<uint16_t>(len), opcode, static_cast<uint8_t>(last),
                                   static_cast<uint8_t>(i), seq});
        frame.insert(frame.end(), header, header + kMmhSize);
        frame.insert(frame.end(), msg.begin() + static_cast<long>(from),
                     msg.begin() + static_cast<long>(from + len));
        const size_t minimum = kMinFrameNoTag + (req.tagged ? 4 : 0);
        if (frame.size() < minimum) frame.resize(minimum, 0);
        if (static_cast<long long>(i) == late) {
            // Held back, and preceded by an unrelated LCMP frame when a filler is asked
            // for (a frame that makes the receiver age its partial messages).
            const bool filler = d.optBool("late_filler", true);
            Bytes other = frame;
            const size_t at = req.tagged ? 18 : 14;
            HeaderWrite(&other[at], Header{0, 0x168, 0, 0, 0});
            other.resize(kMinFrameNoTag + (req.tagged ? 4 : 0));
            std::fill(other.begin() + static_cast<long>(at + kMmhSize), other.end(), 0);
            Device* dev = &d;
            sim.After(
                std::chrono::milliseconds(d.optInt("late_ms", 100)), [&sim, dev, frame, other, filler, i] {
                    Port* p = sim.port(dev->interface);
                    if (p == nullptr) return;
                    if (filler) p->Send(other);
                    if (!p->Send(frame)) sim.Log(*dev, "LCMP tx error: frame not sent");
                    sim.Log(*dev, Fmt("LCMP tx late segment %u%s", i, filler ? " after a filler frame" : ""));
                });
            continue;
        }
        for (int copies = repeat ? 2 : 1; copies > 0; --copies) {
            if (!port->Send(frame))
                sim.Log(d, Fmt("LCMP tx error: frame of %zu bytes not sent", frame.size()));
            ++frames;
        }
    }
    return frames;
}

void SendNow(Sim& sim, Device& d, const Request& req, const std::vector<std::vector<Value>>& messages) {
    sim.State<State>(d, "lcmp").answerFrames = 0;
    const uint16_t opcode = static_cast<uint16_t>(d.optInt("reply_opcode", req.opcode + 1));
    const bool badTidFirst = d.optBool("bad_tid_first", false);
    for (size_t i = 0; i < messages.size(); ++i) {
        if (i == 0 && badTidFirst) {
            const uint16_t bad = static_cast<uint16_t>(req.tid + 1);
            const Bytes msg = EncodeConfirm(d, req, messages[i], bad);
            const size_t frames = SendMessage(sim, d, req, opcode, msg);
            sim.Log(d, Fmt("LCMP tx %s tid=0x%04x (wrong) msg=%zu/%zu mmpl=%zu frames=%zu",
                           OpcodeName(opcode), bad, i + 1, messages.size(), msg.size(), frames));
        }
        const Bytes msg = EncodeConfirm(d, req, messages[i], req.tid);
        const size_t frames = SendMessage(sim, d, req, opcode, msg);
        if (!d.optBool("quiet", false))
            sim.Log(
                d, Fmt("LCMP tx %s tid=0x%04x msg=%zu/%zu mmpl=%zu frames=%zu values=%s", OpcodeName(opcode),
                       req.tid, i + 1, messages.size(), msg.size(), frames, ValuesText(messages[i]).c_str()));
    }
}

// Scripted replies: one "<op>.reply" line per confirm message.
bool ScriptedReply(Device& d, const Request& req, std::vector<std::vector<Value>>& messages,
                   std::string& why) {
    const char* key = req.opcode == kReadReq    ? "read.reply"
                      : req.opcode == kWriteReq ? "write.reply"
                                                : "ctrl.reply";
    for (const std::string& line : d.optAll(key)) {
        std::vector<Value> values;
        if (!ParseValues(line, values)) {
            why = std::string("bad ") + key + " line: " + line;
            return false;
        }
        messages.push_back(std::move(values));
    }
    if (messages.empty()) {
        why = std::string("no ") + key + " scripted";
        return false;
    }
    return true;
}

void HandleRequest(Sim& sim, Device& d, Request& req, const Bytes& msg) {
    std::string why;
    if (!DecodeRequest(d, msg, req, why)) {
        sim.Log(d, Fmt("LCMP drop: %s (%s tid=0x%04x)", why.c_str(), OpcodeName(req.opcode), req.tid));
        return;
    }
    if (!d.optBool("quiet", false))
        sim.Log(
            d,
            Fmt("LCMP rx %s tid=0x%04x seq=%u src=%s ctrl=%u declared=%u mmpl=%zu marker=%zu enc=%zu key=%s "
                "tag=%s values=%s",
                OpcodeName(req.opcode), req.tid, req.seq, MacText(req.src).c_str(), req.control, req.declared,
                msg.size(), req.markerWireLength, req.encryptedLength, KeyName(req.key),
                TagText(req.tagged, req.tci).c_str(), ValuesText(req.values).c_str()));
    if (d.optBool("silent", false)) {
        sim.Log(d, "LCMP silent: no reply");
        return;
    }
    std::vector<std::vector<Value>> messages;
    for (Responder& r : Responders()) {
        if (r(sim, d, req, messages)) {
            SendConfirms(sim, d, req, messages);
            return;
        }
        messages.clear();
    }
    if (req.key == Key::kNone) {
        sim.Log(d, "LCMP drop: no key opens the request");
        return;
    }
    if (!ScriptedReply(d, req, messages, why)) {
        sim.Log(d, "LCMP no reply: " + why);
        return;
    }
    SendConfirms(sim, d, req, messages);
}

bool OnFrame(Sim& sim, Device& d, const Frame& f) {
    if (d.role != "lcmp" || f.etherType() != kEtherType) return false;
    const Mac dst = f.dst();
    if (dst != d.mac && dst != kMulticast && dst != kBroadcast && !d.optBool("promiscuous", false))
        return false;
    const size_t at = f.typeOffset() + 2;
    if (f.len < at + kMmhSize) return false;
    const Header h = HeaderRead(f.data + at);
    const bool quiet = d.optBool("quiet", false);
    if (!quiet)
        sim.Log(d, Fmt("LCMP rx frame len=%zu opcode=0x%03x seg=%u/%u seq=%u mmpl=%u tag=%s", f.len, h.opcode,
                       h.segment, h.last, h.seq, h.length, TagText(f.tagged(), f.vlanTci()).c_str()));
    if (f.len < at + kMmhSize + h.length) {
        sim.Log(d, "LCMP drop: frame shorter than its header says");
        return true;
    }
    if (d.has("vlan")) {
        const long long want = d.optInt("vlan", 0);
        if (!f.tagged() || (f.vlanTci() & 0x0FFF) != want) {
            sim.Log(d, Fmt("LCMP drop: tag %s, vlan %lld required", TagText(f.tagged(), f.vlanTci()).c_str(),
                           want));
            return true;
        }
    }
    Bytes msg;
    const uint8_t* segment = f.data + at + kMmhSize;
    State& st = sim.State<State>(d, "lcmp");
    const auto now = sim.Now();
    st.partial.erase(
        std::remove_if(st.partial.begin(), st.partial.end(),
                       [&](const Partial& p) { return now - p.touched > std::chrono::seconds(1); }),
        st.partial.end());
    if (h.last == 0) {
        msg.assign(segment, segment + h.length);
    } else {
        if (h.segment > h.last) return true;
        const Mac src = f.src();
        auto it = std::find_if(st.partial.begin(), st.partial.end(), [&](const Partial& p) {
            return p.src == src && p.opcode == h.opcode && p.seq == h.seq && p.last == h.last;
        });
        if (it == st.partial.end()) {
            st.partial.push_back(Partial{src, h.opcode, h.seq, h.last, {}, now});
            it = st.partial.end() - 1;
        }
        it->segments[h.segment] = Bytes(segment, segment + h.length);
        it->touched = now;
        if (it->segments.size() != static_cast<size_t>(h.last) + 1) return true;
        for (auto& [n, bytes] : it->segments) msg.insert(msg.end(), bytes.begin(), bytes.end());
        st.partial.erase(it);
    }
    Request req;
    req.src = f.src();
    req.dst = dst;
    req.tagged = f.tagged();
    req.tci = f.vlanTci();
    req.opcode = h.opcode;
    req.seq = h.seq;
    if (h.opcode == kNotifyInd) {
        if (msg.size() >= 6) {
            std::vector<Value> values;
            const uint16_t declared = Le16(&msg[1]);
            const bool ok =
                WalkValues(msg, 6, std::min(msg.size(), 6 + static_cast<size_t>(declared)), values);
            sim.Log(
                d, Fmt("LCMP rx NOTIFY.ind tid=0x%04x ctrl=%u ack=%u declared=%u %s values=%s", Le16(&msg[3]),
                       msg[0], msg[5], declared, ok ? "ok" : "malformed", ValuesText(values).c_str()));
            if (d.optBool("notify_echo", false) && msg.size() <= kMaxSegment) {
                // Sends the notification back, as a device that notifies the host.
                SendMessage(sim, d, req, kNotifyInd, msg);
                sim.Log(d, Fmt("LCMP tx NOTIFY.ind tid=0x%04x", Le16(&msg[3])));
            }
        }
        return true;
    }
    if (h.opcode != kReadReq && h.opcode != kWriteReq && h.opcode != kCtrlReq) return true;
    HandleRequest(sim, d, req, msg);
    return true;
}

}  // namespace

const char* KeyName(Key key) {
    switch (key) {
        case Key::kPlain:
            return "plain";
        case Key::kSha256:
            return "sha256";
        case Key::kLegacy:
            return "legacy";
        case Key::kNone:
            return "none";
    }
    return "?";
}

void AddResponder(Responder responder) {
    Responders().push_back(std::move(responder));
}

void SendConfirms(Sim& sim, Device& d, const Request& request,
                  const std::vector<std::vector<Value>>& messages) {
    const long long delay = d.optInt("delay_ms", 0);
    if (delay > 0) {
        Device* dev = &d;
        sim.After(std::chrono::milliseconds(delay),
                  [&sim, dev, request, messages] { SendNow(sim, *dev, request, messages); });
    } else {
        SendNow(sim, d, request, messages);
    }
}

bool ParseValues(const std::string& text, std::vector<Value>& out) {
    for (const std::string& token : SplitWords(text)) {
        const size_t colon = token.find(':');
        if (colon == std::string::npos || colon == 0) return false;
        const std::string typeText = token.substr(0, colon);
        char* endp = nullptr;
        const unsigned long type = std::strtoul(typeText.c_str(), &endp, 0);
        if (*endp != '\0' || type > 0xFF) return false;
        Value v;
        v.type = static_cast<uint8_t>(type);
        const std::string data = token.substr(colon + 1);
        if (data.rfind("len=", 0) == 0) {
            const unsigned long n = std::strtoul(data.c_str() + 4, &endp, 10);
            if (*endp != '\0' || n > 0xFFFF) return false;
            for (unsigned long i = 0; i < n; ++i) v.data.push_back(static_cast<uint8_t>(i));
        } else if (!data.empty() && !ParseHex(data, v.data)) {
            return false;
        }
        out.push_back(std::move(v));
    }
    return true;
}

}  // namespace devsim::lcmp

DEVSIM_REGISTER_MODULE((devsim::Module{"lcmp", nullptr, devsim::lcmp::OnFrame, nullptr}));
