// Firmware server frame layer: frame layouts, receive filtering, control-frame
// retries, acknowledgement matching and the data loops, against a scripted peer on
// a socket pair (tests/support/fw_peer.h; the host end a link-layer port). Expected frames are written out
// byte by byte here, independently of the builders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fw_frames.h"
#include "fw_peer.h"
#include "fw_test_server.h"
#include "l2fwserver.h"

using namespace kivo::fw;
using kivo::l2::FrameView;
using kivotest::FwAckAll;
using kivotest::FwPeer;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

// A link over a test port with the test binary's current settings.
Link L(kivo::l2::Port& port) {
    return Link(port, -1, nullptr, TestFirmware().settings);
}

const uint8_t kHost[6] = {0x02, 0, 0, 0, 0, 0x0a};
const uint8_t kDev[6] = {0x02, 0, 0, 0, 0, 0x0b};
const uint8_t kOther[6] = {0x02, 0, 0, 0, 0, 0x0c};

// Common header as the wire table gives it.
Bytes Header(const uint8_t* dst, const uint8_t* src, uint16_t ethLen, uint8_t subtype) {
    Bytes b(dst, dst + 6);
    b.insert(b.end(), src, src + 6);
    b.push_back(static_cast<uint8_t>(ethLen >> 8));
    b.push_back(static_cast<uint8_t>(ethLen));
    for (uint8_t x : {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B}) b.push_back(x);
    b.push_back(subtype);
    return b;
}

// A device frame of `total` bytes (zero padded) with the given subtype.
Bytes DeviceFrame(uint8_t subtype, const uint8_t* src = kDev, size_t total = 60) {
    Bytes b = Header(kHost, src, static_cast<uint16_t>(total - 14), subtype);
    b.resize(total, 0);
    return b;
}

Bytes DataAck(uint16_t seq, const uint8_t* src = kDev) {
    Bytes b = DeviceFrame(0x04, src);
    b[22] = static_cast<uint8_t>(seq);
    b[23] = static_cast<uint8_t>(seq >> 8);
    return b;
}

Bytes Announcement(const uint8_t mbr[4], uint16_t version, uint16_t subversion, const uint8_t chip[8],
                   const uint8_t* src = kDev) {
    Bytes b = DeviceFrame(0x00, src);
    std::memcpy(&b[28], mbr, 4);
    b[32] = static_cast<uint8_t>(subversion);
    b[33] = static_cast<uint8_t>(subversion >> 8);
    b[34] = static_cast<uint8_t>(version);
    b[35] = static_cast<uint8_t>(version >> 8);
    if (chip) std::memcpy(&b[40], chip, 8);
    return b;
}

const uint8_t kRomMbr[4] = {0x2D, 0x5A, 0xD2, 0xA5};
const uint8_t kZeroMbr[4] = {0, 0, 0, 0};
const uint8_t kChip[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

uint16_t Le16(const Bytes& b, size_t off) {
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

bool AllZero(const Bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to && i < b.size(); ++i)
        if (b[i] != 0) return false;
    return true;
}

// Payload of a data frame in the file layout, checked against its own count.
Bytes FilePayload(const Bytes& f) {
    uint16_t count = Le16(f, 24);
    return Bytes(f.begin() + 52, f.begin() + 52 + count);
}

FILE* TempFileWith(const Bytes& content) {
    FILE* f = std::tmpfile();
    if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f);
    std::rewind(f);
    return f;
}

