// Firmware upgrade end to end: the real kivohost driven through the UDP protocol (and
// the firmware server called in-process where error codes or settings matter), a
// simulated device in another namespace receiving the image.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fw_test_server.h"
#include "harness.h"
#include "harness_fw.h"
#include "kivo_client.h"
#include "l2fwserver.h"

using namespace kivotest;

namespace {

const char* kHostMac = "02:00:00:00:00:0a";
const char* kDevMac = "02:00:00:00:00:0b";
const char* kOtherMac = "02:00:00:00:00:0c";

std::string DeviceConfig(const std::string& name, const std::string& mac, const std::string& extra,
                         const std::string& role = "fw") {
    return "[device " + name + "]\nmac = " + mac + "\ninterface = eth1\nrole = " + role + "\n" + extra;
}

bool Refused(const std::optional<Bytes>& reply) {
    return reply && reply->size() == 4 && (*reply)[3] == 3;
}
bool Done(const std::optional<Bytes>& reply) {
    return reply && reply->size() == 4 && (*reply)[3] == 1;
}

// Settings touched by in-process tests, put back for the next test in this process.
struct DefaultSettings {
    ~DefaultSettings() {
        L2FwServerUpgradeRetransmissionTimeoutSet(500);
        L2FwServerUpgradeOsupTimeoutSet(20);
        L2FwServerUpgradeFlashEraseTimeoutSet(360);
        L2FwServerVLANConfigure(FALSE, 0, 0);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Through the request protocol

TEST(FwUpgrade, OneMebibyteImageArrivesByteForByte) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    Bytes image = PatternBytes(1u << 20, 5);
    TempFile fw(AsString(image));
    TempFile saved("");
    // A short flash erase keeps the device in the uploading state long enough to be seen.
    auto& sim = topo.StartDevsim(DeviceConfig(
        "dev1", kDevMac, "fw_save_image = " + saved.path() + "\nfw_log_data = no\nfw_erase_ms = 300\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    // A stop while nothing runs is lost: it does not cancel the next transfer.
    EXPECT_EQ(c.Request(4, 7, {}), (Bytes{4, 1, 0, 1}));
    ASSERT_TRUE(Done(c.Request(5, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    auto first = FwStatusGet(c);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, (FwStatus{1, 0, 0})) << "waiting for the device, nothing counted yet";

    // The waiting state counts from the poll above: the request may be taken before the
    // next poll is answered.
    std::vector<uint8_t> states = {first->state};
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(c, 60s, &states);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 0x00100000, 0x00100000}));
    EXPECT_EQ(states, (std::vector<uint8_t>{1, 2, 5}));
    // The raw reply: state 5, then 00 10 00 00 twice. Later polls keep answering it.
    for (uint8_t seq : {200, 201}) {
        auto reply = c.Request(seq, 8, {});
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, (Bytes{seq, 1, 0, 8, 5, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00}));
    }
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=1048576", 5s));
    EXPECT_EQ(ReadBinary(saved.path()), image);
    EXPECT_EQ(sim.CountInLog("fw rx end"), 1);
    EXPECT_EQ(sim.CountInLog("fw rx start"), 1);
}

TEST(FwUpgrade, SmallImagesFrameByFrame) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile saved("");
    TempFile capture("");
    auto& sim = topo.StartDevsim(DeviceConfig(
        "dev1", kDevMac, "fw_save_image = " + saved.path() + "\nfw_capture = " + capture.path() + "\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    // 2049 bytes: frames of 1024, 1024 and 1 byte, numbered 1 to 3.
    Bytes image = PatternBytes(2049, 8);
    TempFile fw(AsString(image));
    ASSERT_TRUE(Done(c.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 2049, 2049}));
    EXPECT_EQ(sim.CountInLog("fw rx data seq=1 count=1024 len=1076"), 1);
    EXPECT_EQ(sim.CountInLog("fw rx data seq=2 count=1024 len=1076"), 1);
    EXPECT_EQ(sim.CountInLog("fw rx data seq=3 count=1 len=60"), 1);
    EXPECT_EQ(sim.CountInLog("fw rx data"), 3);
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=2049"));
    EXPECT_EQ(ReadBinary(saved.path()), image);

    // An empty image after it: refused at the start, not even a start frame goes out,
    // although the device asks.
    TempFile empty("");
    std::vector<Bytes> before = ReadCapture(capture.path());
    ASSERT_TRUE(Done(c.Request(2, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), empty.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final);
    EXPECT_EQ(*final, (FwStatus{6, 0, 0}));
    ASSERT_TRUE(sim.WaitForLog("fw tx file request"));
    EXPECT_EQ(ReadCapture(capture.path()).size(), before.size());
    EXPECT_EQ(ReadBinary(saved.path()), image) << "the last image stays the device's";
}

TEST(FwUpgrade, StartsWhileRunningAreRefusedAndLeaveTheTransferAlone) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    Bytes image = PatternBytes(64 * 1024, 9);
    TempFile fw(AsString(image));
    TempFile otherFw(AsString(PatternBytes(1000, 10)));
    TempFile saved("");
    TempFile capture("");
    auto& sim =
        topo.StartDevsim(DeviceConfig("dev1", kDevMac,
                                      "fw_save_image = " + saved.path() + "\nfw_capture = " + capture.path() +
                                          "\nfw_erase_ms = 1500\nfw_log_data = no\n"));
    auto& host = topo.StartKivohost();
    auto& c = topo.client();

    // No file name at all (F = 0): refused, nothing starts.
    EXPECT_TRUE(Refused(c.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), ""))));
    EXPECT_EQ(FwStatusGet(c)->state, 0);

    ASSERT_TRUE(Done(c.Request(2, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    ASSERT_TRUE(sim.WaitForLog("fw erasing flash", 10s));
    // A second start, on another VLAN with another image: refused, and the running
    // transfer keeps its image and stays untagged.
    EXPECT_TRUE(Refused(c.Request(3, 6, FwStartBody("eth1", 100, ParseMac(kDevMac), otherFw.path()))));
    EXPECT_TRUE(
        Refused(c.Request(4, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), otherFw.path(), fw.path()))));
    auto during = FwStatusGet(c);
    ASSERT_TRUE(during);
    EXPECT_EQ(during->state, 2);
    EXPECT_EQ(during->total, image.size());

    auto final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final);
    EXPECT_EQ(*final, (FwStatus{5, 65536, 65536}));
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=65536"));
    EXPECT_EQ(ReadBinary(saved.path()), image);
    // Both refusals were for the running transfer, and it stayed untagged.
    EXPECT_EQ(host.CountInLog("failed: busy"), 2);
    for (const Bytes& f : ReadCapture(capture.path())) EXPECT_FALSE(f[12] == 0x81 && f[13] == 0x00);
}

