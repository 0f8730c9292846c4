// kivoctl: command-line front-end of kivohost (see man/kivoctl.1). The commands live in
// cmd_info.cpp, cmd_params.cpp and cmd_fw.cpp; what they share in common.cpp.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "cli.h"

using namespace kivoctl;

namespace {

// Edits (insertions, deletions, substitutions) that turn a into b.
size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The first word of the command line that is no command of its level ("getal", "fw stauts"),
// with the nearest command to suggest; nullopt when every command word is known. Values of
// the global options are skipped.
std::optional<std::string> UnknownCommand(int argc, char** argv) {
    static const std::vector<std::string> kTop = {"version", "discover", "getall", "get",
                                                  "set",     "compare",  "reset",  "fw"};
    static const std::vector<std::string> kFw = {"upgrade", "boot", "status", "stop"};
    const std::vector<std::string>* level = &kTop;
    std::string prefix;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a(argv[i]);
        if (a == "--port" || a == "--timeout") {
            ++i;
            continue;
        }
        if (a.empty() || a[0] == '-') {
            if (level == &kTop) continue;
            return std::nullopt;  // the command's own options follow
        }
        if (std::find(level->begin(), level->end(), a) == level->end()) {
            std::string best;
            size_t bestDistance = 3;  // further than two edits is no typing mistake
            for (const auto& name : *level)
                if (const size_t d = EditDistance(a, name); d < bestDistance) bestDistance = d, best = name;
            std::string message = "unknown command '" + prefix + Printable(std::string(a)) + "'";
            if (!best.empty()) message += "; did you mean '" + prefix + best + "'?";
            std::string all;
            for (const auto& name : *level) all += (all.empty() ? "" : ", ") + name;
            return message + " (" + (level == &kTop ? "commands: " : "fw commands: ") + all + ")";
        }
        if (level != &kTop || a != "fw") return std::nullopt;
        level = &kFw;
        prefix = "fw ";
    }
    return std::nullopt;
}

// A password given on the command line, which kivoctl refuses to read.
bool PasswordOnCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a(argv[i]);
        if (a == "--password" || a.rfind("--password=", 0) == 0) return true;
    }
    return false;
}

void AddDeviceOptions(CLI::App* cmd, DeviceOptions& o) {
    cmd->add_option("-i,--interface", o.interface, "host interface the device is on")->required();
    cmd->add_option("-m,--mac", o.mac, "device MAC address, e.g. 02:00:00:00:00:01")->required();
    cmd->add_flag("--scp", o.scp, "legacy device managed over SCP (default: LCMP)");
    cmd->add_option("--vlan", o.vlan, "VLAN id for the device's frames (0: untagged)")
        ->check(CLI::Range(0, 4094));
    auto* file = cmd->add_option("--password-file", o.passwordFile,
                                 "read the device password from the file's first line");
    auto* env = cmd->add_option("--password-env", o.passwordEnv,
                                "read the device password from this environment variable");
    file->excludes(env);
}

// What the command line asks for: every command's options, and the commands themselves
// (set when given).
struct CommandLine {
    std::string discIface;
    uint16_t discVlan = 0;
    DeviceOptions device;
    std::vector<std::string> names;
    std::vector<std::string> assignments;
    bool yes = false;
    FwTarget up;
    FwTarget bt;
    std::vector<std::string> stopMacs;
    bool stopAll = false;
    CLI::App *version, *discover, *getall, *get, *set, *compare, *reset, *upgrade, *boot, *status, *stop;
};

void AddGlobalOptions(CLI::App& app, Globals& g) {
    app.set_version_flag("--version", "kivoctl " KIVOCTL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--port", g.port, "UDP port of kivohost on 127.0.0.1 (default 55567)")
        ->envname("KIVOCTL_PORT")
        ->check(CLI::Range(1, 65535));
    app.add_flag("--json", g.json, "print one JSON document on standard output");
    app.add_option("--timeout", g.timeout,
                   "seconds to wait for each reply, replacing the per-request defaults (5 s to 60 s, see "
                   "kivoctl(1))")
        // "nan" and "inf" read as numbers and pass a range check; neither is a wait.
        ->check([](const std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 86400)
                return "give seconds above 0 and at most 86400 (one day), not '" + text + "'";
            return {};
        });
}

