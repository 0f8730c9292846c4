#include "config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "families.h"

namespace kivo::exporter {

namespace {

// Files of a few kilobytes are expected; a larger one is a mistake (a log, an image).
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

class Reader {
   public:
    Reader(std::string name) : name_(std::move(name)) {}

    [[noreturn]] void Fail(const YAML::Node& node, const std::string& what) const {
        const auto mark = node.Mark();
        std::ostringstream os;
        os << name_;
        if (mark.line >= 0) os << ':' << mark.line + 1;
        os << ": " << what;
        throw ConfigError(os.str());
    }

    // Refuses keys outside `allowed`: a misspelt key would otherwise be ignored silently.
    void Keys(const YAML::Node& map, const std::set<std::string>& allowed, const std::string& where) const {
        if (!map.IsMap()) Fail(map, where + " must be a mapping of keys to values");
        for (const auto& kv : map) {
            if (!kv.first.IsScalar()) Fail(kv.first, "a key in " + where + " is not a plain word");
            const auto key = kv.first.Scalar();
            if (!allowed.count(key)) {
                std::string list;
                for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
                Fail(kv.first, "unknown key '" + key + "' in " + where + " (known keys: " + list + ")");
            }
        }
    }

    std::string Text(const YAML::Node& node, const std::string& what) const {
        if (!node.IsScalar()) Fail(node, what + " must be a single value");
        return node.Scalar();
    }

    long Number(const YAML::Node& node, const std::string& what, long lo, long hi) const {
        const auto text = Text(node, what);
        size_t used = 0;
        long v = 0;
        try {
            v = std::stol(text, &used, 10);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text.size() || v < lo || v > hi)
            Fail(node, what + " must be a whole number from " + std::to_string(lo) + " to " +
                           std::to_string(hi) + ", not '" + text + "'");
        return v;
    }

    std::chrono::milliseconds Duration(const YAML::Node& node, const std::string& what) const {
        const auto text = Text(node, what);
        std::chrono::milliseconds d{};
        if (!ParseDuration(text, d))
            Fail(node, what + " must be a duration such as 10s, 1m or 500ms, not '" + text + "'");
        return d;
    }

    const std::string& name() const { return name_; }

   private:
    std::string name_;
};

std::string ReadSmallFile(const std::string& path, const std::string& what) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status))
        throw ConfigError("cannot read " + what + " " + path + ": no such file; check the path");
    if (!std::filesystem::is_regular_file(status))
        throw ConfigError("cannot read " + what + " " + path + ": not a regular file");
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxFileBytes)
        throw ConfigError("cannot read " + what + " " + path + ": larger than 1 MiB; is it the right file?");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError("cannot read " + what + " " + path + ": permission denied or I/O error");
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

YAML::Node ParseYaml(const std::string& text, const std::string& name) {
    try {
        return YAML::Load(text);
    } catch (const YAML::ParserException& e) {
        std::ostringstream os;
        os << name;
        if (e.mark.line >= 0) os << ':' << e.mark.line + 1;
        os << ": not valid YAML: " << e.msg;
        throw ConfigError(os.str());
    }
}

std::string Resolve(const std::string& path, const std::string& baseDir) {
    if (path.empty() || path[0] == '/' || baseDir.empty()) return path;
    return baseDir + "/" + path;
}

