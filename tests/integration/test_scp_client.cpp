// The SCP client in process, against a scripted device on the far end of a veth
// pair: what goes on the wire, which replies are accepted, and how every failure is
// reported. Time-outs are shortened through the session's settings.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_scp.h"
#include "port.h"
#include "scp_client_legacy.h"
#include "scp_client_legacy_internal.h"
#include "status.h"

using namespace kivotest;

namespace {

const char* kHostMac = "02:00:00:00:01:01";
const char* kDevMac = "02:00:00:00:01:02";
const std::string kPassword = "s3cret";

std::vector<std::string> Texts(const Bytes& info, uint32_t size) {
    std::vector<std::string> out;
    std::string cur;
    for (uint32_t i = 0; i < size; ++i) {
        if (info[i] == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(info[i]);
        }
    }
    return out;
}

Bytes Data(std::initializer_list<std::string> texts) {
    Bytes out;
    for (const std::string& t : texts) {
        out.insert(out.end(), t.begin(), t.end());
        out.push_back(0);
    }
    return out;
}

class ScpClientTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "needs root (namespaces)";
        topo = std::make_unique<Topology>();
        topo->Link("eth1", "eth1", kHostMac, kDevMac);
        devMac = ParseMac(kDevMac);
        hostMac = ParseMac(kHostMac);
        TimeoutSet(1);
        SendsSet(3);
    }
    void TearDown() override {
        peer.reset();
        topo.reset();
    }

    void Serve(ScpPeer::Handler handler) {
        peer = std::make_unique<ScpPeer>(topo->dev(), "eth1", devMac, std::move(handler));
    }

    // The standard wait, and five times that for the further replies of a get.
    void TimeoutSet(uint32_t seconds) {
        settings = kivo::scp::Settings::WithTimeout(seconds, settings.maxSends);
    }
    void SendsSet(uint32_t sends) { settings.maxSends = sends; }

    kivo::Status Run(t_scpOp op, const Bytes& data, const std::string& ifname = "eth1",
                     const std::string& password = kPassword) {
        NsGuard g(topo->host());
        const kivo::scp::Session session(ifname, devMac, settings);
        kivo::scp::Answer answer = session.Run(op, password, data);
        info = std::move(answer.info);
        infoSize = static_cast<uint32_t>(info.size());
        timeoutCode = answer.timeoutCode;
        return answer.result;
    }
    std::vector<std::string> InfoTexts() { return Texts(info, infoSize); }

    std::unique_ptr<Topology> topo;
    std::unique_ptr<ScpPeer> peer;
    Mac devMac{};
    Mac hostMac{};
    kivo::scp::Settings settings;
    Bytes info;
    uint32_t infoSize = 0;
    t_scpErrorTimeoutCode timeoutCode = SCP_ERROR_TIMEOUT_NONE;
    const Bytes shaKey = ScpKey(kPassword, false);
    const Bytes legacyKey = ScpKey(kPassword, true);
};

}  // namespace

TEST_F(ScpClientTest, RepliesFromElsewhereOrForOtherExchangesAreSkipped) {
    Serve([&](const ScpRequest& r) {
        Bytes decoy = Concat({ScpName("DECOY"), ScpValue(2, {9})});
        Bytes good = Concat({ScpName("A"), ScpValue(2, {1})});
        Mac stranger = ParseMac("02:00:00:00:09:09");
        std::vector<Bytes> out;
        out.push_back(ScpReply(r, decoy, {.src = &stranger}));  // another device
        out.push_back(ScpReply(r, decoy, {.dst = &stranger}));  // to another host
        out.push_back(ScpReply(r, decoy, {.opNumber = r.opNumber ^ 0x40}));
        out.push_back(ScpReply(r, decoy, {.seq = 2}));
        out.push_back(ScpReply(r, decoy, {.frameType = 0x17}));
        out.push_back(ScpReply(r, decoy, {.lengthExtra = 700}));  // claims more than it carries
        Bytes shortFrame = ScpReply(r, decoy, {});
        shortFrame.resize(35);
        out.push_back(shortFrame);
        out.push_back(ScpReply(r, good, {}));
        return out;
    });
    ASSERT_EQ(Run(SCP_OP_GET, Data({"A"})), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"A", "1"}));
    EXPECT_EQ(peer->RequestCount(), 1u);
}

