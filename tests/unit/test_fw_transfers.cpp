// The transfer listing (request 0xF2): the service's encoder read back by the client
// library's parser, its bounds, and how many finished transfers a server keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo_client.h"
#include "l2fwserver.h"
#include "service_internal.h"

namespace kc = kivo::client;
using kivo::fw::TransferRecord;

namespace {

// A reply as the handler sends it: header, reply code, body.
std::vector<uint8_t> Reply(const std::vector<TransferRecord>& list, uint64_t now) {
    std::vector<uint8_t> out(4 + 4096);
    out[0] = 7;
    out[1] = 1;
    out[3] = 0xF2;
    const size_t n = kivo::service::FwTransfersEncode(list, now, out.data() + 4, out.size() - 4);
    EXPECT_GT(n, 0u);
    out.resize(4 + n);
    return out;
}

std::vector<TransferRecord> TwoRecords() {
    TransferRecord done;
    done.kind = kivo::fw::TransferKind::kUpgrade;
    done.interfaceName = "eth1";
    done.device = kivo::l2::Mac{0x02, 0, 0, 0, 0, 0xB1};
    done.state = L2FWSERVER_STATE_ERROR;
    done.sent = 1024;
    done.total = 262144;
    done.retransmissions = 4;
    done.failure = {kivo::Reason::kAckMissing, "acknowledgement missing"};
    done.startMs = 1000;
    done.endMs = 3300;
    TransferRecord boot;
    boot.kind = kivo::fw::TransferKind::kEthBoot;
    boot.interfaceName = "veth-long-name0";
    boot.state = L2FWSERVER_STATE_WAITING;
    boot.startMs = 5000;
    boot.latest = true;
    return {done, boot};
}

}  // namespace

TEST(FwTransferListing, EncodedRecordsReadBackFieldForField) {
    const std::vector<uint8_t> reply = Reply(TwoRecords(), 0x0102030405060708ull);
    // The clock first, then the count.
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 4, reply.begin() + 13),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 2}));
    auto parsed = kc::ParseFwTransfers(reply);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->nowMs, 0x0102030405060708ull);
    ASSERT_EQ(parsed->transfers.size(), 2u);
    const kc::FwTransfer& a = parsed->transfers[0];
    EXPECT_FALSE(a.latest);
    EXPECT_EQ(a.kind, 1);
    EXPECT_EQ(a.interface, "eth1");
    ASSERT_TRUE(a.device);
    EXPECT_EQ(kc::MacText(*a.device), "02:00:00:00:00:b1");
    EXPECT_EQ(a.state, 6);
    EXPECT_EQ(a.bytes, 1024u);
    EXPECT_EQ(a.total, 262144u);
    EXPECT_EQ(a.retransmissions, 4u);
    EXPECT_EQ(a.reason.code, 14);
    EXPECT_EQ(a.reason.text, "acknowledgement missing");
    EXPECT_EQ(a.DurationMs(99999), 2300u) << "its own duration, from the service's times";
    const kc::FwTransfer& b = parsed->transfers[1];
    EXPECT_TRUE(b.latest);
    EXPECT_EQ(b.kind, 2);
    EXPECT_FALSE(b.device) << "no boot ROM announced itself yet";
    EXPECT_EQ(b.interface, "veth-long-name0");
    EXPECT_EQ(b.endMs, 0u);
    EXPECT_EQ(b.DurationMs(5400), 400u) << "a running transfer counts to now";
    EXPECT_EQ(kc::FwKindName(b.kind), "boot");

    // Nothing started: the clock and a zero count.
    auto empty = kc::ParseFwTransfers(Reply({}, 5));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->transfers.empty());
}

TEST(FwTransferListing, EveryCutOrPaddedReplyIsRefused) {
    const std::vector<uint8_t> reply = Reply(TwoRecords(), 42);
    for (size_t n = 0; n < reply.size(); ++n)
        EXPECT_FALSE(kc::ParseFwTransfers(std::vector<uint8_t>(reply.begin(), reply.begin() + n))) << n;
    std::vector<uint8_t> longer = reply;
    longer.push_back(0);
    EXPECT_FALSE(kc::ParseFwTransfers(longer)) << "a byte after the last record";
    std::vector<uint8_t> other = reply;
    other[3] = 0xF0;
    EXPECT_FALSE(kc::ParseFwTransfers(other)) << "another reply code";
}

TEST(FwTransferListing, LongTextsAreCutOnACharacterAndSmallRoomIsRefused) {
    std::vector<TransferRecord> list = TwoRecords();
    // 499 ASCII bytes, then a two-byte character across the 500-byte limit.
    list[0].failure.text = std::string(499, 'x') + "\xC3\xA9" + std::string(100, 'y');
    auto parsed = kc::ParseFwTransfers(Reply(list, 1));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->transfers[0].reason.text, std::string(499, 'x'));

    std::vector<uint8_t> small(20);
    EXPECT_EQ(kivo::service::FwTransfersEncode(list, 1, small.data(), small.size()), 0u);
}

TEST(FwTransferListing, AServerKeepsTheLastFinishedTransfersAndTheLatest) {
    kivo::fw::Server server;
    EXPECT_TRUE(server.List().empty());
    EXPECT_FALSE(server.Refusal({.interfaceName = "lo", .file = "/x"})) << "nothing runs";
    // A missing file ends each transfer at its start: no device, no privilege needed.
    constexpr int kStarts = 20;
    for (int i = 0; i < kStarts; ++i) {
        const kivo::l2::Mac mac{0x02, 0, 0, 0, 0, static_cast<uint8_t>(i)};
        ASSERT_EQ(server.Start(
                      {.interfaceName = "lo", .file = "/nonexistent/fw" + std::to_string(i), .device = mac}),
                  L2FWSERVER_ERROR_NONE);
    }
    const std::vector<TransferRecord> list = server.List();
    ASSERT_EQ(list.size(), kivo::fw::Server::kFinishedKept + 1);
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].state, L2FWSERVER_STATE_ERROR);
        EXPECT_EQ(list[i].failure.reason, kivo::Reason::kFileMissing);
        EXPECT_GE(list[i].endMs, list[i].startMs);
        if (i > 0) {
            EXPECT_GE(list[i].startMs, list[i - 1].startMs);
        }
        EXPECT_EQ(list[i].latest, i + 1 == list.size());
    }
    // The oldest went first: the listing ends with the last start's device.
    ASSERT_TRUE(list.back().device);
    EXPECT_EQ((*list.back().device)[5], kStarts - 1);
    EXPECT_EQ((*list.front().device)[5], kStarts - 1 - kivo::fw::Server::kFinishedKept);
    EXPECT_EQ(server.State(), L2FWSERVER_STATE_ERROR);
}
