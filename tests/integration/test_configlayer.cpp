// Parameter requests on LCMP devices end to end: the real kivohost, the UDP protocol,
// LCMP over a veth pair, and kivo-devsim's configuration-layer device. A few cases
// call the configuration layer in-process (with a short LCMP time-out) where only
// time-outs would otherwise tell them apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "configlayer.h"
#include "harness.h"
#include "harness_cfg.h"
#include "kivohost.h"
#include "status.h"

using namespace kivotest;

namespace {

const Mac kDevice = ParseMac("02:00:00:00:00:01");

std::string DeviceConfig(const std::string& ifname, const Mac& mac, const std::string& lines) {
    return "[device dev1]\nmac = " + MacText(mac) + "\ninterface = " + ifname + "\nrole = lcmp\n" + lines;
}

// kivohost and kivo-devsim joined by eth1 <-> eth1.
struct Bench {
    Topology topo;
    std::string ifname;
    explicit Bench(const std::string& lines, const std::string& ifn = "eth1", const Mac& dev = kDevice)
        : ifname(ifn) {
        topo.Link(ifname, ifname, "", MacText(dev));
        topo.StartDevsim(DeviceConfig(ifname, dev, lines));
        topo.StartKivohost();
    }
    // Neither process may have reported a sanitizer finding.
    ~Bench() {
        EXPECT_EQ(topo.kivohost()->CountInLog("Sanitizer"), 0) << topo.kivohost()->Log();
        EXPECT_EQ(sim().CountInLog("Sanitizer"), 0) << sim().Log();
    }
    Process& sim() { return *topo.devsim(); }
    std::optional<Bytes> Request(uint8_t code, const std::optional<std::string>& block = std::nullopt,
                                 uint16_t vlan = 0, const std::string& password = "pw") {
        return topo.client().Request(0x31, code,
                                     ParamRequestBody(kDeviceLcmp, ifname, vlan, kDevice, password, block));
    }
    std::vector<ParamRecord> Records(uint8_t code, const std::optional<std::string>& block = std::nullopt) {
        auto reply = Request(code, block);
        if (!reply) {
            ADD_FAILURE() << "no reply";
            return {};
        }
        auto recs = ParamRecords(*reply);
        if (!recs) {
            ADD_FAILURE() << "not a PARAMS reply, code " << int((*reply)[3]);
            return {};
        }
        return *recs;
    }
    // Runs a control command and waits for its acknowledgement.
    void Command(const std::string& line) {
        ASSERT_TRUE(sim().SendLine(line));
        ASSERT_TRUE(sim().WaitForLog("devsim: command \"" + line + "\" done", 5s)) << sim().Log();
    }
};

// Segments of at most 1492 bytes: a full 1496-byte segment does not fit a 1500-byte MTU.
const std::string kDevicePassword = "password = pw\nsegment_size = 1492\n";

Bytes Code(uint8_t code) {
    return Bytes{0x31, 1, 0, code};
}

constexpr uint8_t kTypeSetOk = 254;
constexpr uint8_t kTypeError = 255;
const std::string kNotInstalled = "ERROR -36 Searching for a parameter that has not been installed";

}  // namespace

TEST(ConfiglayerGet, ExampleRequestGivesTheExact58ByteReply) {
    KIVO_REQUIRE_ROOT();
    const Mac mac = ParseMac("00:11:22:33:44:55");
    Bench b("param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 00:11:22:33:44:55\n", "eth0", mac);
    const std::string name = "SYSTEM.PRODUCTION.MAC_ADDR";
    Bytes request = {0x07, 0,    0,    0,    3,    3,    4,    'e', 't',  'h',  '0',  0x00,
                     0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0,   0x00, 0x00, 0x00, 0x1B};
    request.insert(request.end(), name.begin(), name.end());
    request.push_back(0);
    ASSERT_EQ(request.size(), 51u);
    auto reply = b.topo.client().Request(request);
    ASSERT_TRUE(reply);
    Bytes expected = {0x07, 1, 0, 7, 0x00, 0x00, 0x00, 0x32};
    expected.insert(expected.end(), name.begin(), name.end());
    expected.push_back(0);
    const std::string value = "00:11:22:33:44:55";
    expected.insert(expected.end(), value.begin(), value.end());
    expected.insert(expected.end(), {0x00, 0x08, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(*reply, expected);
    ASSERT_EQ(b.topo.client().lastSegments.size(), 1u);
    EXPECT_EQ(b.topo.client().lastSegments[0].size(), 58u);
}

TEST(ConfiglayerGet, RecordsFollowTheAnswerWithTypesAndCounts) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword +
            "param = SYSTEM.A INT16U 1,2,3\n"
            "param = SYSTEM.B STRING hello world\n"
            "param = SYSTEM.C IP_ADDR 10.0.0.1,192.168.1.2\n");
    const auto recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.C", "SYSTEM.A", "SYSTEM.B"}));
    const std::vector<ParamRecord> expected = {
        {"SYSTEM.C", "10.0.0.1,192.168.1.2", 9, 2},
        {"SYSTEM.A", "1,2,3", 4, 3},
        {"SYSTEM.B", "hello world", 10, 1},
    };
    EXPECT_EQ(recs, expected);
    // One exchange, under the SHA-256 key.
    EXPECT_EQ(b.sim().CountInLog("CFG rx read model=0 key=sha256: 3 names, 0 refused"), 1) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 1);
}

