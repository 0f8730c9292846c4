#include "families.h"

#include <algorithm>

namespace kivo::exporter::family {

const FamilyDef kBuildInfo{"kivo_exporter_build_info",
                           "A metric with a constant '1' value labeled by the exporter's version.", "gauge"};
const FamilyDef kUp{
    "kivo_up",
    "Whether kivohost answered this page (1), or is not there: nothing listens on its port or "
    "it has answered nothing for 60 s (0). Absent while requests wait in line.",
    "gauge"};
const FamilyDef kDeviceUp{"kivo_device_up",
                          "Whether the device answered its parameter read (1) or kivohost found it silent or "
                          "refusing (0). Absent when no read ended in time.",
                          "gauge"};
const FamilyDef kDeadlineExceeded{
    "kivo_scrape_deadline_exceeded",
    "Whether a request or a device read of this page did not end in time (1) or every one did (0).", "gauge"};
const FamilyDef kFwTransfers{"kivo_firmware_transfers",
                             "Firmware transfers kivohost lists, running and recently finished.", "gauge"};
const FamilyDef kFwState{
    "kivo_firmware_transfer_state",
    "A firmware transfer's state (1 for the one it is in), by device, interface and kind.", "gauge"};
const FamilyDef kFwBytes{"kivo_firmware_transfer_bytes", "Bytes of a firmware transfer acknowledged.",
                         "gauge"};
const FamilyDef kFwSize{"kivo_firmware_transfer_size_bytes", "Size of a firmware transfer's file.", "gauge"};
const FamilyDef kFwRetransmissions{"kivo_firmware_transfer_retransmissions",
                                   "Frames of a firmware transfer sent again.", "gauge"};
const FamilyDef kFwDuration{"kivo_firmware_transfer_duration_seconds",
                            "A firmware transfer's time from its start to its end, or to now while it runs.",
                            "gauge"};
const FamilyDef kDevices{"kivo_devices", "Devices the last discovery found, by interface and kind.", "gauge"};
const FamilyDef kFailures{
    "kivo_request_failures_total",
    "Requests to kivohost that failed, by the service's reason (refused parameters count "
    "as 'device refused').",
    "counter"};
const FamilyDef kValueErrors{
    "kivo_parameter_value_errors_total",
    "Configured parameters whose value was missing from the answer or was not a number.", "counter"};
const FamilyDef kServiceSeconds{
    "kivo_scrape_service_seconds",
    "Time this page spent waiting for kivohost's answers (requests side by side count once).", "gauge"};
const FamilyDef kDuration{"kivo_scrape_duration_seconds", "Time this page took, up to writing this line.",
                          "gauge"};

}  // namespace kivo::exporter::family

namespace kivo::exporter {

std::span<const FamilyDef* const> OwnFamilies() {
    using namespace family;
    static const FamilyDef* const kAll[] = {
        &kBuildInfo, &kUp,       &kDeviceUp,    &kDeadlineExceeded,  &kFwTransfers,
        &kFwState,   &kFwBytes,  &kFwSize,      &kFwRetransmissions, &kFwDuration,
        &kDevices,   &kFailures, &kValueErrors, &kServiceSeconds,    &kDuration};
    return kAll;
}

bool IsOwnMetric(const std::string& name) {
    const auto all = OwnFamilies();
    return std::any_of(all.begin(), all.end(), [&](const FamilyDef* f) { return name == f->name; });
}

}  // namespace kivo::exporter
