// Parameter requests on SCP devices end to end: a front-end's UDP requests to the
// real kivohost, which talks SCP over a veth pair to a kivo-devsim device.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "kivohost.h"
#include "scp_client_legacy.h"
#include "service_internal.h"

using namespace kivotest;
using kivo::service::ScpSettings;
using kivo::service::ServiceState;
using kivo::service::ServiceStateGet;

namespace {

const char* kHostMac = "02:00:00:00:02:01";
const char* kDevMac = "02:00:00:00:02:02";

std::string DeviceConfig(const std::string& extra = "") {
    return std::string("[device scp1]\n") + "mac = " + kDevMac +
           "\n"
           "interface = eth1\n"
           "role = scp\n"
           "password = s3cret\n"
           "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 00:11:22:33:44:55\n"
           "param = SYSTEM.GENERAL.NAME STRING living room\n"
           "param = NETWORK.PORT INT16U 8080\n"
           "param = NETWORK.ADDR IP_ADDR 192.168.1.10\n"
           "param = SYSTEM.GENERAL.REVISION HW_REVISION 1_3\n"
           "readonly = SYSTEM.PRODUCTION.MAC_ADDR\n" +
           extra;
}

const std::vector<std::string> kInitialTable = {
    "SYSTEM.PRODUCTION.MAC_ADDR",
    "00:11:22:33:44:55",
    "SYSTEM.GENERAL.NAME",
    "living room",
    "NETWORK.PORT",
    "8080",
    "NETWORK.ADDR",
    "192.168.1.10",
    "SYSTEM.GENERAL.REVISION",
    "1_3",
};

// Body of a parameter request (bytes from offset 5 on).
Bytes Body(const std::string& password = "s3cret", uint8_t deviceType = 2) {
    Bytes b;
    PutU8(b, deviceType);
    PutU8(b, 4);
    PutText(b, "eth1");
    PutBe16(b, 0);
    PutMac(b, ParseMac(kDevMac));
    PutU8(b, static_cast<uint8_t>(password.size()));
    PutText(b, password);
    return b;
}

Bytes WithBlock(Bytes body, std::initializer_list<std::string> texts) {
    Bytes block;
    for (const std::string& t : texts) {
        block.insert(block.end(), t.begin(), t.end());
        block.push_back(0);
    }
    PutBe32(body, static_cast<uint32_t>(block.size()));
    body.insert(body.end(), block.begin(), block.end());
    return body;
}

// The texts of a REPLY_SCP_DATA reply, after checking its length field.
std::vector<std::string> ScpTexts(const Bytes& reply) {
    std::vector<std::string> out;
    EXPECT_GE(reply.size(), 8u);
    if (reply.size() < 8) return out;
    uint32_t s =
        (uint32_t(reply[4]) << 24) | (uint32_t(reply[5]) << 16) | (uint32_t(reply[6]) << 8) | reply[7];
    EXPECT_EQ(s, reply.size() - 8) << "length field and data";
    std::string cur;
    for (size_t i = 8; i < reply.size(); ++i) {
        if (reply[i] == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(reply[i]);
        }
    }
    EXPECT_TRUE(cur.empty()) << "every text ends with a zero byte";
    return out;
}

// The op number logged in a devsim line "SCP rx <OP> op=<n> ...".
int LoggedOp(const std::string& log, const std::string& op, int nth = 0) {
    std::string key = "SCP rx " + op + " op=";
    size_t pos = 0;
    for (int i = 0; i <= nth; ++i) {
        pos = log.find(key, pos);
        if (pos == std::string::npos) return -1;
        pos += key.size();
    }
    return std::stoi(log.substr(pos));
}

class ScpRequests : public ::testing::Test {
   protected:
    void Start(const std::string& config) {
        topo.Link("eth1", "eth1", kHostMac, kDevMac);
        topo.StartDevsim(config);
        topo.StartKivohost();
    }
    Bytes Ask(uint8_t code, const Bytes& body, std::chrono::milliseconds timeout = 30s) {
        auto reply = topo.client().Request(++seq, code, body, timeout);
        EXPECT_TRUE(reply.has_value()) << "no reply to request " << int(code);
        return reply.value_or(Bytes{});
    }
    std::string SimLog() { return topo.devsim()->Log(); }
    int SimCount(const std::string& text) { return topo.devsim()->CountInLog(text); }