Bytes Pattern(size_t n, uint32_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// A received frame as it would be without its tag.
Bytes Untagged(const FrameView& v) {
    Bytes b(v.dst(), v.dst() + 6);
    b.insert(b.end(), v.src(), v.src() + 6);
    b.push_back(static_cast<uint8_t>(v.eth.typeOrLength >> 8));
    b.push_back(static_cast<uint8_t>(v.eth.typeOrLength));
    b.insert(b.end(), v.payload, v.payload + v.payloadLength);
    return b;
}

// The test binary's settings (copied into each link and transfer): every test starts
// from short time limits and leaves the defaults that matter here as it found them.
class FwFrames : public ::testing::Test {
   protected:
    void SetUp() override {
        L2FwServerUpgradeRetransmissionTimeoutSet(60);
        L2FwServerUpgradeFlashEraseTimeoutSet(1);
        L2FwServerUpgradeOsupTimeoutSet(1);
        L2FwServerVLANConfigure(FALSE, 0, 0);
        L2FwServerEthBootChipIdSet(nullptr);
        L2FwServerTestModeSet(L2FWSERVER_TEST_MODE_DISABLED);
    }
    void TearDown() override {
        L2FwServerUpgradeRetransmissionTimeoutSet(500);
        L2FwServerVLANConfigure(FALSE, 0, 0);
        L2FwServerEthBootChipIdSet(nullptr);
        L2FwServerTestModeSet(L2FWSERVER_TEST_MODE_DISABLED);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Frame layouts

TEST(FwFrameLayout, ControlFramesHaveTheirLengthsAndZeroPayload) {
    struct Case {
        uint8_t subtype;
        uint16_t lengthArg;
        size_t frameLen;
    } cases[] = {{0x01, 46, 60}, {0x01, 222, 236}, {0x05, 990, 1004}, {0x05, 46, 60}, {0x01, 3, 22}};
    for (const auto& c : cases) {
        uint8_t buf[kFrameBufferSize] = {};
        uint8_t dst[6];
        std::memcpy(dst, kDev, 6);
        size_t len = c.subtype == 0x01 ? BuildStartFrame(buf, kHost, dst, nullptr, c.lengthArg)
                                       : BuildControlFrame(buf, kHost, kDev, nullptr, c.subtype, c.lengthArg);
        ASSERT_EQ(len, c.frameLen) << "length argument " << c.lengthArg;
        Bytes f(buf, buf + len);
        Bytes want = Header(kDev, kHost, static_cast<uint16_t>(c.frameLen - 14), c.subtype);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 22), want);
        EXPECT_TRUE(AllZero(f, 22, len));
        EXPECT_EQ(0, std::memcmp(dst, kDev, 6)) << "an ordinary start frame keeps the device address";
    }
}

TEST(FwFrameLayout, FileDataFramesPadToSixtyBytesAndCarryLittleEndianFields) {
    struct Case {
        uint16_t count;
        uint16_t ethLen;
    } cases[] = {{1, 46}, {5, 46}, {8, 46}, {9, 47}, {1024, 1062}};
    for (const auto& c : cases) {
        uint8_t buf[kFrameBufferSize] = {};
        Bytes payload = Pattern(c.count, c.count);
        std::memcpy(buf + 52, payload.data(), payload.size());
        size_t len = FinishFileDataFrame(buf, kHost, kDev, nullptr, 0x0302, c.count);
        ASSERT_EQ(len, size_t{14} + c.ethLen) << "count " << c.count;
        Bytes f(buf, buf + len);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 22), Header(kDev, kHost, c.ethLen, 0x03));
        EXPECT_EQ(f[22], 0x02);
        EXPECT_EQ(f[23], 0x03);
        EXPECT_EQ(Le16(f, 24), c.count);
        EXPECT_TRUE(AllZero(f, 26, 52));
        EXPECT_EQ(FilePayload(f), payload);
        EXPECT_TRUE(AllZero(f, 52u + c.count, len));
    }
    uint8_t buf[kFrameBufferSize] = {};
    EXPECT_EQ(0u, FinishFileDataFrame(buf, kHost, kDev, nullptr, 1, 1025))
        << "more than 1024 bytes do not fit a frame";
}

TEST(FwFrameLayout, LoaderFramesAreAlwaysTheFullLoaderLength) {
    for (uint16_t frameLen : {uint16_t{222}, uint16_t{990}}) {
        for (uint16_t count : {uint16_t{17}, static_cast<uint16_t>(frameLen - 14)}) {
            uint8_t buf[kFrameBufferSize] = {};
            Bytes payload = Pattern(count, 7);
            std::memcpy(buf + 28, payload.data(), count);
            size_t len = FinishLoaderDataFrame(buf, kHost, kDev, nullptr, 5, count, frameLen);
            ASSERT_EQ(len, size_t{14} + frameLen);
            Bytes f(buf, buf + len);
            EXPECT_EQ(Bytes(f.begin(), f.begin() + 22), Header(kDev, kHost, frameLen, 0x03));
            EXPECT_EQ(Le16(f, 22), 5);
            EXPECT_EQ(Le16(f, 24), count);
            EXPECT_TRUE(AllZero(f, 26, 28));
            EXPECT_EQ(Bytes(f.begin() + 28, f.begin() + 28 + count), payload);
            EXPECT_TRUE(AllZero(f, 28u + count, len)) << "zeros after a short last piece";
        }
        uint8_t buf[kFrameBufferSize] = {};
        EXPECT_EQ(0u, FinishLoaderDataFrame(buf, kHost, kDev, nullptr, 1,
                                            static_cast<uint16_t>(frameLen - 13), frameLen));
    }
}