TEST(FwUpgrade, StopDuringDataEndsWithoutEndFrame) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile fw(AsString(PatternBytes(256 * 1024, 11)));
    auto& sim = topo.StartDevsim(DeviceConfig("dev1", kDevMac, "fw_erase_ms = 800\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    ASSERT_TRUE(Done(c.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    ASSERT_TRUE(sim.WaitForLog("fw erasing flash", 10s));
    EXPECT_EQ(c.Request(2, 7, {}), (Bytes{2, 1, 0, 1}));
    auto final = FwPollUntilFinal(c, 10s);
    ASSERT_TRUE(final);
    // The stop takes effect before the next data frame: the resend of frame 1, or
    // frame 2 if the erase was over by then.
    EXPECT_EQ(final->state, 6);
    EXPECT_EQ(final->total, 256u * 1024u);
    EXPECT_LE(final->uploaded, 1024u);
    std::this_thread::sleep_for(300ms);  // anything still to come would arrive by now
    EXPECT_EQ(sim.CountInLog("fw rx data seq=2"), 0);
    EXPECT_EQ(sim.CountInLog("fw rx end"), 0);
}

// A flash erase may keep the device silent for minutes; a stop does not wait for it.
TEST(FwUpgrade, StopEndsALongAcknowledgementWait) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile fw(AsString(PatternBytes(8000, 13)));
    auto& sim = topo.StartDevsim(DeviceConfig("dev1", kDevMac, "fw_erase_ms = 300000\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    ASSERT_TRUE(Done(c.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    // The resend after 500 ms is ignored too: the host is in its 360 s wait now.
    ASSERT_TRUE(sim.WaitForLog("fw busy, resend ignored seq=1", 10s)) << sim.Log();
    EXPECT_EQ(c.Request(2, 7, {}), (Bytes{2, 1, 0, 1}));
    auto final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final) << "the stop waited for the acknowledgement";
    EXPECT_EQ(*final, (FwStatus{6, 0, 8000}));
    auto detail = c.Request(3, 0xF0, {});
    ASSERT_TRUE(detail);
    auto parsed = kivo::client::ParseFailureDetail(*detail);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->firmware.code, 15) << parsed->firmware.text;  // cancelled
    EXPECT_NE(parsed->firmware.text.find("at byte 0 of firmware file " + fw.path()), std::string::npos)
        << parsed->firmware.text;
    EXPECT_EQ(sim.CountInLog("fw rx end"), 0);
}