TEST_F(ScpClientTest, AReplyClaimingMoreThanItCarriesIsNeverRead) {
    SendsSet(1);
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{
            ScpReply(r, Concat({ScpName("A"), ScpValue(2, {3})}), {.lengthExtra = 1400})};
    });
    EXPECT_EQ(Run(SCP_OP_GET, Data({"A"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_GET_1);
    EXPECT_EQ(infoSize, 0u);
}

TEST_F(ScpClientTest, SetWithFewerReportedTypesThanPairsSendsNoSet) {
    Serve([&](const ScpRequest& r) {
        // Two names asked, one value reported.
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1}), ScpName("B")}), {})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1", "B", "2"})), SCP_ERROR_FORMAT);
    for (const auto& r : peer->Requests()) EXPECT_EQ(r.opcode, 1);
}

TEST_F(ScpClientTest, ListsTooLongForTheirFrameAreRefusedBeforeSending) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("S"), ScpValue(10, Bytes(3, 'a'))}), {})};
    });
    // A name whose item would take the get list past 1478 bytes.
    EXPECT_EQ(Run(SCP_OP_GET, Data({std::string(1475, 'N')})), SCP_ERROR_FORMAT);
    // A private get of 1473 bytes would need padding past the frame.
    EXPECT_EQ(Run(SCP_OP_GETP, Data({std::string(1469, 'N')})), SCP_ERROR_FORMAT);
    // A set with nothing to set does not even ask for types.
    EXPECT_EQ(Run(SCP_OP_SET, {}), SCP_ERROR_FORMAT);
    EXPECT_EQ(peer->RequestCount(), 0u);
    // A set list of 1475 bytes (name item 5, value item 1470): the type query goes
    // out, the set does not.
    EXPECT_EQ(Run(SCP_OP_SET, Data({"S", std::string(1466, 'v')})), SCP_ERROR_FORMAT);
    for (const auto& r : peer->Requests()) EXPECT_EQ(r.opcode, 1);
    EXPECT_EQ(peer->RequestCount(), 2u);
}

TEST_F(ScpClientTest, NoSendsAllowedIsATimeoutNeverASuccess) {
    Serve([&](const ScpRequest&) { return std::vector<Bytes>{}; });
    SendsSet(0);
    EXPECT_EQ(Run(SCP_OP_FACTORY_RESET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_SET_1);
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_GET_2);
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_SET_6);
    EXPECT_EQ(peer->RequestCount(), 0u);
}

TEST_F(ScpClientTest, SilentDeviceGetsThreeSendsPerAttempt) {
    TimeoutSet(0);
    Serve([&](const ScpRequest&) { return std::vector<Bytes>{}; });
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_GET_1);
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_SET_6);
    EXPECT_EQ(Run(SCP_OP_FACTORY_RESET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_SET_1);
    // Frames arrive asynchronously: wait until all 18 sends have been seen, generously
    // (the peer's thread may wait for a CPU on a loaded machine).
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (peer->RequestCount() < 18 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(peer->RequestCount(), 18u);
}

TEST_F(ScpClientTest, MissingFurtherReplyOfATypeQuery) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {.last = false})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_SET_7);
}