TEST(ConfiglayerGet, RefusedNameEndsTheRecordsAndTheLegacyPassRepeatsIt) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword +
            "param = SYSTEM.A INT8U 5\n"
            "param = SYSTEM.C INT8U 6\n"
            "param = SYSTEM.D INT8U 7\n"
            "refuse = SYSTEM.D -60\n");
    auto recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.A", "SYSTEM.B", "SYSTEM.C"}));
    std::vector<ParamRecord> expected = {{"SYSTEM.A", "5", 2, 1}, {"SYSTEM.B", kNotInstalled, kTypeError, 1}};
    EXPECT_EQ(recs, expected);
    // A refused parameter looks like a wrong key: the request is repeated under the legacy key.
    EXPECT_EQ(b.sim().CountInLog("key=sha256: 3 names, 1 refused"), 1) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("key=legacy: 3 names, 1 refused"), 1);

    // The device's own status code and text.
    recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.D"}));
    expected = {{"SYSTEM.D", "ERROR -60 Parameter cannot be set via scp", kTypeError, 1}};
    EXPECT_EQ(recs, expected);
}

TEST(ConfiglayerGet, SilentDeviceFailsAfterTwoPasses) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword + "param = SYSTEM.A INT8U 5\nsilent = yes\n");
    auto reply = b.Request(REQUEST_GET, GetBlock({"SYSTEM.A"}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    // Two passes, then the clear question whether the device is there at all.
    EXPECT_EQ(b.sim().CountInLog("LCMP silent: no reply"), 3) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("key=plain"), 1);
}

TEST(ConfiglayerGetAll, ThirtyParametersInOneListingAndThreeBatches) {
    KIVO_REQUIRE_ROOT();
    std::string lines = kDevicePassword;
    std::vector<ParamRecord> expected;
    for (int i = 0; i < 30; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "SYSTEM.P%02d", i);
        lines += std::string("param = ") + name + " INT32U " + std::to_string(i * 7) + "\n";
        expected.push_back({name, std::to_string(i * 7), 6, 1});
    }
    Bench b(lines);
    EXPECT_EQ(b.Records(REQUEST_GET_ALL), expected);
    EXPECT_EQ(b.sim().CountInLog("CFG rx get-all"), 1) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog(": 12 names, 0 refused"), 2);
    EXPECT_EQ(b.sim().CountInLog(": 6 names, 0 refused"), 1);
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 3);
    EXPECT_EQ(b.sim().CountInLog("key=legacy"), 0);
}

TEST(ConfiglayerGetAll, RefusedNameEndsOnlyItsBatch) {
    KIVO_REQUIRE_ROOT();
    std::string lines = kDevicePassword + "refuse = SYSTEM.P05\n";
    for (int i = 0; i < 30; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "SYSTEM.P%02d", i);
        lines += std::string("param = ") + name + " INT8U " + std::to_string(i) + "\n";
    }
    Bench b(lines);
    const auto recs = b.Records(REQUEST_GET_ALL);
    // Batch 1 stops at P05 (6 records), batches 2 and 3 are whole (18).
    ASSERT_EQ(recs.size(), 24u);
    EXPECT_EQ(recs[5].name, "SYSTEM.P05");
    EXPECT_EQ(recs[5].type, kTypeError);
    EXPECT_EQ(recs[5].value, kNotInstalled);
    EXPECT_EQ(recs[6].name, "SYSTEM.P12");
    EXPECT_EQ(recs[23].name, "SYSTEM.P29");
    // The refusal is reported without a second pass.
    EXPECT_EQ(b.sim().CountInLog("CFG rx get-all"), 1);
}