// A 0-byte file would "succeed" with nothing sent: refused at the start, before any
// device is waited for, whichever file of an Ethernet boot it is.
TEST(FwUpgrade, EmptyFilesAreRefusedWithTheirReason) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile empty("");
    TempFile loader(AsString(PatternBytes(500, 14)));
    ChunkedImage image;
    image.records.push_back({{0x04, 0, 0, 0}, {0, 0, 0, 0}, PatternBytes(8, 15)});
    TempFile chunked(AsString(image.File()));
    topo.StartDevsim(DeviceConfig("dev1", kDevMac, ""));
    topo.StartKivohost();
    auto& c = topo.client();

    struct Case {
        std::string fw, loader, named;
    };
    const Case cases[] = {{empty.path(), "", empty.path()},
                          {chunked.path(), empty.path(), empty.path()},
                          {empty.path(), loader.path(), empty.path()}};
    uint8_t seq = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.fw + " / " + k.loader);
        ASSERT_TRUE(Done(c.Request(++seq, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), k.fw, k.loader))));
        auto status = FwStatusGet(c, ++seq);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, (FwStatus{6, 0, 0})) << "ended before the start was answered";
        auto detail = c.Request(++seq, 0xF0, {});
        ASSERT_TRUE(detail);
        auto parsed = kivo::client::ParseFailureDetail(*detail);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->firmware.code, 22) << parsed->firmware.text;  // file empty
        EXPECT_NE(parsed->firmware.text.find(k.named), std::string::npos) << parsed->firmware.text;
    }
}

TEST(FwUpgrade, FirstAcknowledgementTenSecondsLateIsTakenDuringTheLongWait) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    Bytes image = PatternBytes(3000, 12);
    TempFile fw(AsString(image));
    TempFile saved("");
    auto& sim = topo.StartDevsim(
        DeviceConfig("dev1", kDevMac, "fw_erase_ms = 10000\nfw_save_image = " + saved.path() + "\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    ASSERT_TRUE(Done(c.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(c, 40s, nullptr, 100ms);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 3000, 3000}));
    // Sent after 500 ms once more, then the long wait caught the acknowledgement.
    EXPECT_EQ(sim.CountInLog("fw rx data seq=1 "), 2);
    EXPECT_EQ(sim.CountInLog("fw busy, resend ignored seq=1"), 1);
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete"));
    EXPECT_EQ(ReadBinary(saved.path()), image);
}

TEST(FwUpgrade, OnlyTheNamedDeviceIsServed) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    Bytes image = PatternBytes(5000, 13);
    TempFile fw(AsString(image));
    TempFile saved("");
    auto& sim = topo.StartDevsim(
        DeviceConfig("dev1", kDevMac, "fw_save_image = " + saved.path() + "\n") +
        DeviceConfig("dev2", kOtherMac, "fw_request_at_start = yes\nfw_request_period_ms = 50\n"));
    topo.StartKivohost();
    auto& c = topo.client();

    ASSERT_TRUE(Done(c.Request(1, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), fw.path()))));
    // dev2 keeps asking; the host waits for dev1 only.
    int asked = sim.CountInLog("dev2: fw tx file request");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sim.CountInLog("dev2: fw tx file request") < asked + 5 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(FwStatusGet(c)->state, 1);
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final);
    EXPECT_EQ(*final, (FwStatus{5, 5000, 5000}));
    ASSERT_TRUE(sim.WaitForLog("dev1: fw upgrade complete"));
    EXPECT_EQ(ReadBinary(saved.path()), image);
    EXPECT_EQ(sim.CountInLog("dev2: fw rx"), 0);
}

TEST(FwUpgrade, VlanTaggedBothWays) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    Bytes image = PatternBytes(3000, 14);
    TempFile fw(AsString(image));
    TempFile saved("");
    TempFile capture("");
    // The device sits on VLAN 100 and tags everything it sends.
    auto& sim = topo.StartDevsim(DeviceConfig(
        "dev1", kDevMac,
        "vlan_tci = 100\nfw_save_image = " + saved.path() + "\nfw_capture = " + capture.path() + "\n"));
    auto& host = topo.StartKivohost();
    auto& c = topo.client();
    ASSERT_TRUE(Done(c.Request(1, 6, FwStartBody("eth1", 0xF064, ParseMac(kDevMac), fw.path()))));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 3000, 3000}));
    EXPECT_TRUE(host.WaitForLog("VLAN 100\n", 1s)) << "the upper four bits of the VLAN field are ignored";
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete"));
    EXPECT_EQ(ReadBinary(saved.path()), image);
    auto frames = ReadCapture(capture.path());
    ASSERT_EQ(frames.size(), 5u) << "start, three data frames, end";
    for (const Bytes& f : frames) {
        ASSERT_GE(f.size(), 64u);
        EXPECT_EQ(Bytes(f.begin() + 12, f.begin() + 16), (Bytes{0x81, 0x00, 0x00, 0x64}));
    }
    EXPECT_EQ(frames[0].size(), 64u) << "a 60-byte start frame grows by the tag";
}