    Topology topo;
    uint8_t seq = 0;
};

}  // namespace

TEST_F(ScpRequests, GetAllReturnsEveryParameterAsNameValueTexts) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_GET_ALL, Body());
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply[0], seq);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(reply), kInitialTable);
    // An empty get: 14-byte message zero-filled to 24, a 46-byte frame, length field 22.
    EXPECT_TRUE(topo.devsim()->WaitForLog("SCP rx GET op=", 5s));
    EXPECT_NE(SimLog().find("seq=1 frame=46 length=22 payload=0 items=0"), std::string::npos) << SimLog();
    EXPECT_EQ(SimCount("SCP rx GET"), 1);
}

TEST_F(ScpRequests, GetWhoseReplySpansThreeMessages) {
    KIVO_REQUIRE_ROOT();
    // Three 38-byte name/value pairs cut into 40-byte messages: 40 + 40 + 34, items
    // continue across messages.
    Start(
        DeviceConfig("param = AAAAAAAAAAAAAAAAAAAA STRING 0123456789\n"
                     "param = BBBBBBBBBBBBBBBBBBBB STRING abcdefghij\n"
                     "param = CCCCCCCCCCCCCCCCCCCC STRING ABCDEFGHIJ\n"
                     "reply_payload = 40\n"));
    Bytes reply =
        Ask(REQUEST_GET,
            WithBlock(Body(), {"AAAAAAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCCCCCC"}));
    ASSERT_GE(reply.size(), 4u);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(reply),
              (std::vector<std::string>{"AAAAAAAAAAAAAAAAAAAA", "0123456789", "BBBBBBBBBBBBBBBBBBBB",
                                        "abcdefghij", "CCCCCCCCCCCCCCCCCCCC", "ABCDEFGHIJ"}));
    EXPECT_TRUE(topo.devsim()->WaitForLog("SCP tx GET.reply", 5s));
    EXPECT_NE(SimLog().find("messages=3 bytes=114"), std::string::npos) << SimLog();
    EXPECT_EQ(SimCount("SCP rx GET"), 1);
}

TEST_F(ScpRequests, ErrorItemInAGetStandsInThatNamesPlace) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_GET, WithBlock(Body(), {"NO.SUCH.NAME", "NETWORK.PORT"}));
    ASSERT_GE(reply.size(), 4u);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(reply),
              (std::vector<std::string>{"NO.SUCH.NAME",
                                        "ERROR -36 Searching for a parameter that has not been installed",
                                        "NETWORK.PORT", "8080"}));
    EXPECT_EQ(SimCount("SCP rx GET"), 2) << "the legacy-key attempt runs as well";
}

TEST_F(ScpRequests, SetAsksForTheTypeThenSetsWithTheNextOpNumber) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"NETWORK.PORT", "9090"}));
    ASSERT_GE(reply.size(), 4u);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"NETWORK.PORT", "OK"}));
    std::string log = SimLog();
    int getOp = LoggedOp(log, "GET");
    int setOp = LoggedOp(log, "SET");
    ASSERT_GE(getOp, 0) << log;
    ASSERT_GE(setOp, 0) << log;
    EXPECT_EQ(setOp, (getOp + 1) % 256);
    EXPECT_LT(log.find("SCP rx GET"), log.find("SCP rx SET"));
    EXPECT_NE(log.find("key=sha256"), std::string::npos);
    EXPECT_NE(log.find("SCP set NETWORK.PORT type=INT16U value=2382 status=0"), std::string::npos) << log;
    // The device keeps the new value.
    reply = Ask(REQUEST_GET, WithBlock(Body(), {"NETWORK.PORT"}));
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"NETWORK.PORT", "9090"}));
}

