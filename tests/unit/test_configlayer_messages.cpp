// Configuration layer messages: the vendor request builders and the answer readers.
// Expected bytes are written out from the wire layout (type, little-endian length,
// control, type, data), not produced with the code under test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "configlayer.h"
#include "configlayer_internal.h"
#include "failpoint.h"

namespace {

using Bytes = std::vector<INT8U>;

// Owns a value list for the test's lifetime.
struct ValueList {
    t_lcmpValueList* list = nullptr;
    ~ValueList() { LCMPValueListDestroy(list); }
    ValueList& Add(INT8U type, const Bytes& data, INT32U responseTime = 0) {
        EXPECT_EQ(LCMPFullValueAdd(&list, nullptr, responseTime, static_cast<t_lcmpValueType>(type),
                                   static_cast<INT16U>(data.size()), data.data()),
                  LCMP_ERROR_NONE);
        return *this;
    }
    // INFO and DATAMODEL, as every answer starts.
    ValueList& Head() { return Add(0x00, {0x9D, 0x13, 0, 0, 0}).Add(0x20, {0x00}); }
    std::vector<std::pair<INT8U, Bytes>> Values() const {
        std::vector<std::pair<INT8U, Bytes>> out;
        for (const t_lcmpValue* v = list ? list->head : nullptr; v; v = v->next)
            out.emplace_back(static_cast<INT8U>(v->type), Bytes(v->value, v->value + v->valueLength));
        return out;
    }
};

// Owns a parameter list.
struct Params {
    t_configlayerParam* head = nullptr;
    ~Params() { ConfiglayerParamsDestroy(head); }
    Params& Add(const char* name, const char* value = nullptr) {
        EXPECT_EQ(ConfiglayerParamAdd(&head, name, value), CONFIGLAYER_ERROR_NONE);
        return *this;
    }
    std::vector<const t_configlayerParam*> Nodes() const {
        std::vector<const t_configlayerParam*> out;
        for (const t_configlayerParam* p = head; p; p = p->next) out.push_back(p);
        return out;
    }
};

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A record whose length field says data + 2.
Bytes Record(INT8U control, INT8U type, const Bytes& data) {
    const size_t n = data.size() + 2;
    return Cat({static_cast<INT8U>(n & 0xFF), static_cast<INT8U>(n >> 8), control, type}, data);
}
Bytes NameRecord(const std::string& name) {
    return Record(0x01, 0x0A, Text(name));
}
// A status record with a 32-bit little-endian code.
Bytes Status(INT32S code) {
    const auto u = static_cast<uint32_t>(code);
    return Record(0x02, 0x06,
                  {static_cast<INT8U>(u), static_cast<INT8U>(u >> 8), static_cast<INT8U>(u >> 16),
                   static_cast<INT8U>(u >> 24)});
}

const Bytes kInfo = {0x9D, 0x13, 0x00, 0x00, 0x00};

}  // namespace

// ---------------------------------------------------------------------------
// Request builders
// ---------------------------------------------------------------------------

TEST(ConfiglayerRequest, ReadRequestListsNamesAfterInfoAndDataModel) {
    Params in;
    in.Add("A").Add("SYSTEM.PRODUCTION.MAC_ADDR");
    for (BOOLEAN priv : {FALSE, TRUE}) {
        ValueList out;
        ASSERT_EQ(GenerateGetValueList(priv, in.head, &out.list), CONFIGLAYER_ERROR_NONE);
        const auto v = out.Values();
        ASSERT_EQ(v.size(), 4u);
        EXPECT_EQ(v[0], (std::pair<INT8U, Bytes>{0x00, kInfo}));
        EXPECT_EQ(v[1], (std::pair<INT8U, Bytes>{0x20, {priv}}));
        EXPECT_EQ(v[2], (std::pair<INT8U, Bytes>{0x23, {0x03, 0x00, 0x01, 0x0A, 'A'}}));
        // The 26-character name is a 30-byte value: 1C 00 01 0A and the characters.
        Bytes macName = Cat({0x1C, 0x00, 0x01, 0x0A}, Text("SYSTEM.PRODUCTION.MAC_ADDR"));
        EXPECT_EQ(v[3].first, 0x23);
        EXPECT_EQ(v[3].second, macName);
        EXPECT_EQ(v[3].second.size(), 30u);
    }
}

