// kivoctl compare's judgement, on its own: a wanted value compared with a device's record
// as the device stores values, the idempotence the Ansible collection rests on.
#include <gtest/gtest.h>

#include "cmd_compare.h"
#include "conversion.h"

namespace kc = kivo::client;
using kivoctl::CompareResult;
using kivoctl::CompareValue;

namespace {

kc::Param Record(const std::string& name, const std::string& value, std::optional<uint8_t> type) {
    kc::Param p;
    p.name = name;
    p.value = value;
    p.type = type;
    return p;
}

}  // namespace

// Other spellings of the value the device holds are the same; another value differs, and
// the wanted value is reported as the device would show it.
TEST(KivoctlCompare, SpellingsOfOneValueAreTheSame) {
    struct Case {
        uint8_t type;
        const char* device;
        const char* wanted;
        CompareResult result;
        const char* stored;
    };
    const Case cases[] = {
        {PARAM_TYPE_IP_ADDR, "192.168.1.70", "192.168.001.070", CompareResult::kSame, "192.168.1.70"},
        {PARAM_TYPE_IP_ADDR, "192.168.1.70", "192.168.1.71", CompareResult::kDiffers, "192.168.1.71"},
        {PARAM_TYPE_INT16U, "1,100,200", "1, 100, 200", CompareResult::kSame, "1,100,200"},
        {PARAM_TYPE_INT16U, "1,100,200", "1,100", CompareResult::kDiffers, "1,100"},
        {PARAM_TYPE_INT16U, "1,100,200", "1,100,200,300", CompareResult::kDiffers, "1,100,200,300"},
        {PARAM_TYPE_INT8U, "7", "007", CompareResult::kSame, "7"},
        {PARAM_TYPE_MAC_ADDR, "02:00:00:00:10:01", "02:00:00:00:10:01", CompareResult::kSame,
         "02:00:00:00:10:01"},
        {PARAM_TYPE_STRING, "living room", "living room", CompareResult::kSame, "living room"},
        {PARAM_TYPE_STRING, "living room", "Living room", CompareResult::kDiffers, "Living room"},
        {PARAM_TYPE_BOOL, "YES", "NO", CompareResult::kDiffers, "NO"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(ConversionTypeToString(static_cast<t_paramType>(c.type))) + " device '" +
                     c.device + "' wanted '" + c.wanted + "'");
        const kc::Param p = Record("X.Y", c.device, c.type);
        const auto r = CompareValue("X.Y", c.wanted, &p);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.stored, c.stored);
        EXPECT_TRUE(r.asValues);
    }
}

// A value the type cannot hold is told with what the type accepts; a refused or missing
// record is never taken as a value; legacy records (no type) are compared as text.
TEST(KivoctlCompare, WhatCannotBeCompared) {
    const kc::Param flag = Record("SYSTEM.GENERAL.LED_ENABLE", "YES", PARAM_TYPE_BOOL);
    auto invalid = CompareValue(flag.name, "maybe", &flag);
    EXPECT_EQ(invalid.result, CompareResult::kInvalid);
    EXPECT_NE(invalid.text.find("\"maybe\" is not valid for SYSTEM.GENERAL.LED_ENABLE"), std::string::npos)
        << invalid.text;
    EXPECT_NE(invalid.text.find("YES or NO"), std::string::npos) << invalid.text;
    EXPECT_TRUE(invalid.stored.empty());

    kc::Param refused =
        Record("SYSTEM.PRODUCTION.MAC_ADDR", "ERROR -55: without the necessary permits", std::nullopt);
    refused.refused = true;
    auto r = CompareValue(refused.name, "02:00:00:00:10:09", &refused);
    EXPECT_EQ(r.result, CompareResult::kRefused);
    EXPECT_EQ(r.text, refused.value);

    auto missing = CompareValue("NO.SUCH", "1", nullptr);
    EXPECT_EQ(missing.result, CompareResult::kNotAnswered);
    EXPECT_FALSE(missing.text.empty());

    const kc::Param legacy = Record("NETWORK.PORT", "8080", std::nullopt);
    EXPECT_EQ(CompareValue(legacy.name, "8080", &legacy).result, CompareResult::kSame);
    auto other = CompareValue(legacy.name, "08080", &legacy);
    EXPECT_EQ(other.result, CompareResult::kDiffers);
    EXPECT_FALSE(other.asValues);
    EXPECT_EQ(other.stored, "08080");
}
