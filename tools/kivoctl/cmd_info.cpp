// kivoctl version and discover.
#include <iostream>
#include <map>
#include <set>

#include "cli.h"

namespace kivoctl {

// ---- version ------------------------------------------------------------------------------------

int CmdVersion(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto v = client.GetVersion();
    if (!v) return ClientFailure(g, client, "cannot read the service's version", v.error());
    if (g.json) {
        PrintJson(
            json{{"service",
                  {{"version", v->Text()}, {"major", v->major}, {"minor", v->minor}, {"build", v->build}}},
                 {"client", {{"version", KIVOCTL_VERSION}}},
                 {"port", g.port}});
    } else {
        std::cout << "kivohost " << v->Text() << " on 127.0.0.1 port " << g.port << '\n'
                  << "kivoctl  " << KIVOCTL_VERSION << '\n';
    }
    return kExitOk;
}

// ---- discover -----------------------------------------------------------------------------------

int CmdDiscover(const Globals& g, const std::string& iface, uint16_t vlan) {
    if (!iface.empty())
        if (auto e = CheckInterface(iface)) return Usage(g, *e);
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    kc::DiscoverRequest req{iface, vlan};
    // LCMP devices do not answer the legacy probe: they have a discovery of their own.
    bool lcmpDiscovery = true;
    std::vector<kc::DeviceRecord> records;
    auto lcmp = client.DiscoverLcmp(req);
    std::optional<std::string> lcmpNote;
    if (lcmp) {
        records = *lcmp;
        if (records.empty()) lcmpNote = kc::RefusedDiscoveryNote(client);
    } else if (lcmp.error().kind == kc::ErrorKind::kUnsupported) {
        lcmpDiscovery = false;  // an older service: legacy and boot-ROM devices only
    } else {
        return ClientFailure(g, client, "LCMP discovery failed", lcmp.error());
    }
    auto legacy = client.Discover(req);
    if (!legacy) return ClientFailure(g, client, "discovery failed", legacy.error());
    records.insert(records.end(), legacy->begin(), legacy->end());

    // One entry per device and interface, with every kind it was seen as.
    std::map<std::pair<std::string, kc::Mac>, std::set<uint8_t>> merged;
    for (const auto& r : records) merged[{r.interface, r.mac}].insert(r.type);
    // Most capable first: LCMP, then legacy SCP, then the boot ROMs.
    auto kindOrder = [](uint8_t t) { return t == 3 ? 0 : t == 2 ? 1 : t == 1 ? 2 : t == 0 ? 3 : 4 + t; };
    auto kindsOf = [&](const std::set<uint8_t>& types) {
        std::vector<uint8_t> v(types.begin(), types.end());
        std::sort(v.begin(), v.end(), [&](uint8_t a, uint8_t b) { return kindOrder(a) < kindOrder(b); });
        std::vector<std::string> names;
        for (uint8_t t : v) names.push_back(kc::DeviceKindName(t));
        return names;
    };
    if (lcmpNote) std::cerr << "kivoctl: " << Printable(*lcmpNote) << '\n';
    if (g.json) {
        json devices = json::array();
        for (const auto& [key, types] : merged)
            devices.push_back(
                {{"interface", key.first}, {"mac", kc::MacText(key.second)}, {"kinds", kindsOf(types)}});
        PrintJson(json{{"devices", devices},
                       {"lcmp_discovery", lcmpDiscovery},
                       {"lcmp_note", lcmpNote ? json(*lcmpNote) : json(nullptr)}});
        return kExitOk;
    }
    if (merged.empty() && lcmpNote) {
        std::cout << "No device could be listed.\n";
        return kExitOk;
    }
    if (merged.empty()) {
        std::cout << "No device answered on " << (iface.empty() ? "any interface" : "interface " + iface)
                  << ".\n";
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& [key, types] : merged) {
        std::string kinds;
        for (const auto& k : kindsOf(types)) kinds += (kinds.empty() ? "" : ",") + k;
        rows.push_back({Printable(key.first), kinds, kc::MacText(key.second)});
    }
    PrintTable({"INTERFACE", "KIND", "MAC"}, rows);
    return kExitOk;
}

}  // namespace kivoctl