TEST(FwFrameLayout, ChunkInformationAndEntryPointFrames) {
    const uint8_t info[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (uint8_t subtype : {uint8_t{0x0E}, uint8_t{0x10}}) {
        uint8_t buf[kFrameBufferSize] = {};
        size_t len = BuildInfoFrame(buf, kHost, kDev, nullptr, subtype, info, 4);
        ASSERT_EQ(len, 60u);
        Bytes f(buf, buf + len);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 22), Header(kDev, kHost, 46, subtype));
        EXPECT_EQ(Le16(f, 22), 0) << "no sequence number";
        EXPECT_EQ(Le16(f, 24), 4);
        EXPECT_TRUE(AllZero(f, 26, 52));
        EXPECT_EQ(Bytes(f.begin() + 52, f.begin() + 56), Bytes(info, info + 4));
        EXPECT_TRUE(AllZero(f, 56, 60));
    }
    // Longer information grows the frame past the minimum.
    Bytes big = Pattern(20);
    uint8_t buf[kFrameBufferSize] = {};
    EXPECT_EQ(BuildInfoFrame(buf, kHost, kDev, nullptr, 0x0E, big.data(), 20), 14u + 58u);
}

// The MAC-assigning start frame needs the state of a version 3 boot ROM with a
// non-zero subversion, which only an announcement sets.
TEST_F(FwFrames, MacAssigningStartFrameChoosesConfiguredThenRandomThenDefault) {
    BootRom announced{};
    auto announce = [&](uint16_t version, uint16_t subversion) {
        FwPeer dev;
        ASSERT_TRUE(dev.Inject(Announcement(kRomMbr, version, subversion, kChip)));
        uint8_t mac[6] = {};
        BOOLEAN newer = FALSE;
        ASSERT_EQ(L2FWSERVER_ERROR_NONE,
                  WaitEthLoaderAnnouncement(L(dev.port()), 1, mac, &newer, &announced));
        EXPECT_EQ(newer, version == 3 ? TRUE : FALSE);
        EXPECT_EQ(0, std::memcmp(mac, kDev, 6));
    };
    auto build = [&](uint16_t length, uint8_t* dst) {
        uint8_t buf[kFrameBufferSize] = {};
        std::memcpy(dst, kDev, 6);
        size_t len = BuildStartFrame(buf, kHost, dst, nullptr, length, announced, TestFirmware().settings);
        return Bytes(buf, buf + len);
    };

    announce(3, 1);
    ASSERT_EQ(announced.version, 3);
    ASSERT_EQ(announced.subversion, 1);
    uint8_t dst[6];
    // Neither a configured nor a random address: the default one.
    Bytes f = build(990, dst);
    ASSERT_EQ(f.size(), 1004u);
    const uint8_t bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t def[6] = {0x00, 0x13, 0x9D, 0x00, 0x05, 0x00};
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 22), Header(bcast, kHost, 990, 0x01));
    EXPECT_TRUE(AllZero(f, 22, 28));
    EXPECT_EQ(Bytes(f.begin() + 28, f.begin() + 36), Bytes(kChip, kChip + 8));
    EXPECT_EQ(Bytes(f.begin() + 36, f.begin() + 42), Bytes(def, def + 6));
    EXPECT_TRUE(AllZero(f, 42, 1004));
    EXPECT_EQ(0, std::memcmp(dst, def, 6)) << "the caller's device address becomes the assigned one";

    // Only the loader-length start frame assigns.
    f = build(222, dst);
    EXPECT_EQ(f.size(), 236u);
    EXPECT_EQ(0, std::memcmp(f.data(), kDev, 6));
    EXPECT_EQ(0, std::memcmp(dst, kDev, 6));

    // A configured address wins over the random pool; six zeros switch it off.
    const uint8_t rom[6] = {0x02, 0xAB, 0xCD, 0xEF, 0x01, 0x02};
    L2FwServerEthBootRomMACSet(rom);
    L2FwServerEthBootRandomMACSet();
    f = build(990, dst);
    EXPECT_EQ(Bytes(f.begin() + 36, f.begin() + 42), Bytes(rom, rom + 6));
    EXPECT_EQ(0, std::memcmp(dst, rom, 6));
    L2FwServerEthBootRomMACSet(nullptr);  // none changes nothing
    build(990, dst);
    EXPECT_EQ(0, std::memcmp(dst, rom, 6));
    const uint8_t zero[6] = {};
    L2FwServerEthBootRomMACSet(zero);
    f = build(990, dst);
    EXPECT_EQ(dst[0], 0x00);
    EXPECT_EQ(dst[1], 0x13);
    EXPECT_EQ(dst[2], 0x9D);
    EXPECT_EQ(dst[3], 0x01) << "random addresses come from the pool";
    EXPECT_EQ(0, std::memcmp(f.data() + 36, dst, 6));

    // Subversion 0: an ordinary start frame to the device's own address.
    announce(3, 0);
    f = build(990, dst);
    EXPECT_EQ(0, std::memcmp(f.data(), kDev, 6));
    EXPECT_TRUE(AllZero(f, 22, 1004));
    EXPECT_EQ(0, std::memcmp(dst, kDev, 6));
}