TEST(ConfiglayerRequest, GetAllRequestRepeatsTheDataModelByte) {
    for (BOOLEAN priv : {FALSE, TRUE}) {
        ValueList out;
        ASSERT_EQ(GenerateGetValueList(priv, nullptr, &out.list), CONFIGLAYER_ERROR_NONE);
        const auto v = out.Values();
        ASSERT_EQ(v.size(), 3u);
        EXPECT_EQ(v[0].first, 0x00);
        EXPECT_EQ(v[1], (std::pair<INT8U, Bytes>{0x20, {priv}}));
        EXPECT_EQ(v[2], (std::pair<INT8U, Bytes>{0x27, {priv}}));
    }
}

TEST(ConfiglayerRequest, NameLengthIsBoundedByTheWorkArea) {
    const std::string longest(396, 'N');
    Params ok;
    ok.Add(longest.c_str());
    ValueList out;
    ASSERT_EQ(GenerateGetValueList(FALSE, ok.head, &out.list), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(out.Values().size(), 3u);
    EXPECT_EQ(out.Values()[2].second.size(), 400u);
    EXPECT_EQ(out.Values()[2].second[0], 0x8E);  // 398 = 0x018E
    EXPECT_EQ(out.Values()[2].second[1], 0x01);

    const std::string tooLong(397, 'N');
    Params bad;
    bad.Add("FIRST").Add(tooLong.c_str());
    ValueList refused;
    EXPECT_EQ(GenerateGetValueList(FALSE, bad.head, &refused.list), CONFIGLAYER_ERROR_BAD_ARGS);
}

TEST(ConfiglayerRequest, FailureToAddTheMarkerValuesIsAnLcmpError) {
    // INFO cannot be added.
    kivo::FailPointArm("lcmp.value", 1);
    Params in;
    in.Add("A");
    ValueList out;
    EXPECT_EQ(GenerateGetValueList(FALSE, in.head, &out.list), CONFIGLAYER_ERROR_LCMP);
    kivo::FailPointsClear();
    EXPECT_TRUE(out.Values().empty());

    // DATAMODEL cannot be added: the list is one value short of full.
    ValueList full;
    for (int i = 0; i < 65534; ++i) full.Add(0x10, {});
    EXPECT_EQ(GenerateGetValueList(FALSE, in.head, &full.list), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(full.list->tail->type, LCMP_VALUE_INFO);

    // Neither request may go out without its get-all or read values.
    ValueList getAll;
    for (int i = 0; i < 65533; ++i) getAll.Add(0x10, {});
    EXPECT_EQ(GenerateGetValueList(FALSE, nullptr, &getAll.list), CONFIGLAYER_ERROR_LCMP);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GenerateGetValueList(FALSE, in.head, &getAll.list), CONFIGLAYER_ERROR_LCMP);
    testing::internal::GetCapturedStderr();
}

TEST(ConfiglayerRequest, WriteRequestCarriesTheDeviceReportedTypes) {
    Params in;
    in.Add("X", "00:11:22:33:44:55").Add("SPEED", "1,256");
    // Types as a type read reports them; names need not match, pairing is by position.
    t_configlayerParam* types = nullptr;
    ASSERT_EQ(ConfiglayerParamAdd(&types, "other", "v"), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(ConfiglayerParamAdd(&types, "other2", "v"), CONFIGLAYER_ERROR_NONE);
    types->type = PARAM_TYPE_MAC_ADDR;
    types->next->type = PARAM_TYPE_INT16U;
    ValueList out;
    EXPECT_EQ(GenerateSetValueList(TRUE, in.head, types, &out.list), CONFIGLAYER_ERROR_NONE);
    ConfiglayerParamsDestroy(types);
    const auto v = out.Values();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], (std::pair<INT8U, Bytes>{0x00, kInfo}));
    EXPECT_EQ(v[1], (std::pair<INT8U, Bytes>{0x20, {0x01}}));
    EXPECT_EQ(v[2].first, 0x21);
    EXPECT_EQ(v[2].second, (Bytes{0x03, 0x00, 0x01, 0x0A, 'X', 0x08, 0x00, 0x00, 0x08, 0x00, 0x11, 0x22, 0x33,
                                  0x44, 0x55}));
    EXPECT_EQ(v[3].second, Cat(NameRecord("SPEED"), Bytes{0x06, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x01}));
}

