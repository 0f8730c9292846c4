#include "output.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace kivoctl {

namespace kc = kivo::client;

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char buf[5];
            std::snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    };
    measure(header);
    for (const auto& r : rows) measure(r);
    auto print = [&](const std::vector<std::string>& row) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        std::cout << line << '\n';
    };
    print(header);
    for (const auto& r : rows) print(r);
    std::cout.flush();
}

void PrintJson(const json& doc) {
    std::cout << doc.dump(2, ' ', false, json::error_handler_t::replace) << std::endl;
}

json DeviceJson(const kc::DeviceAddress& d) {
    return json{{"interface", d.interface},
                {"mac", kc::MacText(d.mac)},
                {"protocol", d.protocol == kc::Protocol::kScp ? "scp" : "lcmp"},
                {"vlan", d.vlan}};
}

json ParamJson(const kc::Param& p) {
    json j{{"name", p.name}, {"value", p.value}, {"refused", p.refused}};
    if (p.type) {
        std::string_view name = kc::ParamTypeName(*p.type);
        j["type"] = name.empty() ? json(nullptr) : json(std::string(name));
        j["type_code"] = *p.type;
    } else {
        j["type"] = nullptr;
        j["type_code"] = nullptr;
    }
    j["elements"] = p.elements ? json(*p.elements) : json(nullptr);
    return j;
}

json FwStatusJson(const kc::FwStatus& s) {
    return json{{"state", kc::FwStateName(s.state)},
                {"state_code", s.state},
                {"description", kc::FwStateDescription(s.state)},
                {"bytes", s.bytes},
                {"total", s.total},
                {"retransmissions", s.retransmissions ? json(*s.retransmissions) : json(nullptr)}};
}

json ReasonJson(const std::optional<kc::Reason>& reason) {
    if (!reason) return nullptr;
    return json{{"code", reason->code}, {"text", reason->text}};
}

std::string ByteText(double bytes) {
    char buf[32];
    if (bytes < 1024)
        std::snprintf(buf, sizeof(buf), "%.0f B", bytes);
    else if (bytes < 1024.0 * 1024)
        std::snprintf(buf, sizeof(buf), "%.1f KiB", bytes / 1024);
    else if (bytes < 1024.0 * 1024 * 1024)
        std::snprintf(buf, sizeof(buf), "%.1f MiB", bytes / (1024.0 * 1024));
    else
        std::snprintf(buf, sizeof(buf), "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
    return buf;
}

std::string Duration(double seconds) {
    char buf[32];
    long s = static_cast<long>(seconds + 0.5);
    if (s >= 3600)
        std::snprintf(buf, sizeof(buf), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof(buf), "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string Elapsed(double seconds) {
    if (seconds >= 60) return Duration(seconds);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.1f s", seconds);
    return buf;
}

json TransferJson(const kc::FwTransfer& t, uint64_t nowMs) {
    return json{{"mac", t.device ? json(kc::MacText(*t.device)) : json(nullptr)},
                {"kind", kc::FwKindName(t.kind)},
                {"interface", t.interface},
                {"state", kc::FwStateName(t.state)},
                {"state_code", t.state},
                {"bytes", t.bytes},
                {"total", t.total},
                {"retransmissions", t.retransmissions},
                {"seconds", std::round(static_cast<double>(t.DurationMs(nowMs)) / 100) / 10},
                {"running", !t.Final()},
                {"latest", t.latest},
                {"reason", t.reason.code != 0 || !t.reason.text.empty()
                               ? json{{"code", t.reason.code}, {"text", t.reason.text}}
                               : json(nullptr)}};
}

}  // namespace kivoctl