// ---------------------------------------------------------------------------
// Receiving

TEST_F(FwFrames, ReceiveSkipsFramesThatDoNotMatchAndRemovesTags) {
    FwPeer dev;
    Bytes wrongSnap = DeviceFrame(0x02);
    wrongSnap[19] = 0x9E;
    Bytes wrongType = DeviceFrame(0x02);
    wrongType[20] = 0x0C;
    Bytes tooShort = DeviceFrame(0x02, kDev, 31);
    ASSERT_TRUE(dev.Inject(wrongSnap));
    ASSERT_TRUE(dev.Inject(wrongType));
    ASSERT_TRUE(dev.Inject(DeviceFrame(0x02, kOther)));
    ASSERT_TRUE(dev.Inject(DeviceFrame(0x07)));
    ASSERT_TRUE(dev.Inject(tooShort));
    // The match: tagged with VLAN 100 on the wire, handed over untagged.
    Bytes match = DeviceFrame(0x02);
    match[40] = 0x42;
    Bytes tagged(match.begin(), match.begin() + 12);
    for (uint8_t x : {0x81, 0x00, 0x00, 0x64}) tagged.push_back(x);
    tagged.insert(tagged.end(), match.begin() + 12, match.end());
    ASSERT_TRUE(dev.Inject(tagged));

    FrameView got;
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x02, 500, kDev, &got));
    ASSERT_TRUE(got.eth.tag.has_value());
    EXPECT_EQ(got.eth.tag->vid(), 100);
    EXPECT_EQ(Untagged(got), match);
    // Everything else was consumed and rejected: nothing more to receive.
    EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, ReceivePacket(L(dev.port()), 0x02, 50, nullptr, nullptr));

    // Any source is taken when none is named.
    ASSERT_TRUE(dev.Inject(DeviceFrame(0x02, kOther)));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x02, 500, nullptr, nullptr));
}

TEST_F(FwFrames, ReceiveNeverReadsFieldsPastAShortFrame) {
    FwPeer dev;
    // Announcements need 48 bytes, data acknowledgements 24: shorter ones are skipped.
    Bytes shortAnn = Announcement(kZeroMbr, 0, 0, nullptr);
    shortAnn.resize(47);
    ASSERT_TRUE(dev.Inject(shortAnn));
    EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, ReceivePacket(L(dev.port()), 0x00, 100, nullptr, nullptr));
    shortAnn.resize(48);
    ASSERT_TRUE(dev.Inject(shortAnn));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x00, 500, nullptr, nullptr));

    // A tagged 32-byte read is a 28-byte frame: long enough for an acknowledgement.
    Bytes ack = DataAck(9);
    ack.resize(28);
    Bytes tagged(ack.begin(), ack.begin() + 12);
    for (uint8_t x : {0x81, 0x00, 0x00, 0x05}) tagged.push_back(x);
    tagged.insert(tagged.end(), ack.begin() + 12, ack.end());
    ASSERT_EQ(tagged.size(), 32u);
    ASSERT_TRUE(dev.Inject(tagged));
    FrameView got;
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x04, 500, nullptr, &got));
    EXPECT_EQ(Untagged(got), ack);

    // With a chip filter, a frame without the six bytes at 40..45 cannot match.
    const uint8_t chip[6] = {0, 0, 0, 0, 0, 0};
    L2FwServerEthBootChipIdSet(chip);
    Bytes start = DeviceFrame(0x02, kDev, 45);
    ASSERT_TRUE(dev.Inject(start));
    EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, ReceivePacket(L(dev.port()), 0x02, 100, nullptr, nullptr));
    ASSERT_TRUE(dev.Inject(DeviceFrame(0x02, kDev, 46)));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x02, 500, nullptr, nullptr));
}

TEST_F(FwFrames, ChipFilterKeepsItsOwnCopyOfTheIdentifier) {
    FwPeer dev;
    {
        auto chip = std::make_unique<uint8_t[]>(6);
        std::memcpy(chip.get(), kChip, 6);
        L2FwServerEthBootChipIdSet(chip.get());
        std::memset(chip.get(), 0xEE, 6);  // the caller reuses, then frees its buffer
    }
    Bytes other = Announcement(kRomMbr, 3, 0, kChip);
    other[45] ^= 1;
    ASSERT_TRUE(dev.Inject(other));
    ASSERT_TRUE(dev.Inject(Announcement(kRomMbr, 3, 0, kChip)));
    FrameView got;
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x00, 500, nullptr, &got));
    EXPECT_EQ(Untagged(got)[45], kChip[5]);
    L2FwServerEthBootChipIdSet(nullptr);
    ASSERT_TRUE(dev.Inject(other));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, ReceivePacket(L(dev.port()), 0x00, 500, nullptr, nullptr))
        << "cleared filter accepts any chip";
}

