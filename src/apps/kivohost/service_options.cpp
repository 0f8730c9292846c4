#include "service_options.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

bool PortArgument(const std::string& text, INT32S& port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10u + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) return false;
    port = static_cast<INT32S>(value);
    return true;
}

bool AllowList::Allows(const kivo::Requester& requester) const {
    if (!active()) return true;
    if (!requester.known) return false;
    if (requester.isRoot()) return true;
    if (std::find(users.begin(), users.end(), requester.uid) != users.end()) return true;
    return std::any_of(groups.begin(), groups.end(), [&](gid_t g) { return requester.inGroup(g); });
}

namespace {

// A decimal id of at most 32 bits, nothing else.
bool NumericId(const std::string& text, uint32_t& id) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX - 1) return false;  // (uid_t)-1 means "no user"
    id = static_cast<uint32_t>(v);
    return true;
}

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

bool AddUser(AllowList& list, const std::string& name, std::string& error) {
    uint32_t id = 0;
    if (NumericId(name, id)) {
        list.users.push_back(static_cast<uid_t>(id));
        return true;
    }
    const struct passwd* pw = name.empty() ? nullptr : getpwnam(name.c_str());
    if (pw == nullptr) {
        error = "unknown user '" + name + "' in the allow-list: give an existing user name or a numeric uid";
        return false;
    }
    list.users.push_back(pw->pw_uid);
    return true;
}

bool AddGroup(AllowList& list, const std::string& name, std::string& error) {
    uint32_t id = 0;
    if (NumericId(name, id)) {
        list.groups.push_back(static_cast<gid_t>(id));
        return true;
    }
    const struct group* gr = name.empty() ? nullptr : getgrnam(name.c_str());
    if (gr == nullptr) {
        error =
            "unknown group '" + name + "' in the allow-list: give an existing group name or a numeric gid";
        return false;
    }
    list.groups.push_back(gr->gr_gid);
    return true;
}

bool ConfigFileRead(const std::string& path, AllowList& list, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read configuration file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        const std::string entry = Trim(line);
        if (entry.empty() || entry[0] == '#') continue;
        if (!list.AddEntry(entry, error)) {
            error = path + " line " + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

}  // namespace

bool AllowList::AddEntry(const std::string& text, std::string& error) {
    const std::string entry = Trim(text);
    if (entry.rfind("user:", 0) == 0) return AddUser(*this, Trim(entry.substr(5)), error);
    if (entry.rfind("group:", 0) == 0) return AddGroup(*this, Trim(entry.substr(6)), error);
    error = "allow-list entry '" + entry + "' is neither user:NAME nor group:NAME";
    return false;
}

std::string ServiceUsage(const char* program) {
    return std::string("Usage: ") + program +
           " [options] [port]\n"
           "Serves G.hn device requests from front-ends on UDP 127.0.0.1:port (default 55567).\n"
           "\n"
           "  -h, --help               print this help and exit\n"
           "      --version            print the version and exit\n"
           "      --port N             UDP port to listen on (0 to 65535)\n"
           "      --allow-user NAME    accept requests from this user (name or uid); repeatable\n"
           "      --allow-group NAME   accept requests from members of this group (name or gid); repeatable\n"
           "      --config FILE        read allow-list entries (user:NAME or group:NAME, one per line)\n"
           "\n"
           "KIVOHOST_ALLOW=user:NAME,group:NAME,... adds allow-list entries too. Without any entry\n"
           "every local user may send requests; with entries, root and the listed users and groups\n"
           "may, and the Version and failure-detail requests stay open to everyone.\n";
}

namespace {

// Adds the comma-separated entries of KIVOHOST_ALLOW (envAllow, may be null); false,
// with error set, for an entry that cannot be added.
bool EnvAllowRead(const char* envAllow, AllowList& allow, std::string& error) {
    if (envAllow == nullptr) return true;
    const std::string all = envAllow;
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos) comma = all.size();
        const std::string entry = Trim(all.substr(start, comma - start));
        if (!entry.empty() && !allow.AddEntry(entry, error)) return false;
        start = comma + 1;
    }
    return true;
}

// Takes up one option with a value (--port, --allow-user, --allow-group, --config);
// false, with error set, for a value that cannot be used.
bool OptionApply(const std::string& name, const std::string& value, ServiceOptions& o,
                 std::vector<std::string>& configFiles, std::string& error) {
    if (name == "--port") {
        if (PortArgument(value, o.port)) return true;
        error = "--port needs a whole number from 0 to 65535, not '" + value + "'";
        return false;
    }
    if (name == "--allow-user") return AddUser(o.allow, Trim(value), error);
    if (name == "--allow-group") return AddGroup(o.allow, Trim(value), error);
    configFiles.push_back(value);
    return true;
}

}  // namespace

ServiceOptions ServiceOptionsRead(int argc, char** argv, const char* envAllow) {
    ServiceOptions o;
    auto fail = [&](const std::string& error) {
        o.action = ServiceOptions::Action::kError;
        o.error = error;
        return o;
    };
    std::vector<const char*> positional;
    std::vector<std::string> configFiles;
    bool portOption = false;
    bool onlyPositional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // "-5" and " 7" are port arguments, as they always were; "-x" is an option.
        const bool isOption =
            !onlyPositional && arg.size() >= 2 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
        if (!isOption) {
            positional.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            o.action = ServiceOptions::Action::kHelp;
            return o;
        }
        if (arg == "--version") {
            o.action = ServiceOptions::Action::kVersion;
            return o;
        }
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        if (name != "--port" && name != "--allow-user" && name != "--allow-group" && name != "--config")
            return fail("unknown option '" + arg + "'");
        if (!hasValue) {
            if (i + 1 >= argc) return fail("option " + name + " needs a value");
            value = argv[++i];
        }
        if (std::string error; !OptionApply(name, value, o, configFiles, error)) return fail(error);
        portOption = portOption || name == "--port";
    }
    if (positional.size() > 1) {
        // Scripts written for the port-only command line see the usage line they always saw,
        // now with a failure status.
        if (argc - 1 == static_cast<int>(positional.size())) {
            o.action = ServiceOptions::Action::kLegacyUsage;
            return o;
        }
        return fail("more than one port given");
    }
    if (positional.size() == 1) {
        if (portOption) return fail("the port is given twice (--port and a plain argument)");
        if (!PortArgument(positional[0], o.port))
            return fail(
                "the port must be a whole number from 0 to 65535 (0: a port the system chooses), not '" +
                std::string(positional[0]) + "'");
    }
    if (std::string error; !EnvAllowRead(envAllow, o.allow, error)) return fail("KIVOHOST_ALLOW: " + error);
    for (const std::string& path : configFiles) {
        std::string error;
        if (!ConfigFileRead(path, o.allow, error)) return fail(error);
    }
    return o;
}
