// kivohost entry point: reads the command line and runs the request server.
#include <cstdlib>

#include "kivohost.h"
#include "log.h"
#include "service_options.h"

int main(int argc, char** argv) {
    const ServiceOptions options = ServiceOptionsRead(argc, argv, std::getenv("KIVOHOST_ALLOW"));
    switch (options.action) {
        case ServiceOptions::Action::kHelp:
            kivo::Log(kivo::LogStream::kOut, "%s", ServiceUsage(argv[0]).c_str());
            return 0;
        case ServiceOptions::Action::kVersion:
            kivo::Log(kivo::LogStream::kOut, "kivohost %s\n", KIVO_VERSION_STRING);
            return 0;
        case ServiceOptions::Action::kLegacyUsage:
            kivo::Log(kivo::LogStream::kOut, "Usage: %s <port>\n", argv[0]);
            return 2;
        case ServiceOptions::Action::kError:
            kivo::Log(kivo::LogStream::kErr, "kivohost: %s\n%s", options.error.c_str(),
                      ServiceUsage(argv[0]).c_str());
            return 2;
        case ServiceOptions::Action::kServe:
            break;
    }
    ServerAllowListSet(options.allow);
    return StartServer(options.port);
}
