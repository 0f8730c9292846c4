// Ethernet boot end to end: a simulated device waiting in its boot ROM is sent a
// loader and then, as a running loader, a chunked firmware image. Every frame the
// device receives is captured and checked byte for byte against the wire layout.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fw_test_server.h"
#include "harness.h"
#include "harness_fw.h"
#include "l2fwserver.h"

using namespace kivotest;

namespace {

const char* kHostMac = "02:00:00:00:00:0a";
const char* kRomMac = "02:00:00:00:00:0b";
const char* kChip = "0102030405060708";
const Bytes kChipBytes = {1, 2, 3, 4, 5, 6, 7, 8};
const Mac kAssigned = {0x00, 0x13, 0x9D, 0x00, 0x05, 0x00};

struct RomDevice {
    TempFile loaderOut{""};
    TempFile firmwareOut{""};
    TempFile capture{""};
    std::string Config(int version, int subversion, const std::string& extra = "") const {
        return "[device rom1]\nmac = " + std::string(kRomMac) +
               "\ninterface = eth1\nrole = bootrom\nannounce_period_ms = 100\nrom_version = " +
               std::to_string(version) + "\nrom_subversion = " + std::to_string(subversion) +
               "\nchip_id = " + kChip + "\nfw_save_loader = " + loaderOut.path() +
               "\nfw_save_firmware = " + firmwareOut.path() + "\nfw_capture = " + capture.path() + "\n" +
               extra;
    }
};

// Two chunks, 1024 and 8 bytes (chunk_info 02 01 00 00 and 04 00 00 80, bit 31 ignored).
ChunkedImage TwoChunks() {
    ChunkedImage img;
    img.records.push_back({{0x02, 0x01, 0x00, 0x00}, {0x10, 0x20, 0x30, 0x40}, PatternBytes(1024, 31)});
    img.records.push_back({{0x04, 0x00, 0x00, 0x80}, {0x50, 0x60, 0x70, 0x80}, PatternBytes(8, 32)});
    return img;
}

Mac DstOf(const Bytes& f) {
    return Mac{f[0], f[1], f[2], f[3], f[4], f[5]};
}
uint16_t Le16(const Bytes& f, size_t off) {
    return static_cast<uint16_t>(f[off] | (f[off + 1] << 8));
}
uint16_t Be16(const Bytes& f, size_t off) {
    return static_cast<uint16_t>((f[off] << 8) | f[off + 1]);
}
bool ZeroFrom(const Bytes& f, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (f[i] != 0) return false;
    return true;
}

std::vector<uint8_t> Subtypes(const std::vector<Bytes>& frames) {
    std::vector<uint8_t> out;
    for (const auto& f : frames) out.push_back(FwSubtype(f));
    return out;
}

// Checks the loader phase as captured: start, loader frames, end, each
// `frameLen` + 14 bytes long and addressed to `dst`.
void ExpectLoaderPhase(const std::vector<Bytes>& frames, const Bytes& loader, uint16_t frameLen,
                       const Mac& dst, size_t firstLoaderFrame) {
    size_t piece = frameLen - 14u;
    size_t count = (loader.size() + piece - 1) / piece;
    ASSERT_GE(frames.size(), firstLoaderFrame + count + 1);
    Bytes joined;
    for (size_t i = 0; i < count; ++i) {
        const Bytes& f = frames[firstLoaderFrame + i];
        SCOPED_TRACE("loader frame " + std::to_string(i + 1));
        ASSERT_EQ(f.size(), frameLen + 14u);
        EXPECT_EQ(DstOf(f), dst);
        EXPECT_EQ(FwSubtype(f), 0x03);
        EXPECT_EQ(Be16(f, 12), frameLen);
        EXPECT_EQ(Le16(f, 22), i + 1);
        size_t n = std::min(piece, loader.size() - i * piece);
        EXPECT_EQ(Le16(f, 24), n);
        EXPECT_TRUE(ZeroFrom(f, 26, 28));
        joined.insert(joined.end(), f.begin() + 28, f.begin() + 28 + static_cast<long>(n));
        EXPECT_TRUE(ZeroFrom(f, 28 + n, f.size()));
    }
    EXPECT_EQ(joined, loader);
    const Bytes& end = frames[firstLoaderFrame + count];
    EXPECT_EQ(FwSubtype(end), 0x05);
    EXPECT_EQ(end.size(), frameLen + 14u);
    EXPECT_EQ(DstOf(end), dst);
    EXPECT_TRUE(ZeroFrom(end, 22, end.size()));
}

// Checks the firmware phase of TwoChunks() from frame `first` on.
void ExpectTwoChunkPhase(const std::vector<Bytes>& frames, size_t first, const Mac& dst) {
    std::vector<Bytes> fw(frames.begin() + static_cast<long>(first), frames.end());
    ASSERT_EQ(Subtypes(fw), (std::vector<uint8_t>{0x01, 0x0E, 0x03, 0x0E, 0x03, 0x10, 0x05}));
    ChunkedImage img = TwoChunks();
    for (const Bytes& f : fw) EXPECT_EQ(DstOf(f), dst);
    EXPECT_EQ(fw[0].size(), 60u);
    EXPECT_EQ(fw[1].size(), 60u);
    EXPECT_EQ(Le16(fw[1], 24), 4);
    EXPECT_EQ(Bytes(fw[1].begin() + 52, fw[1].begin() + 56), img.records[0].offset);
    EXPECT_EQ(fw[2].size(), 1076u);
    EXPECT_EQ(Le16(fw[2], 22), 1);
    EXPECT_EQ(Bytes(fw[2].begin() + 52, fw[2].end()), img.records[0].data);
    EXPECT_EQ(Bytes(fw[3].begin() + 52, fw[3].begin() + 56), img.records[1].offset);
    EXPECT_EQ(fw[4].size(), 60u);
    EXPECT_EQ(Le16(fw[4], 22), 2) << "one numbering across chunks";
    EXPECT_EQ(Le16(fw[4], 24), 8);
    EXPECT_EQ(Bytes(fw[4].begin() + 52, fw[4].begin() + 60), img.records[1].data);
    EXPECT_EQ(Bytes(fw[5].begin() + 52, fw[5].begin() + 56), img.entry);
    EXPECT_EQ(fw[6].size(), 60u);
}

}  // namespace

