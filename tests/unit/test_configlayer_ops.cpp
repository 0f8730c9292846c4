// Configuration layer operations without a device: argument checks, LCMP that cannot
// be opened, attempts per key pass, and that nothing stays open or allocated.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "configlayer.h"
#include "failpoint.h"

namespace {

struct Fixture : testing::Test {
    t_device* device = nullptr;
    t_configlayerParam* input = nullptr;
    void SetUp() override {
        const INT8U mac[6] = {2, 0, 0, 0, 0, 1};
        DeviceListAdd(&device, mac, "lo", nullptr, DEVICE_TORVIX_LCMP);
        ConfiglayerParamAdd(&input, "SYSTEM.A", "1");
    }
    void TearDown() override {
        kivo::FailPointsClear();
        DeviceListFree(device);
        ConfiglayerParamsDestroy(input);
    }
    // Makes every session's Open fail until the points are cleared.
    static void BlockLcmpInit() { kivo::FailPointArm("lcmp.open", 1000); }
    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }
};

}  // namespace

TEST_F(Fixture, AbsentArgumentsAreRefusedBeforeAnyExchange) {
    t_configlayerParam* out = nullptr;
    EXPECT_EQ(ConfiglayerGet(nullptr, CONFIGLAYER_PUBLIC, "", input, &out, FALSE),
              CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, nullptr, input, &out, FALSE),
              CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "", nullptr, &out, FALSE),
              CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "", input, nullptr, FALSE),
              CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerSet(nullptr, CONFIGLAYER_PUBLIC, "", input, &out), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, nullptr, input, &out), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "", nullptr, &out), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "", input, nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
    // GetAll reports absent arguments as an LCMP failure.
    EXPECT_EQ(ConfiglayerGetAll(nullptr, CONFIGLAYER_PUBLIC, "", &out, FALSE), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(ConfiglayerGetAll(device, CONFIGLAYER_PUBLIC, nullptr, &out, FALSE), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(ConfiglayerGetAll(device, CONFIGLAYER_PUBLIC, "", nullptr, FALSE), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(ConfiglayerDiscover("lo", nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Fixture, LcmpThatCannotBeOpenedFailsEveryOperationAndLeavesNothingOpen) {
    BlockLcmpInit();
    // A list the caller gives up is destroyed by the first attempt.
    t_configlayerParam* out = nullptr;
    ConfiglayerParamAdd(&out, "STALE", "x");
    EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "pw", input, &out, FALSE), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ConfiglayerGetAll(device, CONFIGLAYER_PRIVATE, "pw", &out, TRUE), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(out, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "pw", input, &out), CONFIGLAYER_ERROR_LCMP);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, nullptr);
    // One message per key pass, with the attempt number and the LCMP code.
    EXPECT_EQ(Count(err, "Warning: set, attempt 0: LCMP could not be opened on lo (code "), 2) << err;
    EXPECT_EQ(ConfiglayerDiscover("lo", &device), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(device->next, nullptr);

    // Nothing was left held: the next session opens at once.
    kivo::FailPointsClear();
    if (getuid() != 0) GTEST_SKIP() << "opening LCMP needs a raw socket";
    ASSERT_EQ(kivo::lcmp::Session("lo").Open(), LCMP_ERROR_NONE);
}

TEST_F(Fixture, RetriesRunPerKeyPassAndStartAgainForTheLegacyKey) {
    BlockLcmpInit();
    t_configlayerOptions retries;
    retries.maxRetries = 2;
    t_configlayerParam* out = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "", input, &out, retries), CONFIGLAYER_ERROR_LCMP);
    const std::string err = testing::internal::GetCapturedStderr();
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(Count(err, "attempt " + std::to_string(attempt) + ": LCMP could not be opened"), 2) << err;
    EXPECT_EQ(Count(err, "attempt 3"), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "", input, &out), CONFIGLAYER_ERROR_LCMP);
    EXPECT_EQ(Count(testing::internal::GetCapturedStderr(), "LCMP could not be opened"), 2);
}

TEST_F(Fixture, UnusableInputFailsBeforeLcmpIsOpened) {
    // A name too long for a read request: refused, whatever the interface.
    const std::string tooLong(397, 'N');
    t_configlayerParam* longInput = nullptr;
    ConfiglayerParamAdd(&longInput, tooLong.c_str(), "1");
    t_configlayerParam* out = nullptr;
    BlockLcmpInit();  // an attempt that got as far as LCMP would report LCMP instead
    EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "", longInput, &out, FALSE),
              CONFIGLAYER_ERROR_BAD_ARGS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "", longInput, &out), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("LCMPInit"), std::string::npos);
    EXPECT_EQ(out, nullptr);
    ConfiglayerParamsDestroy(longInput);
}