TEST(ConfiglayerGetAll, DeviceWithoutParametersGivesAnEmptyReply) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword + "configlayer = yes\n");
    auto reply = b.Request(REQUEST_GET_ALL);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0x31, 1, 0, 7, 0, 0, 0, 0}));
    EXPECT_EQ(b.sim().CountInLog("CFG get-all: 0 names"), 1) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 0);
}

TEST(ConfiglayerGetAll, TwoThousandParametersReassembleAcrossSegments) {
    KIVO_REQUIRE_ROOT();
    std::string lines = kDevicePassword + "getall_per_message = 300\n";
    std::vector<ParamRecord> expected;
    for (int i = 0; i < 2000; ++i) {
        char name[48];
        std::snprintf(name, sizeof(name), "SYSTEM.GROUP%02d.PARAM_%04d", i / 100, i);
        lines +=
            std::string("param = ") + name + " INT32U " + std::to_string(i * 1000003u % 4000000000u) + "\n";
        expected.push_back({name, std::to_string(i * 1000003u % 4000000000u), 6, 1});
    }
    Bench b(lines);
    auto reply = b.Request(REQUEST_GET_ALL);
    ASSERT_TRUE(reply);
    auto recs = ParamRecords(*reply);
    ASSERT_TRUE(recs) << "reply code " << int((*reply)[3]) << "\n"
                      << b.sim().Log().substr(0, 6000) << b.topo.kivohost()->Log();
    EXPECT_EQ(*recs, expected);
    // Segments: 1 + ceil((length - 1400) / 1397); some records straddle a border.
    const size_t length = reply->size();
    ASSERT_GT(length, 1400u);
    EXPECT_EQ(b.topo.client().lastSegments.size(), 1 + (length - 1400 + 1396) / 1397);
    const auto offsets = ParamRecordOffsets(*reply);
    size_t straddling = 0;
    for (size_t i = 0; i + 1 < offsets.size(); ++i)
        if ((offsets[i] - 3) / 1397 != (offsets[i + 1] - 1 - 3) / 1397) ++straddling;
    EXPECT_GT(straddling, 0u);
    // One listing in 7 messages, 167 batches.
    EXPECT_EQ(b.sim().CountInLog("CFG get-all: 2000 names in 7 messages"), 1)
        << b.sim().Log().substr(0, 2000);
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 167);
}

TEST(ConfiglayerGetAll, ReplyThatWouldNotFitTheBufferFails) {
    KIVO_REQUIRE_ROOT();
    // 2000 records of about 190 bytes: more than the 300000-byte buffer.
    std::string lines = kDevicePassword;
    const std::string value(150, 'v');
    for (int i = 0; i < 2000; ++i) {
        char name[48];
        std::snprintf(name, sizeof(name), "SYSTEM.GROUP%02d.PARAM_%04d", i / 100, i);
        lines += std::string("param = ") + name + " STRING " + value + "\n";
    }
    Bench b(lines);
    auto reply = b.Request(REQUEST_GET_ALL);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 167);
    // The service is still there and answers.
    EXPECT_TRUE(b.topo.client().WaitReady(5s));
}

TEST(ConfiglayerSet, TypeReadThenWriteStoresTheValues) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword +
            "param = SYSTEM.SPEED INT16U 100\n"
            "param = SYSTEM.NAME STRING abc\n");
    auto recs = b.Records(REQUEST_SET, SetBlock({{"SYSTEM.SPEED", "250"}, {"SYSTEM.NAME", "new name"}}));
    std::vector<ParamRecord> expected = {{"SYSTEM.SPEED", "OK", kTypeSetOk, 1},
                                         {"SYSTEM.NAME", "OK", kTypeSetOk, 1}};
    EXPECT_EQ(recs, expected);
    const std::string log = b.sim().Log();
    const size_t read = log.find("CFG rx read model=0 key=sha256: 2 names");
    const size_t write = log.find("CFG rx write model=0 key=sha256: 2 names");
    ASSERT_NE(read, std::string::npos) << log;
    ASSERT_NE(write, std::string::npos) << log;
    EXPECT_LT(read, write);
    // Written in the device's type: 250 as a little-endian INT16U.
    EXPECT_NE(log.find("CFG write SYSTEM.SPEED type=INT16U value=fa00"), std::string::npos) << log;
    b.Command("dev1 cfg show SYSTEM.SPEED");
    EXPECT_EQ(b.sim().CountInLog("CFG show SYSTEM.SPEED type=INT16U value=fa00"), 1) << b.sim().Log();

    recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.SPEED", "SYSTEM.NAME"}));
    expected = {{"SYSTEM.SPEED", "250", 4, 1}, {"SYSTEM.NAME", "new name", 10, 1}};
    EXPECT_EQ(recs, expected);
}

