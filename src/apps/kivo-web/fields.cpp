// The request fields of kivo-web's API: each read, checked and turned into what the
// client library takes, or refused with an ApiError that says what to send instead.
#include "fields.h"

#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "conversion.h"

namespace kivoweb {

const json& Field(const json& body, const char* key) {
    static const json kNull;
    auto it = body.find(key);
    return it == body.end() ? kNull : *it;
}

void RequireObject(const json& body) {
    if (!body.is_object())
        Fail(400, "The request body must be a JSON object.", "Send Content-Type: application/json.");
}

std::string Text(const json& body, const char* key, bool required, size_t maxLength) {
    const json& v = Field(body, key);
    if (v.is_null()) {
        if (required) Fail(400, std::string("The field \"") + key + "\" is missing.");
        return {};
    }
    if (!v.is_string()) Fail(400, std::string("The field \"") + key + "\" must be a text.");
    const auto& s = v.get_ref<const std::string&>();
    if (s.size() > maxLength)
        Fail(400, std::string("The field \"") + key + "\" is longer than " + std::to_string(maxLength) +
                      " bytes.");
    if (s.find('\0') != std::string::npos)
        Fail(400, std::string("The field \"") + key + "\" contains a zero byte.");
    return s;
}

// A number, or a number written as text (multipart form fields are texts).
uint16_t Vlan(const json& body) {
    const json& v = Field(body, "vlan");
    long long n = 0;
    if (v.is_null()) return 0;
    if (v.is_number_integer()) {
        n = v.get<long long>();
    } else if (v.is_string() && !v.get_ref<const std::string&>().empty() &&
               v.get_ref<const std::string&>().size() <= 5) {
        const auto& s = v.get_ref<const std::string&>();
        if (!std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
            Fail(400, "The VLAN must be a whole number from 0 (untagged) to 4094.");
        n = std::stoll(s);
    } else {
        Fail(400, "The VLAN must be a whole number from 0 (untagged) to 4094.");
    }
    if (n < 0 || n > 4094) Fail(400, "The VLAN must be a whole number from 0 (untagged) to 4094.");
    return static_cast<uint16_t>(n);
}

std::string InterfaceName(const json& body, bool allowAll) {
    std::string name = Text(body, "interface", !allowAll, 64);
    if (name.empty()) {
        if (!allowAll) Fail(400, "The field \"interface\" is empty.", "Choose one of the host's interfaces.");
        return name;
    }
    if (!kivo::protocol::InterfaceNameValid(name))
        Fail(400, "\"" + name + "\" cannot be the name of a network interface.",
             "GET /api/interfaces lists the host's interfaces.");
    return name;
}

kc::Mac MacField(const json& body) {
    std::string text = Text(body, "mac", true, 64);
    auto mac = kc::ParseMac(text);
    if (!mac) Fail(400, "\"" + text + "\" is not a MAC address.", "Write it as 02:00:00:00:10:01.");
    if (!kc::IsDeviceAddress(*mac))
        Fail(400, "The MAC address " + kc::GroupAddressRefusal(*mac) + ".",
             "The Devices table lists the devices' own addresses.");
    return *mac;
}

kc::DeviceAddress Device(const json& body) {
    RequireObject(body);
    kc::DeviceAddress d;
    d.interface = InterfaceName(body, false);
    d.mac = MacField(body);
    d.vlan = Vlan(body);
    std::string protocol = Text(body, "protocol", false, 16);
    if (protocol.empty() || protocol == "lcmp")
        d.protocol = kc::Protocol::kLcmp;
    else if (protocol == "scp")
        d.protocol = kc::Protocol::kScp;
    else
        Fail(400, "The protocol must be \"lcmp\" or \"scp\", not \"" + protocol + "\".");
    d.password = Text(body, "password", false, 255);
    return d;
}

std::vector<std::string> Names(const json& body, bool required) {
    const json& v = Field(body, "names");
    std::vector<std::string> names;
    if (v.is_null() && !required) return names;
    if (!v.is_array()) Fail(400, "The field \"names\" must be a list of parameter names.");
    if (v.size() > kMaxNames) Fail(400, "At most " + std::to_string(kMaxNames) + " names fit one request.");
    for (const auto& n : v) {
        if (!n.is_string() || n.get_ref<const std::string&>().empty() ||
            n.get_ref<const std::string&>().find('\0') != std::string::npos)
            Fail(400, "Every parameter name must be a non-empty text.");
        names.push_back(n.get<std::string>());
    }
    if (required && names.empty()) Fail(400, "The field \"names\" lists no parameter.");
    return names;
}

std::string DeviceText(const kc::DeviceAddress& d) {
    return kc::MacText(d.mac) + " on " + d.interface +
           (d.vlan ? " (VLAN " + std::to_string(d.vlan) + ")" : "");
}
// A number written as the service writes one: the whole text, nothing else.
std::optional<double> Number(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    size_t e = text.find_last_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    std::string t = text.substr(b, e - b + 1);
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
    // strtod also reads hexadecimal and "inf"; a device value is decimal.
    if (t.find_first_of("xXpP") != std::string::npos) return std::nullopt;
    return v;
}
std::string HostPath(const json& fields, const char* key) {
    std::string p = Text(fields, key, true, 4096);
    if (p.empty() || p[0] != '/')
        Fail(400, std::string("The field \"") + key + "\" must be an absolute path on the host.");
    return p;
}

std::vector<std::pair<std::string, std::string>> WriteValues(const json& body) {
    const json& v = Field(body, "values");
    if (!v.is_object() || v.empty())
        Fail(400, "The field \"values\" must map parameter names to value texts.");
    if (v.size() > kMaxNames) Fail(400, "At most " + std::to_string(kMaxNames) + " values fit one request.");
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& [name, value] : v.items()) {
        if (!value.is_string())
            Fail(400, "The value of " + name + " must be a text, written as a read shows it.");
        if (name.empty() || name.find('\0') != std::string::npos ||
            value.get_ref<const std::string&>().find('\0') != std::string::npos)
            Fail(400, "Parameter names and values may not be empty or contain a zero byte.");
        values.emplace_back(name, value.get<std::string>());
    }
    return values;
}

std::string ShownFileName(const std::string& given, const std::string& fallback) {
    std::string name = given;
    if (auto slash = name.find_last_of("/\\"); slash != std::string::npos) name.erase(0, slash + 1);
    if (name.size() > 255) name.resize(255);
    const bool printable =
        std::none_of(name.begin(), name.end(), [](unsigned char c) { return c < ' ' || c == 0x7F; });
    return name.empty() || !printable ? fallback : name;
}

std::string ReplacePaths(std::string text, const std::vector<std::pair<std::string, std::string>>& shown) {
    for (const auto& [path, name] : shown) {
        if (path.empty()) continue;
        for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + name.size()))
            text.replace(at, path.size(), name);
    }
    return text;
}

