// The Prometheus text exposition format (version 0.0.4): families with HELP and TYPE, samples
// with escaped label values, no timestamps.
#ifndef KIVO_EXPORTER_METRICS_H
#define KIVO_EXPORTER_METRICS_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "families.h"

namespace kivo::exporter {

using Labels = std::vector<std::pair<std::string, std::string>>;

// Collects samples by family, so that the samples of one metric stay together under one
// HELP and TYPE even when they are added in between others'.
class MetricsText {
   public:
    // Declares a family; later calls for the same name keep the first help and type.
    void Family(const std::string& name, const std::string& help, const std::string& type);
    void Family(const FamilyDef& f) { Family(f.name, f.help, f.type); }
    // Adds a sample to a declared family.
    void Sample(const std::string& name, const Labels& labels, double value);
    // Adds a sample to one of the exporter's own families, declaring it if need be.
    void Sample(const FamilyDef& f, const Labels& labels, double value) {
        Family(f);
        Sample(f.name, labels, value);
    }
    std::string Render() const;

   private:
    struct FamilyData {
        std::string help, type;
        std::vector<std::string> lines;
    };
    std::vector<std::string> order_;
    std::map<std::string, FamilyData> families_;
};

// Label value escaping: backslash, double quote and line feed.
std::string EscapeLabelValue(const std::string& value);
// HELP escaping: backslash and line feed.
std::string EscapeHelp(const std::string& help);
// A sample value as Prometheus reads it: integers exactly, NaN and +Inf/-Inf by name.
std::string FormatValue(double value);

}  // namespace kivo::exporter

#endif