TEST(ConfiglayerSet, ValuesTheDeviceTypeRejectsOrRefusedNamesAreNeverWritten) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword +
            "param = SYSTEM.SPEED INT16U 100\nparam = SYSTEM.MAC MAC_ADDR 02:00:00:00:00:09\n");
    // 70000 is no INT16U: failed, and not a single write frame on the wire.
    auto reply = b.Request(REQUEST_SET, SetBlock({{"SYSTEM.SPEED", "70000"}}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_EQ(b.sim().CountInLog("opcode=0x162"), 0) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 2);  // both key passes read the types

    // A name refused in the type read: the read result comes back, nothing is written.
    auto recs = b.Records(REQUEST_SET, SetBlock({{"SYSTEM.MAC", "02:00:00:00:00:0A"}, {"SYSTEM.NOPE", "1"}}));
    std::vector<ParamRecord> expected = {{"SYSTEM.MAC", "02:00:00:00:00:09", 8, 1},
                                         {"SYSTEM.NOPE", kNotInstalled, kTypeError, 1}};
    EXPECT_EQ(recs, expected);
    EXPECT_EQ(b.sim().CountInLog("opcode=0x162"), 0);
    EXPECT_EQ(b.sim().CountInLog("CFG rx read"), 3);  // Set stops at a refused name

    // A read-only parameter: the write is answered with the device's status.
    b.Command("dev1 add readonly SYSTEM.MAC");
    recs = b.Records(REQUEST_SET, SetBlock({{"SYSTEM.MAC", "02:00:00:00:00:0A"}}));
    expected = {{"SYSTEM.MAC", "ERROR -55 Trying to perform an operation without the necessary permits",
                 kTypeError, 1}};
    EXPECT_EQ(recs, expected);
    recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.MAC"}));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].value, "02:00:00:00:00:09");
}

TEST(ConfiglayerSet, FailuresAreReportedWithTheConfiglayerCode) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword + "param = SYSTEM.X INT8U 1\nreadonly = SYSTEM.X -77\n");
    // No such interface on the host: LCMP cannot send.
    auto reply = b.topo.client().Request(
        0x31, REQUEST_SET,
        ParamRequestBody(kDeviceLcmp, "nosuch0", 0, kDevice, "pw", SetBlock({{"SYSTEM.X", "2"}})));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_TRUE(b.topo.kivohost()->WaitForLog("Configlayer error -1\n", 5s)) << b.topo.kivohost()->Log();
    // The device's remote-file-access status ends the Set as a failure.
    reply = b.Request(REQUEST_SET, SetBlock({{"SYSTEM.X", "2"}}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_TRUE(b.topo.kivohost()->WaitForLog("Configlayer error -77\n", 5s)) << b.topo.kivohost()->Log();
    EXPECT_EQ(b.sim().CountInLog("CFG rx write"), 1);
}

TEST(ConfiglayerFactoryReset, DoneWhenConfirmedFailedWhenRefused) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword + "param = SYSTEM.SPEED INT16U 100\n");
    ASSERT_EQ(b.Records(REQUEST_SET, SetBlock({{"SYSTEM.SPEED", "7"}})).size(), 1u);
    auto reply = b.Request(REQUEST_FACTORY_RESET);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_DONE));
    EXPECT_EQ(b.sim().CountInLog("CFG write FACTORYRESET.GENERAL.FORCE_RESET type=INT8U value=01"), 1)
        << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("CFG factory reset: table restored (1 parameters)"), 1);
    auto recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.SPEED"}));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].value, "100");

    // Refused in the write, and unknown in the type read: both fail.
    b.Command("dev1 add readonly FACTORYRESET.GENERAL.FORCE_RESET");
    reply = b.Request(REQUEST_FACTORY_RESET);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    b.Command("dev1 add refuse FACTORYRESET.GENERAL.FORCE_RESET");
    reply = b.Request(REQUEST_FACTORY_RESET);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_EQ(b.sim().CountInLog("CFG factory reset"), 1);
}