TEST_F(ScpClientTest, MissingFurtherReplyOfAGet) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {.last = false})};
    });
    // One attempt through the exchange itself: the further wait is five times the
    // standard time-out.
    NsGuard g(topo->host());
    kivo::l2::Port port;
    ASSERT_EQ(port.Open("eth1"), kivo::l2::PortStatus::kOk);
    kivo::scp::Exchange exchange(port, devMac.data(), settings, 9);
    INT8U noKey[32] = {};
    Bytes names = Data({"A"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange.Get(names.data(), static_cast<INT32U>(names.size()), false, noKey, info),
              SCP_ERROR_TIMEOUT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(exchange.timeoutCode(), SCP_ERROR_TIMEOUT_GET_3);
    EXPECT_GE(elapsed, 4500ms);
    EXPECT_LT(elapsed, 15s);
}

TEST_F(ScpClientTest, EndlessMoreToComeSetRepliesAreBounded) {
    Serve([&](const ScpRequest& r) {
        if (r.opcode == 1)
            return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {})};
        // Answer in the key the request came in (each attempt uses its own).
        const Bytes* key = ScpCrc(ScpPeer::Plain(r, shaKey)) == r.crc ? &shaKey : &legacyKey;
        return std::vector<Bytes>{
            ScpReply(r, Concat({ScpName("A"), ScpStatus(0)}), {.opcode = 5, .last = false, .key = key})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "2"})), SCP_ERROR_GET_TOO_BIG);
    EXPECT_GT(peer->RequestCount(), 100u);
    EXPECT_LE(peer->RequestCount(), 2u * (kivo::scp::kReplyMessagesMax + 2));
}

TEST_F(ScpClientTest, SetRepliesBeyondTheByteBoundAreRefused) {
    // Large "more to come" replies reach the 80000-byte bound long before the bound
    // on the number of messages.
    Serve([&](const ScpRequest& r) {
        if (r.opcode == 1)
            return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {})};
        const Bytes* key = ScpCrc(ScpPeer::Plain(r, shaKey)) == r.crc ? &shaKey : &legacyKey;
        Bytes big = Concat({ScpName(std::string(1400, 'B')), ScpStatus(0)});
        return std::vector<Bytes>{ScpReply(r, big, {.opcode = 5, .last = false, .key = key})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "2"})), SCP_ERROR_GET_TOO_BIG);
    // 1412 usable bytes per reply: the 57th passes 80000. One type query and 57 sets
    // per attempt.
    EXPECT_EQ(peer->RequestCount(), 2u * (1 + 57));
    EXPECT_EQ(infoSize, 0u);
}

TEST_F(ScpClientTest, AFailedSendEndsTheExchange) {
    Serve([&](const ScpRequest&) { return std::vector<Bytes>{}; });
    ASSERT_EQ(topo->host().Run("ip link set eth1 down"), 0);
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_SENDTO);
    EXPECT_EQ(timeoutCode, SCP_ERROR_TIMEOUT_SET_3);
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_SENDTO);
    EXPECT_EQ(Run(SCP_OP_FACTORY_RESET, {}), SCP_ERROR_SENDTO);
}

TEST_F(ScpClientTest, GetRepliesBeyondTheBoundAreRefused) {
    Serve([&](const ScpRequest& r) {
        std::vector<Bytes> out;
        Bytes big = Concat({ScpName("A"), ScpValue(10, Bytes(1469, 's'))});  // 1478 bytes
        for (int seq = 1; seq <= 56; ++seq) out.push_back(ScpReply(r, big, {.seq = seq, .last = seq == 56}));
        return out;
    });
    // 55 full replies hold 81290 bytes.
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_GET_TOO_BIG);
    EXPECT_EQ(infoSize, 0u);
}