std::string DirOf(const std::string& path) {
    const auto dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

std::vector<ParamMetric> ReadModule(const Reader& r, const YAML::Node& module, const std::string& name) {
    const std::string where = "module '" + name + "'";
    r.Keys(module, {"parameters"}, where);
    const auto list = module["parameters"];
    if (!list || !list.IsSequence() || list.size() == 0)
        r.Fail(module, where + " needs a list 'parameters' with at least one entry");
    std::vector<ParamMetric> out;
    std::set<std::string> metrics;
    for (const auto& p : list) {
        r.Keys(p, {"name", "metric", "help", "type"}, "a parameter of " + where);
        for (const char* key : {"name", "metric", "help"})
            if (!p[key]) r.Fail(p, std::string("a parameter of ") + where + " lacks '" + key + "'");
        ParamMetric m;
        m.parameter = r.Text(p["name"], "the parameter name");
        if (m.parameter.empty() || m.parameter.size() > 255 || m.parameter.find('\0') != std::string::npos)
            r.Fail(p["name"], "the parameter name must be 1 to 255 characters without a zero byte");
        m.metric = r.Text(p["metric"], "the metric name");
        if (!ValidMetricName(m.metric))
            r.Fail(p["metric"], "'" + m.metric +
                                    "' is not a valid metric name: use letters, digits and '_', not "
                                    "starting with a digit");
        if (IsOwnMetric(m.metric))
            r.Fail(p["metric"], "'" + m.metric + "' is a metric of the exporter itself; choose another name");
        m.help = r.Text(p["help"], "the help text");
        if (m.help.empty()) r.Fail(p["help"], "the help text must not be empty");
        const auto type = p["type"] ? r.Text(p["type"], "the type") : std::string("gauge");
        if (type == "gauge") {
            m.type = MetricType::kGauge;
            if (m.metric.size() >= 6 && m.metric.compare(m.metric.size() - 6, 6, "_total") == 0)
                r.Fail(p["metric"], "'" + m.metric + "' ends in _total, which Prometheus keeps for counters");
        } else if (type == "counter") {
            m.type = MetricType::kCounter;
            if (m.metric.size() < 6 || m.metric.compare(m.metric.size() - 6, 6, "_total") != 0)
                r.Fail(p["metric"], "counter '" + m.metric + "' must end in _total");
        } else {
            r.Fail(p["type"], "type must be gauge or counter, not '" + type + "'");
        }
        if (!metrics.insert(m.metric).second)
            r.Fail(p["metric"], "metric '" + m.metric + "' appears twice in " + where);
        out.push_back(std::move(m));
    }
    return out;
}

Target ReadTarget(const Reader& r, const YAML::Node& t, const std::string& baseDir,
                  const std::map<std::string, std::vector<ParamMetric>>& modules) {
    r.Keys(t, {"interface", "mac", "protocol", "vlan", "password_file", "module", "name"}, "a target");
    for (const char* key : {"interface", "mac", "module"})
        if (!t[key]) r.Fail(t, std::string("a target lacks '") + key + "'");
    Target target;
    target.interface = r.Text(t["interface"], "interface");
    if (!protocol::InterfaceNameValid(target.interface))
        r.Fail(
            t["interface"],
            "'" + target.interface +
                "' is not an interface name (1 to 15 bytes, without '/', ':', blanks or control characters)");
    const auto macText = r.Text(t["mac"], "mac");
    const auto mac = protocol::ParseMac(macText);
    if (!mac) r.Fail(t["mac"], "'" + macText + "' is not a MAC address such as 02:00:00:00:10:01");
    target.mac = *mac;
    if (t["protocol"]) {
        const auto p = r.Text(t["protocol"], "protocol");
        if (p == "lcmp")
            target.protocol = TargetProtocol::kLcmp;
        else if (p == "scp")
            target.protocol = TargetProtocol::kScp;
        else
            r.Fail(t["protocol"], "protocol must be lcmp or scp, not '" + p + "'");
    }
    if (t["vlan"]) target.vlan = static_cast<uint16_t>(r.Number(t["vlan"], "vlan", 0, 4094));
    if (t["password_file"]) {
        const auto path = Resolve(r.Text(t["password_file"], "password_file"), baseDir);
        std::string pw;
        try {
            pw = ReadSmallFile(path, "password file");
        } catch (const ConfigError& e) {
            r.Fail(t["password_file"], e.what());
        }
        // One line: the line end an editor adds is not part of the password.
        if (const auto nl = pw.find_first_of("\r\n"); nl != std::string::npos) pw.resize(nl);
        if (pw.find('\0') != std::string::npos || pw.size() > 255)
            r.Fail(t["password_file"],
                   "the password in " + path + " holds a zero byte or is longer than 255");
        target.password = pw;
    }
    target.module = r.Text(t["module"], "module");
    const auto it = modules.find(target.module);
    if (it == modules.end()) r.Fail(t["module"], "no module named '" + target.module + "' in 'modules'");
    target.params = &it->second;
    if (t["name"]) {
        target.name = r.Text(t["name"], "name");
        if (!TargetNameValid(target.name))
            r.Fail(t["name"],
                   "the name '" + target.name +
                       "' must be 1 to 64 letters, digits, '_', '-' or '.' (it is used in /probe?target=)");
    }
    return target;
}

}  // namespace

