// MAC discovery without a network: the probe frame, the classification of received
// frames, argument checks, and the Discover handler's refusals that need no device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "kivohost.h"
#include "mac_discover.h"

namespace {

using Bytes = std::vector<INT8U>;

const INT8U kHostMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const INT8U kDevMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const INT8U kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes ProbeOf(const kivo::discovery::Settings& settings) {
    Bytes frame(1518, 0xEE);
    INT32U n = MACDiscoverProbeBuild(settings, kHostMac, frame.data(), static_cast<INT32U>(frame.size()));
    frame.resize(n);
    return frame;
}

// A frame as a device sends it: addresses, optional tag, 802.3 length, SNAP header
// with the given protocol bytes, then the given payload, zero-padded to minLength.
Bytes DeviceFrame(const INT8U* dst, INT8U proto0, INT8U proto1, const Bytes& payload, bool tagged,
                  size_t minLength = 60) {
    Bytes f(dst, dst + 6);
    f.insert(f.end(), kDevMac, kDevMac + 6);
    if (tagged) f.insert(f.end(), {0x81, 0x00, 0x00, 0x64});
    f.insert(f.end(), {0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, proto0, proto1});
    f.insert(f.end(), payload.begin(), payload.end());
    if (f.size() < minLength) f.resize(minLength, 0);
    return f;
}

// Payload of a boot-ROM announcement after the SNAP header (frame offset 22 on).
Bytes AnnouncementPayload(INT16U version, INT16U subversion, bool goodMagic = true) {
    Bytes p(6, 0);
    if (goodMagic)
        p.insert(p.end(), {0x2D, 0x5A, 0xD2, 0xA5});
    else
        p.insert(p.end(), {0x2D, 0x5A, 0xD2, 0xA4});
    p.push_back(static_cast<INT8U>(subversion));
    p.push_back(static_cast<INT8U>(subversion >> 8));
    p.push_back(static_cast<INT8U>(version));
    p.push_back(static_cast<INT8U>(version >> 8));
    p.insert(p.end(), {0, 0, 0, 0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8});
    return p;
}

struct Classified {
    bool recognised;
    t_deviceType type;
};

Classified Classify(const Bytes& f, size_t length) {
    t_deviceType type = DEVICE_TORVIX_LCMP;  // never a result of classification
    BOOLEAN r = MACDiscoverFrameClassify(f.data(), static_cast<INT32U>(length), kHostMac, &type);
    return {r == TRUE, type};
}
Classified Classify(const Bytes& f) {
    return Classify(f, f.size());
}

class MacDiscoverProbe : public ::testing::Test {
   protected:
    kivo::discovery::Settings settings;
    Bytes Probe() const { return ProbeOf(settings); }
};

TEST_F(MacDiscoverProbe, UntaggedProbeIsExactly60Bytes) {
    Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x11, 0x22, 0x33, 0x44,
                      0x55, 0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x01};
    expected.resize(60, 0x00);
    EXPECT_EQ(expected, Probe());
}

TEST_F(MacDiscoverProbe, TaggedProbeAndRefusedSettingsKeepThePreviousTag) {
    ASSERT_EQ(MACDISCOVER_ERROR_NONE, settings.VlanSet(true, 100, 5));
    Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x81,
                      0x00, 0xA0, 0x64, 0x00, 0x2E, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x01};
    expected.resize(64, 0x00);
    EXPECT_EQ(expected, Probe());

    EXPECT_EQ(MACDISCOVER_ERROR_BAD_ARGS, settings.VlanSet(true, 4095, 0));
    EXPECT_EQ(MACDISCOVER_ERROR_BAD_ARGS, settings.VlanSet(true, 1, 8));
    EXPECT_EQ(expected, Probe()) << "a refused setting must leave the tag as it was";

    // The largest accepted values use every bit of the tag control field.
    ASSERT_EQ(MACDISCOVER_ERROR_NONE, settings.VlanSet(true, 4094, 7));
    Bytes tagged = Probe();
    ASSERT_EQ(64u, tagged.size());
    EXPECT_EQ(0xEF, tagged[14]);
    EXPECT_EQ(0xFE, tagged[15]);

    // Switching off ignores the values given and brings back the untagged probe.
    EXPECT_EQ(MACDISCOVER_ERROR_NONE, settings.VlanSet(false, 4095, 8));
    EXPECT_EQ(60u, Probe().size());
}