// ---------------------------------------------------------------------------
// Through the request protocol

namespace {

// Boots a device with this boot ROM through the request protocol, polling the status
// as a front-end does; checks the states, the final status and what the device stored,
// and returns the frames it received.
std::vector<Bytes> BootThroughRequests(int version, int subversion, const Bytes& loader) {
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kRomMac);
    RomDevice rom;
    TempFile loaderFile(AsString(loader));
    TempFile fwFile(AsString(TwoChunks().File()));
    // Silent until told, so that the first poll surely finds the server waiting; late
    // start acknowledgements keep each phase visible to the poller.
    auto& sim = topo.StartDevsim(
        rom.Config(version, subversion, "fw_start_ack_delay_ms = 200\nannounce_period_ms = 0\n"));
    topo.StartKivohost();
    auto& c = topo.client();
    // The device MAC of the request is not used for an Ethernet boot.
    auto reply = c.Request(
        1, 6, FwStartBody("eth1", 0, ParseMac("02:99:99:99:99:99"), fwFile.path(), loaderFile.path()));
    EXPECT_TRUE(reply && reply->size() == 4 && (*reply)[3] == 1);
    std::vector<uint8_t> states;
    if (auto first = FwStatusGet(c)) states.push_back(first->state);
    EXPECT_TRUE(sim.SendLine("rom1 set announce_period_ms 100"));
    auto final = FwPollUntilFinal(c, 30s, &states);
    EXPECT_TRUE(final) << sim.Log();
    if (!final) return {};
    EXPECT_EQ(*final, (FwStatus{5, 8, 8})) << "counters describe the last chunk";
    EXPECT_EQ(states, (std::vector<uint8_t>{1, 3, 4, 5}));
    EXPECT_TRUE(sim.WaitForLog("fw boot complete chunks=2 bytes=1032 entry=e0e1e2e3"));
    EXPECT_EQ(ReadBinary(rom.loaderOut.path()), loader);
    EXPECT_EQ(ReadBinary(rom.firmwareOut.path()), TwoChunks().Received());
    return ReadCapture(rom.capture.path());
}

}  // namespace

TEST(FwEthBoot, OlderBootRomTakes236ByteFrames) {
    KIVO_REQUIRE_ROOT();
    Bytes loader = PatternBytes(1000, 30);
    auto frames = BootThroughRequests(2, 0, loader);
    ASSERT_EQ(frames.size(), 1u + 5u + 1u + 7u) << "start, 4 x 208 + 168 loader bytes, end, firmware phase";
    const Mac romMac = ParseMac(kRomMac);
    EXPECT_EQ(frames[0].size(), 236u);
    EXPECT_EQ(DstOf(frames[0]), romMac);
    EXPECT_EQ(FwSubtype(frames[0]), 0x01);
    EXPECT_TRUE(ZeroFrom(frames[0], 22, 236));
    ExpectLoaderPhase(frames, loader, 222, romMac, 1);
    ExpectTwoChunkPhase(frames, 7, romMac);
}