// ---------------------------------------------------------------------------
// In-process: error codes and shortened time limits

TEST(FwUpgradeInProcess, FiveUnacknowledgedSendsTimeOut) {
    KIVO_REQUIRE_ROOT();
    DefaultSettings restore;
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile fw(AsString(PatternBytes(4000, 15)));
    auto& sim = topo.StartDevsim(DeviceConfig("dev1", kDevMac, "fw_drop_ack_seq = 2\n"));
    NsGuard g(topo.host());
    L2FwServerUpgradeRetransmissionTimeoutSet(50);
    L2FwServerUpgradeOsupTimeoutSet(1);
    const Mac dev = ParseMac(kDevMac);
    ASSERT_EQ(L2FWSERVER_ERROR_NONE,
              Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 10, .device = dev}));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    EXPECT_EQ(FwWaitFinal(20s), L2FWSERVER_STATE_ERROR);
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_TIMEOUT);
    EXPECT_EQ(L2FwServerRetransmissionsGet(), 4u);
    EXPECT_EQ(L2FwServerUploadedBytesGet(), 1024u);
    // The reason says where the device went quiet.
    const kivo::Status why = L2FwServerLastFailure();
    EXPECT_EQ(why.reason, kivo::Reason::kAckMissing);
    EXPECT_NE(why.text.find("after 4 retries at byte 1024 of firmware file " + fw.path()), std::string::npos)
        << why.text;
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(sim.CountInLog("fw drop ack seq=2"), 5);
    EXPECT_EQ(sim.CountInLog("fw rx end"), 0);
}

// A device asking on another interface of the host cannot be served through the one
// named (the start frame would go out where it is not): its requests are passed over.
TEST(FwUpgradeInProcess, RequestsOnOtherInterfacesArePassedOver) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    topo.Link("eth2", "eth2", "02:00:00:00:00:1a", kOtherMac);
    TempFile fw(AsString(PatternBytes(3000, 21)));
    std::string other =
        DeviceConfig("dev2", kOtherMac, "fw_request_at_start = yes\nfw_request_period_ms = 50\n");
    other.replace(other.find("eth1"), 4, "eth2");
    auto& sim = topo.StartDevsim(DeviceConfig("dev1", kDevMac, "") + other);
    NsGuard g(topo.host());
    ASSERT_EQ(L2FWSERVER_ERROR_NONE,
              Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 10}));
    int asked = sim.CountInLog("dev2: fw tx file request");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sim.CountInLog("dev2: fw tx file request") < asked + 5 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(L2FwServerStateGet(), L2FWSERVER_STATE_WAITING);
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    EXPECT_EQ(FwWaitFinal(20s), L2FWSERVER_STATE_SUCCESSFUL) << sim.Log();
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_TRUE(sim.WaitForLog("dev1: fw upgrade complete bytes=3000"));
    EXPECT_EQ(sim.CountInLog("dev2: fw rx start"), 0);
}

// Nobody asks, and the announcement wait would last minutes: a stop ends it, from
// another thread, without a frame being sent.
TEST(FwUpgradeInProcess, StopEndsTheAnnouncementWaits) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile fw(AsString(PatternBytes(100, 16)));
    TempFile chunked(AsString(ChunkedImage{}.File()));
    TempFile capture("");
    auto& sim = topo.StartDevsim(DeviceConfig("dev1", kDevMac, "fw_capture = " + capture.path() + "\n"));
    NsGuard g(topo.host());
    for (bool ethBoot : {false, true}) {
        SCOPED_TRACE(ethBoot ? "Ethernet boot" : "upgrade");
        ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                                .file = ethBoot ? chunked.path() : fw.path(),
                                                .loader = ethBoot ? fw.path() : "",
                                                .announcementTimeout = 600}));
        EXPECT_EQ(L2FwServerStateGet(), L2FWSERVER_STATE_WAITING);
        std::thread([] { L2FwServerStop(); }).join();
        EXPECT_EQ(FwWaitFinal(30s), L2FWSERVER_STATE_ERROR) << "the stop waited for the announcement";
        EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_CANCELLED);
        const kivo::Status why = L2FwServerLastFailure();
        EXPECT_EQ(why.reason, kivo::Reason::kCancelled) << why.text;
        EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    }
    EXPECT_TRUE(ReadCapture(capture.path()).empty()) << sim.Log();
}