TEST_F(ScpRequests, SetOfANameTheDeviceDoesNotKnowSendsNoSet) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"NO.SUCH.NAME", "1"}));
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], REPLY_FAILED);
    EXPECT_EQ(SimCount("SCP rx GET"), 2);
    EXPECT_EQ(SimCount("SCP rx SET"), 0);
}

TEST_F(ScpRequests, SetRefusedByTheDeviceCarriesTheDevicesText) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"SYSTEM.PRODUCTION.MAC_ADDR", "00:00:00:00:00:01"}));
    ASSERT_GE(reply.size(), 4u);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"SYSTEM.PRODUCTION.MAC_ADDR",
                                                         "ERROR -60 Parameter cannot be set via scp"}));
    // The value was not stored.
    reply = Ask(REQUEST_GET, WithBlock(Body(), {"SYSTEM.PRODUCTION.MAC_ADDR"}));
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"SYSTEM.PRODUCTION.MAC_ADDR", "00:11:22:33:44:55"}));
}

TEST_F(ScpRequests, FactoryResetSendsTheFixedEncipheredListAndRestoresTheTable) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"NETWORK.PORT", "1"}));
    ASSERT_EQ(ScpTexts(reply), (std::vector<std::string>{"NETWORK.PORT", "OK"}));
    reply = Ask(REQUEST_FACTORY_RESET, Body());
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], REPLY_DONE);
    // 41 bytes of items padded to 48: a 62-byte message in an 84-byte frame.
    EXPECT_NE(SimLog().find("SCP rx FACTORY_RESET"), std::string::npos);
    EXPECT_NE(SimLog().find("frame=84 length=70 payload=48 key=sha256 items=2 names=1 "
                            "first=FACTORYRESET.GENERAL.FORCE_RESET"),
              std::string::npos)
        << SimLog();
    reply = Ask(REQUEST_GET_ALL, Body());
    EXPECT_EQ(ScpTexts(reply), kInitialTable);
}

TEST_F(ScpRequests, FactoryResetTheDeviceRefusesIsAFailure) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig("factory_reset_status = -55\n"));
    Bytes reply = Ask(REQUEST_FACTORY_RESET, Body());
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], REPLY_FAILED);
    EXPECT_EQ(SimCount("SCP factory reset refused"), 2);
}

TEST_F(ScpRequests, ANameTooLongForAFrameSendsNothing) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    Bytes reply = Ask(REQUEST_GET, WithBlock(Body(), {std::string(1475, 'N')}));
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], REPLY_FAILED);
    // A later request is seen, so the simulator was listening.
    Ask(REQUEST_GET, WithBlock(Body(), {"NETWORK.PORT"}));
    EXPECT_TRUE(topo.devsim()->WaitForLog("SCP tx GET.reply", 5s));
    EXPECT_EQ(SimCount("SCP rx"), 1);
}

TEST_F(ScpRequests, StrayRepliesAreSkippedAndABadCrcIsAMissingReply) {
    KIVO_REQUIRE_ROOT();
    // Before each reply the device sends decoys from another address, for another
    // operation or sequence number, with a payload longer than the frame and with
    // another frame type; the first genuine reply has a bad CRC.
    Start(DeviceConfig("noise = yes\nbad_crc = 1\n"));
    Bytes reply = Ask(REQUEST_GET, WithBlock(Body(), {"NETWORK.ADDR"}));
    ASSERT_GE(reply.size(), 4u);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"NETWORK.ADDR", "192.168.1.10"}));
    EXPECT_EQ(SimCount("SCP rx GET"), 2) << "one resend after the bad CRC, none for the decoys";
}