TEST(FwEthBoot, NewerBootRomWithSubversionIsGivenAnAddress) {
    KIVO_REQUIRE_ROOT();
    Bytes loader = PatternBytes(2000, 33);
    auto frames = BootThroughRequests(3, 1, loader);
    ASSERT_EQ(frames.size(), 1u + 3u + 1u + 7u);
    // Broadcast, 1004 bytes, the chip identifier and the address to take; zeros elsewhere.
    const Bytes& start = frames[0];
    ASSERT_EQ(start.size(), 1004u);
    EXPECT_EQ(DstOf(start), (Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Be16(start, 12), 990);
    EXPECT_TRUE(ZeroFrom(start, 22, 28));
    EXPECT_EQ(Bytes(start.begin() + 28, start.begin() + 36), kChipBytes);
    EXPECT_EQ(Bytes(start.begin() + 36, start.begin() + 42), Bytes(kAssigned.begin(), kAssigned.end()));
    EXPECT_TRUE(ZeroFrom(start, 42, start.size()));
    // Every later frame goes to the assigned address (and the loader asked from it).
    ExpectLoaderPhase(frames, loader, 990, kAssigned, 1);
    ExpectTwoChunkPhase(frames, 5, kAssigned);
}

TEST(FwEthBoot, NewerBootRomWithoutSubversionKeepsItsAddress) {
    KIVO_REQUIRE_ROOT();
    Bytes loader = PatternBytes(976, 34);
    auto frames = BootThroughRequests(3, 0, loader);
    ASSERT_EQ(frames.size(), 1u + 1u + 1u + 7u);
    const Mac romMac = ParseMac(kRomMac);
    EXPECT_EQ(frames[0].size(), 1004u);
    EXPECT_EQ(DstOf(frames[0]), romMac);
    EXPECT_TRUE(ZeroFrom(frames[0], 22, 1004)) << "no address assigned";
    ExpectLoaderPhase(frames, loader, 990, romMac, 1);
    ExpectTwoChunkPhase(frames, 3, romMac);
}

// ---------------------------------------------------------------------------
// In-process: error codes and settings

TEST(FwEthBootInProcess, LoaderRequestCountsOnlyFromTheAssignedAddress) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kRomMac);
    RomDevice rom;
    TempFile loaderFile(AsString(PatternBytes(500, 35)));
    TempFile fwFile(AsString(TwoChunks().File()));
    // The running loader asks from its old boot-ROM address instead of the new one.
    auto& sim = topo.StartDevsim(
        rom.Config(3, 1, "fw_loader_request_from_rom_mac = yes\nfw_request_period_ms = 50\n"));
    NsGuard g(topo.host());
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                            .file = fwFile.path(),
                                            .loader = loaderFile.path(),
                                            .announcementTimeout = 1}));
    EXPECT_EQ(FwWaitFinal(15s), L2FWSERVER_STATE_ERROR);
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_TIMEOUT);
    L2FwServerWait();
    EXPECT_GE(sim.CountInLog("fw tx file request from " + std::string(kRomMac)), 2);
    EXPECT_EQ(sim.CountInLog("fw phase firmware-rx"), 0) << "no firmware start frame was answered";
}

// The loader is in, but takes minutes to ask for the firmware: a stop does not wait.
TEST(FwEthBootInProcess, StopEndsTheWaitForTheLoader) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kRomMac);
    RomDevice rom;
    TempFile loaderFile(AsString(PatternBytes(300, 38)));
    TempFile fwFile(AsString(TwoChunks().File()));
    auto& sim = topo.StartDevsim(rom.Config(2, 0, "fw_loader_boot_ms = 600000\n"));
    NsGuard g(topo.host());
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                            .file = fwFile.path(),
                                            .loader = loaderFile.path(),
                                            .announcementTimeout = 600}));
    ASSERT_TRUE(sim.WaitForLog("fw loader complete bytes=300", 15s)) << sim.Log();
    EXPECT_EQ(L2FwServerStop(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(FwWaitFinal(30s), L2FWSERVER_STATE_ERROR) << "the stop waited for the loader";
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_CANCELLED);
    const kivo::Status why = L2FwServerLastFailure();
    EXPECT_EQ(why.reason, kivo::Reason::kCancelled);
    // The device logs the loader's end after sending its acknowledgement: the stop may still
    // find the host waiting for that acknowledgement, or already waiting for the file request.
    const bool afterLoader = why.text.find("after its loader") != std::string::npos;
    const bool atLoaderEnd = why.text.find("acknowledgement of the end frame") != std::string::npos &&
                             why.text.find("of loader file") != std::string::npos;
    EXPECT_TRUE(afterLoader || atLoaderEnd) << why.text;
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
}