TEST(ConfiglayerVlan, RequestVlanTagsTheFramesUntilTheNextRequestChangesIt) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword + "param = SYSTEM.A INT8U 1\n");
    auto get = [&](uint16_t vlan) {
        auto reply = b.Request(REQUEST_GET, GetBlock({"SYSTEM.A"}), vlan);
        return reply && ParamRecords(*reply) && ParamRecords(*reply)->size() == 1;
    };
    // Upper 4 bits ignored: VLAN 100, tag 81 00 00 64.
    EXPECT_TRUE(get(0xF064));
    EXPECT_EQ(b.sim().CountInLog("opcode=0x160 seg=0/0 seq="), 1) << b.sim().Log();
    EXPECT_EQ(b.sim().CountInLog("tag=0x0064"), 2);  // the frame and the decoded request
    // 4095 is refused by LCMP: the previous tag stays.
    EXPECT_TRUE(get(0x0FFF));
    EXPECT_EQ(b.sim().CountInLog("tag=0x0064"), 4);
    EXPECT_EQ(b.sim().CountInLog("tag=0x0fff"), 0);
    // VLAN 0: untagged.
    EXPECT_TRUE(get(0x0000));
    EXPECT_EQ(b.sim().CountInLog("tag=none"), 2);
    // The setting is applied for any device type, before the type is looked at.
    auto refused = b.topo.client().Request(
        0x31, REQUEST_GET, ParamRequestBody(1, b.ifname, 0x0064, kDevice, "pw", GetBlock({"SYSTEM.A"})));
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, Code(REPLY_REFUSED));
    EXPECT_TRUE(get(0x0FFF));
    EXPECT_EQ(b.sim().CountInLog("tag=0x0064"), 6);
}

// ---------------------------------------------------------------------------
// In-process: the configuration layer called from the test inside the host
// namespace, with a short LCMP time-out so silent exchanges end quickly.
// ---------------------------------------------------------------------------

namespace {

struct InProcess : testing::Test {
    std::unique_ptr<Topology> topo;
    t_device* device = nullptr;
    t_configlayerParam* input = nullptr;
    t_configlayerParam* output = nullptr;
    t_configlayerOptions options;

    void Start(const std::string& lines) {
        topo = std::make_unique<Topology>();
        topo->Link("eth1", "eth1", "02:00:00:00:00:10", MacText(kDevice));
        topo->StartDevsim(DeviceConfig("eth1", kDevice, lines));
        ASSERT_TRUE(WaitLinkUp(topo->host(), "eth1"));
        DeviceListAdd(&device, kDevice.data(), "eth1", nullptr, DEVICE_TORVIX_LCMP);
        options.lcmp.timeoutMs = 400;
    }
    void TearDown() override {
        ConfiglayerParamsDestroy(input);
        ConfiglayerParamsDestroy(output);
        DeviceListFree(device);
    }
    Process& sim() { return *topo->devsim(); }
};

}  // namespace

TEST_F(InProcess, LegacyOnlyDeviceIsAnsweredInTheSecondPass) {
    KIVO_REQUIRE_ROOT();
    Start(kDevicePassword + "keys = legacy\nparam = SYSTEM.A STRING legacy\n");
    ConfiglayerParamAdd(&input, "SYSTEM.A", nullptr);
    {
        NsGuard g(topo->host());
        EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "pw", input, &output, FALSE, options),
                  CONFIGLAYER_ERROR_NONE);
    }
    ASSERT_NE(output, nullptr);
    EXPECT_STREQ(output->value, "legacy");
    EXPECT_EQ(output->next, nullptr);
    EXPECT_EQ(sim().CountInLog("LCMP drop: no key opens the request"), 1) << sim().Log();
    EXPECT_EQ(sim().CountInLog("CFG rx read model=0 key=legacy"), 1);
}

TEST_F(InProcess, RetriesRepeatEachPassAgainstASilentDevice) {
    KIVO_REQUIRE_ROOT();
    Start(kDevicePassword + "silent = yes\nparam = SYSTEM.A INT8U 1\n");
    ConfiglayerParamAdd(&input, "SYSTEM.A", nullptr);
    options.maxRetries = 2;
    {
        NsGuard g(topo->host());
        EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "pw", input, &output, FALSE, options),
                  CONFIGLAYER_ERROR_LCMP);
    }
    EXPECT_EQ(output, nullptr);
    EXPECT_TRUE(sim().WaitForLog("LCMP silent", 2s));
    EXPECT_EQ(sim().CountInLog("LCMP silent: no reply"), 6) << sim().Log();
}

