// Names and defaults of the client: reply names, write outcomes, time-outs.
#include <algorithm>

#include "kivo_client.h"

namespace kivo::client {

using std::chrono::milliseconds;

std::string ReplyName(uint8_t code) {
    const std::string_view name = protocol::ReplyCodeName(code);
    return name.empty() ? "code " + std::to_string(code) : std::string(name);
}

std::string Version::Text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

std::string_view WriteResultName(WriteResult result) {
    switch (result) {
        case WriteResult::kWritten:
            return "written";
        case WriteResult::kRefused:
            return "refused";
        case WriteResult::kNotWritten:
            break;
    }
    return "not written";
}

std::vector<WriteOutcome> WriteOutcomes(const ParamReply& reply, const std::vector<std::string>& names) {
    const bool lcmp = reply.protocol == Protocol::kLcmp;
    std::string refusedNames;
    bool readBack = false;  // a record with a value: the write stopped at the type check
    bool anyWritten = false;
    for (const auto& p : reply.params) {
        anyWritten |= !lcmp || p.type == kTypeSetOk;
        if (p.refused)
            refusedNames += (refusedNames.empty() ? "" : ", ") + p.name;
        else if (lcmp && p.type != kTypeSetOk)
            readBack = true;
    }
    std::vector<WriteOutcome> out;
    out.reserve(names.size());
    bool anyMissing = false;
    for (const auto& name : names) {
        auto it = std::find_if(reply.params.begin(), reply.params.end(),
                               [&](const Param& p) { return p.name == name; });
        anyMissing |= it == reply.params.end();
        out.push_back({name, WriteResult::kNotWritten, ""});
        if (it == reply.params.end()) continue;
        if (it->refused) {
            out.back().result = WriteResult::kRefused;
            out.back().text = it->value;
        } else if (!(lcmp && it->type != kTypeSetOk)) {
            out.back().result = WriteResult::kWritten;
        }
    }
    // An LCMP write is sent only once every name passed the type check.
    const bool nothingWritten = lcmp && !anyWritten && (readBack || anyMissing);
    for (auto& o : out) {
        if (o.result != WriteResult::kNotWritten) continue;
        if (nothingWritten && !refusedNames.empty())
            o.text = "the device refused " + refusedNames + ", so nothing of this write was written";
        else
            o.text = "the device did not confirm this value";
    }
    return out;
}

milliseconds DefaultTimeout(RequestCode code, Protocol protocol) {
    switch (code) {
        case RequestCode::kDiscover:
        case RequestCode::kDiscoverLcmp:
            return milliseconds{8000};  // 3 s of listening
        case RequestCode::kGetAll:
        case RequestCode::kGet:
        case RequestCode::kSet:
        case RequestCode::kFactoryReset:
            // A silent device costs ~18 s over SCP (two keys, three sends of 3 s) and
            // ~6 s over LCMP (two keys, 3 s each). Devices that answer in part cost more:
            // an LCMP Set reads the types before it writes (3 s + 3 s per key); an SCP
            // get whose later reply message is lost waits 16 s for it after up to 9 s
            // for the first, and a Set up to 9 + 3 + 9 s, each with both keys (~50 s).
            return protocol == Protocol::kScp ? milliseconds{60000} : milliseconds{20000};
        case RequestCode::kFwStart:
        case RequestCode::kFwStop:
            // Answered at once, but never sent twice: a reply held up behind another
            // front-end's long request must not be taken for a lost one.
            return milliseconds{30000};
        case RequestCode::kFwStopDevice:
            return milliseconds{30000};  // as Stop (7)
        case RequestCode::kFwStatus:
        case RequestCode::kFwTransfers:
        case RequestCode::kVersion:
        case RequestCode::kFailureDetail:
            return milliseconds{5000};  // answered at once, and asked again when lost
    }
    return milliseconds{5000};
}

}  // namespace kivo::client
