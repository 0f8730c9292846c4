// kivoctl: command-line front-end of kivohost (see man/kivoctl.1).
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "cmd_compare.h"
#include "kivo_client.h"
#include "output.h"

#ifndef KIVOCTL_VERSION
#define KIVOCTL_VERSION "unknown"
#endif

namespace kc = kivo::client;
using namespace kivoctl;
using Clock = std::chrono::steady_clock;

namespace {

struct Globals {
    uint16_t port = kc::kDefaultPort;
    bool json = false;
    double timeout = 0;  // seconds; 0: the defaults per request
};

struct DeviceOptions {
    std::string interface;
    std::string mac;
    bool scp = false;
    uint16_t vlan = 0;
    std::string passwordFile;
    std::string passwordEnv;
};

// ---- Errors ---------------------------------------------------------------------------------

// Prints an error for people on stderr and, with --json, the error document on stdout.
int Report(const Globals& g, int exitCode, const std::string& kind, const std::string& message,
           const std::vector<std::string>& hints = {}, json extra = json::object()) {
    std::cerr << "kivoctl: " << message << '\n';
    for (const auto& h : hints) std::cerr << "  " << h << '\n';
    if (g.json) {
        json e{{"kind", kind}, {"message", message}, {"exit_code", exitCode}};
        if (!hints.empty()) e["hint"] = hints.front();
        for (auto& [k, v] : extra.items()) e[k] = v;
        for (const char* k : {"reason", "firmware_reason", "status"})
            if (!e.contains(k)) e[k] = nullptr;
        if (!e.contains("hint")) e["hint"] = nullptr;
        PrintJson(json{{"error", e}});
    }
    return exitCode;
}

int Usage(const Globals& g, const std::string& message) {
    return Report(g, kExitUsage, "usage", message,
                  {"Run 'kivoctl --help' (or 'kivoctl COMMAND --help') for usage."});
}

std::string KindName(kc::ErrorKind k) {
    switch (k) {
        case kc::ErrorKind::kNoService:
            return "no_service";
        case kc::ErrorKind::kBadReply:
            return "bad_reply";
        case kc::ErrorKind::kRefused:
            return "refused";
        case kc::ErrorKind::kFailed:
            return "failed";
        case kc::ErrorKind::kUnsupported:
            return "unsupported";
        case kc::ErrorKind::kInvalidArgument:
            return "usage";
        case kc::ErrorKind::kSystem:
            return "system";
    }
    return "failed";
}

// What to do about a failure: the hint of the service's reason when it gave one (the same
// words every front-end shows), otherwise one for the kind of failure.
std::vector<std::string> Hints(const Globals& g, const kc::Error& e,
                               const std::optional<kc::Reason>& reason) {
    if (reason) {
        const std::string_view hint = kc::ReasonHint(reason->code);
        if (hint.empty()) return {};
        return {std::string(hint)};
    }
    const std::string port = std::to_string(g.port);
    switch (e.kind) {
        case kc::ErrorKind::kNoService: {
            std::vector<std::string> hints{"Is kivohost running on port " + port +
                                           "? Start it as root with './scripts/run.sh" +
                                           (g.port == kc::kDefaultPort ? std::string() : " " + port) +
                                           "' (or 'kivohost " + port + "'), or give its port with --port."};
            if (e.message.rfind("nothing listens", 0) != 0)
                hints.push_back(
                    "A service busy with a long request answers late: --timeout SECONDS waits longer.");
            return hints;
        }
        case kc::ErrorKind::kFailed:
            switch (e.request) {
                case kc::RequestCode::kGetAll:
                case kc::RequestCode::kGet:
                case kc::RequestCode::kSet:
                case kc::RequestCode::kFactoryReset:
                    // A service too old to say why: the usual suspects.
                    return {
                        "Check the MAC address, the interface, --vlan and the password; legacy devices need "
                        "--scp."};
                default:
                    return {};
            }
        case kc::ErrorKind::kRefused:
            if (e.request == kc::RequestCode::kFwStart)
                return {
                    "A transfer may be running already: see 'kivoctl fw status', end it with 'kivoctl fw "
                    "stop'."};
            return {
                "The service did not say why it refused the request; its log tells (journalctl -u "
                "kivohost)."};
        case kc::ErrorKind::kUnsupported:
            return {"Update kivohost, or use a kivoctl of the same release."};
        case kc::ErrorKind::kBadReply:
            return {"Repeat the command; if it keeps happening, the service and kivoctl do not match."};
        default:
            return {};
    }
}

int ClientFailure(const Globals& g, kc::Client& client, const std::string& what, const kc::Error& e,
                  json extra = json::object()) {
    std::optional<kc::Reason> reason;
    if (e.kind == kc::ErrorKind::kFailed || e.kind == kc::ErrorKind::kRefused)
        reason = kc::FailureReason(client, e);
    int exitCode = kExitFailed;
    if (e.kind == kc::ErrorKind::kNoService) exitCode = kExitNoService;
    if (e.kind == kc::ErrorKind::kInvalidArgument) exitCode = kExitUsage;
    std::string message = what + ": " + e.message;
    if (reason)
        message += "\n  reason: " + Printable(reason->text) + " (code " + std::to_string(reason->code) + ")";
    extra["reason"] = ReasonJson(reason);
    extra["request"] = std::string(kc::RequestName(e.request));
    return Report(g, exitCode, KindName(e.kind), message, Hints(g, e, reason), std::move(extra));
}

// ---- Arguments ------------------------------------------------------------------------------

// A device's interface must exist here: the service runs on this host's loopback.
std::optional<std::string> CheckInterface(const std::string& name) {
    if (name.empty()) return "the interface name is empty";
    if (name.size() >= IF_NAMESIZE)
        return "interface name '" + Printable(name) + "' is longer than " + std::to_string(IF_NAMESIZE - 1) +
               " bytes";
    if (if_nametoindex(name.c_str()) == 0)
        return "no network interface named '" + Printable(name) + "' on this host (see 'ip link')";
    return std::nullopt;
}

// Turns off the terminal's echo for the lifetime of the guard.
class NoEcho {
   public:
    NoEcho() {
        if (tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios t = saved_;
            t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &t) == 0;
        }
    }
    ~NoEcho() {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

   private:
    termios saved_{};
    bool active_ = false;
};

// The password from a file, an environment variable, a prompt on a terminal, or empty.
// Never from the command line, where every user of the host could read it.
std::optional<std::string> Password(const DeviceOptions& o, std::string& error) {
    std::string pw;
    if (!o.passwordFile.empty()) {
        std::ifstream in(o.passwordFile, std::ios::binary);
        if (!in) {
            error = "cannot read the password file '" + o.passwordFile + "': " + std::strerror(errno);
            return std::nullopt;
        }
        std::getline(in, pw);
    } else if (!o.passwordEnv.empty()) {
        const char* v = std::getenv(o.passwordEnv.c_str());
        if (v == nullptr) {
            error = "the environment variable " + o.passwordEnv + " (named by --password-env) is not set";
            return std::nullopt;
        }
        pw = v;
    } else if (isatty(STDIN_FILENO)) {
        std::cerr << "Password for " << o.mac << " (Enter for none): " << std::flush;
        {
            NoEcho guard;
            std::getline(std::cin, pw);
        }
        std::cerr << '\n';
    } else {
        std::cerr << "kivoctl: no password given; using the empty password (--password-file or "
                     "--password-env give one)\n";
    }
    if (!pw.empty() && pw.back() == '\r') pw.pop_back();
    if (pw.size() > 255) {
        error = "the password is longer than 255 bytes";
        return std::nullopt;
    }
    if (pw.find('\0') != std::string::npos) {
        error = "the password contains a zero byte";
        return std::nullopt;
    }
    return pw;
}

std::optional<kc::DeviceAddress> Device(const Globals& g, const DeviceOptions& o, int& exitCode) {
    kc::DeviceAddress d;
    d.protocol = o.scp ? kc::Protocol::kScp : kc::Protocol::kLcmp;
    d.interface = o.interface;
    d.vlan = o.vlan;
    if (auto e = CheckInterface(o.interface)) {
        exitCode = Usage(g, *e);
        return std::nullopt;
    }
    auto mac = kc::ParseMac(o.mac);
    if (!mac) {
        exitCode =
            Usage(g, "'" + Printable(o.mac) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
        return std::nullopt;
    }
    if (!kc::IsDeviceAddress(*mac)) {
        exitCode = Usage(g, kc::GroupAddressRefusal(*mac));
        return std::nullopt;
    }
    d.mac = *mac;
    std::string error;
    auto pw = Password(o, error);
    if (!pw) {
        exitCode = Usage(g, error);
        return std::nullopt;
    }
    d.password = *pw;
    return d;
}

void ApplyGlobals(const Globals& g, kc::Client& client) {
    if (g.timeout > 0)
        client.SetTimeout(std::chrono::milliseconds(static_cast<long long>(std::ceil(g.timeout * 1000))));
}

std::string DeviceText(const kc::DeviceAddress& d) {
    return kc::MacText(d.mac) + " on " + d.interface +
           (d.vlan ? " (VLAN " + std::to_string(d.vlan) + ")" : "");
}

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
    if (lcmp) {
        records = *lcmp;
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
    if (g.json) {
        json devices = json::array();
        for (const auto& [key, types] : merged)
            devices.push_back(
                {{"interface", key.first}, {"mac", kc::MacText(key.second)}, {"kinds", kindsOf(types)}});
        PrintJson(json{{"devices", devices}, {"lcmp_discovery", lcmpDiscovery}});
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

// ---- getall / get / set / reset ---------------------------------------------------------------------

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
            std::string type = "-";
            if (p.type) {
                std::string_view n = kc::ParamTypeName(*p.type);
                type = n.empty() ? std::to_string(*p.type) : std::string(n);
            } else if (p.refused) {
                type = "ERROR";
            }
            rows.push_back({Printable(p.name), type, Printable(p.value)});
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
            std::string type = "-";
            if (it != reply.params.end() && it->type) {
                std::string_view n = kc::ParamTypeName(*it->type);
                type = n.empty() ? std::to_string(*it->type) : std::string(n);
            } else if (o.result == kc::WriteResult::kRefused) {
                type = "ERROR";
            }
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
           bool compare = false) {
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

// ---- firmware ---------------------------------------------------------------------------------------

volatile sig_atomic_t interrupts = 0;
extern "C" void OnInterrupt(int) {
    interrupts = interrupts + 1;
}

// SIGINT and SIGTERM count instead of ending the process while the guard lives.
class InterruptGuard {
   public:
    InterruptGuard() {
        interrupts = 0;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

   private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

std::string Duration(double seconds) {
    char buf[32];
    long s = static_cast<long>(seconds + 0.5);
    if (s >= 3600)
        std::snprintf(buf, sizeof(buf), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof(buf), "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string Elapsed(double seconds) {
    if (seconds >= 60) return Duration(seconds);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.1f s", seconds);
    return buf;
}

// Progress of a transfer: a bar redrawn in place on a terminal, or one line per phase.
class Progress {
   public:
    Progress(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

    void Update(const kc::FwStatus& s) {
        auto now = Clock::now();
        const bool phaseChange = !last_ || last_->state != s.state;
        // In the firmware phase the counts start again for every chunk.
        const bool newChunk =
            !phaseChange && s.state == 4 && (s.bytes < last_->bytes || s.total != last_->total);
        if (phaseChange || newChunk) {
            samples_.clear();
            if (s.state == 4) ++chunk_;
        }
        // The rate over the last few seconds: a flash erase or a slow start does not
        // weigh on it for the rest of the transfer.
        samples_.emplace_back(now, s.bytes);
        while (samples_.size() > 2 && now - samples_.front().first > std::chrono::seconds(3))
            samples_.pop_front();
        if (phaseChange) phaseStart_ = now;
        if (terminal_) {
            Draw(s, now);
        } else if (phaseChange) {
            out_ << kc::FwStateName(s.state) << ": " << kc::FwStateDescription(s.state);
            if (s.total > 0) out_ << " (" << s.total << " bytes)";
            out_ << std::endl;
        }
        last_ = s;
    }

    // Clears the bar before other output.
    void Finish() {
        if (terminal_ && drawn_) out_ << "\r\033[K" << std::flush;
        drawn_ = false;
    }

   private:
    void Draw(const kc::FwStatus& s, Clock::time_point now) {
        std::string line = kc::FwStateName(s.state);
        if (s.state == 4) line += " chunk " + std::to_string(chunk_);
        const double elapsed = std::chrono::duration<double>(now - phaseStart_).count();
        if (s.total > 0) {
            const double frac = std::min(1.0, static_cast<double>(s.bytes) / s.total);
            const int width = 20;
            const int filled = static_cast<int>(frac * width);
            line += "  [" + std::string(filled, '#') + std::string(width - filled, '-') + "]  ";
            char pct[16];
            std::snprintf(pct, sizeof(pct), "%3.0f%%", frac * 100);
            line += ByteText(s.bytes) + " / " + ByteText(s.total) + "  " + pct;
            double rate = 0;
            const double span = std::chrono::duration<double>(now - samples_.front().first).count();
            if (span > 0.2) rate = (s.bytes - static_cast<double>(samples_.front().second)) / span;
            if (rate > 0) {
                line += "  " + ByteText(rate) + "/s";
                line += "  ETA " + Duration((s.total - static_cast<double>(s.bytes)) / rate);
            }
        } else {
            line += "  " + kc::FwStateDescription(s.state) + "  " + Duration(elapsed);
        }
        winsize ws{};
        size_t cols = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
        if (line.size() > cols) line.resize(cols);
        out_ << "\r\033[K" << line << std::flush;
        drawn_ = true;
    }

    std::ostream& out_;
    bool terminal_;
    bool drawn_ = false;
    std::optional<kc::FwStatus> last_;
    Clock::time_point phaseStart_ = Clock::now();
    std::deque<std::pair<Clock::time_point, uint32_t>> samples_;
    int chunk_ = 0;
};

struct FwTarget {
    std::string interface;
    uint16_t vlan = 0;
    std::string mac;     // upgrade
    std::string loader;  // boot
    std::string firmware;
    bool wait = false;
};

// Absolute path of a file that exists and is a regular file: the service resolves
// paths in its own working directory, which is not the user's.
std::optional<std::string> FirmwarePath(const std::string& path, const char* what, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    if (ec) {
        error = std::string("cannot resolve the ") + what + " path '" + path + "': " + ec.message();
        return std::nullopt;
    }
    abs = abs.lexically_normal();
    auto st = fs::status(abs, ec);
    if (ec || !fs::exists(st)) {
        error = std::string("the ") + what + " '" + abs.string() + "' does not exist";
        return std::nullopt;
    }
    if (!fs::is_regular_file(st)) {
        error = std::string("the ") + what + " '" + abs.string() + "' is not a regular file";
        return std::nullopt;
    }
    if (access(abs.c_str(), R_OK) != 0) {
        error =
            std::string("the ") + what + " '" + abs.string() + "' is not readable: " + std::strerror(errno);
        return std::nullopt;
    }
    // A device that takes an empty image reports success and is left without firmware.
    if (fs::file_size(abs, ec) == 0 && !ec) {
        error = std::string("the ") + what + " '" + abs.string() +
                "' is empty (0 bytes); check that this is the right file and that it was copied whole";
        return std::nullopt;
    }
    return abs.string();
}

// Chunks of a chunked firmware file, walked as the service walks it: the magic word at
// byte 68, 8 bytes, then records (a little-endian length in 32-bit words, its two header
// words included, in bits 0 to 30; 4 bytes of information; the data) up to a zero word.
// Nullopt when the file does not read as one.
std::optional<uint32_t> ChunkCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    auto word = [&](uint32_t& v) {
        unsigned char b[4];
        if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
        v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    };
    uint32_t magic = 0, info = 0, count = 0;
    if (!in.seekg(68) || !word(magic) || magic != 0x55AA55AAu || !in.seekg(8, std::ios::cur))
        return std::nullopt;
    while (word(info) && info != 0) {
        const uint64_t words = info & 0x7FFFFFFFu;
        if (words < 2 || !in.seekg(static_cast<std::streamoff>(4 + (words - 2) * 4), std::ios::cur))
            return std::nullopt;
        ++count;
    }
    if (!in) return std::nullopt;
    return count;
}

// Polls the status until a final state. Ctrl-C sends Stop and keeps waiting for the
// final state; a second Ctrl-C leaves at once.
int WaitTransfer(const Globals& g, kc::Client& client, const std::string& operation, json result,
                 const std::string& sentText) {
    // The transfer goes on whatever happens here: a service that answers a poll late
    // (busy with another front-end's request) is waited for rather than given up on.
    if (g.timeout <= 0) client.SetTimeout(std::chrono::seconds(30));
    const bool terminal = !g.json && isatty(STDOUT_FILENO);
    // With --json stdout holds the document alone; progress goes to a terminal on stderr.
    std::ostream& out = g.json ? std::cerr : std::cout;
    const bool show = !g.json || isatty(STDERR_FILENO);
    std::ostringstream sink;
    Progress progress(show ? out : sink, g.json ? isatty(STDERR_FILENO) : terminal);
    const auto start = Clock::now();
    bool stopSent = false;
    kc::FwStatus s;
    for (;;) {
        if (interrupts >= 2) {
            progress.Finish();
            return Report(g, kExitFailed, "interrupted",
                          operation +
                              " interrupted; a stop was sent, the transfer may still be ending "
                              "(see 'kivoctl fw status')");
        }
        if (interrupts >= 1 && !stopSent) {
            progress.Finish();
            std::cerr << "kivoctl: stopping the transfer (press Ctrl-C again to leave without waiting)\n";
            auto r = client.FwStop();
            if (!r) return ClientFailure(g, client, "cannot stop the transfer", r.error());
            stopSent = true;
        }
        auto st = client.GetFwStatus();
        if (!st) {
            progress.Finish();
            return ClientFailure(g, client, "cannot read the transfer's status", st.error());
        }
        s = *st;
        if (s.Final()) break;
        progress.Update(s);
        // A poll every 100 ms shows the end that late at most; the short sleeps act on a
        // Ctrl-C at once.
        for (int i = 0; i < 4 && interrupts == (stopSent ? 1 : 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    progress.Finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result["status"] = FwStatusJson(s);
    result["seconds"] = std::round(seconds * 10) / 10;
    if (s.state == 5) {
        if (g.json) {
            PrintJson(result);
        } else {
            // The status counts the last chunk only after an Ethernet boot: the caller, who
            // knows the files, says what was sent.
            std::cout << operation << " succeeded: "
                      << (sentText.empty()
                              ? std::to_string(s.bytes) + " of " + std::to_string(s.total) + " bytes"
                              : sentText)
                      << ", " << Elapsed(seconds) << '\n';
        }
        return kExitOk;
    }
    auto fwReason = kc::FirmwareFailureReason(client);
    std::string message = stopSent ? operation + " stopped at your request" : operation + " failed";
    message += " (" + std::to_string(s.bytes) + " of " + std::to_string(s.total) + " bytes acknowledged)";
    if (fwReason)
        message +=
            "\n  reason: " + Printable(fwReason->text) + " (code " + std::to_string(fwReason->code) + ")";
    if (!g.json) std::cout << operation << (stopSent ? " stopped" : " failed") << '\n';
    std::vector<std::string> hints;
    if (!stopSent && fwReason) {
        if (const std::string_view hint = kc::ReasonHint(fwReason->code); !hint.empty())
            hints.emplace_back(hint);
    } else if (!stopSent) {
        hints.push_back(
            "Check the interface, the MAC address and --vlan, that the device asks for a file (upgrade) or "
            "waits in its boot ROM (boot), and the files.");
    }
    return Report(g, kExitFailed, stopSent ? "stopped" : "transfer_failed", message, hints,
                  json{{"status", FwStatusJson(s)}, {"firmware_reason", ReasonJson(fwReason)}});
}

int CmdFwStart(const Globals& g, const FwTarget& t, bool boot) {
    if (auto e = CheckInterface(t.interface)) return Usage(g, *e);
    std::string error;
    // A file kivoctl cannot send is no usage mistake: the message says what to do.
    auto fw = FirmwarePath(t.firmware, boot ? "firmware file" : "firmware image", error);
    if (!fw) return Report(g, kExitUsage, "usage", error);
    std::optional<std::string> loader;
    std::optional<kc::Mac> mac;
    if (boot) {
        loader = FirmwarePath(t.loader, "loader file", error);
        if (!loader) return Report(g, kExitUsage, "usage", error);
    } else {
        mac = kc::ParseMac(t.mac);
        if (!mac)
            return Usage(g,
                         "'" + Printable(t.mac) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
        if (!kc::IsDeviceAddress(*mac)) return Usage(g, kc::GroupAddressRefusal(*mac));
    }
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    const std::string operation = boot ? "Ethernet boot" : "upgrade";
    // From before the start on: a Ctrl-C while the start is under way still stops the
    // transfer it launched.
    std::optional<InterruptGuard> guard;
    if (t.wait) guard.emplace();
    auto r = boot ? client.FwStartBoot({t.interface, t.vlan, *loader, *fw})
                  : client.FwStartUpgrade({t.interface, t.vlan, *mac, *fw});
    if (!r) return ClientFailure(g, client, "cannot start the " + operation, r.error());
    json result{{"started", true},
                {"operation", boot ? "boot" : "upgrade"},
                {"interface", t.interface},
                {"vlan", t.vlan},
                {"mac", mac ? json(kc::MacText(*mac)) : json(nullptr)},
                {"firmware", *fw},
                {"loader", loader ? json(*loader) : json(nullptr)}};
    if (!g.json)
        std::cout << operation << " started on " << t.interface << (boot ? "" : " for " + kc::MacText(*mac))
                  << ": " << *fw << '\n';
    if (!t.wait) {
        if (g.json)
            PrintJson(result);
        else
            std::cout << "Follow it with 'kivoctl fw status'.\n";
        return kExitOk;
    }
    std::string sentText;
    if (boot) {
        std::error_code ec;
        const auto loaderBytes = std::filesystem::file_size(*loader, ec);
        const auto fwBytes = std::filesystem::file_size(*fw, ec);
        if (!ec) {
            const auto chunks = ChunkCount(*fw);
            sentText =
                "the whole loader (" + std::to_string(loaderBytes) + " bytes) and firmware (" +
                std::to_string(fwBytes) + " bytes" +
                (chunks ? ", " + std::to_string(*chunks) + (*chunks == 1 ? " chunk" : " chunks") : "") +
                ") sent";
        }
    }
    return WaitTransfer(g, client, operation, std::move(result), sentText);
}

int CmdFwStatus(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto s = client.GetFwStatus();
    if (!s) return ClientFailure(g, client, "cannot read the firmware server's status", s.error());
    if (g.json) {
        PrintJson(FwStatusJson(*s));
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

int CmdFwStop(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
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
    upgrade->add_option("-m,--mac", up.mac, "MAC address of the device to upgrade")->required();
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
    auto* status = fw->add_subcommand("status", "show the firmware server's state");
    auto* stop = fw->add_subcommand("stop", "stop the running transfer");

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
    if (*stop) return CmdFwStop(g);
    return Usage(g, "no command given");
}