TEST_F(FwFrames, ReceiveLimitCoversAllRejectedFrames) {
    // A device that keeps sending frames of another kind cannot stretch the wait.
    std::atomic<bool> stop{false};
    FwPeer dev;
    std::thread noise([&] {
        while (!stop) {
            ASSERT_TRUE(dev.Inject(DeviceFrame(0x07)));
            std::this_thread::sleep_for(5ms);
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, ReceivePacket(L(dev.port()), 0x02, 300, nullptr, nullptr));
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    stop = true;
    noise.join();
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 2000);
}

TEST_F(FwFrames, AnnouncementsAreClassifiedByTheirMagicAndVersion) {
    FwPeer dev;
    uint8_t mac[6] = {};
    BOOLEAN newer = TRUE;
    // A file request must come from running firmware.
    ASSERT_TRUE(dev.Inject(Announcement(kRomMbr, 3, 0, kChip)));
    EXPECT_EQ(L2FWSERVER_ERROR_ROOM_BOOT, WaitFileRequestAnnouncement(L(dev.port()), 1, nullptr, mac));
    ASSERT_TRUE(dev.Inject(Announcement(kZeroMbr, 0, 0, nullptr, kOther)));
    ASSERT_TRUE(dev.Inject(Announcement(kZeroMbr, 0, 0, nullptr)));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, WaitFileRequestAnnouncement(L(dev.port()), 1, kDev, mac));
    EXPECT_EQ(0, std::memcmp(mac, kDev, 6)) << "the request of the other device was passed over";

    // A boot-ROM announcement needs the magic word and a known version.
    ASSERT_TRUE(dev.Inject(Announcement(kZeroMbr, 3, 0, kChip)));
    EXPECT_EQ(L2FWSERVER_ERROR_MAGIC_WORD, WaitEthLoaderAnnouncement(L(dev.port()), 1, mac, &newer));
    ASSERT_TRUE(dev.Inject(Announcement(kRomMbr, 4, 9, kChip)));
    BootRom rom{};
    EXPECT_EQ(L2FWSERVER_ERROR_ROM_VERSION, WaitEthLoaderAnnouncement(L(dev.port()), 1, mac, &newer, &rom));
    EXPECT_EQ(rom.version, 4) << "the announcement's values are told even when refused";
    EXPECT_EQ(rom.subversion, 9);
    ASSERT_TRUE(dev.Inject(Announcement(kRomMbr, 3, 0, kChip)));
    EXPECT_EQ(L2FWSERVER_ERROR_ROM_VERSION, WaitEthLoaderAnnouncement(L(dev.port()), 1, mac, nullptr));
    std::memset(mac, 0, 6);
    ASSERT_TRUE(dev.Inject(Announcement(kRomMbr, 2, 0, kChip)));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, WaitEthLoaderAnnouncement(L(dev.port()), 1, mac, &newer));
    EXPECT_EQ(newer, FALSE);
    EXPECT_EQ(0, std::memcmp(mac, kDev, 6));
    EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, WaitEthLoaderAnnouncement(L(dev.port()), 0, mac, &newer));
}

// ---------------------------------------------------------------------------
// Sending

TEST_F(FwFrames, VlanTagIsInsertedAfterTheAddresses) {
    FwPeer dev;
    // A start frame as the settings of the moment make it.
    auto send = [&] {
        uint8_t frame[kFrameBufferSize] = {};
        size_t len = BuildControlFrame(frame, kHost, kDev, L(dev.port()).tag(), 0x01, 46);
        return SendPacket(L(dev.port()), frame, len);
    };
    uint8_t frame[kFrameBufferSize] = {};
    Bytes plain(frame, frame + BuildControlFrame(frame, kHost, kDev, nullptr, 0x01, 46));

    ASSERT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerVLANConfigure(TRUE, 100, 0));
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, send());
    // Out-of-range settings are refused and leave the tag as it was.
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, L2FwServerVLANConfigure(TRUE, 4095, 0));
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, L2FwServerVLANConfigure(TRUE, 100, 8));
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, send());
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerVLANConfigure(TRUE, 100, 5));
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, send());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerVLANConfigure(FALSE, 5000, 9));
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, send());

    std::vector<Bytes> got;
    for (int i = 0; i < 200 && got.size() < 4; ++i) {
        got = dev.Frames();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(got.size(), 4u);
    auto tagged = [&](uint8_t hi, uint8_t lo) {
        Bytes t(plain.begin(), plain.begin() + 12);
        for (uint8_t x : {uint8_t{0x81}, uint8_t{0x00}, hi, lo}) t.push_back(x);
        t.insert(t.end(), plain.begin() + 12, plain.end());
        return t;
    };
    EXPECT_EQ(got[0], tagged(0x00, 0x64));
    EXPECT_EQ(got[0].size(), 64u);
    EXPECT_EQ(got[1], tagged(0x00, 0x64));
    EXPECT_EQ(got[2], tagged(0xA0, 0x64));
    EXPECT_EQ(got[3], plain);
}

