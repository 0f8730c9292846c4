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

}  // namespace

int main(int argc, char** argv) {
    Globals g;
    // Known before parsing, so that a usage error is a JSON document too.
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--json") g.json = true;

    CLI::App app{"kivoctl: manage G.hn devices through the kivohost service", "kivoctl"};
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

    auto* version = app.add_subcommand("version", "show the service's version");

    std::string discIface;
    uint16_t discVlan = 0;
    auto* discover = app.add_subcommand("discover", "find LCMP, legacy and boot-ROM devices");
    discover->add_option("-i,--interface", discIface, "host interface (default: every interface)");
    discover->add_option("--vlan", discVlan, "VLAN id of the probes (0: untagged)")
        ->check(CLI::Range(0, 4094));

    DeviceOptions devOpts;
    auto* getall = app.add_subcommand("getall", "read every parameter of a device");
    AddDeviceOptions(getall, devOpts);

    std::vector<std::string> names;
    auto* get = app.add_subcommand("get", "read parameters of a device");
    AddDeviceOptions(get, devOpts);
    get->add_option("NAME", names, "parameter names")->required();

    std::vector<std::string> assignments;
    auto* set = app.add_subcommand("set", "write parameters of a device");
    AddDeviceOptions(set, devOpts);
    set->add_option("NAME=VALUE", assignments, "parameters and their values, as 'get' shows them")
        ->required();

    auto* compare =
        app.add_subcommand("compare", "tell which values differ from the device's, as it stores them");
    AddDeviceOptions(compare, devOpts);
    compare->add_option("NAME=VALUE", assignments, "parameters and their wanted values")->required();

    bool yes = false;
    auto* reset = app.add_subcommand("reset", "reset a device to its factory settings");
    AddDeviceOptions(reset, devOpts);
    reset->add_flag("-y,--yes", yes, "do not ask for confirmation on a terminal");

    auto* fw = app.add_subcommand("fw", "firmware upgrade and Ethernet boot");
    fw->require_subcommand(1);
    FwTarget up;
    auto* upgrade = fw->add_subcommand("upgrade", "upload a firmware image to a running device");
    upgrade->add_option("-i,--interface", up.interface, "host interface the device is on")->required();
    upgrade
        ->add_option("-m,--mac", up.macs,
                     "MAC address of the device to upgrade; repeat it to upgrade several side by side")
        ->required()
        ->allow_extra_args(false);
    upgrade->add_option("--vlan", up.vlan, "VLAN id (0: untagged)")->check(CLI::Range(0, 4094));
    upgrade->add_flag("--wait", up.wait, "follow the transfer to its end");
    upgrade->add_option("FILE", up.firmware, "firmware image")->required();
    FwTarget bt;
    auto* boot = fw->add_subcommand("boot", "boot a device waiting in its boot ROM over Ethernet");
    boot->add_option("-i,--interface", bt.interface, "host interface the device is on")->required();
    boot->add_option("--vlan", bt.vlan, "VLAN id (0: untagged)")->check(CLI::Range(0, 4094));
    boot->add_flag("--wait", bt.wait, "follow the transfer to its end");
    boot->add_option("LOADER", bt.loader, "Ethernet loader file")->required();
    boot->add_option("FILE", bt.firmware, "chunked firmware file")->required();
    auto* status = fw->add_subcommand("status", "list the firmware transfers, running and recently ended");
    std::vector<std::string> stopMacs;
    bool stopAll = false;
    auto* stop =
        fw->add_subcommand("stop", "stop the latest transfer, the transfers of some devices, or all");
    auto* stopMac = stop->add_option("-m,--mac", stopMacs, "stop the transfer of this device; repeatable")
                        ->allow_extra_args(false);
    stop->add_flag("--all", stopAll, "stop every running transfer")->excludes(stopMac);

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

    if (*version) return CmdVersion(g);
    if (*discover) return CmdDiscover(g, discIface, discVlan);
    if (*getall) return CmdGetAll(g, devOpts);
    if (*get) return CmdGet(g, devOpts, names);
    if (*set) return CmdSet(g, devOpts, assignments);
    if (*compare) return CmdSet(g, devOpts, assignments, true);
    if (*reset) return CmdReset(g, devOpts, yes);
    if (*upgrade) return CmdFwStart(g, up, false);
    if (*boot) return CmdFwStart(g, bt, true);
    if (*status) return CmdFwStatus(g);
    if (*stop) return CmdFwStop(g, stopMacs, stopAll);
    return Usage(g, "no command given");
}
