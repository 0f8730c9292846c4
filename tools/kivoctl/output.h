// Output of kivoctl: aligned tables for people, one JSON document for programs, and
// the exit codes both share.
#ifndef KIVOCTL_OUTPUT_H
#define KIVOCTL_OUTPUT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kivo_client.h"

namespace kivoctl {

using nlohmann::json;

// Exit codes (documented in man/kivoctl.1).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoService = 3;
inline constexpr int kExitPartial = 4;

// Text from a device or the network, made safe for a terminal: control bytes become \xNN.
std::string Printable(const std::string& text);

// Columns padded to their widest cell; the last column is not padded.
void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

// Prints the document on stdout; invalid UTF-8 from a device is replaced, never fatal.
void PrintJson(const json& doc);

json DeviceJson(const kivo::client::DeviceAddress& device);
json ParamJson(const kivo::client::Param& p);
json FwStatusJson(const kivo::client::FwStatus& s);
json ReasonJson(const std::optional<kivo::client::Reason>& reason);

// Human text for a byte count: "512 B", "1.5 KiB", "3.2 MiB".
std::string ByteText(double bytes);
// Human text for a time: "m:ss" or "h:mm:ss"; Elapsed says "12.3 s" below a minute.
std::string Duration(double seconds);
std::string Elapsed(double seconds);

// A transfer of the service's list, as 'kivoctl fw status --json' shows it.
json TransferJson(const kivo::client::FwTransfer& t, uint64_t nowMs);

}  // namespace kivoctl

#endif