json CheckValue(const json& body) {
    RequireObject(body);
    std::string typeName = Text(body, "type", true, 64);
    std::string value = Text(body, "value", true, CONVERSION_VALUE_AREA_SIZE - 1);
    std::string name = Text(body, "name", false, 255);
    std::optional<t_paramType> type;
    for (INT32U code = 0; code <= PARAM_TYPE_LAST_VALUE_TYPE; ++code) {
        const CHAR* n = ConversionTypeToString(static_cast<t_paramType>(code));
        if (n != nullptr && typeName == n) type = static_cast<t_paramType>(code);
    }
    if (!type) Fail(400, "\"" + typeName + "\" is not a parameter type.", "Use the type a read shows.");
    std::vector<INT8U> area(CONVERSION_VALUE_AREA_SIZE);
    INT32U length = 0;
    if (ConversionStringToValue(*type, value.c_str(), area.data(), static_cast<INT32U>(area.size()),
                                &length) == TRUE)
        return json{{"ok", true}, {"message", ""}};
    // kivoctl's words for the same refusal: the value, the name, the type and what it allows.
    if (name.empty()) name = "this parameter";
    CHAR text[512];
    ConversionRefusalText(name.c_str(), static_cast<INT32U>(name.size()), value.c_str(),
                          static_cast<INT32U>(value.size()), *type, text, sizeof(text));
    std::string message = text;
    // Said before any write: that nothing was written goes without saying.
    if (auto tail = message.rfind("; nothing was written"); tail != std::string::npos) message.erase(tail);
    if (!message.empty())
        message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
    return json{{"ok", false}, {"message", message + "."}};
}

}  // namespace kivoweb