TEST_F(InProcess, PrivateDataModelAndDiscovery) {
    KIVO_REQUIRE_ROOT();
    Start(kDevicePassword + "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:00:01\n");
    ConfiglayerParamAdd(&input, "SYSTEM.PRODUCTION.MAC_ADDR", nullptr);
    t_device* found = nullptr;
    {
        NsGuard g(topo->host());
        EXPECT_EQ(ConfiglayerGet(device, CONFIGLAYER_PRIVATE, "pw", input, &output, FALSE, options),
                  CONFIGLAYER_ERROR_NONE);
        EXPECT_EQ(ConfiglayerDiscover("eth1", &found, options), CONFIGLAYER_ERROR_NONE);
        // Every interface of the namespace: eth1 again (lo is not probed); no duplicate.
        EXPECT_EQ(ConfiglayerDiscover(nullptr, &found, options), CONFIGLAYER_ERROR_NONE);
    }
    EXPECT_EQ(sim().CountInLog("CFG rx read model=1 key=sha256"), 1) << sim().Log();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->next, nullptr);
    EXPECT_EQ(std::memcmp(found->deviceMACAddr, kDevice.data(), 6), 0);
    const Mac host = ParseMac("02:00:00:00:00:10");
    EXPECT_EQ(std::memcmp(found->hostMACAddr, host.data(), 6), 0);
    EXPECT_STREQ(found->interfaceName, "eth1");
    EXPECT_EQ(found->type, DEVICE_TORVIX_LCMP);
    // Discovery reads in the clear, to the multicast address.
    EXPECT_EQ(sim().CountInLog("key=plain"), 4);
    DeviceListFree(found);
}

// A listing of several messages with one frame lost: the message that carries the end
// marker must not pass the rest off as the whole answer.
TEST(ConfiglayerGetAll, LostSegmentFailsTheAttemptAndTheRetryCompletesIt) {
    KIVO_REQUIRE_ROOT();
    std::string lines = kDevicePassword + "getall_per_message = 100\nsegment_size = 400\n";
    for (int i = 0; i < 300; ++i) {
        char name[48];
        std::snprintf(name, sizeof(name), "SYSTEM.GROUP%02d.PARAM_%04d", i / 100, i);
        lines += std::string("param = ") + name + " INT8U " + std::to_string(i % 200) + "\n";
    }
    Bench b(lines + "segment_drop_nth = 2\nsegment_drop_nth_once = yes\n");
    // Segment 1 of the first message is lost once: the SHA-256 attempt fails, the
    // legacy attempt gets every name.
    auto recs = b.Records(REQUEST_GET_ALL);
    EXPECT_EQ(recs.size(), 300u);
    EXPECT_EQ(b.sim().CountInLog("LCMP tx dropped frame 2 of the answer (segment 1 of seq 0)"), 1)
        << b.sim().Log().substr(0, 3000);
    EXPECT_EQ(b.sim().CountInLog("CFG rx get-all"), 2);
    EXPECT_EQ(b.topo.kivohost()->CountInLog("part of the device's answer was lost"), 1);

    // Lost in every answer: no attempt completes, and the reply says so.
    b.Command("dev1 set segment_drop_nth_once no");
    auto reply = b.Request(REQUEST_GET_ALL);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_EQ(b.sim().CountInLog("CFG rx get-all"), 4);
    EXPECT_EQ(b.topo.kivohost()->CountInLog("part of the device's answer was lost"), 3);
}

// On a 1500-byte MTU a full 1496-byte segment does not fit: requests go out in
// segments the link carries, and the device reassembles them.
TEST(ConfiglayerSegments, GetOf200NamesAndSetOf100ValuesOnA1500ByteMtu) {
    KIVO_REQUIRE_ROOT();
    std::string lines = "password = pw\n";  // the device's answers fit the link too
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i) {
        char name[48];
        std::snprintf(name, sizeof(name), "SYSTEM.GROUP%02d.PARAM_%04d", i / 100, i);
        names.push_back(name);
        lines += std::string("param = ") + name + " INT8U " + std::to_string(i % 100) + "\n";
    }
    Bench b(lines);
    b.topo.host().Run("ip link set eth1 mtu 1500");
    b.topo.dev().Run("ip link set eth1 mtu 1500");

    auto recs = b.Records(REQUEST_GET, GetBlock(names));
    ASSERT_EQ(recs.size(), 200u);
    EXPECT_EQ(recs[199].name, names[199]);
    EXPECT_EQ(recs[199].value, "99");
    EXPECT_EQ(b.sim().CountInLog("CFG rx read model=0 key=sha256: 200 names, 0 refused"), 1) << b.sim().Log();

    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 100; ++i) pairs.emplace_back(names[i], std::to_string(100 + i));
    recs = b.Records(REQUEST_SET, SetBlock(pairs));
    ASSERT_EQ(recs.size(), 100u);
    EXPECT_EQ(recs[99].type, kTypeSetOk);
    EXPECT_EQ(b.sim().CountInLog("CFG rx write model=0 key=sha256: 100 names"), 1) << b.sim().Log();
    recs = b.Records(REQUEST_GET, GetBlock({names[0], names[99]}));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].value, "100");
    EXPECT_EQ(recs[1].value, "199");
    // Full segments of 1492 bytes (1514-byte frames), none longer.
    const std::string log = b.sim().Log();
    EXPECT_NE(log.find("LCMP rx frame len=1514 opcode=0x160 seg=0/"), std::string::npos);
    EXPECT_EQ(log.find("mmpl=1496 tag"), std::string::npos);
}

