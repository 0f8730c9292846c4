// kivoctl fw status and stop.
#include <iostream>

#include "cli.h"

namespace kivoctl {

int CmdFwStatus(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto s = client.GetFwStatus();
    if (!s) return ClientFailure(g, client, "cannot read the firmware server's status", s.error());
    // Every transfer, when the service lists them; else the latest one's status alone.
    auto listing = client.GetFwTransfers();
    if (!listing && listing.error().kind != kc::ErrorKind::kUnsupported)
        return ClientFailure(g, client, "cannot list the firmware transfers", listing.error());
    if (g.json) {
        // The latest transfer's fields stay at the top, as before the listing.
        json doc = FwStatusJson(*s);
        json all = json::array();
        if (listing)
            for (const kc::FwTransfer& t : listing->transfers) all.push_back(TransferJson(t, listing->nowMs));
        doc["transfers"] = listing ? all : json(nullptr);
        PrintJson(doc);
        return kExitOk;
    }
    if (listing) {
        if (listing->transfers.empty()) {
            std::cout << "No firmware transfer since the service started.\n";
            return kExitOk;
        }
        std::vector<std::vector<std::string>> rows;
        for (const kc::FwTransfer& t : listing->transfers)
            rows.push_back({t.device ? kc::MacText(*t.device) : "-", kc::FwKindName(t.kind),
                            Printable(t.interface), kc::FwStateName(t.state) + (t.latest ? " *" : ""),
                            std::to_string(t.bytes), std::to_string(t.total),
                            std::to_string(t.retransmissions),
                            Elapsed(static_cast<double>(t.DurationMs(listing->nowMs)) / 1000),
                            t.reason.text.empty() ? "" : Printable(t.reason.text)});
        PrintTable({"DEVICE", "KIND", "INTERFACE", "STATE", "BYTES", "TOTAL", "RETRANS", "TIME", "REASON"},
                   rows);
        std::cout << "(* the latest transfer, which 'kivoctl fw stop' without -m stops)\n";
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows{
        {"state", kc::FwStateName(s->state) + " (" + kc::FwStateDescription(s->state) + ")"},
        {"bytes", std::to_string(s->bytes)},
        {"total", std::to_string(s->total)}};
    if (s->retransmissions) rows.push_back({"retransmissions", std::to_string(*s->retransmissions)});
    if (s->state == 6)
        if (auto reason = kc::FirmwareFailureReason(client))
            rows.push_back(
                {"reason", Printable(reason->text) + " (code " + std::to_string(reason->code) + ")"});
    PrintTable({"FIELD", "VALUE"}, rows);
    return kExitOk;
}

int CmdFwStop(const Globals& g, const std::vector<std::string>& macTexts, bool all) {
    std::vector<kc::Mac> macs;
    for (const std::string& text : macTexts) {
        auto mac = kc::ParseMac(text);
        if (!mac)
            return Usage(g, "'" + Printable(text) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
        if (!kc::IsDeviceAddress(*mac)) return Usage(g, kc::GroupAddressRefusal(*mac));
        macs.push_back(*mac);
    }
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    if (all || !macs.empty()) {
        json stopped = json::array();
        if (all) {
            auto r = client.FwStopAll();
            if (!r) return ClientFailure(g, client, "cannot stop the firmware transfers", r.error());
        }
        for (const kc::Mac& mac : macs) {
            auto r = client.FwStopDevice(mac);
            if (!r)
                return ClientFailure(g, client, "cannot stop the transfer of " + kc::MacText(mac), r.error(),
                                     json{{"stopped", stopped}});
            stopped.push_back(kc::MacText(mac));
        }
        if (g.json)
            PrintJson(json{{"stop_sent", true}, {"all", all}, {"devices", stopped}});
        else
            std::cout << "Stop sent"
                      << (all ? " to every running transfer"
                              : " to " + std::to_string(macs.size()) +
                                    (macs.size() == 1 ? " transfer" : " transfers"))
                      << ". Each ends within about 100 ms, whatever it waits for; see 'kivoctl fw status'.\n";
        return kExitOk;
    }
    auto r = client.FwStop();
    if (!r) return ClientFailure(g, client, "cannot stop the firmware server", r.error());
    auto s = client.GetFwStatus();
    if (g.json) {
        PrintJson(json{{"stop_sent", true}, {"status", s ? FwStatusJson(*s) : json(nullptr)}});
    } else {
        std::cout << "Stop sent. A running transfer ends within about 100 ms, whatever it waits for";
        if (s)
            std::cout << "; now: " << kc::FwStateName(s->state) << " (" << kc::FwStateDescription(s->state)
                      << ")";
        std::cout << ".\n";
    }
    return kExitOk;
}

}  // namespace kivoctl