void AddDeviceCommands(CLI::App& app, CommandLine& c) {
    c.version = app.add_subcommand("version", "show the service's version");
    c.discover = app.add_subcommand("discover", "find LCMP, legacy and boot-ROM devices");
    c.discover->add_option("-i,--interface", c.discIface, "host interface (default: every interface)");
    c.discover->add_option("--vlan", c.discVlan, "VLAN id of the probes (0: untagged)")
        ->check(CLI::Range(0, 4094));
    c.getall = app.add_subcommand("getall", "read every parameter of a device");
    AddDeviceOptions(c.getall, c.device);
    c.get = app.add_subcommand("get", "read parameters of a device");
    AddDeviceOptions(c.get, c.device);
    c.get->add_option("NAME", c.names, "parameter names")->required();
    c.set = app.add_subcommand("set", "write parameters of a device");
    AddDeviceOptions(c.set, c.device);
    c.set->add_option("NAME=VALUE", c.assignments, "parameters and their values, as 'get' shows them")
        ->required();
    c.compare =
        app.add_subcommand("compare", "tell which values differ from the device's, as it stores them");
    AddDeviceOptions(c.compare, c.device);
    c.compare->add_option("NAME=VALUE", c.assignments, "parameters and their wanted values")->required();
    c.reset = app.add_subcommand("reset", "reset a device to its factory settings");
    AddDeviceOptions(c.reset, c.device);
    c.reset->add_flag("-y,--yes", c.yes, "do not ask for confirmation on a terminal");
}

void AddFwCommands(CLI::App& app, CommandLine& c) {
    auto* fw = app.add_subcommand("fw", "firmware upgrade and Ethernet boot");
    fw->require_subcommand(1);
    c.upgrade = fw->add_subcommand("upgrade", "upload a firmware image to a running device");
    c.upgrade->add_option("-i,--interface", c.up.interface, "host interface the device is on")->required();
    c.upgrade
        ->add_option("-m,--mac", c.up.macs,
                     "MAC address of the device to upgrade; repeat it to upgrade several side by side")
        ->required()
        ->allow_extra_args(false);
    c.upgrade->add_option("--vlan", c.up.vlan, "VLAN id (0: untagged)")->check(CLI::Range(0, 4094));
    c.upgrade->add_flag("--wait", c.up.wait, "follow the transfer to its end");
    c.upgrade->add_option("FILE", c.up.firmware, "firmware image")->required();
    c.boot = fw->add_subcommand("boot", "boot a device waiting in its boot ROM over Ethernet");
    c.boot->add_option("-i,--interface", c.bt.interface, "host interface the device is on")->required();
    c.boot->add_option("--vlan", c.bt.vlan, "VLAN id (0: untagged)")->check(CLI::Range(0, 4094));
    c.boot->add_flag("--wait", c.bt.wait, "follow the transfer to its end");
    c.boot->add_option("LOADER", c.bt.loader, "Ethernet loader file")->required();
    c.boot->add_option("FILE", c.bt.firmware, "chunked firmware file")->required();
    c.status = fw->add_subcommand("status", "list the firmware transfers, running and recently ended");
    c.stop = fw->add_subcommand("stop", "stop the latest transfer, the transfers of some devices, or all");
    auto* stopMac = c.stop->add_option("-m,--mac", c.stopMacs, "stop the transfer of this device; repeatable")
                        ->allow_extra_args(false);
    c.stop->add_flag("--all", c.stopAll, "stop every running transfer")->excludes(stopMac);
}

// Runs the command the line names.
int Dispatch(const Globals& g, const CommandLine& c) {
    if (*c.version) return CmdVersion(g);
    if (*c.discover) return CmdDiscover(g, c.discIface, c.discVlan);
    if (*c.getall) return CmdGetAll(g, c.device);
    if (*c.get) return CmdGet(g, c.device, c.names);
    if (*c.set) return CmdSet(g, c.device, c.assignments);
    if (*c.compare) return CmdSet(g, c.device, c.assignments, true);
    if (*c.reset) return CmdReset(g, c.device, c.yes);
    if (*c.upgrade) return CmdFwStart(g, c.up, false);
    if (*c.boot) return CmdFwStart(g, c.bt, true);
    if (*c.status) return CmdFwStatus(g);
    if (*c.stop) return CmdFwStop(g, c.stopMacs, c.stopAll);
    return Usage(g, "no command given");
}

}  // namespace

int main(int argc, char** argv) {
    Globals g;
    // Known before parsing, so that a usage error is a JSON document too.
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--json") g.json = true;

    CLI::App app{"kivoctl: manage G.hn devices through the kivohost service", "kivoctl"};
    CommandLine c;
    AddGlobalOptions(app, g);
    AddDeviceCommands(app, c);
    AddFwCommands(app, c);

    if (PasswordOnCommandLine(argc, argv))
        return Report(
            g, kExitUsage, "usage",
            "kivoctl takes no password on the command line, where every user of this host can read "
            "it (ps, /proc)",
            {"Give it with --password-file FILE (its first line), --password-env VARIABLE, or type it "
             "at the prompt kivoctl shows on a terminal."});
    if (auto unknown = UnknownCommand(argc, argv)) return Usage(g, *unknown);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        return Usage(g, what);
    }
    return Dispatch(g, c);
}