TEST(FwEthBootInProcess, ChunkedFileFaults) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kRomMac);
    RomDevice rom;
    TempFile loaderFile(AsString(PatternBytes(300, 36)));
    auto& sim = topo.StartDevsim(rom.Config(2, 0));
    NsGuard g(topo.host());

    struct Case {
        const char* what;
        ChunkedImage image;
        t_l2fwserverErrorCode want;
        const char* simLog;  // what the device saw last
    };
    std::vector<Case> cases;
    {
        ChunkedImage img;
        img.records.push_back({{0x02, 0x00, 0x00, 0x00}, {0x01, 0x01, 0x01, 0x01}, {}});
        img.records.push_back({{0x03, 0x00, 0x00, 0x00}, {0x02, 0x02, 0x02, 0x02}, PatternBytes(4, 37)});
        cases.push_back({"chunk of size 0", img, L2FWSERVER_ERROR_NONE, "fw boot complete chunks=2 bytes=4"});
    }
    {
        ChunkedImage img = TwoChunks();
        img.magic = {0xAA, 0x55, 0xAA, 0x56};
        // Found by the start, before the loader is sent: the device sees nothing.
        cases.push_back({"bad magic AA 55 AA 56", img, L2FWSERVER_ERROR_MAGIC_WORD, nullptr});
    }
    {
        ChunkedImage img = TwoChunks();
        img.terminator = false;
        cases.push_back(
            {"missing terminator", img, L2FWSERVER_ERROR_READING_FILE, "fw rx data seq=2 count=8"});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFile fwFile(AsString(c.image.File()));
        const int loaders = sim.CountInLog("fw rx start");
        int before = c.simLog ? sim.CountInLog(c.simLog) : 0;
        int booted = sim.CountInLog("fw boot complete");
        ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                                .file = fwFile.path(),
                                                .loader = loaderFile.path(),
                                                .announcementTimeout = 5}));
        EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
        EXPECT_EQ(L2FwServerErrorGet(), c.want);
        if (!c.simLog) {
            EXPECT_EQ(sim.CountInLog("fw rx start"), loaders);
            continue;
        }
        EXPECT_TRUE(sim.WaitForLog("fw loader complete bytes=300", 1s));
        // The device's own log runs a little behind the host.
        auto deadline = std::chrono::steady_clock::now() + 2s;
        while (sim.CountInLog(c.simLog) <= before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_GT(sim.CountInLog(c.simLog), before);
        if (c.want != L2FWSERVER_ERROR_NONE) {
            EXPECT_EQ(sim.CountInLog("fw boot complete"), booted);
        }
        // Back into the boot ROM for the next case.
        ASSERT_TRUE(sim.SendLine("rom1 rom"));
        ASSERT_TRUE(sim.WaitForLog("command \"rom1 rom\" done"));
        std::this_thread::sleep_for(50ms);
    }
}

TEST(FwEthBootInProcess, ChipFilterAndConfiguredAddress) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kRomMac);
    RomDevice rom;
    TempFile loaderFile(AsString(PatternBytes(300, 39)));
    TempFile fwFile(AsString(TwoChunks().File()));
    auto& sim = topo.StartDevsim(rom.Config(3, 1));
    NsGuard g(topo.host());

    // Another chip: its announcements are not seen.
    const uint8_t otherChip[6] = {1, 2, 3, 4, 5, 0x77};
    L2FwServerEthBootChipIdSet(otherChip);
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                            .file = fwFile.path(),
                                            .loader = loaderFile.path(),
                                            .announcementTimeout = 1}));
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_TIMEOUT);

    // This chip, and a configured address instead of the default one.
    const uint8_t chip[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t romMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    L2FwServerEthBootChipIdSet(chip);
    L2FwServerEthBootRomMACSet(romMac);
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                            .file = fwFile.path(),
                                            .loader = loaderFile.path(),
                                            .announcementTimeout = 5}));
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_NONE) << sim.Log();
    EXPECT_TRUE(sim.WaitForLog("assigned 02:11:22:33:44:55", 1s));
    ASSERT_TRUE(sim.WaitForLog("fw boot complete chunks=2", 2s));

    // Settings belong to each transfer: without a filter, a device of another chip is
    // served by the next one.
    const uint8_t zero[6] = {};
    L2FwServerEthBootRomMACSet(zero);
    L2FwServerEthBootChipIdSet(nullptr);
    ASSERT_TRUE(sim.SendLine("rom1 set chip_id 0a0b0c0d0e0f1011"));
    ASSERT_TRUE(sim.SendLine("rom1 rom"));
    ASSERT_TRUE(sim.WaitForLog("command \"rom1 rom\" done"));
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "eth1",
                                            .file = fwFile.path(),
                                            .loader = loaderFile.path(),
                                            .announcementTimeout = 5}));
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(L2FwServerErrorGet(), L2FWSERVER_ERROR_NONE) << sim.Log();
    EXPECT_TRUE(sim.WaitForLog("chip 0a0b0c0d0e0f1011 assigned 00:13:9d:00:05:00", 1s));
}
