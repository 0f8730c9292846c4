// kivoctl getall, get, set and reset.
#include <unistd.h>

#include <iostream>
#include <map>
#include <set>

#include "cli.h"
#include "cmd_compare.h"

namespace kivoctl {

// ---- getall / get / set / reset ---------------------------------------------------------------------

// A parameter's type for the table: its name (its code when it has none), ERROR for a
// refused parameter without one.
std::string TypeText(const std::optional<uint8_t>& type, bool refused) {
    if (!type) return refused ? "ERROR" : "-";
    const std::string_view name = kc::ParamTypeName(*type);
    return name.empty() ? std::to_string(*type) : std::string(name);
}

// Prints a parameter reply; exit code 4 when the device refused a parameter. `asked`
// holds the names of a get or set, so that names the reply does not cover are told.
int PrintParams(const Globals& g, const kc::DeviceAddress& d, const kc::ParamReply& reply,
                const std::vector<std::string>& asked, const char* notCoveredWord) {
    std::vector<std::string> refused;
    for (const auto& p : reply.params)
        if (p.refused) refused.push_back(p.name);
    std::vector<std::string> notCovered;
    for (const auto& name : asked)
        if (std::none_of(reply.params.begin(), reply.params.end(),
                         [&](const kc::Param& p) { return p.name == name; }))
            notCovered.push_back(name);
    const bool partial = !refused.empty() || !notCovered.empty();
    if (g.json) {
        json params = json::array();
        for (const auto& p : reply.params) params.push_back(ParamJson(p));
        PrintJson(json{{"device", DeviceJson(d)},
                       {"parameters", params},
                       {"refused", refused},
                       {"not_answered", notCovered}});
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const auto& p : reply.params) {
            rows.push_back({Printable(p.name), TypeText(p.type, p.refused), Printable(p.value)});
        }
        if (rows.empty())
            std::cout << "The device reported no parameters.\n";
        else
            PrintTable({"NAME", "TYPE", "VALUE"}, rows);
    }
    for (const auto& p : reply.params)
        if (p.refused)
            std::cerr << "kivoctl: the device refused " << Printable(p.name) << ": " << Printable(p.value)
                      << '\n';
    if (!notCovered.empty()) {
        std::string list;
        for (const auto& n : notCovered) list += (list.empty() ? "" : ", ") + Printable(n);
        std::cerr << "kivoctl: " << notCoveredWord << " after the refusal: " << list << '\n';
    }
    return partial ? kExitPartial : kExitOk;
}

// A write: per name written, refused (with the device's text) or not written and why.
int PrintWrite(const Globals& g, const kc::DeviceAddress& d, const kc::ParamReply& reply,
               const std::vector<std::string>& names) {
    const auto outcomes = kc::WriteOutcomes(reply, names);
    const bool partial = std::any_of(outcomes.begin(), outcomes.end(),
                                     [](const auto& o) { return o.result != kc::WriteResult::kWritten; });
    if (g.json) {
        json params = json::array(), results = json::array(), refused = json::array(),
             notWritten = json::array();
        for (const auto& p : reply.params) params.push_back(ParamJson(p));
        for (const auto& o : outcomes) {
            results.push_back({{"name", o.name},
                               {"result", kc::WriteResultName(o.result)},
                               {"written", o.result == kc::WriteResult::kWritten},
                               {"refused", o.result == kc::WriteResult::kRefused},
                               {"text", o.text}});
            if (o.result == kc::WriteResult::kRefused) refused.push_back(o.name);
            if (o.result == kc::WriteResult::kNotWritten) notWritten.push_back(o.name);
        }
        PrintJson(json{{"device", DeviceJson(d)},
                       {"parameters", params},
                       {"results", results},
                       {"refused", refused},
                       {"not_written", notWritten}});
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const auto& o : outcomes) {
            auto it = std::find_if(reply.params.begin(), reply.params.end(),
                                   [&](const kc::Param& p) { return p.name == o.name; });
            const std::string type = TypeText(it != reply.params.end() ? it->type : std::nullopt,
                                              o.result == kc::WriteResult::kRefused);
            std::string value = o.result == kc::WriteResult::kNotWritten ? o.text
                                : it != reply.params.end()               ? it->value
                                                                         : "-";
            rows.push_back(
                {Printable(o.name), type, std::string(kc::WriteResultName(o.result)), Printable(value)});
        }
        PrintTable({"NAME", "TYPE", "RESULT", "VALUE"}, rows);
    }
    for (const auto& o : outcomes) {
        if (o.result == kc::WriteResult::kRefused)
            std::cerr << "kivoctl: the device refused " << Printable(o.name) << ": " << Printable(o.text)
                      << '\n';
        else if (o.result == kc::WriteResult::kNotWritten)
            std::cerr << "kivoctl: " << Printable(o.name) << " not written: " << Printable(o.text) << '\n';
    }
    return partial ? kExitPartial : kExitOk;
}

int CmdGetAll(const Globals& g, const DeviceOptions& o) {
    int rc = 0;
    auto d = Device(g, o, rc);
    if (!d) return rc;
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto r = client.GetAll(*d);
    if (!r) return ClientFailure(g, client, "cannot read the parameters of " + DeviceText(*d), r.error());
    return PrintParams(g, *d, *r, {}, "");
}

int CmdGet(const Globals& g, const DeviceOptions& o, const std::vector<std::string>& names) {
    int rc = 0;
    auto d = Device(g, o, rc);
    if (!d) return rc;
    for (const auto& n : names)
        if (n.empty()) return Usage(g, "a parameter name is empty");
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto r = client.Get(*d, names);
    if (!r) return ClientFailure(g, client, "cannot read parameters of " + DeviceText(*d), r.error());
    return PrintParams(g, *d, *r, names, "not read");
}

int CmdSet(const Globals& g, const DeviceOptions& o, const std::vector<std::string>& assignments,
           bool compare) {
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> names;
    for (const auto& a : assignments) {
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) return Usage(g, "'" + Printable(a) + "' is not NAME=VALUE");
        values.emplace_back(a.substr(0, eq), a.substr(eq + 1));
        names.push_back(a.substr(0, eq));
    }
    int rc = 0;
    auto d = Device(g, o, rc);
    if (!d) return rc;
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    if (compare) {  // reads the names and compares, writes nothing
        auto r = client.Get(*d, names);
        if (!r) return ClientFailure(g, client, "cannot read parameters of " + DeviceText(*d), r.error());
        return PrintCompare(g.json, *d, *r, values);
    }
    auto r = client.Set(*d, values);
    if (!r) return ClientFailure(g, client, "cannot write parameters of " + DeviceText(*d), r.error());
    return PrintWrite(g, *d, *r, names);
}

int CmdReset(const Globals& g, const DeviceOptions& o, bool yes) {
    int rc = 0;
    auto d = Device(g, o, rc);
    if (!d) return rc;
    if (!yes && isatty(STDIN_FILENO)) {
        std::cerr << "Reset " << DeviceText(*d) << " to its factory settings? [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes")
            return Report(g, kExitFailed, "cancelled", "factory reset cancelled; nothing was sent");
    }
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto r = client.FactoryReset(*d);
    if (!r) return ClientFailure(g, client, "factory reset of " + DeviceText(*d) + " failed", r.error());
    if (g.json)
        PrintJson(json{{"device", DeviceJson(*d)}, {"reset", true}});
    else
        std::cout << "Factory reset of " << DeviceText(*d) << " confirmed by the device.\n";
    return kExitOk;
}

}  // namespace kivoctl