TEST_F(ScpRequests, ManyParametersComeBackInSegments) {
    KIVO_REQUIRE_ROOT();
    std::string params;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        std::string name = "TABLE.ENTRY_" + std::to_string(i);
        params += "param = " + name + " INT32U " + std::to_string(i * 1000) + "\n";
        expected.push_back(name);
        expected.push_back(std::to_string(i * 1000));
    }
    std::string config = "[device scp1]\nmac = " + std::string(kDevMac) +
                         "\ninterface = eth1\nrole = scp\npassword = s3cret\n" + params;
    Start(config);
    Bytes reply = Ask(REQUEST_GET_ALL, Body());
    ASSERT_GE(reply.size(), 4u);
    ASSERT_EQ(reply[3], REPLY_SCP_DATA);
    EXPECT_GT(topo.client().lastSegments.size(), 3u);
    EXPECT_EQ(ScpTexts(reply), expected);
}

TEST_F(ScpRequests, EndlessMoreToComeRepliesEndInAFailure) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig("endless = yes\n"));
    Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"NETWORK.PORT", "1"}));
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], REPLY_FAILED);
    // The service is still there.
    reply = Ask(REQUEST_VERSION, {});
    EXPECT_EQ(reply.size(), 7u);
}

TEST_F(ScpRequests, SilentDeviceFailsAfterBothAttempts) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig("silent = yes\n"));
    auto start = std::chrono::steady_clock::now();
    Bytes reply = Ask(REQUEST_GET, WithBlock(Body(), {"NETWORK.PORT"}), 60s);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], REPLY_FAILED);
    // Two attempts of three sends, 3 s each: about 18 s.
    EXPECT_GE(elapsed, 15s);
    EXPECT_LT(elapsed, 45s);
    EXPECT_EQ(SimCount("SCP rx GET"), 6);
}

TEST_F(ScpRequests, DeviceWithTheLegacyKeyIsReachedByTheSecondAttempt) {
    KIVO_REQUIRE_ROOT();
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    topo.StartDevsim(DeviceConfig("hash = legacy\n"));
    // In process, with short waits, through the same handler the service runs.
    ServiceState& state = ServiceStateGet();
    const kivo::scp::Settings saved = ScpSettings();
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.scp = kivo::scp::Settings::WithTimeout(1, 1);
    }
    std::vector<INT8U> message(KIVO_MESSAGE_SIZE, 0);
    Bytes req = {1, 0, 0, 0, REQUEST_SET};
    Bytes body = WithBlock(Body(), {"NETWORK.PORT", "7"});
    req.insert(req.end(), body.begin(), body.end());
    std::copy(req.begin(), req.end(), message.begin());
    INT32S n;
    {
        NsGuard g(topo.host());
        n = SetGet(static_cast<INT32S>(req.size()), message.data()).length;
    }
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.scp = saved;
    }
    ASSERT_GE(n, 8);
    EXPECT_EQ(message[3], REPLY_SCP_DATA);
    EXPECT_EQ(ScpTexts(Bytes(message.begin(), message.begin() + n)),
              (std::vector<std::string>{"NETWORK.PORT", "OK"}));
    EXPECT_EQ(SimCount("dropped: no key of the device matches"), 1);
    EXPECT_EQ(SimCount("key=legacy"), 1);
}

// A value without a single digit, or with more than the number in it, is refused before
// the set is sent; blanks around the number are not "more".
TEST_F(ScpRequests, ValueWithoutADigitIsRefusedAndNothingIsSet) {
    KIVO_REQUIRE_ROOT();
    Start(DeviceConfig());
    for (const char* value : {"fast", "12abc"}) {
        Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"NETWORK.PORT", value}));
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(reply[3], REPLY_FAILED);
    }
    EXPECT_EQ(SimCount("SCP rx SET"), 0) << SimLog();
    Bytes reply = Ask(REQUEST_SET, WithBlock(Body(), {"NETWORK.PORT", " 12 "}));
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"NETWORK.PORT", "OK"}));
    reply = Ask(REQUEST_GET, WithBlock(Body(), {"NETWORK.PORT"}));
    EXPECT_EQ(ScpTexts(reply), (std::vector<std::string>{"NETWORK.PORT", "12"}));
}