bool TargetNameValid(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.';
    });
}

bool ValidMetricName(const std::string& name) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

bool ParseDuration(const std::string& text, std::chrono::milliseconds& out) {
    if (text.empty()) return false;
    long long total = 0;
    size_t i = 0;
    while (i < text.size()) {
        long long n = 0;
        const size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i] - '0');
            if (n > 1000000000LL) return false;
            ++i;
        }
        if (i == start) return false;
        long long unit = 0;
        if (text.compare(i, 2, "ms") == 0) {
            unit = 1, i += 2;
        } else if (i < text.size() && text[i] == 's') {
            unit = 1000, ++i;
        } else if (i < text.size() && text[i] == 'm') {
            unit = 60000, ++i;
        } else if (i < text.size() && text[i] == 'h') {
            unit = 3600000, ++i;
        } else {
            return false;
        }
        total += n * unit;
        if (total > 7LL * 24 * 3600000) return false;  // a week is already absurd here
    }
    out = std::chrono::milliseconds(total);
    return true;
}

void ParseConfig(const std::string& text, const std::string& name, const std::string& baseDir, Config& out) {
    const Reader r(name);
    const auto root = ParseYaml(text, name);
    if (!root.IsMap()) r.Fail(root, "the file must be a mapping with 'modules' and 'targets'");
    r.Keys(root, {"service_port", "scrape_timeout", "discovery", "modules", "targets"}, "the file");

    if (root["service_port"])
        out.servicePort = static_cast<uint16_t>(r.Number(root["service_port"], "service_port", 1, 65535));
    if (root["scrape_timeout"]) {
        out.scrapeTimeout = r.Duration(root["scrape_timeout"], "scrape_timeout");
        if (out.scrapeTimeout < std::chrono::seconds(1))
            r.Fail(root["scrape_timeout"], "scrape_timeout must be at least 1s");
    }
    if (const auto d = root["discovery"]) {
        r.Keys(d, {"interval", "interfaces"}, "discovery");
        if (d["interval"]) {
            out.discoveryInterval = r.Duration(d["interval"], "discovery interval");
            out.discoveryEnabled = out.discoveryInterval.count() > 0;
            // Each discovery occupies the service for 3 s per interface and kind.
            if (out.discoveryEnabled && out.discoveryInterval < std::chrono::seconds(10))
                r.Fail(d["interval"], "the discovery interval must be 0s (off) or at least 10s");
        }
        if (const auto list = d["interfaces"]) {
            if (!list.IsSequence()) r.Fail(list, "discovery interfaces must be a list of interface names");
            for (const auto& i : list) {
                const auto ifname = r.Text(i, "an interface name");
                if (!protocol::InterfaceNameValid(ifname))
                    r.Fail(i, "'" + ifname +
                                  "' is not an interface name (1 to 15 bytes, without '/', ':', blanks or "
                                  "control characters)");
                out.discoveryInterfaces.push_back(ifname);
            }
        }
    }

    const auto modules = root["modules"];
    if (!modules || !modules.IsMap() || modules.size() == 0)
        r.Fail(modules ? modules : root, "'modules' must map module names to their parameter lists");
    for (const auto& kv : modules) {
        const auto mname = r.Text(kv.first, "a module name");
        out.modules[mname] = ReadModule(r, kv.second, mname);
    }
    // One metric name, one meaning: the same name from two modules must agree.
    std::map<std::string, const ParamMetric*> byMetric;
    for (const auto& [mname, list] : out.modules)
        for (const auto& p : list) {
            auto [it, fresh] = byMetric.emplace(p.metric, &p);
            if (!fresh && (it->second->type != p.type || it->second->help != p.help))
                throw ConfigError(name + ": metric '" + p.metric +
                                  "' has different types or help texts in "
                                  "two modules; give them the same or use different names");
        }

    const auto targets = root["targets"];
    if (!targets || !targets.IsSequence() || targets.size() == 0)
        r.Fail(targets ? targets : root, "'targets' must be a list with at least one device");
    std::set<std::pair<std::string, protocol::Mac>> seen;
    std::set<std::string> names;
    for (const auto& t : targets) {
        Target target = ReadTarget(r, t, baseDir, out.modules);
        if (!seen.emplace(target.interface, target.mac).second)
            r.Fail(t["mac"], "device " + protocol::MacText(target.mac) + " on " + target.interface +
                                 " is listed twice");
        if (!target.name.empty() && !names.insert(target.name).second)
            r.Fail(t["name"], "the name '" + target.name + "' is given to two targets");
        out.targets.push_back(std::move(target));
    }
    if (out.discoveryInterfaces.empty()) {
        std::set<std::string> ifs;
        for (const auto& t : out.targets)
            if (ifs.insert(t.interface).second) out.discoveryInterfaces.push_back(t.interface);
    }
}

