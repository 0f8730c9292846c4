// The SCP client in process, against a scripted device on the far end of a veth
// pair: what goes on the wire, which replies are accepted, and how every failure is
// reported. Time-outs are shortened with the client's setters.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_scp.h"
#include "scp_client_legacy.h"
#include "scp_client_legacy_internal.h"

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

// Names requested in a plain get.
std::vector<std::string> Names(const Bytes& items) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos + 4 <= items.size()) {
        size_t len = (items[pos] << 8) | items[pos + 1];
        if (items[pos] == 0xE6 && items[pos + 1] == 0xE6) break;
        if (items[pos + 2] == 1) names.emplace_back(items.begin() + pos + 4, items.begin() + pos + 2 + len);
        pos += len + 2;
    }
    return names;
}

class ScpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "needs root (namespaces)";
        topo = std::make_unique<Topology>();
        topo->Link("eth1", "eth1", kHostMac, kDevMac);
        devMac = ParseMac(kDevMac);
        hostMac = ParseMac(kHostMac);
        ScpClientTimeoutSet(1);
        ScpClientMaxRetransmissionsSet(3);
    }
    void TearDown() override {
        peer.reset();
        topo.reset();
    }

    void Serve(ScpPeer::Handler handler) {
        peer = std::make_unique<ScpPeer>(topo->dev(), "eth1", devMac, std::move(handler));
    }

    t_scpErrorCode Run(t_scpOp op, const Bytes& data, const std::string& ifname = "eth1") {
        NsGuard g(topo->host());
        info.assign(SCP_INFO_BUFFER_SIZE, 0);
        infoSize = 0;
        std::string name = ifname;
        return ScpClient(name.data(), devMac.data(), op, reinterpret_cast<const INT8U*>(kPassword.c_str()),
                         data.empty() ? nullptr : data.data(), static_cast<INT32U>(data.size()), info.data(),
                         &infoSize);
    }
    std::vector<std::string> InfoTexts() { return Texts(info, infoSize); }

    std::unique_ptr<Topology> topo;
    std::unique_ptr<ScpPeer> peer;
    Mac devMac{};
    Mac hostMac{};
    Bytes info;
    uint32_t infoSize = 0;
    const Bytes shaKey = ScpKey(kPassword, false);
    const Bytes legacyKey = ScpKey(kPassword, true);
};

}  // namespace

TEST_F(ScpClientTest, GetAllSendsAnEmptyPlainGetAndReturnsNameValueTexts) {
    Serve([&](const ScpRequest& r) {
        Bytes items = Concat({ScpName("SYS.MAC"), ScpValue(8, {0, 0x11, 0x22, 0x33, 0x44, 0x55}), ScpName("SYS.N"),
                              ScpValue(6, {0, 0, 1, 0})});
        return std::vector<Bytes>{ScpReply(r, items, {})};
    });
    ASSERT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"SYS.MAC", "00:11:22:33:44:55", "SYS.N", "256"}));
    ASSERT_EQ(peer->RequestCount(), 1u);
    ScpRequest r = peer->Requests()[0];
    EXPECT_EQ(r.frame.size(), 46u) << "a 14-byte message is zero-filled to 24";
    EXPECT_EQ(r.lengthField, 22);
    EXPECT_EQ(r.src, hostMac);
    EXPECT_EQ(Bytes(r.frame.begin() + 14, r.frame.begin() + 22), (Bytes{0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x16, 0x01}));
    EXPECT_EQ(r.opcode, 1);
    EXPECT_EQ(r.seq, 1);
    EXPECT_EQ(r.lastItem, 0);
    EXPECT_EQ(r.payloadLength, 0);
    EXPECT_EQ(r.crc, 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(r.frame.begin() + 36, r.frame.end()), Bytes(10, 0));
}