TEST_F(FwFrames, ControlFrameIsSentFourTimesAtMost) {
    {
        FwPeer silent;
        uint8_t dst[6];
        std::memcpy(dst, kDev, 6);
        EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, SendStartFrame(L(silent.port()), dst, 46));
        EXPECT_EQ(silent.WaitFrames(0x01, 4).size(), 4u);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(silent.Frames(0x01).size(), 4u) << "no fifth send";
    }
    {
        // Answered on the third send, but the first answers come from another device
        // or are of the wrong kind.
        FwPeer dev([](const Bytes& f, size_t i) -> std::vector<Bytes> {
            if (i == 0) return {DeviceFrame(0x07, kDev)};
            if (i == 1) return {DeviceFrame(0x0F, kOther)};
            return FwAckAll(f, i);
        });
        const uint8_t info[4] = {1, 2, 3, 4};
        EXPECT_EQ(L2FWSERVER_ERROR_NONE, SendChunkInfoFrame(L(dev.port()), kDev, info, 4));
        EXPECT_EQ(dev.Frames(0x0E).size(), 3u);
    }
    {
        // The retransmission limit is in milliseconds: four tries of 40 ms.
        L2FwServerUpgradeRetransmissionTimeoutSet(40);
        FwPeer silent;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT, SendEndFrame(L(silent.port()), kDev, 46));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                      .count();
        EXPECT_GE(ms, 150);
        EXPECT_LT(ms, 1500);
    }
}

TEST_F(FwFrames, AcknowledgementMatchingIgnoresStaleAndForeignAcks) {
    FwPeer dev;
    ASSERT_TRUE(dev.Inject(DataAck(6)));
    ASSERT_TRUE(dev.Inject(DataAck(7, kOther)));
    ASSERT_TRUE(dev.Inject(DataAck(7)));
    EXPECT_TRUE(WaitForCorrectAck(L(dev.port()), kDev, 7, 500));
    EXPECT_FALSE(WaitForCorrectAck(L(dev.port()), kDev, 8, 50));
}

TEST_F(FwFrames, StaleAcknowledgementStretchesTheWait) {
    // The correct acknowledgement comes 1.2 s into a 1 s wait: too late on its own,
    // but taken when a stale one at 0.4 s started a fresh receive.
    for (bool stale : {false, true}) {
        FwPeer dev;
        std::thread late([&] {
            std::this_thread::sleep_for(400ms);
            if (stale) dev.Inject(DataAck(2));
            std::this_thread::sleep_for(800ms);
            ASSERT_TRUE(dev.Inject(DataAck(3)));
        });
        bool acked = WaitForCorrectAck(L(dev.port()), kDev, 3, 1000);
        late.join();
        EXPECT_EQ(acked, stale) << (stale ? "with" : "without") << " a stale acknowledgement";
    }
}

// ---------------------------------------------------------------------------
// Data loops

TEST_F(FwFrames, LateResendsOfLaterFramesUseTheLongerLimits) {
    // Frame 2 is acknowledged 450 ms after its first send: the three resends at the
    // 60 ms base limit miss it, the fourth send's wait (1 s) takes it.
    std::atomic<int64_t> firstSend{0};
    FwPeer dev([&](const Bytes& f, size_t) -> std::vector<Bytes> {
        uint16_t seq = Le16(f, 22);
        if (f[21] != 0x03 || seq != 2) return FwAckAll(f, 0);
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        int64_t expected = 0;
        firstSend.compare_exchange_strong(expected, now);
        return {};
    });
    std::thread late([&] {
        while (firstSend.load() == 0) std::this_thread::sleep_for(2ms);
        std::this_thread::sleep_for(450ms);
        ASSERT_TRUE(dev.Inject(DataAck(2)));
    });
    FILE* f = TempFileWith(Pattern(2048));
    Progress progress;
    EXPECT_EQ(L2FWSERVER_ERROR_NONE,
              SendFile(Link(dev.port(), -1, &progress, TestFirmware().settings), kDev, f));
    late.join();
    std::fclose(f);
    auto frames = dev.Frames(0x03);
    EXPECT_EQ(frames.size(), 5u) << "frame 1 once, frame 2 four times";
    EXPECT_EQ(progress.retransmissions.load(), 3u);
}

