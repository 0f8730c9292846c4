// kivoctl compare (see cmd_compare.h).
#include "cmd_compare.h"

#include <algorithm>
#include <iostream>

#include "conversion.h"
#include "output.h"

namespace kc = kivo::client;

namespace kivoctl {

namespace {

// The bytes a text stands for in a value type; nothing when the text is not valid for it.
std::optional<std::vector<INT8U>> ValueBytes(t_paramType type, const std::string& text) {
    std::vector<INT8U> area(CONVERSION_VALUE_AREA_SIZE);
    INT32U length = 0;
    if (ConversionStringToValue(type, text.c_str(), area.data(), static_cast<INT32U>(area.size()), &length) !=
            TRUE ||
        length > area.size())
        return std::nullopt;
    area.resize(length);
    return area;
}

std::string ValueText(t_paramType type, const std::vector<INT8U>& bytes) {
    std::vector<CHAR> text(CONVERSION_TEXT_AREA_SIZE);
    ConversionValueToString(type, static_cast<INT32U>(bytes.size()), bytes.data(), text.data(),
                            static_cast<INT32U>(text.size()), nullptr, FALSE);
    return std::string(text.data());
}

std::string TypeName(const kc::Param* p) {
    if (p == nullptr || !p->type) return p != nullptr && p->refused ? "ERROR" : "-";
    std::string_view n = kc::ParamTypeName(*p->type);
    return n.empty() ? std::to_string(*p->type) : std::string(n);
}

}  // namespace

std::string_view CompareResultName(CompareResult result) {
    switch (result) {
        case CompareResult::kSame:
            return "same";
        case CompareResult::kDiffers:
            return "differs";
        case CompareResult::kInvalid:
            return "not valid";
        case CompareResult::kRefused:
            return "refused";
        case CompareResult::kNotAnswered:
            return "not answered";
    }
    return "not answered";
}

Comparison CompareValue(const std::string& name, const std::string& wanted, const kc::Param* current) {
    Comparison c{name, wanted, CompareResult::kNotAnswered, {}, false, {}};
    if (current == nullptr) {
        c.text = "the device's reply holds no value for it; check the name with 'kivoctl getall'";
        return c;
    }
    if (current->refused) {
        c.result = CompareResult::kRefused;
        c.text = current->value;
        return c;
    }
    // Legacy devices give no type, and codes outside the value types name none: the texts
    // are all there is to compare.
    if (!current->type || *current->type > PARAM_TYPE_LAST_VALUE_TYPE) {
        c.stored = wanted;
        c.result = wanted == current->value ? CompareResult::kSame : CompareResult::kDiffers;
        return c;
    }
    const auto type = static_cast<t_paramType>(*current->type);
    auto want = ValueBytes(type, wanted);
    if (!want) {
        std::vector<CHAR> why(512);
        ConversionRefusalText(name.c_str(), static_cast<INT32U>(name.size()), wanted.c_str(),
                              static_cast<INT32U>(wanted.size()), type, why.data(),
                              static_cast<INT32U>(why.size()));
        c.result = CompareResult::kInvalid;
        c.text = why.data();
        return c;
    }
    c.stored = ValueText(type, *want);
    c.asValues = true;
    // The device's text read back into bytes is what it holds; a text the conversion does
    // not take back is compared with the wanted value as the device would show it.
    const auto have = ValueBytes(type, current->value);
    const bool same = have ? *have == *want : c.stored == current->value;
    c.result = same ? CompareResult::kSame : CompareResult::kDiffers;
    return c;
}

int PrintCompare(bool asJson, const kc::DeviceAddress& device, const kc::ParamReply& reply,
                 const std::vector<std::pair<std::string, std::string>>& wanted) {
    std::vector<Comparison> comparisons;
    std::vector<const kc::Param*> records;
    for (const auto& [name, value] : wanted) {
        auto it = std::find_if(reply.params.begin(), reply.params.end(),
                               [&](const kc::Param& p) { return p.name == name; });
        const kc::Param* p = it == reply.params.end() ? nullptr : &*it;
        records.push_back(p);
        comparisons.push_back(CompareValue(name, value, p));
    }
    bool partial = false;
    if (asJson) {
        json params = json::array(), results = json::array();
        json lists{{"differ", json::array()},
                   {"refused", json::array()},
                   {"invalid", json::array()},
                   {"not_answered", json::array()}};
        for (const auto& p : reply.params) params.push_back(ParamJson(p));
        for (size_t i = 0; i < comparisons.size(); ++i) {
            const Comparison& c = comparisons[i];
            const kc::Param* p = records[i];
            const bool answered = c.result == CompareResult::kSame || c.result == CompareResult::kDiffers ||
                                  c.result == CompareResult::kInvalid;
            results.push_back(
                {{"name", c.name},
                 {"result", CompareResultName(c.result)},
                 {"differs", c.result == CompareResult::kDiffers},
                 {"type", p != nullptr && p->type ? json(TypeName(p)) : json(nullptr)},
                 {"value", answered ? json(p->value) : json(nullptr)},
                 {"wanted", c.wanted},
                 {"stored", c.result == CompareResult::kSame || c.result == CompareResult::kDiffers
                                ? json(c.stored)
                                : json(nullptr)},
                 {"as_values", c.asValues},
                 {"text", c.text}});
            static const char* const kList[] = {nullptr, "differ", "invalid", "refused", "not_answered"};
            if (const char* list = kList[static_cast<int>(c.result)]) lists[list].push_back(c.name);
        }
        json doc{{"device", DeviceJson(device)}, {"parameters", params}, {"comparisons", results}};
        doc.update(lists);
        PrintJson(doc);
    } else {
        std::vector<std::vector<std::string>> rows;
        for (size_t i = 0; i < comparisons.size(); ++i) {
            const Comparison& c = comparisons[i];
            const bool compared = c.result == CompareResult::kSame || c.result == CompareResult::kDiffers;
            rows.push_back(
                {Printable(c.name), TypeName(records[i]), std::string(CompareResultName(c.result)),
                 compared || c.result == CompareResult::kInvalid ? Printable(records[i]->value) : "-",
                 compared ? Printable(c.stored) : "-"});
        }
        PrintTable({"NAME", "TYPE", "RESULT", "DEVICE", "WANTED (AS STORED)"}, rows);
    }
    for (const auto& c : comparisons) {
        if (c.result == CompareResult::kSame || c.result == CompareResult::kDiffers) continue;
        partial = true;
        if (c.result == CompareResult::kRefused)
            std::cerr << "kivoctl: the device refused " << Printable(c.name) << ": " << Printable(c.text)
                      << '\n';
        else
            std::cerr << "kivoctl: " << Printable(c.name) << ": " << Printable(c.text) << '\n';
    }
    return partial ? kExitPartial : kExitOk;
}

}  // namespace kivoctl
