#include "probe.h"

#include <cmath>
#include <cstdlib>

namespace kivo::exporter {

using namespace std::chrono_literals;

namespace {

constexpr auto kHowToName = "name a device of the configuration file by its name, its MAC or INTERFACE/MAC";

std::variant<size_t, std::string> FindTarget(const Config& config, const std::string& text) {
    if (text.empty()) return std::string("the parameter 'target' is missing: ") + kHowToName;
    if (text.size() > 128) return std::string("the target is longer than any configured device's name");
    for (size_t i = 0; i < config.targets.size(); ++i)
        if (!config.targets[i].name.empty() && config.targets[i].name == text) return i;
    const auto slash = text.find('/');
    const std::string ifname = slash == std::string::npos ? "" : text.substr(0, slash);
    const auto mac = protocol::ParseMac(slash == std::string::npos ? text : text.substr(slash + 1));
    if (!mac) return "target '" + text + "' is no configured device: " + kHowToName;
    std::optional<size_t> found;
    for (size_t i = 0; i < config.targets.size(); ++i) {
        const auto& t = config.targets[i];
        if (t.mac != *mac || (!ifname.empty() && t.interface != ifname)) continue;
        if (found)
            return "target '" + text + "' is on more than one interface: name it as INTERFACE/" +
                   protocol::MacText(*mac);
        found = i;
    }
    if (!found) return "target '" + text + "' is no configured device: " + kHowToName;
    return *found;
}

}  // namespace

std::variant<ProbeRequest, std::string> ResolveProbe(const Config& config, const std::string& target,
                                                     const std::string& module) {
    auto found = FindTarget(config, target);
    if (const auto* error = std::get_if<std::string>(&found)) return *error;
    ProbeRequest p{std::get<size_t>(found), module};
    if (p.module.empty()) p.module = config.targets[p.target].module;
    if (!config.modules.count(p.module)) {
        std::string list;
        for (const auto& [name, params] : config.modules) list += (list.empty() ? "" : ", ") + name;
        return "module '" + module + "' is not in the configuration file (modules: " + list + ")";
    }
    return p;
}

std::chrono::milliseconds PageTimeLimit(std::chrono::milliseconds configured,
                                        const std::optional<std::string>& header) {
    if (!header || header->empty() || header->size() > 20) return configured;
    char* end = nullptr;
    const double s = std::strtod(header->c_str(), &end);
    if (end != header->c_str() + header->size() || !std::isfinite(s) || s <= 0 || s > 3600) return configured;
    const auto theirs = std::chrono::milliseconds(static_cast<long long>(s * 1000)) - 500ms;
    return std::max<std::chrono::milliseconds>(std::min(theirs, configured), 100ms);
}

}  // namespace kivo::exporter