// Every LCMP device that answers the discovery read is listed, not only the first.
TEST_F(InProcess, DiscoverAllListsEveryAnsweringDevice) {
    KIVO_REQUIRE_ROOT();
    const Mac second = ParseMac("02:00:00:00:00:02");
    Start(
        "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:00:01\n"
        "[device dev2]\nmac = 02:00:00:00:00:02\ninterface = eth1\nrole = lcmp\n"
        "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:00:02\n");
    topo->Link("eth2", "eth2", "02:00:00:00:00:20", "02:00:00:00:00:21");
    ASSERT_TRUE(WaitLinkUp(topo->host(), "eth2"));
    t_device* found = nullptr;
    t_device* none = nullptr;
    {
        NsGuard g(topo->host());
        const kivo::Status listed = ConfiglayerDiscoverAll("eth1", &found, options);
        EXPECT_EQ(listed, CONFIGLAYER_ERROR_NONE);
        EXPECT_FALSE(listed.explained()) << listed;
        const kivo::Status failure = ConfiglayerDiscoverAll("eth2", &none, options);
        EXPECT_EQ(failure, CONFIGLAYER_ERROR_NONE);
        EXPECT_EQ(failure.reason, kivo::Reason::kNoDevice);
        EXPECT_EQ(failure.text,
                  "no device answered on eth2 within 1 s; check the cabling and that the devices are on");
    }
    EXPECT_EQ(none, nullptr);
    std::vector<std::string> macs;
    for (t_device* d = found; d != nullptr; d = d->next) {
        Mac m;
        std::copy_n(d->deviceMACAddr, 6, m.begin());
        macs.push_back(MacText(m));
        EXPECT_STREQ(d->interfaceName, "eth1");
        EXPECT_EQ(d->type, DEVICE_TORVIX_LCMP);
    }
    std::sort(macs.begin(), macs.end());
    EXPECT_EQ(macs, (std::vector<std::string>{MacText(kDevice), MacText(second)}));
    DeviceListFree(found);
}

// A value without a single digit, or with more than the number in it, is refused before
// anything is written; signs and blanks around a number are still accepted.
TEST(ConfiglayerSet, ValueWithoutADigitIsRefusedAndLenientNumbersStillWork) {
    KIVO_REQUIRE_ROOT();
    Bench b(kDevicePassword + "param = SYSTEM.SPEED INT16U 100\nparam = SYSTEM.LIST INT8U 1,2,3\n");
    for (const char* bad : {"fast", "yes", "12abc"}) {
        auto reply = b.Request(REQUEST_SET, SetBlock({{"SYSTEM.SPEED", bad}}));
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, Code(REPLY_FAILED)) << bad;
    }
    auto reply = b.Request(REQUEST_SET, SetBlock({{"SYSTEM.LIST", "1,yes,3"}}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Code(REPLY_FAILED));
    EXPECT_EQ(b.sim().CountInLog("opcode=0x162"), 0) << b.sim().Log();

    auto recs = b.Records(REQUEST_SET, SetBlock({{"SYSTEM.SPEED", " 12 "}, {"SYSTEM.LIST", "+5, 0,7"}}));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].type, kTypeSetOk);
    recs = b.Records(REQUEST_GET, GetBlock({"SYSTEM.SPEED", "SYSTEM.LIST"}));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].value, "12");
    EXPECT_EQ(recs[1].value, "5,0,7");
}

