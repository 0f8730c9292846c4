// kivohost entry point: reads the command line and runs the request server.
#include <cstdint>

#include "kivohost.h"
#include "log.h"

namespace {
// atoi's reading of the port argument (leading decimal digits, 0 when there are
// none), without its undefined behaviour on overflow: the value wraps at 32 bits.
INT32S PortArgument(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    uint32_t value = 0;
    while (*text >= '0' && *text <= '9') value = value * 10u + static_cast<uint32_t>(*text++ - '0');
    return static_cast<INT32S>(negative ? 0u - value : value);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return StartServer(KIVO_DEFAULT_PORT);
    if (argc == 2) return StartServer(PortArgument(argv[1]));
    kivo::Log(kivo::LogStream::kOut, "Usage: %s <port>\n", argv[0]);
    return 0;
}