TEST_F(MacDiscoverProbe, TooSmallBufferIsNotWrittenPast) {
    settings.VlanSet(true, 1, 0);
    Bytes buffer(70, 0xEE);
    EXPECT_EQ(0u, MACDiscoverProbeBuild(settings, kHostMac, buffer.data(), 63));
    EXPECT_EQ(64u, MACDiscoverProbeBuild(settings, kHostMac, buffer.data(), 64));
    for (size_t i = 64; i < buffer.size(); ++i) EXPECT_EQ(0xEE, buffer[i]) << "byte " << i;
}

TEST(MacDiscoverClassify, LegacyReplies) {
    Bytes reply = DeviceFrame(kHostMac, 0x0C, 0x02, {}, false);
    Classified c = Classify(reply);
    EXPECT_TRUE(c.recognised);
    EXPECT_EQ(DEVICE_TORVIX_SCP, c.type);

    Bytes tagged = DeviceFrame(kHostMac, 0x0C, 0x02, {}, true);
    c = Classify(tagged);
    EXPECT_TRUE(c.recognised) << "fields 4 bytes further on behind a tag";
    EXPECT_EQ(DEVICE_TORVIX_SCP, c.type);

    const INT8U otherHost[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x56};
    EXPECT_FALSE(Classify(DeviceFrame(otherHost, 0x0C, 0x02, {}, false)).recognised)
        << "reply to another host";
    EXPECT_FALSE(Classify(DeviceFrame(kBroadcast, 0x0C, 0x02, {}, false)).recognised) << "broadcast reply";
    EXPECT_FALSE(Classify(DeviceFrame(kHostMac, 0x0C, 0x01, {}, false)).recognised) << "a probe";
    // A tagged frame is not read as untagged: the SNAP header at the untagged offset
    // is not looked at.
    Bytes shifted = DeviceFrame(kHostMac, 0x0C, 0x02, {}, false);
    shifted[12] = 0x81;
    shifted[13] = 0x00;
    EXPECT_FALSE(Classify(shifted).recognised);
}

TEST(MacDiscoverClassify, BootRomAnnouncements) {
    struct Case {
        INT16U version;
        bool goodMagic;
        bool tagged;
        bool recognised;
        t_deviceType type;
    } cases[] = {
        {3, true, false, true, DEVICE_TORVIX_ETH_BOOT_V3},
        {3, true, true, true, DEVICE_TORVIX_ETH_BOOT_V3},
        {2, true, false, true, DEVICE_TORVIX_ETH_BOOT_V2},
        {1, true, true, true, DEVICE_TORVIX_ETH_BOOT_V2},
        {0x0103, true, false, true, DEVICE_TORVIX_ETH_BOOT_V2},  // little-endian: 03 01 is not 3
        {0x0300, true, false, true, DEVICE_TORVIX_ETH_BOOT_V2},
        {3, false, false, false, DEVICE_TORVIX_LCMP},
    };
    for (const Case& k : cases) {
        Bytes f =
            DeviceFrame(kBroadcast, 0x0B, 0x00, AnnouncementPayload(k.version, 7, k.goodMagic), k.tagged);
        Classified c = Classify(f);
        EXPECT_EQ(k.recognised, c.recognised) << "version " << k.version << " magic " << k.goodMagic;
        if (k.recognised) {
            EXPECT_EQ(k.type, c.type) << "version " << k.version;
        }
    }
    // An announcement sent to one host only, or with another subtype, is not one.
    EXPECT_FALSE(Classify(DeviceFrame(kHostMac, 0x0B, 0x00, AnnouncementPayload(3, 0), false)).recognised);
    EXPECT_FALSE(Classify(DeviceFrame(kBroadcast, 0x0B, 0x02, AnnouncementPayload(3, 0), false)).recognised);
}

