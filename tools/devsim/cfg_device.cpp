// kivo-devsim configuration-layer module: gives devices of role "lcmp" a table of
// parameters that answers the vendor read, get-all and write requests carried in
// LCMP read and write requests. The LCMP module decodes and deciphers the request
// and enciphers and sends the confirms; this module reads the vendor values and
// builds the answer values. Its record codec is written from the wire layout on its
// own, independently of the service's builders and readers.
//
// Vendor values (type, then data):
//   0x00 INFO, 0x20 DATAMODEL (1 byte)     open every request and answer
//   0x23 read request   name record
//   0x24 read answer    name record, value record (control 0) or status record (control 2)
//   0x21 write request  name record, value record
//   0x22 write answer   name record, status record
//   0x27 get-all request (1 byte), 0x25 get-all answer: name record
//   0x26 end marker: ends the answer
// Record: length (2 bytes little-endian, = 2 + data length), control, type, data.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "lcmp_device.h"
#include "live_values.h"
#include "sim.h"
#include "sim_values.h"

namespace devsim::cfg {
namespace {

using lcmp::Value;

constexpr uint8_t kInfoValue = 0x00;
constexpr uint8_t kDataModelValue = 0x20;
constexpr uint8_t kWriteRequestValue = 0x21;
constexpr uint8_t kWriteAnswerValue = 0x22;
constexpr uint8_t kReadRequestValue = 0x23;
constexpr uint8_t kReadAnswerValue = 0x24;
constexpr uint8_t kGetAllAnswerValue = 0x25;
constexpr uint8_t kEndMarkerValue = 0x26;
constexpr uint8_t kGetAllRequestValue = 0x27;

constexpr uint8_t kControlValue = 0;
constexpr uint8_t kControlName = 1;
constexpr uint8_t kControlStatus = 2;
constexpr uint8_t kTypeInt8U = 2;
constexpr uint8_t kTypeInt32S = 5;
constexpr uint8_t kTypeString = 10;

const std::string kResetName = "FACTORYRESET.GENERAL.FORCE_RESET";

// Status codes: a parameter that has not been installed; no permit for the operation;
// a wrong parameter (a write whose value does not match the parameter's type).
constexpr long kStatusUnknown = -36;
constexpr long kStatusNoPermit = -55;
constexpr long kStatusWrongParameter = -4;

// Bytes of values per confirm message; a message must stay within 16 LCMP segments.
constexpr long long kDefaultMessageBytes = 16000;

struct Param {
    std::string name;
    int type = 0;
    Bytes value;
};

struct State {
    bool loaded = false;
    std::vector<Param> table;
    std::map<std::string, size_t> index;
    Param reset;  // the implicit reset parameter
};

bool Enabled(const Device& d) {
    return d.role == "lcmp" && d.optBool("configlayer", d.has("param"));
}

// (Re)builds the table from the device's "param" lines, in file order.
void LoadTable(Sim& sim, Device& d, State& st) {
    st.table.clear();
    st.index.clear();
    for (const std::string& line : d.optAll("param")) {
        ParamLine entry;
        std::string why;
        if (!ParseParamLine(line, ByteOrder::Little, entry, &why)) {
            sim.Log(d, "CFG bad param line: " + why);
            continue;
        }
        auto it = st.index.find(entry.name);
        if (it != st.index.end()) {
            st.table[it->second] = Param{entry.name, entry.type, entry.value};
            continue;
        }
        st.index[entry.name] = st.table.size();
        st.table.push_back(Param{entry.name, entry.type, entry.value});
    }
    st.loaded = true;
}

State& Table(Sim& sim, Device& d) {
    State& st = sim.State<State>(d, "cfg");
    if (!st.loaded) LoadTable(sim, d, st);
    return st;
}

// The parameter of that name, or null. The reset parameter exists on every device
// (an INT8U) unless the table defines it; it is not listed by get-all then.
Param* Find(State& st, const std::string& name) {
    auto it = st.index.find(name);
    if (it != st.index.end()) return &st.table[it->second];
    if (name == kResetName) {
        st.reset = Param{kResetName, kTypeInt8U, Bytes{0}};
        return &st.reset;
    }
    return nullptr;
}

// The status a "KEY = NAME [CODE]" option gives for name (0 when no line names it).
long OptionStatus(const Device& d, const std::string& key, const std::string& name, long defaultCode) {
    long code = 0;
    for (const std::string& line : d.optAll(key)) {
        const std::vector<std::string> words = SplitWords(line);
        if (words.empty() || words[0] != name) continue;
        code = words.size() > 1 ? std::strtol(words[1].c_str(), nullptr, 0) : defaultCode;
    }
    return code;
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

struct Record {
    uint8_t control = 0;
    uint8_t type = 0;
    Bytes data;
};

// Reads the record at pos; false when its length is below 2 or it runs past the data.
bool ReadRecord(const Bytes& b, size_t& pos, Record& rec) {
    if (b.size() < pos + 2) return false;
    const size_t length = static_cast<size_t>(b[pos]) | (static_cast<size_t>(b[pos + 1]) << 8);
    if (length < 2 || b.size() - pos - 2 < length) return false;
    rec.control = b[pos + 2];
    rec.type = b[pos + 3];
    rec.data.assign(b.begin() + static_cast<long>(pos + 4), b.begin() + static_cast<long>(pos + 2 + length));
    pos += 2 + length;
    return true;
}

void PutRecord(Bytes& out, uint8_t control, uint8_t type, const Bytes& data) {
    const size_t length = data.size() + 2;
    out.push_back(static_cast<uint8_t>(length & 0xFF));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(control);
    out.push_back(type);
    out.insert(out.end(), data.begin(), data.end());
}

Bytes NameRecord(const std::string& name) {
    Bytes out;
    PutRecord(out, kControlName, kTypeString, Bytes(name.begin(), name.end()));
    return out;
}

Bytes StatusRecord(long code) {
    const auto u = static_cast<uint32_t>(static_cast<int32_t>(code));
    Bytes out;
    PutRecord(out, kControlStatus, kTypeInt32S,
              Bytes{static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                    static_cast<uint8_t>(u >> 24)});
    return out;
}

std::string NameOf(const Record& rec) {
    return std::string(rec.data.begin(), rec.data.end());
}

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

// Packs answer values into confirm messages of at most the device's message size.
// With repeatHead every message starts with INFO and DATAMODEL (get-all answers);
// otherwise only the first does, and the rest carry values alone. The last message
// ends with the end marker.
std::vector<std::vector<Value>> Pack(const Device& d, uint8_t model, std::vector<Value> values,
                                     bool repeatHead, size_t perMessage) {
    const size_t maxBytes =
        static_cast<size_t>(std::max(64LL, d.optInt("cfg_message_bytes", kDefaultMessageBytes)));
    const std::vector<Value> head = {Value{kInfoValue, Bytes{0x9D, 0x13, 0x00, 0x00, 0x00}},
                                     Value{kDataModelValue, Bytes{model}}};
    std::vector<std::vector<Value>> messages(1, head);
    size_t bytes = 0;
    size_t count = 0;
    for (Value& v : values) {
        const size_t size = 3 + v.data.size();
        if (count > 0 && (bytes + size > maxBytes || (perMessage > 0 && count >= perMessage))) {
            messages.push_back(repeatHead ? head : std::vector<Value>{});
            bytes = 0;
            count = 0;
        }
        messages.back().push_back(std::move(v));
        bytes += size;
        ++count;
    }
    messages.back().push_back(Value{kEndMarkerValue, Bytes{0x00}});
    return messages;
}

void AnswerGetAll(Sim& sim, Device& d, State& st, uint8_t model, std::vector<std::vector<Value>>& messages) {
    std::vector<Value> names;
    for (const Param& p : st.table) names.push_back(Value{kGetAllAnswerValue, NameRecord(p.name)});
    const size_t perMessage = static_cast<size_t>(std::max(0LL, d.optInt("getall_per_message", 0)));
    const size_t count = names.size();
    messages = Pack(d, model, std::move(names), true, perMessage);
    sim.Log(d, Fmt("CFG get-all: %zu names in %zu messages", count, messages.size()));
}

// Read answer for one name.
Value AnswerRead(Sim& sim, Device& d, State& st, const std::string& name, size_t& refused) {
    Bytes data = NameRecord(name);
    const Param* p = Find(st, name);
    long status = OptionStatus(d, "refuse", name, d.optInt("refuse_status", kStatusUnknown));
    if (status == 0 && p == nullptr) status = d.optInt("unknown_status", kStatusUnknown);
    if (status != 0) {
        ++refused;
        sim.Log(d, Fmt("CFG read %s refused status %ld", name.c_str(), status));
        const Bytes s = StatusRecord(status);
        data.insert(data.end(), s.begin(), s.end());
    } else {
        PutRecord(data, kControlValue, static_cast<uint8_t>(p->type),
                  LiveValue(d, name, p->type, p->value, ByteOrder::Little));
    }
    return Value{kReadAnswerValue, data};
}

// Write answer for one name record and value record; stores the value when allowed.
Value AnswerWrite(Sim& sim, Device& d, State& st, const std::string& name, const Record& value, bool& reset) {
    Param* p = Find(st, name);
    long status = OptionStatus(d, "refuse", name, d.optInt("refuse_status", kStatusUnknown));
    if (status == 0 && p == nullptr) status = d.optInt("unknown_status", kStatusUnknown);
    if (status == 0) status = OptionStatus(d, "readonly", name, d.optInt("readonly_status", kStatusNoPermit));
    if (status == 0 && (value.control != kControlValue || value.type != p->type))
        status = kStatusWrongParameter;
    if (status != 0) {
        sim.Log(d, Fmt("CFG write %s refused status %ld", name.c_str(), status));
    } else {
        sim.Log(d, Fmt("CFG write %s type=%s value=%s", name.c_str(), ValueTypeName(p->type),
                       Hex(value.data).c_str()));
        if (name == kResetName)
            reset = true;
        else
            p->value = value.data;
    }
    Bytes data = NameRecord(name);
    const Bytes s = StatusRecord(status);
    data.insert(data.end(), s.begin(), s.end());
    return Value{kWriteAnswerValue, data};
}

bool Respond(Sim& sim, Device& d, const lcmp::Request& req, std::vector<std::vector<Value>>& messages) {
    if (!Enabled(d)) return false;
    // A configuration-layer request starts with INFO and DATAMODEL; a request no key
    // could open is left to the LCMP module (which drops it).
    if (req.values.size() < 2 || req.values[0].type != kInfoValue || req.values[1].type != kDataModelValue ||
        req.values[1].data.size() != 1 || req.key == lcmp::Key::kNone)
        return false;
    State& st = Table(sim, d);
    const uint8_t model = req.values[1].data[0];
    const bool write = req.opcode == lcmp::kWriteReq;

    if (!write && std::any_of(req.values.begin(), req.values.end(),
                              [](const Value& v) { return v.type == kGetAllRequestValue; })) {
        sim.Log(d, Fmt("CFG rx get-all model=%u key=%s", model, lcmp::KeyName(req.key)));
        AnswerGetAll(sim, d, st, model, messages);
        return true;
    }
    std::vector<Value> answers;
    size_t refused = 0;
    bool reset = false;
    for (size_t i = 2; i < req.values.size(); ++i) {
        const Value& v = req.values[i];
        size_t pos = 0;
        Record name;
        Record value;
        if (!write && v.type == kReadRequestValue && ReadRecord(v.data, pos, name)) {
            answers.push_back(AnswerRead(sim, d, st, NameOf(name), refused));
        } else if (write && v.type == kWriteRequestValue && ReadRecord(v.data, pos, name) &&
                   ReadRecord(v.data, pos, value)) {
            answers.push_back(AnswerWrite(sim, d, st, NameOf(name), value, reset));
        } else {
            sim.Log(d, Fmt("CFG drop: value %zu (type 0x%02x, %zu bytes) is not a well-formed %s request", i,
                           v.type, v.data.size(), write ? "write" : "read"));
            return true;  // handled: no answer
        }
    }
    if (write)
        sim.Log(
            d, Fmt("CFG rx write model=%u key=%s: %zu names", model, lcmp::KeyName(req.key), answers.size()));
    else
        sim.Log(d, Fmt("CFG rx read model=%u key=%s: %zu names, %zu refused", model, lcmp::KeyName(req.key),
                       answers.size(), refused));
    messages = Pack(d, model, std::move(answers), false, 0);
    if (reset) {
        LoadTable(sim, d, st);
        sim.Log(d, Fmt("CFG factory reset: table restored (%zu parameters)", st.table.size()));
    }
    return true;
}

void Init(Sim&) {
    lcmp::AddResponder(Respond);
}

// "<device> cfg show NAME" logs a parameter; "<device> cfg reload" rebuilds the
// table from the current param lines.
bool OnCommand(Sim& sim, Device& d, const std::vector<std::string>& words) {
    if (words.empty() || words[0] != "cfg" || !Enabled(d)) return false;
    State& st = Table(sim, d);
    if (words.size() == 3 && words[1] == "show") {
        const Param* p = Find(st, words[2]);
        if (p == nullptr)
            sim.Log(d, "CFG show " + words[2] + ": unknown");
        else
            sim.Log(d, Fmt("CFG show %s type=%s value=%s", p->name.c_str(), ValueTypeName(p->type),
                           Hex(p->value).c_str()));
        return true;
    }
    if (words.size() == 2 && words[1] == "reload") {
        LoadTable(sim, d, st);
        sim.Log(d, Fmt("CFG table reloaded (%zu parameters)", st.table.size()));
        return true;
    }
    return false;
}

}  // namespace
}  // namespace devsim::cfg

DEVSIM_REGISTER_MODULE((devsim::Module{"cfg", devsim::cfg::Init, nullptr, devsim::cfg::OnCommand}));
