// What a page request asks for: the device and module of /probe, and the time a page may take.
#ifndef KIVO_EXPORTER_PROBE_H
#define KIVO_EXPORTER_PROBE_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "config.h"

namespace kivo::exporter {

struct ProbeRequest {
    size_t target = 0;  // index into Config::targets
    std::string module;
};

// `target` is a configured target's name, its MAC, or INTERFACE/MAC (a MAC alone only when
// one interface has it); `module` a configured module, or empty for the target's own.
// The request, or the message for a 400 answer.
std::variant<ProbeRequest, std::string> ResolveProbe(const Config& config, const std::string& target,
                                                     const std::string& module);

// How long a page may take: the configured scrape_timeout, or Prometheus' own scrape
// timeout (the X-Prometheus-Scrape-Timeout-Seconds header) less half a second for the
// answer's way back when that is shorter; never under 100 ms. A header that is not a sane
// number of seconds is ignored.
std::chrono::milliseconds PageTimeLimit(std::chrono::milliseconds configured,
                                        const std::optional<std::string>& header);

}  // namespace kivo::exporter

#endif