// Frames cut short are judged on the bytes received only, whatever lies in the
// buffer behind them (a receive buffer keeps the bytes of earlier, longer frames).
TEST(MacDiscoverClassify, ShortFramesAreNeverReadPast) {
    for (bool tagged : {false, true}) {
        const size_t v = tagged ? 4 : 0;
        Bytes reply = DeviceFrame(kHostMac, 0x0C, 0x02, {}, tagged);
        EXPECT_FALSE(Classify(reply, 21 + v).recognised) << "legacy reply of 21+V bytes, tagged " << tagged;
        EXPECT_TRUE(Classify(reply, 22 + v).recognised) << "legacy reply of 22+V bytes, tagged " << tagged;

        Bytes ann = DeviceFrame(kBroadcast, 0x0B, 0x00, AnnouncementPayload(3, 0), tagged);
        EXPECT_FALSE(Classify(ann, 22 + v).recognised) << "announcement without magic, tagged " << tagged;
        EXPECT_FALSE(Classify(ann, 35 + v).recognised)
            << "announcement without its version, tagged " << tagged;
        Classified c = Classify(ann, 36 + v);
        EXPECT_TRUE(c.recognised) << "announcement of 36+V bytes, tagged " << tagged;
        EXPECT_EQ(DEVICE_TORVIX_ETH_BOOT_V3, c.type);
    }
    Bytes tiny = DeviceFrame(kHostMac, 0x0C, 0x02, {}, true);
    for (size_t n : {0, 5, 12, 13, 14, 15}) EXPECT_FALSE(Classify(tiny, n).recognised) << n << " bytes";
    t_deviceType type;
    EXPECT_FALSE(MACDiscoverFrameClassify(nullptr, 60, kHostMac, &type));
}

TEST(MacDiscoverArguments, MissingResultPlaceAndUnusableInterfaces) {
    const kivo::discovery::Settings settings;
    CHAR name[] = "eth0";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MACDISCOVER_ERROR_BAD_ARGS, MACDiscoverGet(name, TRUE, nullptr, settings));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "no listening for nothing";

    // A name of 16 bytes or more cannot be handed to the kernel whole: skipped with
    // the interface message, and the discovery ends at once with no device.
    CHAR longName[] = "abcdefghijklmnop";
    t_device* list = reinterpret_cast<t_device*>(&list);  // must be overwritten
    ::testing::internal::CaptureStderr();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(MACDISCOVER_ERROR_NONE, MACDiscoverGet(longName, TRUE, &list, settings));
    auto elapsed = std::chrono::steady_clock::now() - start;
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(nullptr, list);
    EXPECT_LT(elapsed, std::chrono::seconds(2));
    EXPECT_NE(std::string::npos,
              err.find("\nUnable to open the interface. abcdefghijklmnop is not supported by RAW sockets\n"))
        << err;
}

// Discover requests that are refused before any discovery runs.
TEST(DiscoverHandler, NameRunningPastTheDatagramIsRefusedAtOnce) {
    static INT8U msg[KIVO_MESSAGE_SIZE];
    std::memset(msg, 0, sizeof(msg));
    // L = 10 but only three name bytes arrived.
    const INT8U request[] = {7, 0, 0, 0, 0, 10, 'e', 't', 'h'};
    std::memcpy(msg, request, sizeof(request));
    auto start = std::chrono::steady_clock::now();
    INT32S n = DiscoverGet(sizeof(request), msg).length;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(4, n);
    EXPECT_EQ(REPLY_REFUSED, msg[3]);

    // L = 255 at the end of a 6-byte datagram.
    std::memset(msg, 0, sizeof(msg));
    msg[5] = 255;
    ASSERT_EQ(4, DiscoverGet(6, msg).length);
    EXPECT_EQ(REPLY_REFUSED, msg[3]);
}

TEST(DiscoverHandler, UnusableInterfaceNameGivesFailed) {
    static INT8U msg[KIVO_MESSAGE_SIZE];
    for (const std::string name : {"abcdefghijklmnopqrstuvwxyz", "kvnosuch0"}) {
        std::memset(msg, 0, sizeof(msg));
        msg[5] = static_cast<INT8U>(name.size());
        std::memcpy(msg + 6, name.data(), name.size());
        ::testing::internal::CaptureStderr();
        INT32S n = DiscoverGet(static_cast<INT32S>(8 + name.size()), msg).length;
        std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(4, n) << name;
        EXPECT_EQ(REPLY_FAILED, msg[3]) << name;
        EXPECT_NE(std::string::npos, err.find(name)) << err;
    }
}

}  // namespace