TEST_F(ScpClientTest, GetReplySpanningThreeMessagesWithItemsCarriedAcross) {
    Bytes stream = Concat({ScpName("A.FIRST"), ScpValue(10, Bytes(40, 'x')), ScpName("B.SECOND"),
                           ScpValue(4, {0, 7}), ScpName("C.THIRD"), ScpValue(9, {10, 0, 0, 1})});
    Serve([&](const ScpRequest& r) {
        // Cut inside items: 20 bytes, 37 bytes, the rest.
        Bytes p1(stream.begin(), stream.begin() + 20), p2(stream.begin() + 20, stream.begin() + 57),
            p3(stream.begin() + 57, stream.end());
        return std::vector<Bytes>{ScpReply(r, p1, {.seq = 1, .last = false}), ScpReply(r, p2, {.seq = 2, .last = false}),
                                  ScpReply(r, p3, {.seq = 3, .last = true})};
    });
    ASSERT_EQ(Run(SCP_OP_GET, Data({"A.FIRST", "B.SECOND", "C.THIRD"})), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"A.FIRST", std::string(40, 'x'), "B.SECOND", "7", "C.THIRD",
                                                     "10.0.0.1"}));
    ASSERT_EQ(peer->RequestCount(), 1u) << "further replies are waited for without sending again";
    EXPECT_EQ(Names(peer->Requests()[0].payload), (std::vector<std::string>{"A.FIRST", "B.SECOND", "C.THIRD"}));
}

TEST_F(ScpClientTest, ErrorItemGivesItsTextAndTheSecondAttemptRuns) {
    Serve([&](const ScpRequest& r) {
        Bytes items = Concat({ScpName("A"), ScpValue(2, {5}), ScpName("NOPE"), ScpStatus(-36)});
        return std::vector<Bytes>{ScpReply(r, items, {})};
    });
    EXPECT_EQ(Run(SCP_OP_GET, Data({"A", "NOPE"})), SCP_ERROR_PARAM_OP_FAILED);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"A", "5", "NOPE",
                                                     "ERROR -36 Searching for a parameter that has not been installed"}));
    EXPECT_EQ(peer->RequestCount(), 2u);
}

TEST_F(ScpClientTest, RepliesFromElsewhereOrForOtherExchangesAreSkipped) {
    Serve([&](const ScpRequest& r) {
        Bytes decoy = Concat({ScpName("DECOY"), ScpValue(2, {9})});
        Bytes good = Concat({ScpName("A"), ScpValue(2, {1})});
        Mac stranger = ParseMac("02:00:00:00:09:09");
        std::vector<Bytes> out;
        out.push_back(ScpReply(r, decoy, {.src = &stranger}));       // another device
        out.push_back(ScpReply(r, decoy, {.dst = &stranger}));       // to another host
        out.push_back(ScpReply(r, decoy, {.opNumber = r.opNumber ^ 0x40}));
        out.push_back(ScpReply(r, decoy, {.seq = 2}));
        out.push_back(ScpReply(r, decoy, {.frameType = 0x17}));
        out.push_back(ScpReply(r, decoy, {.lengthExtra = 700}));     // claims more than it carries
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

TEST_F(ScpClientTest, BadCrcCountsAsAMissingReply) {
    Serve([&](const ScpRequest& r) {
        bool first = peer == nullptr || peer->RequestCount() == 1;
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {3})}), {.badCrc = first})};
    });
    ASSERT_EQ(Run(SCP_OP_GET, Data({"A"})), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"A", "3"}));
    EXPECT_EQ(peer->RequestCount(), 2u) << "the request is sent again at once";
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_GET_1) << "kept after a later success";
}

