// The request fields of kivo-web's API. Each function reads one field (or a group of
// them) from a parsed JSON body, checks it and returns what the client library takes;
// anything else ends in an ApiError (HTTP 400) that says what to send instead. Form
// fields arrive as texts, so numbers are also taken written as text.
#ifndef KIVO_WEB_FIELDS_H
#define KIVO_WEB_FIELDS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"

namespace kivoweb {

// Most names (or values) one request may carry.
inline constexpr size_t kMaxNames = 512;

// The field, or null when it is absent.
const json& Field(const json& body, const char* key);
void RequireObject(const json& body);
// A text field of at most maxLength bytes with no zero byte; empty when absent and not required.
std::string Text(const json& body, const char* key, bool required, size_t maxLength);
// "vlan": 0 (untagged, also when absent) to 4094.
uint16_t Vlan(const json& body);
// "interface": a name the kernel could give an interface; empty only when allowAll.
std::string InterfaceName(const json& body, bool allowAll);
// "mac": a device's own address (group and broadcast addresses are refused).
kc::Mac MacField(const json& body);
// interface, mac, vlan, protocol ("lcmp" or "scp") and password of a device request.
kc::DeviceAddress Device(const json& body);
// "names": a list of parameter names.
std::vector<std::string> Names(const json& body, bool required);
// "values": parameter names mapped to value texts, in name order.
std::vector<std::pair<std::string, std::string>> WriteValues(const json& body);
// An absolute path on the host.
std::string HostPath(const json& fields, const char* key);
// The name an uploaded file had on the user's machine, fit to be shown in a message:
// its last part, printable; `fallback` when none is left.
std::string ShownFileName(const std::string& given, const std::string& fallback);
// `text` with every occurrence of each path replaced by the name shown for it.
std::string ReplacePaths(std::string text, const std::vector<std::pair<std::string, std::string>>& shown);

// "02:00:00:00:10:01 on eth1 (VLAN 7)".
std::string DeviceText(const kc::DeviceAddress& d);
// A number written as the service writes one: the whole text, decimal, nothing else.
std::optional<double> Number(const std::string& text);
// The check route's work: {"ok", "message"} for "type", "value" and an optional "name";
// a wrong value is told with the values its type allows.
json CheckValue(const json& body);

}  // namespace kivoweb

#endif