TEST_F(FwFrames, TestModesStopHalfway) {
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, L2FwServerTestModeSet(static_cast<t_l2fwserverTestMode>(3)));
    struct Case {
        t_l2fwserverTestMode mode;
        bool loader;
        t_l2fwserverErrorCode want;
        size_t frames;
    } cases[] = {
        {L2FWSERVER_TEST_MODE_ABORT_FILE, false, L2FWSERVER_ERROR_TEST_ABORT, 2},  // 2048 of 4096 bytes
        {L2FWSERVER_TEST_MODE_ABORT_FILE, true, L2FWSERVER_ERROR_NONE, 5},         // not the loader's mode
        {L2FWSERVER_TEST_MODE_ABORT_ETHLOADER, true, L2FWSERVER_ERROR_TEST_ABORT, 3},  // 624 of 1000 bytes
    };
    for (const auto& c : cases) {
        ASSERT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerTestModeSet(c.mode));
        FwPeer dev(FwAckAll);
        FILE* f = TempFileWith(Pattern(c.loader ? 1000 : 4096));
        EXPECT_EQ(c.want, c.loader ? SendEthLoaderFile(L(dev.port()), kDev, f, 222)
                                   : SendFile(L(dev.port()), kDev, f));
        std::fclose(f);
        EXPECT_EQ(dev.Frames(0x03).size(), c.frames);
    }
}

TEST_F(FwFrames, UnansweredLoaderFrameCountsItsFifthSend) {
    FwPeer silent;
    FILE* f = TempFileWith(Pattern(100));
    Progress progress;
    EXPECT_EQ(L2FWSERVER_ERROR_TIMEOUT,
              SendEthLoaderFile(Link(silent.port(), -1, &progress, TestFirmware().settings), kDev, f, 990));
    std::fclose(f);
    auto sent = silent.WaitFrames(0x03, 5);
    ASSERT_EQ(sent.size(), 5u);
    for (const auto& frame : sent) EXPECT_EQ(frame, sent[0]) << "resends repeat the frame";
    EXPECT_EQ(sent[0].size(), 1004u);
    EXPECT_EQ(progress.retransmissions.load(), 5u);
}

TEST_F(FwFrames, SequenceNumbersWrapAt16Bits) {
    FwPeer dev(FwAckAll);
    FILE* f = TempFileWith(Pattern(3000));
    INT16U sequence = 65535;
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, SendChunk(L(dev.port()), kDev, f, 3000, &sequence));
    std::fclose(f);
    auto frames = dev.Frames(0x03);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(Le16(frames[0], 22), 65535);
    EXPECT_EQ(Le16(frames[1], 22), 0);
    EXPECT_EQ(Le16(frames[2], 22), 1);
    EXPECT_EQ(sequence, 2);
}

TEST_F(FwFrames, FilesOf4GiBOrMoreAreRefused) {
    // Sparse: no disk space is used.
    FILE* f = std::tmpfile();
    ASSERT_EQ(0, ftruncate(fileno(f), 0x100000000LL));
    FwPeer dev(FwAckAll);
    EXPECT_EQ(L2FWSERVER_ERROR_READING_FILE, SendFile(L(dev.port()), kDev, f));
    EXPECT_EQ(L2FWSERVER_ERROR_READING_FILE, SendEthLoaderFile(L(dev.port()), kDev, f, 222));
    std::fclose(f);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(dev.Frames().empty());
}

// ---------------------------------------------------------------------------
// Chunked firmware file