TEST(ConfiglayerRequest, WriteRequestRefusesUnusableInput) {
    t_configlayerParam* types = nullptr;
    ASSERT_EQ(ConfiglayerParamAdd(&types, "A", "0"), CONFIGLAYER_ERROR_NONE);
    types->type = PARAM_TYPE_INT8U;

    {  // An input node without value.
        Params in;
        in.Add("A");
        ValueList out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(GenerateSetValueList(FALSE, in.head, types, &out.list), CONFIGLAYER_ERROR_BAD_ARGS);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: Input type is not string"),
                  std::string::npos);
    }
    {  // More inputs than types.
        Params in;
        in.Add("A", "1").Add("B", "2");
        ValueList out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(GenerateSetValueList(FALSE, in.head, types, &out.list), CONFIGLAYER_ERROR_BAD_ARGS);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: Input type is not string"),
                  std::string::npos);
        // The first parameter was added before the second failed.
        EXPECT_EQ(out.Values().size(), 3u);
    }
    {  // A value that does not parse for the device's type.
        Params in;
        in.Add("A", "300");
        ValueList out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(GenerateSetValueList(FALSE, in.head, types, &out.list), CONFIGLAYER_ERROR_BAD_ARGS);
        EXPECT_NE(
            testing::internal::GetCapturedStderr().find("Error: conversion from string to value failed"),
            std::string::npos);
        EXPECT_EQ(out.Values().size(), 2u);
    }
    {  // Absent arguments.
        Params in;
        in.Add("A", "1");
        ValueList out;
        EXPECT_EQ(GenerateSetValueList(FALSE, nullptr, types, &out.list), CONFIGLAYER_ERROR_BAD_ARGS);
        EXPECT_EQ(GenerateSetValueList(FALSE, in.head, nullptr, &out.list), CONFIGLAYER_ERROR_BAD_ARGS);
        EXPECT_EQ(GenerateSetValueList(FALSE, in.head, types, nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
    }
    ConfiglayerParamsDestroy(types);
}

TEST(ConfiglayerRequest, WriteValueMustFitTheWorkArea) {
    t_configlayerParam* types = nullptr;
    ASSERT_EQ(ConfiglayerParamAdd(&types, "N", "x"), CONFIGLAYER_ERROR_NONE);  // type STRING
    // Name 1 + value 29991 + 8 bytes of records = 30000: the largest write value.
    const std::string fits(29991, 'v');
    Params ok;
    ok.Add("N", fits.c_str());
    ValueList out;
    ASSERT_EQ(GenerateSetValueList(FALSE, ok.head, types, &out.list), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(out.Values().size(), 3u);
    EXPECT_EQ(out.Values()[2].second.size(), 30000u);

    const std::string tooBig(29992, 'v');
    Params bad;
    bad.Add("N", tooBig.c_str());
    ValueList refused;
    EXPECT_EQ(GenerateSetValueList(FALSE, bad.head, types, &refused.list), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(refused.Values().size(), 2u);
    ConfiglayerParamsDestroy(types);
}

// ---------------------------------------------------------------------------
// Read and write answers
// ---------------------------------------------------------------------------

TEST(ConfiglayerAnswer, ReadAnswerStopsBehindTheRefusedParameter) {
    ValueList a;
    a.Head()
        // A name is its record's data bytes, whatever the record's control.
        .Add(0x24, Cat(Record(0x07, 0x0A, Text("P1")), Record(0, 0x08, {0, 0x11, 0x22, 0x33, 0x44, 0x55})),
             17)
        .Add(0x24, Cat(NameRecord("P2"), Status(-36)), 18)
        .Add(0x24, Cat(NameRecord("P3"), Record(0, 0x02, {7})));
    Params out;
    EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_PARAM);
    const auto n = out.Nodes();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_STREQ(n[0]->name, "P1");
    EXPECT_STREQ(n[0]->value, "00:11:22:33:44:55");
    EXPECT_EQ(n[0]->type, PARAM_TYPE_MAC_ADDR);
    EXPECT_EQ(n[0]->nElem, 1);
    EXPECT_EQ(n[0]->responseTime, 17);
    EXPECT_STREQ(n[1]->name, "P2");
    EXPECT_STREQ(n[1]->value, "ERROR -36 Searching for a parameter that has not been installed");
    EXPECT_EQ(n[1]->type, PARAM_TYPE_ERROR);
    EXPECT_EQ(n[1]->nElem, 1);
    EXPECT_EQ(n[1]->responseTime, 18);
}

TEST(ConfiglayerAnswer, ValuesRenderWithTypeCountAndMacFilter) {
    ValueList a;
    a.Head()
        .Add(0x24, Cat(NameRecord("LIST"), Record(0, 0x04, {0xFF, 0xFF, 0x02, 0x00})))
        .Add(0x24, Cat(NameRecord("MACS"), Record(0, 0x08, {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 9})))
        .Add(0x24, Cat(NameRecord("EMPTY"), Record(0, 0x0A, {})))
        .Add(0x26, {0x00})
        .Add(0x24, Cat(NameRecord("AFTER_END"), Record(0, 0x02, {1})));
    for (BOOLEAN filter : {FALSE, TRUE}) {
        Params out;
        ASSERT_EQ(FillParams(a.list, &out.head, filter), CONFIGLAYER_ERROR_NONE);
        const auto n = out.Nodes();
        ASSERT_EQ(n.size(), 3u);  // the end marker ends the walk
        EXPECT_STREQ(n[0]->value, "65535,2");
        EXPECT_EQ(n[0]->nElem, 2);
        EXPECT_EQ(n[0]->type, PARAM_TYPE_INT16U);
        EXPECT_STREQ(n[1]->value, filter ? "02:00:00:00:00:09" : "00:00:00:00:00:00,02:00:00:00:00:09");
        EXPECT_EQ(n[1]->nElem, filter ? 1 : 2);
        EXPECT_STREQ(n[2]->value, "");
        EXPECT_EQ(n[2]->type, PARAM_TYPE_STRING);
    }
}

TEST(ConfiglayerAnswer, StatusesGiveSetOkOrErrorAndUnknownControlsAreReported) {
    {
        ValueList a;
        a.Head()
            .Add(0x22, Cat(NameRecord("W1"), Status(0)))
            .Add(0x22, Cat(NameRecord("W2"), Record(0x01, 0x02, {5})))
            .Add(0x22, Cat(NameRecord("W3"), Status(0)));
        Params out;
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_NONE);
        const auto n = out.Nodes();
        ASSERT_EQ(n.size(), 3u);
        for (size_t i : {0u, 2u}) {
            EXPECT_EQ(n[i]->type, PARAM_TYPE_SET_OK);
            EXPECT_STREQ(n[i]->value, "OK");
            EXPECT_EQ(n[i]->nElem, 1);
        }
        // Control 1 in a value record: reported, and the walk goes on.
        EXPECT_STREQ(n[1]->value, "ERROR INVALID CONTROL TYPE");
        EXPECT_EQ(n[1]->type, PARAM_TYPE_ERROR);
        EXPECT_EQ(n[1]->nElem, 1);
    }
    {
        ValueList a;
        a.Head().Add(0x22, Cat(NameRecord("W1"), Status(-77))).Add(0x22, Cat(NameRecord("W2"), Status(0)));
        Params out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_RFA);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(out.Nodes().size(), 1u);
        EXPECT_EQ(out.head->type, PARAM_TYPE_ERROR);
        EXPECT_STREQ(out.head->value, "ERROR -77 LCMP failed due Remote File Access");
    }
}

