#include "metrics.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kivo::exporter {

namespace {

// Backslashes and line ends escaped, double quotes too with `quotes`.
std::string Escape(const std::string& text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || (quotes && c == '"'))
            out += {'\\', c};
        else
            out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    return Escape(value, true);
}

std::string EscapeHelp(const std::string& help) {
    return Escape(help, false);
}

std::string FormatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buf[64];
    // Counters of 64-bit devices pass 2^53; below it, print whole numbers without exponent.
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0)
        std::snprintf(buf, sizeof(buf), "%.0f", value);
    else
        *std::to_chars(buf, buf + sizeof(buf) - 1, value).ptr = '\0';  // shortest text that reads back exact
    return buf;
}

void MetricsText::Family(const std::string& name, const std::string& help, const std::string& type) {
    auto [it, fresh] = families_.try_emplace(name);
    if (!fresh) return;
    it->second.help = help;
    it->second.type = type;
    order_.push_back(name);
}

void MetricsText::Sample(const std::string& name, const Labels& labels, double value) {
    auto it = families_.find(name);
    if (it == families_.end()) throw std::logic_error("sample of undeclared metric " + name);
    std::string line = name;
    if (!labels.empty()) {
        line += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i) line += ',';
            line += labels[i].first + "=\"" + EscapeLabelValue(labels[i].second) + '"';
        }
        line += '}';
    }
    line += ' ' + FormatValue(value);
    it->second.lines.push_back(std::move(line));
}

std::string MetricsText::Render() const {
    std::string out;
    for (const auto& name : order_) {
        const auto& f = families_.at(name);
        if (f.lines.empty()) continue;  // nothing measured this time: no family at all
        out += "# HELP " + name + ' ' + EscapeHelp(f.help) + '\n';
        out += "# TYPE " + name + ' ' + f.type + '\n';
        for (const auto& line : f.lines) out += line + '\n';
    }
    return out;
}

}  // namespace kivo::exporter