void LoadConfig(const std::string& path, Config& out) {
    ParseConfig(ReadSmallFile(path, "configuration file"), path, DirOf(path), out);
}

WebConfig ParseWebConfig(const std::string& text, const std::string& name, const std::string& baseDir) {
    const Reader r(name);
    WebConfig web;
    const auto root = ParseYaml(text, name);
    if (root.IsNull()) return web;
    r.Keys(root, {"tls_server_config", "basic_auth_users"}, "the web configuration");
    if (const auto tls = root["tls_server_config"]) {
        r.Keys(tls, {"cert_file", "key_file"}, "tls_server_config");
        if (!tls["cert_file"] || !tls["key_file"])
            r.Fail(tls, "tls_server_config needs both cert_file and key_file");
        web.certFile = Resolve(r.Text(tls["cert_file"], "cert_file"), baseDir);
        web.keyFile = Resolve(r.Text(tls["key_file"], "key_file"), baseDir);
        for (const auto* f : {&web.certFile, &web.keyFile}) {
            std::error_code ec;
            if (!std::filesystem::is_regular_file(*f, ec))
                r.Fail(tls[f == &web.certFile ? "cert_file" : "key_file"], "no readable file " + *f);
        }
    }
    if (const auto users = root["basic_auth_users"]) {
        if (!users.IsMap()) r.Fail(users, "basic_auth_users must map user names to bcrypt hashes");
        for (const auto& kv : users) {
            const auto user = r.Text(kv.first, "a user name");
            const auto hash = r.Text(kv.second, "the hash of " + user);
            if (user.empty() || user.find(':') != std::string::npos)
                r.Fail(kv.first, "user names must not be empty nor hold ':'");
            // bcrypt only: a plain or weaker hash here would be a password in the clear.
            if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' ||
                (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') || hash[3] != '$')
                r.Fail(kv.second, "the password of " + user +
                                      " must be a bcrypt hash ($2y$ or $2b$, 60 characters), e.g. from "
                                      "'htpasswd -nbBC 10 USER PASSWORD'");
            web.users[user] = hash;
        }
    }
    return web;
}

WebConfig LoadWebConfig(const std::string& path) {
    return ParseWebConfig(ReadSmallFile(path, "web configuration file"), path, DirOf(path));
}

}  // namespace kivo::exporter
