// kivoctl: error reports and argument checks every command uses.
#include <net/if.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "cli.h"

namespace kivoctl {

// ---- Errors ---------------------------------------------------------------------------------

// Prints an error for people on stderr and, with --json, the error document on stdout.
int Report(const Globals& g, int exitCode, const std::string& kind, const std::string& message,
           const std::vector<std::string>& hints, json extra) {
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
        const std::string_view hint = kc::Explain(reason->code).remedy;
        if (hint.empty()) return {};
        return {std::string(hint)};
    }
    switch (e.kind) {
        case kc::ErrorKind::kNoService:
        case kc::ErrorKind::kUnsupported:
        case kc::ErrorKind::kBadReply:
            return kc::ServiceRemedies(e, kc::Audience::kCommand, "kivoctl", g.port);
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
        default:
            return {};
    }
}

int ClientFailure(const Globals& g, kc::Client& client, const std::string& what, const kc::Error& e,
                  json extra) {
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
    if (name.size() > kivo::protocol::kMaxInterfaceName)
        return "interface name '" + Printable(name) + "' is longer than " +
               std::to_string(kivo::protocol::kMaxInterfaceName) + " bytes";
    if (!kivo::protocol::InterfaceNameValid(name) || if_nametoindex(name.c_str()) == 0)
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

}  // namespace kivoctl
