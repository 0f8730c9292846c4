// kivohost's command line, environment and configuration file, and the allow-list
// they build.
#ifndef KIVO_SERVICE_OPTIONS_H
#define KIVO_SERVICE_OPTIONS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "kivo_protocol.h"
#include "requester.h"
#include "types.h"

// Who may send requests. Inactive (the default) lets everyone in.
struct AllowList {
    std::vector<uid_t> users;
    std::vector<gid_t> groups;
    bool active() const { return !users.empty() || !groups.empty(); }
    // Root is always allowed; an unidentified requester never is while the list is active.
    bool Allows(const kivo::Requester& requester) const;
    // Adds "user:NAME", "user:UID", "group:NAME" or "group:GID". False, with error
    // set, for another form or a name the user database does not know.
    bool AddEntry(const std::string& entry, std::string& error);
};

struct ServiceOptions {
    enum class Action { kServe, kHelp, kVersion, kLegacyUsage, kError };
    Action action = Action::kServe;
    INT32S port = kivo::protocol::kDefaultPort;
    AllowList allow;
    std::string error;  // what was wrong, for kError
};

// Reads argv, then KIVOHOST_ALLOW (envAllow, may be null), then the files named by
// --config. A lone positional argument is the port, like --port.
ServiceOptions ServiceOptionsRead(int argc, char** argv, const char* envAllow);

// A port given on the command line: decimal digits only, 0 to 65535 (0 lets the system
// choose). False, with port untouched, for anything else.
bool PortArgument(const std::string& text, INT32S& port);

// Usage text for --help and for command-line errors.
std::string ServiceUsage(const char* program);

#endif
