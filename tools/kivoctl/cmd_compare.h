// kivoctl compare: whether wanted values differ from a device's, compared as the device
// would store them (the library's own value conversions), so that a value written in
// another spelling (192.168.001.010, "1, 100") is not taken for a change.
#ifndef KIVOCTL_CMD_COMPARE_H
#define KIVOCTL_CMD_COMPARE_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kivo_client.h"

namespace kivoctl {

enum class CompareResult : uint8_t { kSame, kDiffers, kInvalid, kRefused, kNotAnswered };
// "same", "differs", "not valid", "refused", "not answered".
std::string_view CompareResultName(CompareResult result);

struct Comparison {
    std::string name;
    std::string wanted;  // as given
    CompareResult result = CompareResult::kNotAnswered;
    // The wanted value as the device would store and show it; the given text when the
    // device gave no type (legacy devices), empty when it is not valid for the type.
    std::string stored;
    // True when compared as values of the parameter's type, false when as text.
    bool asValues = false;
    // Not valid: why (nothing is written); refused: the device's text; not answered: why.
    std::string text;
};

// Compares one wanted value with the device's record of that parameter (null when the
// device's reply holds none).
Comparison CompareValue(const std::string& name, const std::string& wanted,
                        const kivo::client::Param* current);

// Prints the comparisons of a read of the wanted names (table, or the JSON document with
// --json); kExitPartial when a name was refused, not answered or given a value its type
// cannot hold, kExitOk otherwise, whether values differ or not.
int PrintCompare(bool json, const kivo::client::DeviceAddress& device, const kivo::client::ParamReply& reply,
                 const std::vector<std::pair<std::string, std::string>>& wanted);

}  // namespace kivoctl

#endif