TEST_F(ScpClientTest, InterfaceNamesAreCheckedAndEarlyFailuresCloseTheSocket) {
    int before = OpenFdCount();
    EXPECT_EQ(Run(SCP_OP_GET, {}, "abcdefghijklmnop"), SCP_ERROR_ETH_IF)
        << "16 bytes do not fit an interface name";
    EXPECT_EQ(Run(SCP_OP_GET, {}, "nosuchif0"), SCP_ERROR_ETH_IF_MAC);
    EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(ScpClientTest, OneWaitBudgetAcrossSkippedFrames) {
    SendsSet(1);
    Serve([&](const ScpRequest&) { return std::vector<Bytes>{}; });
    // A stream of frames from the device that never match keeps the socket busy.
    ScpRequest fake;
    fake.dst = devMac;
    fake.src = hostMac;
    fake.opNumber = 0;
    peer->Tick(ScpReply(fake, ScpName("NOISE"), {.seq = 200}), 20ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_TIMEOUT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 1800ms) << "two attempts of one 1 s wait";
    EXPECT_LT(elapsed, 6s);
}

TEST_F(ScpClientTest, PrivateGetIsEncipheredBothWaysAndItemsCrossMessages) {
    Serve([&](const ScpRequest& r) {
        Bytes plain = ScpPeer::Plain(r, shaKey);
        if (r.opcode != 7 || ScpCrc(plain) != r.crc) return std::vector<Bytes>{};
        // 34 bytes of items: the first message holds 16 (no padding, cut inside an
        // item), the second the other 18 plus padding.
        Bytes stream = Concat({ScpName("PRIV.A"), ScpValue(10, Bytes(12, 'q')), ScpName("PRIV")});
        EXPECT_EQ(stream.size(), 34u);
        Bytes p1(stream.begin(), stream.begin() + 16), p2(stream.begin() + 16, stream.end());
        return std::vector<Bytes>{ScpReply(r, p1, {.opcode = 9, .seq = 1, .last = false, .key = &shaKey}),
                                  ScpReply(r, p2, {.opcode = 9, .seq = 2, .last = true, .key = &shaKey})};
    });
    ASSERT_EQ(Run(SCP_OP_GETP, Data({"PRIV.A", "PRIV"})), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"PRIV.A", std::string(12, 'q'), "PRIV"}));
    auto reqs = peer->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(ScpPeer::Plain(reqs[0], shaKey), ScpPad(Concat({ScpName("PRIV.A"), ScpName("PRIV")})));
}

TEST_F(ScpClientTest, RequestFramesGoOutAsBuiltWithoutEthernetPadding) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {})};
    });
    ASSERT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_NONE);
    ASSERT_EQ(Run(SCP_OP_GET, Data({std::string(40, 'N')})), SCP_ERROR_NONE);
    auto reqs = peer->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    // A message under 24 bytes is zero-filled to 24 and the frame stays at 46 bytes;
    // the length field counts the SNAP header and the unfilled message.
    Bytes expected =
        Concat({Bytes(devMac.begin(), devMac.end()),
                Bytes(hostMac.begin(), hostMac.end()),
                {0x00, 0x16, 0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x16, 0x01},
                {0x01, 0x01, 0x00, reqs[0].opNumber, 0x01, 0x00, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                Bytes(10, 0)});
    EXPECT_EQ(reqs[0].frame, expected);
    // Longer messages are sent as they are: 22 header bytes, 14 message header bytes,
    // one 44-byte name item.
    EXPECT_EQ(reqs[1].frame.size(), 22u + 14u + 44u);
    EXPECT_EQ(reqs[1].lengthField, 8u + 14u + 44u);
}

// Whoever sees the op number on the segment can send a reply; only one made with the
// key may count for an operation whose replies are enciphered.
TEST_F(ScpClientTest, ClearTextRepliesToEncipheredOperationsAreRefused) {
    SendsSet(1);
    // 13 bytes of items: not a whole number of cipher blocks, valid CRC in clear text.
    const Bytes forged = Concat({ScpName("A"), ScpStatus(0)});
    ASSERT_NE(forged.size() % 8, 0u);
    Serve([&](const ScpRequest& r) {
        if (r.opcode == 1)  // the type query of a plain set is answered truthfully
            return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {})};
        const uint8_t replyOpcode = r.opcode == 2 ? 5 : r.opcode == 3 ? 6 : r.opcode == 7 ? 9 : 0;
        return std::vector<Bytes>{ScpReply(r, forged, {.opcode = replyOpcode})};
    });
    // Refused like a reply with a bad CRC; to the user it is a device that does not answer.
    const kivo::Status failure = Run(SCP_OP_SET, Data({"A", "1"}));
    EXPECT_EQ(failure, SCP_ERROR_CRC);
    EXPECT_EQ(failure.reason, kivo::Reason::kNoAnswer);
    EXPECT_EQ(failure.text,
              std::string("device ") + kDevMac +
                  " did not answer on eth1 within 1 s per try (a wrong password looks the same: "
                  "check the password)");
    EXPECT_EQ(Run(SCP_OP_FACTORY_RESET, {}), SCP_ERROR_CRC);
    EXPECT_EQ(Run(SCP_OP_GETP, Data({"A"})), SCP_ERROR_CRC);
    // Each request was sent once per key: no forged reply ended an exchange.
    size_t sets = 0, resets = 0, privateGets = 0;
    for (const ScpRequest& r : peer->Requests()) {
        sets += r.opcode == 2;
        resets += r.opcode == 3;
        privateGets += r.opcode == 7;
    }
    EXPECT_EQ(sets, 2u);
    EXPECT_EQ(resets, 2u);
    EXPECT_EQ(privateGets, 2u);
}

