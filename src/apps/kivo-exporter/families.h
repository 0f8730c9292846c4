// The metric families the exporter itself exports, declared once: the collectors sample
// them by these names, the configuration keeps parameters from taking them.
#ifndef KIVO_EXPORTER_FAMILIES_H
#define KIVO_EXPORTER_FAMILIES_H

#include <span>
#include <string>

namespace kivo::exporter {

struct FamilyDef {
    const char* name;
    const char* help;
    const char* type;  // "gauge" or "counter"
};

namespace family {
extern const FamilyDef kBuildInfo;
extern const FamilyDef kUp;
extern const FamilyDef kDeviceUp;
extern const FamilyDef kDeadlineExceeded;
extern const FamilyDef kFwTransfers;
extern const FamilyDef kFwState;
extern const FamilyDef kFwBytes;
extern const FamilyDef kFwSize;
extern const FamilyDef kFwRetransmissions;
extern const FamilyDef kFwDuration;
extern const FamilyDef kDevices;
extern const FamilyDef kFailures;
extern const FamilyDef kValueErrors;
extern const FamilyDef kServiceSeconds;
extern const FamilyDef kDuration;
}  // namespace family

// Every family above, in the order a page shows them.
std::span<const FamilyDef* const> OwnFamilies();
// Whether `name` is one of the exporter's own metrics.
bool IsOwnMetric(const std::string& name);

}  // namespace kivo::exporter

#endif
