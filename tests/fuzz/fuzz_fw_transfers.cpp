// The firmware transfer listing (reply 0xF2) as the client library reads it, from any
// bytes: every length is a claim. What it accepts is written again by the service's
// encoder and must read back the same.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kivo_client.h"
#include "l2fwserver.h"
#include "service_internal.h"

namespace kc = kivo::client;

namespace {

bool Same(const kc::FwTransfer& a, const kc::FwTransfer& b) {
    return a.latest == b.latest && a.kind == b.kind && a.interface == b.interface && a.device == b.device &&
           a.state == b.state && a.bytes == b.bytes && a.total == b.total &&
           a.retransmissions == b.retransmissions && a.reason.code == b.reason.code &&
           a.reason.text == b.reason.text && a.startMs == b.startMs && a.endMs == b.endMs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> reply(4 + size);
    reply[0] = 0x11;
    reply[1] = 1;
    reply[3] = 0xF2;
    if (size > 0) std::memcpy(reply.data() + 4, data, size);
    const auto parsed = kc::ParseFwTransfers(reply);
    if (!parsed) return 0;
    std::vector<kivo::fw::TransferRecord> records;
    for (const kc::FwTransfer& t : parsed->transfers) {
        // Only what the service can say: its states, texts within the cut.
        if (t.state > L2FWSERVER_STATE_ERROR || t.reason.text.size() > kivo::service::kFwListTextMax)
            return 0;
        kivo::fw::TransferRecord r;
        r.kind = static_cast<kivo::fw::TransferKind>(t.kind);
        r.interfaceName = t.interface;
        r.device = t.device;
        r.state = static_cast<t_l2fwserverState>(t.state);
        r.sent = t.bytes;
        r.total = t.total;
        r.retransmissions = t.retransmissions;
        r.failure = {static_cast<kivo::Reason>(t.reason.code), t.reason.text};
        r.startMs = t.startMs;
        r.endMs = t.endMs;
        r.latest = t.latest;
        records.push_back(std::move(r));
    }
    std::vector<uint8_t> again(4 + reply.size() + 16);
    const size_t n =
        kivo::service::FwTransfersEncode(records, parsed->nowMs, again.data() + 4, again.size() - 4);
    if (n == 0) __builtin_trap();  // never longer than what it was read from
    again.resize(4 + n);
    again[3] = 0xF2;
    const auto back = kc::ParseFwTransfers(again);
    if (!back || back->nowMs != parsed->nowMs || back->transfers.size() != parsed->transfers.size())
        __builtin_trap();
    for (size_t i = 0; i < back->transfers.size(); ++i)
        if (!Same(back->transfers[i], parsed->transfers[i])) __builtin_trap();
    return 0;
}