// The reason each failure hands up for the front-end: code and the specifics people act on.
TEST_F(InProcess, FailuresCarryTheirReason) {
    KIVO_REQUIRE_ROOT();
    std::string lines = kDevicePassword +
                        "param = SYSTEM.SPEED INT16U 100\nrefuse = SYSTEM.SECRET\n"
                        "getall_per_message = 100\nsegment_size = 400\n";
    for (int i = 0; i < 300; ++i) lines += "param = SYSTEM.P" + std::to_string(1000 + i) + " INT8U 1\n";
    Start(lines);
    NsGuard g(topo->host());
    kivo::Status f;  // the last operation's
    auto expect = [&f](kivo::Reason reason, const std::string& text) {
        EXPECT_EQ(f.reason, reason) << f.text;
        EXPECT_EQ(f.text, text);
    };
    auto run = [&](const char* name, const char* value, bool set) {
        ConfiglayerParamsDestroy(input);
        ConfiglayerParamsDestroy(output);
        input = output = nullptr;
        ConfiglayerParamAdd(&input, name, value);
        f = set ? ConfiglayerSet(device, CONFIGLAYER_PUBLIC, "pw", input, &output)
                : ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "pw", input, &output, FALSE, options);
        return f;
    };

    EXPECT_NE(run("SYSTEM.SPEED", "fast", true), CONFIGLAYER_ERROR_NONE);
    expect(kivo::Reason::kInvalidValue,
           "the value \"fast\" is not valid for SYSTEM.SPEED (type INT16U: whole numbers from 0 to 65535, a "
           "list separated by commas with no empty element); nothing was written");
    EXPECT_NE(run("SYSTEM.SECRET", nullptr, false), CONFIGLAYER_ERROR_NONE);
    expect(
        kivo::Reason::kDeviceRefused,
        "the device refused SYSTEM.SECRET: ERROR -36 Searching for a parameter that has not been installed");
    EXPECT_NE(run(std::string(CONFIGLAYER_NAME_MAX, 'N').c_str(), nullptr, false), CONFIGLAYER_ERROR_NONE);
    {
        // 61 names of 396 characters: more than one LCMP message carries.
        for (int i = 0; i < 60; ++i)
            ConfiglayerParamAdd(&input, std::string(CONFIGLAYER_NAME_MAX, 'N').c_str(), nullptr);
        f = ConfiglayerGet(device, CONFIGLAYER_PUBLIC, "pw", input, &output, FALSE, options);
        EXPECT_NE(f, CONFIGLAYER_ERROR_NONE);
        EXPECT_EQ(f.reason, kivo::Reason::kRequestTooLarge) << f.text;
    }

    ASSERT_TRUE(sim().SendLine("dev1 set segment_drop_nth 2"));
    ASSERT_TRUE(sim().WaitForLog("devsim: command \"dev1 set segment_drop_nth 2\" done", 5s));
    f = ConfiglayerGetAll(device, CONFIGLAYER_PUBLIC, "pw", &output, FALSE);
    EXPECT_NE(f, CONFIGLAYER_ERROR_NONE);
    expect(kivo::Reason::kIncompleteAnswer,
           "part of the answer of device 02:00:00:00:00:01 on eth1 was lost on the link; try again, and "
           "check the "
           "cabling or the link's load if it keeps happening");

    ASSERT_TRUE(sim().SendLine("dev1 set silent yes"));
    ASSERT_TRUE(sim().WaitForLog("devsim: command \"dev1 set silent yes\" done", 5s));
    EXPECT_NE(run("SYSTEM.SPEED", nullptr, false), CONFIGLAYER_ERROR_NONE);
    expect(kivo::Reason::kNoAnswer,
           "device 02:00:00:00:00:01 did not answer on eth1 within 1 s (a wrong password looks the same: "
           "check the "
           "password)");

    std::free(device->interfaceName);
    device->interfaceName = strdup("nosuch0");
    EXPECT_NE(run("SYSTEM.SPEED", nullptr, false), CONFIGLAYER_ERROR_NONE);
    expect(kivo::Reason::kNoInterface, "there is no interface nosuch0; check the name (ip link lists them)");
    std::free(device->interfaceName);
    device->interfaceName = strdup("eth1");
    topo->host().Run("ip link set eth1 down");
    EXPECT_NE(run("SYSTEM.SPEED", nullptr, false), CONFIGLAYER_ERROR_NONE);
    expect(kivo::Reason::kInterfaceDown, "interface eth1 is down; bring it up (ip link set eth1 up)");
}