TEST(ConfiglayerAnswer, WrongLeadingOrRepeatedMarkerValuesAreBadFormat) {
    const Bytes item = Cat(NameRecord("P"), Record(0, 0x02, {1}));
    {
        ValueList a;  // DATAMODEL first
        a.Add(0x20, {0}).Add(0x00, kInfo).Add(0x24, item);
        Params out;
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_BAD_FORMAT);
        EXPECT_EQ(AddParamsFromList(a.list, &out.head), CONFIGLAYER_ERROR_BAD_FORMAT);
    }
    {
        ValueList a;  // INFO alone
        a.Add(0x00, kInfo);
        Params out;
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_BAD_FORMAT);
        EXPECT_EQ(AddParamsFromList(a.list, &out.head), CONFIGLAYER_ERROR_BAD_FORMAT);
    }
    for (INT8U repeated : {INT8U{0x00}, INT8U{0x20}}) {
        ValueList a;  // a second INFO or DATAMODEL after a parameter
        a.Head().Add(0x24, item).Add(repeated, {0}).Add(0x24, item);
        Params out;
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_BAD_FORMAT);
        EXPECT_EQ(out.Nodes().size(), 1u);  // what came before stays
    }
    {
        ValueList a;  // a value type that does not belong in an answer
        a.Head().Add(0x25, NameRecord("P"));
        Params out;
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_BAD_FORMAT);
    }
    Params out;
    ValueList a;
    a.Head();
    EXPECT_EQ(FillParams(nullptr, &out.head, FALSE), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(FillParams(a.list, nullptr, FALSE), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(AddParamsFromList(nullptr, &out.head), CONFIGLAYER_ERROR_BAD_ARGS);
}

TEST(ConfiglayerAnswer, RecordsThatDoNotFitTheirValueAreBadFormat) {
    struct Case {
        const char* what;
        Bytes value;
    };
    const Bytes goodValue = Record(0, 0x02, {1});
    const std::vector<Case> cases = {
        {"name length 1", Cat({0x01, 0x00, 0x01}, goodValue)},
        {"name length 0", Cat({0x00, 0x00}, goodValue)},
        {"name runs past the value", {0x09, 0x00, 0x01, 0x0A, 'A', 'B'}},
        {"no value record", NameRecord("AB")},
        {"value length below 2", Cat(NameRecord("AB"), {0x01, 0x00, 0x00})},
        {"value runs past the value", Cat(NameRecord("AB"), {0x06, 0x00, 0x00, 0x02, 1})},
        {"half a length field", Cat(NameRecord("AB"), {0x04})},
        {"status under 4 bytes", Cat(NameRecord("AB"), Record(0x02, 0x06, {0xFF, 0xFF, 0xFF}))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ValueList a;
        a.Head().Add(0x24, Cat(NameRecord("FIRST"), goodValue)).Add(0x24, c.value);
        Params out;
        EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_BAD_FORMAT);
        ASSERT_EQ(out.Nodes().size(), 1u);
        EXPECT_STREQ(out.head->name, "FIRST");
    }
    // Trailing bytes after the two records are not read.
    ValueList a;
    a.Head().Add(0x24, Cat(Cat(NameRecord("T"), goodValue), {0xEE, 0xEE}));
    Params out;
    EXPECT_EQ(FillParams(a.list, &out.head, FALSE), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(out.Nodes().size(), 1u);
    EXPECT_STREQ(out.head->name, "T");
    EXPECT_STREQ(out.head->value, "1");
}

// ---------------------------------------------------------------------------
// Get-all answers
// ---------------------------------------------------------------------------

TEST(ConfiglayerAnswer, GetAllNamesAcrossMessagesAndWhatBreaksThem) {
    {
        ValueList a;  // each message begins with INFO and DATAMODEL
        a.Head().Add(0x25, NameRecord("N1")).Add(0x25, NameRecord("N2"));
        a.Head().Add(0x25, NameRecord("N3")).Add(0x26, {0x01}).Add(0x25, NameRecord("AFTER_END"));
        Params out;
        ASSERT_EQ(AddParamsFromList(a.list, &out.head), CONFIGLAYER_ERROR_NONE);
        const auto n = out.Nodes();
        ASSERT_EQ(n.size(), 3u);
        const char* expected[] = {"N1", "N2", "N3"};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_STREQ(n[i]->name, expected[i]);
            EXPECT_EQ(n[i]->value, nullptr);
            EXPECT_EQ(n[i]->type, PARAM_TYPE_NOT_DEFINED);
        }
    }
    {
        ValueList a;  // a read answer inside a listing
        a.Head().Add(0x25, NameRecord("N1")).Add(0x24, Cat(NameRecord("N2"), Record(0, 2, {1})));
        Params out;
        EXPECT_EQ(AddParamsFromList(a.list, &out.head), CONFIGLAYER_ERROR_BAD_FORMAT);
        EXPECT_EQ(out.Nodes().size(), 1u);
    }
    {
        ValueList a;  // a name record longer than its value
        a.Head().Add(0x25, {0x10, 0x00, 0x01, 0x0A, 'N'});
        Params out;
        EXPECT_EQ(AddParamsFromList(a.list, &out.head), CONFIGLAYER_ERROR_BAD_FORMAT);
        EXPECT_EQ(out.head, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Discovery answers
// ---------------------------------------------------------------------------

namespace {
const INT8U kHostMac[6] = {0x02, 0xAA, 0, 0, 0, 1};

int DeviceCount(const t_device* d) {
    int n = 0;
    for (; d; d = d->next) ++n;
    return n;
}
}  // namespace

TEST(ConfiglayerDiscovery, RecordsTheAnsweringDevice) {
    ValueList a;
    a.Head().Add(0x24,
                 Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x08, {2, 0, 0, 0xAB, 0xCD, 0xEF})));
    t_device* devices = nullptr;
    ASSERT_EQ(FillDeviceList(a.list, "eth1", const_cast<INT8U*>(kHostMac), &devices), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(DeviceCount(devices), 1);
    const INT8U expected[6] = {2, 0, 0, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(devices->deviceMACAddr, expected, 6), 0);
    EXPECT_EQ(std::memcmp(devices->hostMACAddr, kHostMac, 6), 0);
    EXPECT_STREQ(devices->interfaceName, "eth1");
    EXPECT_EQ(devices->type, DEVICE_TORVIX_LCMP);
    DeviceListFree(devices);

    // Absent answer or list: nothing to do, no failure.
    EXPECT_EQ(FillDeviceList(nullptr, "eth1", nullptr, &devices), CONFIGLAYER_ERROR_NONE);
    EXPECT_EQ(FillDeviceList(a.list, "eth1", nullptr, nullptr), CONFIGLAYER_ERROR_NONE);
}

TEST(ConfiglayerDiscovery, AddsNothingFromAnswersItCannotReadCompletely) {
    struct Case {
        const char* what;
        Bytes item;
        t_configlayerErrorCode expected;
    };
    const std::vector<Case> cases = {
        {"another parameter first", Cat(NameRecord("SYSTEM.X"), Record(0, 0x08, {2, 0, 0, 0, 0, 1})),
         CONFIGLAYER_ERROR_PARAM},
        {"three fields", Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x0A, Text("02:00:01"))),
         CONFIGLAYER_ERROR_BAD_FORMAT},
        {"bad digit",
         Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x0A, Text("02:00:01:02:03:0G"))),
         CONFIGLAYER_ERROR_BAD_FORMAT},
        {"three-digit field",
         Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x0A, Text("02:00:01:02:03:100"))),
         CONFIGLAYER_ERROR_BAD_FORMAT},
        {"all-zero address filtered out",
         Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x08, {0, 0, 0, 0, 0, 0})),
         CONFIGLAYER_ERROR_BAD_FORMAT},
        {"refused", Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Status(-36)), CONFIGLAYER_ERROR_PARAM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ValueList a;
        a.Head().Add(0x24, c.item);
        t_device* devices = nullptr;
        EXPECT_EQ(FillDeviceList(a.list, "eth1", nullptr, &devices), c.expected);
        EXPECT_EQ(devices, nullptr);
    }
}

