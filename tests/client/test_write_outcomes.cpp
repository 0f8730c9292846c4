// What a write did to each name, as front-ends tell it: written, refused, or not written.
#include <gtest/gtest.h>

#include "kivo_client.h"

namespace kc = kivo::client;

namespace {

kc::Param Record(const std::string& name, const std::string& value, uint8_t type) {
    kc::Param p;
    p.name = name;
    p.value = value;
    p.type = type;
    p.elements = 1;
    p.refused = type == kc::kTypeError;
    return p;
}

kc::ParamReply Lcmp(std::vector<kc::Param> params) {
    return kc::ParamReply{kc::Protocol::kLcmp, std::move(params)};
}

}  // namespace

TEST(WriteOutcomes, ConfirmedAndRefusedNamesOfAWriteThatWasSent) {
    auto out = kc::WriteOutcomes(
        Lcmp({Record("A", "SET_OK", kc::kTypeSetOk), Record("B", "ERROR -36", kc::kTypeError)}),
        {"A", "B", "C"});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].result, kc::WriteResult::kWritten);
    EXPECT_EQ(out[1].result, kc::WriteResult::kRefused);
    EXPECT_EQ(out[1].text, "ERROR -36");
    // A name the device never confirmed is not claimed written, nor blamed on B.
    EXPECT_EQ(out[2].result, kc::WriteResult::kNotWritten);
    EXPECT_EQ(out[2].text, "the device did not confirm this value");
    EXPECT_EQ(kc::WriteResultName(out[2].result), "not written");
}

TEST(WriteOutcomes, ARefusalAtTheTypeCheckWritesNothingWhicheverItsPlace) {
    // The refused name last: the reply carries the other name's current value.
    auto last = kc::WriteOutcomes(
        Lcmp({Record("DEVICE_NAME", "old", 10), Record("NO.SUCH", "ERROR -36", kc::kTypeError)}),
        {"DEVICE_NAME", "NO.SUCH"});
    EXPECT_EQ(last[0].result, kc::WriteResult::kNotWritten);
    EXPECT_EQ(last[0].text, "the device refused NO.SUCH, so nothing of this write was written");
    EXPECT_EQ(last[1].result, kc::WriteResult::kRefused);
    // The refused name first: the reply stops there.
    auto first =
        kc::WriteOutcomes(Lcmp({Record("NO.SUCH", "ERROR -36", kc::kTypeError)}), {"NO.SUCH", "DEVICE_NAME"});
    EXPECT_EQ(first[0].result, kc::WriteResult::kRefused);
    EXPECT_EQ(first[1].result, kc::WriteResult::kNotWritten);
    EXPECT_EQ(first[1].text, last[0].text);
}

TEST(WriteOutcomes, ScpStatusesWithoutTypes) {
    kc::Param ok{"NETWORK.PORT", "OK", std::nullopt, std::nullopt, false};
    kc::Param bad{"SYSTEM.X", "ERROR no such parameter", std::nullopt, std::nullopt, true};
    auto out = kc::WriteOutcomes(kc::ParamReply{kc::Protocol::kScp, {ok, bad}}, {"NETWORK.PORT", "SYSTEM.X"});
    EXPECT_EQ(out[0].result, kc::WriteResult::kWritten);
    EXPECT_EQ(out[1].result, kc::WriteResult::kRefused);
    EXPECT_EQ(out[1].text, "ERROR no such parameter");
}