namespace {

struct ChunkFile {
    Bytes bytes;
    ChunkFile() {
        bytes = Pattern(68, 5);
        for (uint8_t x : {0xAA, 0x55, 0xAA, 0x55}) bytes.push_back(x);
        Bytes skip = Pattern(8, 6);
        bytes.insert(bytes.end(), skip.begin(), skip.end());
    }
    ChunkFile& Record(std::initializer_list<uint8_t> info, std::initializer_list<uint8_t> offset,
                      const Bytes& data) {
        bytes.insert(bytes.end(), info);
        bytes.insert(bytes.end(), offset);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    ChunkFile& End(std::initializer_list<uint8_t> entry) {
        for (int i = 0; i < 4; ++i) bytes.push_back(0);
        bytes.insert(bytes.end(), entry);
        return *this;
    }
};

}  // namespace

TEST_F(FwFrames, MalformedChunkedFilesFailWithoutReadingPastTheFile) {
    struct Case {
        const char* what;
        Bytes file;
        t_l2fwserverErrorCode want;
        size_t framesSent;
    };
    std::vector<Case> cases;
    {
        ChunkFile c;
        c.bytes[71] = 0x56;
        c.Record({0x03, 0, 0, 0}, {0, 0, 0, 0}, Pattern(4)).End({1, 2, 3, 4});
        cases.push_back({"bad magic AA 55 AA 56", c.bytes, L2FWSERVER_ERROR_MAGIC_WORD, 0});
    }
    cases.push_back({"file shorter than its magic word", Pattern(70), L2FWSERVER_ERROR_MAGIC_WORD, 0});
    {
        ChunkFile c;
        c.Record({0x03, 0, 0, 0}, {0, 0, 0, 0}, Pattern(4));
        cases.push_back({"no terminator after the last chunk", c.bytes, L2FWSERVER_ERROR_READING_FILE, 2});
    }
    {
        ChunkFile c;
        c.Record({0x03, 0, 0, 0}, {0, 0, 0, 0}, Pattern(4)).End({});
        cases.push_back({"no entry point", c.bytes, L2FWSERVER_ERROR_READING_FILE, 2});
    }
    {
        ChunkFile c;
        c.Record({0x02, 0x02, 0, 0}, {0, 0, 0, 0}, Pattern(1500));
        cases.push_back({"chunk runs past the end of the file", c.bytes, L2FWSERVER_ERROR_READING_FILE, 3});
    }
    {
        ChunkFile c;
        c.Record({0x01, 0, 0, 0}, {0, 0, 0, 0}, {}).End({1, 2, 3, 4});
        cases.push_back({"word count 1 would wrap", c.bytes, L2FWSERVER_ERROR_READING_FILE, 0});
    }
    {
        ChunkFile c;
        c.Record({0x00, 0, 0, 0x80}, {0, 0, 0, 0}, {}).End({1, 2, 3, 4});
        cases.push_back(
            {"only bit 31 set: not a terminator, count 0", c.bytes, L2FWSERVER_ERROR_READING_FILE, 0});
    }
    {
        ChunkFile c;
        c.Record({0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}, Pattern(16)).End({1, 2, 3, 4});
        cases.push_back({"chunk above 4 GiB", c.bytes, L2FWSERVER_ERROR_READING_FILE, 0});
    }
    {
        ChunkFile c;
        for (uint8_t x : {0x03, 0x00, 0x00, 0x00, 0x01, 0x02}) c.bytes.push_back(x);  // offset_array cut
        cases.push_back({"record header cut short", c.bytes, L2FWSERVER_ERROR_READING_FILE, 0});
    }
    for (const auto& c : cases) {
        FwPeer dev(FwAckAll);
        FILE* f = TempFileWith(c.file);
        EXPECT_EQ(c.want, SendChunksFile(L(dev.port()), kDev, f)) << c.what;
        std::fclose(f);
        EXPECT_EQ(dev.Frames().size(), c.framesSent) << c.what;
    }
}

// ---------------------------------------------------------------------------
// Files and settings

TEST(FwFiles, OnlyRegularFilesAreOpened) {
    char dir[] = "/tmp/kivo-fw-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string regular = std::string(dir) + "/fw.bin";
    std::string fifo = std::string(dir) + "/fifo";
    FILE* w = std::fopen(regular.c_str(), "wb");
    ASSERT_NE(nullptr, w);
    std::fputs("image", w);
    std::fclose(w);
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));

    // A regular file passes the start's checks: the transfer fails later, on the interface.
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "kvt-none0", .file = regular}));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait());
    EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet());
    EXPECT_NE(L2FWSERVER_ERROR_OPENING_FILE, L2FwServerErrorGet());
    // A FIFO must not hang the start; devices and directories are not firmware. They end
    // the transfer before the start returns.
    for (const std::string& p :
         {fifo, std::string(dir), std::string("/dev/zero"), std::string(dir) + "/missing"}) {
        EXPECT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "kvt-none0", .file = p})) << p;
        EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet()) << p;
        EXPECT_EQ(L2FWSERVER_ERROR_OPENING_FILE, L2FwServerErrorGet()) << p;
    }
    unlink(regular.c_str());
    unlink(fifo.c_str());
    rmdir(dir);
}

TEST(FwControl, StartsWithoutNamesAreRefusedBeforeAnythingChanges) {
    t_l2fwserverState before = L2FwServerStateGet();
    t_l2fwserverErrorCode errBefore = L2FwServerErrorGet();
    const kivo::l2::Mac mac = {2, 0, 0, 0, 0, 1};
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, Start({.interfaceName = "eth0", .device = mac}));
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, Start({.file = "fw.bin", .device = mac}));
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, Start({.interfaceName = "eth0", .file = ""}));
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, Start({.interfaceName = "eth0", .loader = "loader.bin"}));
    EXPECT_EQ(L2FWSERVER_ERROR_BAD_ARGS, Start({.file = "fw.bin", .loader = "loader.bin"}));
    EXPECT_EQ(before, L2FwServerStateGet());
    EXPECT_EQ(errBefore, L2FwServerErrorGet());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait()) << "no thread was started";
}
