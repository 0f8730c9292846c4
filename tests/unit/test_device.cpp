#include <gtest/gtest.h>
#include "device.h"
TEST(DeviceList, Placeholder) { EXPECT_EQ(nullptr, DeviceListFind(nullptr, nullptr, nullptr, nullptr, DEVICE_TORVIX_SCP)); }
