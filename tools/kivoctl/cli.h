// What kivoctl's command files share: the global options, the device options, the error
// reports and the argument checks (common.cpp), and one entry point per command.
#ifndef KIVOCTL_CLI_H
#define KIVOCTL_CLI_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kivo_client.h"
#include "output.h"

#ifndef KIVOCTL_VERSION
#define KIVOCTL_VERSION "unknown"
#endif

namespace kivoctl {

namespace kc = kivo::client;
using Clock = std::chrono::steady_clock;

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

struct FwTarget {
    std::string interface;
    uint16_t vlan = 0;
    std::vector<std::string> macs;  // upgrade: one device, or several side by side
    std::string loader;             // boot
    std::string firmware;
    bool wait = false;
};

// ---- Errors (common.cpp) ---------------------------------------------------------------------

// Prints an error for people on stderr and, with --json, the error document on stdout.
int Report(const Globals& g, int exitCode, const std::string& kind, const std::string& message,
           const std::vector<std::string>& hints = {}, json extra = json::object());
// A usage mistake: the message and where to read the usage.
int Usage(const Globals& g, const std::string& message);
// A request that failed: what, the client's error, the service's reason when it tells one.
int ClientFailure(const Globals& g, kc::Client& client, const std::string& what, const kc::Error& e,
                  json extra = json::object());

// ---- Arguments (common.cpp) ------------------------------------------------------------------

// Why the interface cannot be a device's here; nullopt when it exists.
std::optional<std::string> CheckInterface(const std::string& name);
// The device the options name, its password read; nullopt (exitCode set, reported) when not.
std::optional<kc::DeviceAddress> Device(const Globals& g, const DeviceOptions& o, int& exitCode);
void ApplyGlobals(const Globals& g, kc::Client& client);
std::string DeviceText(const kc::DeviceAddress& d);

// ---- Commands ----------------------------------------------------------------------------------

int CmdVersion(const Globals& g);                                            // cmd_info.cpp
int CmdDiscover(const Globals& g, const std::string& iface, uint16_t vlan);  // cmd_info.cpp
int CmdGetAll(const Globals& g, const DeviceOptions& o);                     // cmd_params.cpp
int CmdGet(const Globals& g, const DeviceOptions& o, const std::vector<std::string>& names);
// With compare, reads the names and tells which wanted values differ; writes nothing.
int CmdSet(const Globals& g, const DeviceOptions& o, const std::vector<std::string>& assignments,
           bool compare = false);
int CmdReset(const Globals& g, const DeviceOptions& o, bool yes);
int CmdFwStart(const Globals& g, const FwTarget& t, bool boot);  // cmd_fw.cpp
int CmdFwStatus(const Globals& g);
// No MAC and not all: the latest transfer, as Stop (7) always did.
int CmdFwStop(const Globals& g, const std::vector<std::string>& macs, bool all);

}  // namespace kivoctl

#endif