TEST(ConfiglayerDiscovery, OneMulticastAnswerRecordsOneDevice) {
    const Bytes first = Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x08, {2, 0, 0, 0, 0, 1}));
    const Bytes second = Cat(NameRecord("SYSTEM.PRODUCTION.MAC_ADDR"), Record(0, 0x08, {2, 0, 0, 0, 0, 2}));
    {
        ValueList a;  // two devices, each ending with a marker: the first is recorded
        a.Head().Add(0x24, first).Add(0x26, {1}).Head().Add(0x24, second).Add(0x26, {1});
        t_device* devices = nullptr;
        EXPECT_EQ(FillDeviceList(a.list, "eth1", nullptr, &devices), CONFIGLAYER_ERROR_NONE);
        ASSERT_EQ(DeviceCount(devices), 1);
        EXPECT_EQ(devices->deviceMACAddr[5], 1);
        DeviceListFree(devices);
    }
    {
        ValueList a;  // without markers the second device's INFO breaks the answer
        a.Head().Add(0x24, first).Head().Add(0x24, second);
        t_device* devices = nullptr;
        EXPECT_EQ(FillDeviceList(a.list, "eth1", nullptr, &devices), CONFIGLAYER_ERROR_BAD_FORMAT);
        EXPECT_EQ(devices, nullptr);
    }
}