TEST_F(ScpClientTest, AReplyClaimingMoreThanItCarriesIsNeverRead) {
    ScpClientMaxRetransmissionsSet(1);
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {3})}), {.lengthExtra = 1400})};
    });
    EXPECT_EQ(Run(SCP_OP_GET, Data({"A"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_GET_1);
    EXPECT_EQ(infoSize, 0u);
}

TEST_F(ScpClientTest, SetAsksForTheTypeThenSendsAnEncipheredSetWithTheNextOpNumber) {
    Serve([&](const ScpRequest& r) {
        if (r.opcode == 1) return std::vector<Bytes>{ScpReply(r, Concat({ScpName("P.N"), ScpValue(4, {0, 1})}), {})};
        Bytes reply = Concat({ScpName("P.N"), ScpStatus(0)});
        return std::vector<Bytes>{ScpReply(r, reply, {.opcode = 5, .key = &shaKey})};
    });
    ASSERT_EQ(Run(SCP_OP_SET, Data({"P.N", "513"})), SCP_ERROR_NONE);
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"P.N", "OK"}));
    auto reqs = peer->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].opcode, 1);
    EXPECT_EQ(reqs[0].payload, ScpName("P.N")) << "the type query is plain and carries names only";
    EXPECT_EQ(reqs[1].opcode, 2);
    EXPECT_EQ(reqs[1].opNumber, static_cast<uint8_t>(reqs[0].opNumber + 1));
    Bytes plain = ScpPeer::Plain(reqs[1], shaKey);
    Bytes expected = ScpPad(Concat({ScpName("P.N"), ScpValue(4, {0x02, 0x01})}));
    EXPECT_EQ(plain, expected);
    EXPECT_EQ(reqs[1].crc, ScpCrc(expected));
}

TEST_F(ScpClientTest, SetOfAnUnknownNameEndsBeforeAnySetRequest) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("P.X"), ScpStatus(-36)}), {})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"P.X", "1"})), SCP_ERROR_RX_FORMAT);
    auto reqs = peer->Requests();
    ASSERT_EQ(reqs.size(), 2u) << "one type query per attempt";
    for (const auto& r : reqs) EXPECT_EQ(r.opcode, 1);
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
    EXPECT_EQ(peer->RequestCount(), 0u);
    // A set list of 1475 bytes (name item 5, value item 1470): the type query goes
    // out, the set does not.
    EXPECT_EQ(Run(SCP_OP_SET, Data({"S", std::string(1466, 'v')})), SCP_ERROR_FORMAT);
    for (const auto& r : peer->Requests()) EXPECT_EQ(r.opcode, 1);
    EXPECT_EQ(peer->RequestCount(), 2u);
}

TEST_F(ScpClientTest, FactoryResetSendsTheFixedListAndTheLegacyKeyIsTheSecondAttempt) {
    ScpClientMaxRetransmissionsSet(1);
    // The device knows only the legacy key: the first attempt's request fails its
    // CRC there and is ignored.
    Serve([&](const ScpRequest& r) {
        Bytes plain = ScpPeer::Plain(r, legacyKey);
        if (ScpCrc(plain) != r.crc) return std::vector<Bytes>{};
        Bytes reply = Concat({ScpName("FACTORYRESET.GENERAL.FORCE_RESET"), ScpStatus(0)});
        return std::vector<Bytes>{ScpReply(r, reply, {.opcode = 6, .key = &legacyKey})};
    });
    ASSERT_EQ(Run(SCP_OP_FACTORY_RESET, Data({"ignored", "x"})), SCP_ERROR_NONE);
    auto reqs = peer->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    const Bytes fixed = Concat({Bytes{0x00, 0x22, 0x01, 0x0A}, Data({"FACTORYRESET.GENERAL.FORCE_RESET"}),
                                Bytes{0x00, 0x03, 0x02, 0x02, 0x01}});
    Bytes expected41(fixed.begin(), fixed.end());
    expected41.erase(expected41.begin() + 36);  // the helper's zero byte is not part of the list
    ASSERT_EQ(expected41.size(), 41u);
    for (const auto& r : reqs) {
        EXPECT_EQ(r.opcode, 3);
        EXPECT_EQ(r.payloadLength, 48);
    }
    EXPECT_EQ(ScpPeer::Plain(reqs[0], shaKey), ScpPad(expected41));
    EXPECT_EQ(ScpPeer::Plain(reqs[1], legacyKey), ScpPad(expected41));
    EXPECT_EQ(InfoTexts(), (std::vector<std::string>{"FACTORYRESET.GENERAL.FORCE_RESET", "OK"}));
}