// About one password in 256 gives a key whose first byte is 0; its private replies
// are enciphered like any other's.
TEST_F(ScpClientTest, PrivateGetWorksWithAKeyStartingWithZero) {
    std::string password;
    Bytes key;
    for (int i = 0; i < 100000 && (key.empty() || key[0] != 0); ++i) {
        password = "pw" + std::to_string(i);
        key = ScpKey(password, false);
    }
    ASSERT_EQ(key[0], 0) << "no such password found";
    Serve([&](const ScpRequest& r) {
        if (r.opcode != 7 || ScpCrc(ScpPeer::Plain(r, key)) != r.crc) return std::vector<Bytes>{};
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("PRIV.A"), ScpValue(10, Bytes(3, 'q'))}),
                                           {.opcode = 9, .key = &key})};
    });
    ASSERT_EQ(Run(SCP_OP_GETP, Data({"PRIV.A"}), "eth1", password), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"PRIV.A", "qqq"}));
    EXPECT_EQ(peer->RequestCount(), 1u);
}

// Two exchanges on one interface at once, to two devices, under the same operation
// number: device B answers at once, device A late. Only the source address tells the
// replies apart, and each exchange takes its own device's.
TEST_F(ScpClientTest, ExchangesWithTwoDevicesOnOneInterfaceEachTakeTheirOwnReply) {
    const Mac otherMac = ParseMac("02:00:00:00:01:03");
    Serve([&](const ScpRequest& r) {
        std::this_thread::sleep_for(300ms);
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {})};
    });
    ScpPeer other(topo->dev(), "eth1", otherMac, [&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {2})}), {})};
    });
    TimeoutSet(10);
    SendsSet(1);
    NsGuard g(topo->host());
    const Bytes names = Data({"A"});
    auto get = [&](const Mac& mac, Bytes& out, t_scpErrorCode& result) {
        kivo::l2::Port port;
        if (port.Open("eth1") != kivo::l2::PortStatus::kOk) return;
        kivo::scp::Exchange exchange(port, mac.data(), settings, 9);
        INT8U noKey[32] = {};
        result = exchange.Get(names.data(), static_cast<INT32U>(names.size()), false, noKey, out);
    };
    Bytes fromA, fromB;
    t_scpErrorCode resultA = SCP_ERROR_BAD_ARGS, resultB = SCP_ERROR_BAD_ARGS;
    // Threads started inside the host namespace stay in it.
    std::thread a([&] { get(devMac, fromA, resultA); });
    std::thread b([&] { get(otherMac, fromB, resultB); });
    a.join();
    b.join();
    EXPECT_EQ(resultA, SCP_ERROR_NONE);
    EXPECT_EQ(resultB, SCP_ERROR_NONE);
    EXPECT_EQ(Texts(fromA, static_cast<uint32_t>(fromA.size())), (std::vector<std::string>{"A", "1"}));
    EXPECT_EQ(Texts(fromB, static_cast<uint32_t>(fromB.size())), (std::vector<std::string>{"A", "2"}));
    EXPECT_EQ(peer->RequestCount(), 1u);
    EXPECT_EQ(other.RequestCount(), 1u);
}