TEST(FwUpgradeInProcess, BootRomDeviceCannotBeUpgraded) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile fw(AsString(PatternBytes(100, 17)));
    topo.StartDevsim(DeviceConfig("rom1", kDevMac,
                                  "announce_period_ms = 100\nrom_version = 3\nchip_id = 0102030405060708\n",
                                  "bootrom"));
    NsGuard g(topo.host());
    const Mac dev = ParseMac(kDevMac);
    for (const std::optional<Mac>& mac : {std::optional<Mac>(), std::optional<Mac>(dev)}) {
        ASSERT_EQ(
            L2FWSERVER_ERROR_NONE,
            Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 5, .device = mac}));
        EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
        EXPECT_EQ(L2FwServerStateGet(), L2FWSERVER_STATE_ERROR);
        EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_ROOM_BOOT);
    }
}

// Status is read from another thread throughout a transfer (the TSan build checks the
// sharing); a new start after a failure clears the error; two waits after the end.
TEST(FwUpgradeInProcess, StatusPolledDuringATransfer) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    Bytes image = PatternBytes(512 * 1024, 18);
    TempFile fw(AsString(image));
    TempFile saved("");
    auto& sim = topo.StartDevsim(
        DeviceConfig("dev1", kDevMac, "fw_save_image = " + saved.path() + "\nfw_log_data = no\n"));
    NsGuard g(topo.host());
    const Mac dev = ParseMac(kDevMac);

    // A failed operation first: nobody asks within a second.
    ASSERT_EQ(L2FWSERVER_ERROR_NONE,
              Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 1, .device = dev}));
    ASSERT_EQ(FwWaitFinal(10s), L2FWSERVER_STATE_ERROR);
    ASSERT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_TIMEOUT);

    ASSERT_EQ(L2FWSERVER_ERROR_NONE,
              Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 10, .device = dev}));
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(L2FwServerUploadedBytesGet(), 0u);
    EXPECT_EQ(L2FwServerTotalBytesGet(), 0u);
    EXPECT_EQ(L2FwServerStateGet(), L2FWSERVER_STATE_WAITING);

    std::atomic<bool> stop{false};
    std::atomic<int> polls{0};
    std::atomic<bool> sawUploading{false};
    std::atomic<bool> consistent{true};
    std::thread poller([&] {
        while (!stop) {
            t_l2fwserverState s = L2FwServerStateGet();
            INT32U sent = L2FwServerUploadedBytesGet();
            INT32U total = L2FwServerTotalBytesGet();
            L2FwServerRetransmissionsGet();
            L2FwServerErrorGet();
            if (s == L2FWSERVER_STATE_UPLOADING) sawUploading = true;
            if (sent > image.size() || total > image.size()) consistent = false;
            ++polls;
        }
    });
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    EXPECT_EQ(FwWaitFinal(60s), L2FWSERVER_STATE_SUCCESSFUL);
    stop = true;
    poller.join();
    EXPECT_TRUE(sawUploading);
    EXPECT_TRUE(consistent);
    EXPECT_GT(polls.load(), 10);
    EXPECT_EQ(L2FwServerUploadedBytesGet(), image.size());

    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "the second wait returns at once";
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete"));
    EXPECT_EQ(ReadBinary(saved.path()), image);
}

TEST(FwUpgradeInProcess, HundredOperationsLeakNoThreadOrDescriptor) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    TempFile fw(AsString(PatternBytes(100, 19)));
    NsGuard g(topo.host());
    // Each operation opens the image and a port, finds nobody asking within 0 s and
    // fails; the next start reclaims the finished thread nobody waited for.
    auto operation = [&](int i) {
        ASSERT_EQ(L2FWSERVER_ERROR_NONE,
                  Start({.interfaceName = "eth1", .file = fw.path(), .announcementTimeout = 0}))
            << i;
        ASSERT_EQ(FwWaitFinal(10s), L2FWSERVER_STATE_ERROR) << i;
        ASSERT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_TIMEOUT) << i;
    };
    // The first one leaves its packet socket kept for the next port on eth1, which
    // takes it up again: counted from there on, nothing may grow.
    operation(0);
    ASSERT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    const int fds = OpenFdCount();
    const int threads = ThreadCount();
    for (int i = 1; i <= 100; ++i) {
        operation(i);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(OpenFdCount(), fds);
    // A joined thread can linger in /proc for a moment after its join returned.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ThreadCount() != threads && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ThreadCount(), threads);
}