TEST_F(ScpClientTest, NoSendsAllowedIsATimeoutNeverASuccess) {
    Serve([&](const ScpRequest&) { return std::vector<Bytes>{}; });
    ScpClientMaxRetransmissionsSet(0);
    EXPECT_EQ(Run(SCP_OP_FACTORY_RESET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_SET_1);
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_GET_2);
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_SET_6);
    EXPECT_EQ(peer->RequestCount(), 0u);
}

TEST_F(ScpClientTest, SilentDeviceGetsThreeSendsPerAttempt) {
    ScpClientTimeoutSet(0);
    Serve([&](const ScpRequest&) { return std::vector<Bytes>{}; });
    EXPECT_EQ(Run(SCP_OP_GET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_GET_1);
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_SET_6);
    EXPECT_EQ(Run(SCP_OP_FACTORY_RESET, {}), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_SET_1);
    // Frames arrive asynchronously: wait until all 18 sends have been seen.
    for (int i = 0; i < 100 && peer->RequestCount() < 18; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(peer->RequestCount(), 18u);
}

TEST_F(ScpClientTest, MissingFurtherReplyOfATypeQuery) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {.last = false})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "1"})), SCP_ERROR_TIMEOUT);
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_SET_7);
}

TEST_F(ScpClientTest, MissingFurtherReplyOfAGet) {
    Serve([&](const ScpRequest& r) {
        return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {.last = false})};
    });
    // One attempt through the exchange itself: the further wait is five times the
    // standard time-out.
    NsGuard g(topo->host());
    int s = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    ASSERT_GE(s, 0);
    struct sockaddr_ll addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(if_nametoindex("eth1"));
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    scp_internal::ScpLink link{s, &addr, hostMac.data(), devMac.data()};
    INT8U noKey[32] = {};
    Bytes names = Data({"A"});
    info.assign(SCP_INFO_BUFFER_SIZE, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(scp_internal::getOperation(link, 9, names.data(), static_cast<INT32U>(names.size()), FALSE, noKey,
                                         info.data(), &infoSize),
              SCP_ERROR_TIMEOUT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ScpClientErrorTimeoutCodeGet(), SCP_ERROR_TIMEOUT_GET_3);
    EXPECT_GE(elapsed, 4500ms);
    EXPECT_LT(elapsed, 15s);
    close(s);
}

TEST_F(ScpClientTest, EndlessMoreToComeSetRepliesAreBounded) {
    Serve([&](const ScpRequest& r) {
        if (r.opcode == 1) return std::vector<Bytes>{ScpReply(r, Concat({ScpName("A"), ScpValue(2, {1})}), {})};
        // Answer in the key the request came in (each attempt uses its own).
        const Bytes* key = ScpCrc(ScpPeer::Plain(r, shaKey)) == r.crc ? &shaKey : &legacyKey;
        return std::vector<Bytes>{
            ScpReply(r, Concat({ScpName("A"), ScpStatus(0)}), {.opcode = 5, .last = false, .key = key})};
    });
    EXPECT_EQ(Run(SCP_OP_SET, Data({"A", "2"})), SCP_ERROR_GET_TOO_BIG);
    EXPECT_GT(peer->RequestCount(), 100u);
    EXPECT_LE(peer->RequestCount(), 2u * (scp_internal::SCP_REPLY_MESSAGES_MAX + 2));
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
    EXPECT_EQ(Run(SCP_OP_GET, {}, "abcdefghijklmnop"), SCP_ERROR_ETH_IF) << "16 bytes do not fit an interface name";
    EXPECT_EQ(Run(SCP_OP_GET, {}, "nosuchif0"), SCP_ERROR_ETH_IF_MAC);
    EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(ScpClientTest, OneWaitBudgetAcrossSkippedFrames) {
    ScpClientMaxRetransmissionsSet(1);
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
