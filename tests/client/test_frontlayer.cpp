// The front-end layer's pure parts: the remedy table, the listen-address rules, the client
// scheduler, and the reply reassembler with the segmentation the service sends by.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "kivo_client.h"
#include "kivo_segments.h"
#include "listen_address.h"
#include "scheduler.h"

namespace kc = kivo::client;
namespace kp = kivo::protocol;

namespace {

TEST(Explain, EveryReasonHasANameAndARemedyUnlessItsTextSaysEnough) {
    for (uint16_t code = 0; std::string(kp::ReasonName(code)) != "unknown"; ++code) {
        const auto e = kc::Explain(code);
        EXPECT_EQ(e.reason, kp::ReasonName(code));
        const bool none = code == static_cast<uint16_t>(kp::Reason::kNone) ||
                          code == static_cast<uint16_t>(kp::Reason::kCancelled);
        EXPECT_EQ(e.remedy.empty(), none) << e.reason;
        if (!none) {
            EXPECT_EQ(e.remedy.back(), '.') << e.reason << ": a remedy is a whole sentence";
        }
    }
    EXPECT_EQ(kc::Explain(0xBEEF).reason, "unknown");
    EXPECT_TRUE(kc::Explain(0xBEEF).remedy.empty());
}

// A command names the port it asked on and its own options; a server says how the service
// is started; both name themselves where the release is in doubt.
TEST(Explain, ServiceFailuresInEachFrontEndsWords) {
    const kc::Error timedOut{kc::ErrorKind::kNoService, kc::RequestCode::kVersion, 0, "no reply within 5 s"};
    const kc::Error refused{kc::ErrorKind::kNoService, kc::RequestCode::kVersion, 0,
                            "nothing listens on 127.0.0.1 port 9000"};
    EXPECT_TRUE(kc::NothingListens(refused));
    EXPECT_FALSE(kc::NothingListens(timedOut));
    const auto cmd = [](const kc::Error& e, uint16_t port) {
        return kc::ServiceRemedies(e, kc::Audience::kCommand, "kivoctl", port);
    };
    const auto kind = [](kc::ErrorKind k) { return kc::Error{k, kc::RequestCode::kGet, 0, "reply"}; };
    EXPECT_EQ(cmd(refused, 9000),
              std::vector<std::string>{"Is kivohost running on port 9000? Start it as root "
                                       "with './scripts/run.sh 9000' (or 'kivohost 9000'), "
                                       "or give its port with --port."});
    const auto late = cmd(timedOut, kp::kDefaultPort);
    ASSERT_EQ(late.size(), 2u);
    EXPECT_NE(late[0].find("'./scripts/run.sh' (or 'kivohost 55567')"), std::string::npos) << late[0];
    EXPECT_NE(late[1].find("--timeout SECONDS"), std::string::npos);
    EXPECT_EQ(cmd(kind(kc::ErrorKind::kUnsupported), 1).at(0),
              "Update kivohost, or use a kivoctl of the same release.");
    EXPECT_NE(cmd(kind(kc::ErrorKind::kBadReply), 1).at(0).find("the service and kivoctl do not match"),
              std::string::npos);

    const auto server = [&](kc::ErrorKind k) {
        return kc::ServiceRemedies(kind(k), kc::Audience::kServer, "kivo-web");
    };
    EXPECT_EQ(
        server(kc::ErrorKind::kNoService).at(0).rfind("Start kivohost: systemctl start kivohost.socket", 0),
        0u);
    EXPECT_EQ(server(kc::ErrorKind::kUnsupported), server(kc::ErrorKind::kBadReply));
    EXPECT_EQ(server(kc::ErrorKind::kUnsupported).at(0),
              "kivohost and kivo-web may not be of the same release.");
    // Failures the service explains itself take their reason's remedy instead.
    EXPECT_TRUE(server(kc::ErrorKind::kFailed).empty());
    EXPECT_TRUE(cmd(kind(kc::ErrorKind::kRefused), 1).empty());
}

TEST(ListenAddress, StrictRulesAndLoopback) {
    const auto v4 = kc::ParseListenAddress("127.0.0.9:9551");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->host, "127.0.0.9");
    EXPECT_EQ(v4->port, 9551);
    EXPECT_TRUE(v4->loopback);
    const auto v6 = kc::ParseListenAddress("[::1]:65535");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 65535);
    EXPECT_TRUE(v6->loopback);
    EXPECT_EQ(kc::ParseListenAddress("localhost:1")->host, "127.0.0.1");
    EXPECT_FALSE(kc::ParseListenAddress("[::ffff:10.0.0.1]:80")->loopback);
    EXPECT_FALSE(kc::ParseListenAddress("128.0.0.1:80")->loopback);
    for (const char* bad :
         {"", ":", "1.2.3.4", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:123456", "1.2.3.4:-1", "1.2.3.4:+80",
          "1.2.3.4: 80", "[::1]", "[::1:80", "[1.2.3.4]:80", "::1:80", "host.example:80", "1.2.3.256:80"})
        EXPECT_FALSE(kc::ParseListenAddress(bad)) << bad;
}

TEST(ListenAddress, RelaxedRulesTakeNamesAndPortZeroButNoEmptyHost) {
    const kc::ListenRules web{.hostNames = true, .portZero = true, .emptyHost = false};
    const auto name = kc::ParseListenAddress("host.example:8080", web);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->host, "host.example");
    EXPECT_FALSE(name->loopback);  // a name could resolve anywhere
    const auto local = kc::ParseListenAddress("localhost:0", web);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->host, "localhost");
    EXPECT_EQ(local->port, 0);
    EXPECT_TRUE(local->loopback);
    EXPECT_FALSE(kc::ParseListenAddress(":8080", web));
    EXPECT_FALSE(kc::ParseListenAddress("::1:8080", web));  // IPv6 needs brackets here too
}

// Waits (polling, no fixed sleep) until `n` callers wait for a client.
void WaitForWaiting(const kc::Scheduler& s, size_t n) {
    while (s.Waiting() != n) std::this_thread::yield();
}

TEST(Scheduler, CallersGetClientsInArrivalOrder) {
    kc::Scheduler s(kc::kDefaultPort, {.clients = 2, .keep = 2, .setup = {}});
    auto first = s.Acquire();
    auto second = s.Acquire();
    EXPECT_NE(&*first, &*second);
    std::mutex m;
    std::vector<int> order;
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) {
        callers.emplace_back([&, i] {
            s.Run([&](kc::Client&) {
                std::lock_guard lock(m);
                order.push_back(i);
            });
        });
        WaitForWaiting(s, static_cast<size_t>(i) + 1);  // caller i is in line before i + 1 comes
    }
    { auto released = std::move(first); }
    for (auto& t : callers) t.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(s.Waiting(), 0u);
}

TEST(Scheduler, NeverMoreThanTheBoundAndNoCallerLeftWaiting) {
    std::atomic<int> made{0};
    kc::Scheduler s(kc::kDefaultPort, {.clients = 3, .keep = 3, .setup = [&](kc::Client&) { ++made; }});
    std::atomic<int> inFlight{0}, most{0}, runs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                s.Run([&](kc::Client&) {
                    const int now = ++inFlight;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    std::this_thread::yield();
                    --inFlight;
                    ++runs;
                });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs, 8 * 200);
    EXPECT_LE(most, 3);
    EXPECT_LE(made, 3) << "kept clients are reused";
    EXPECT_EQ(s.Waiting(), 0u);
}

TEST(Scheduler, ADiscardedClientIsReplacedByAFreshOne) {
    int made = 0;
    kc::Scheduler s(kc::kDefaultPort, {.clients = 1, .keep = 1, .setup = [&](kc::Client& c) {
                                           ++made;
                                           c.SetSequence(7);
                                       }});
    s.Run([](kc::Client&) {});
    s.Run([](kc::Client&) {});
    EXPECT_EQ(made, 1);
    const auto before = s.LastDone();
    {
        auto lease = s.Acquire();
        lease.Discard();
    }
    EXPECT_GE(s.LastDone(), before);
    s.Run([](kc::Client&) {});
    EXPECT_EQ(made, 2);
}

// A reply cut as the service cuts it.
std::vector<std::vector<uint8_t>> Segment(const std::vector<uint8_t>& reply, uint8_t seq) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> work = reply;
    const size_t count = kp::SegmentCount(reply.size());
    for (size_t k = 0; k < count; ++k) {
        uint8_t* at = work.data() + kp::SegmentOffset(k);
        const size_t len = kp::SegmentLength(reply.size(), k);
        kp::WriteSegmentHeader(at, len, {seq, static_cast<uint8_t>(count), static_cast<uint8_t>(k)});
        out.emplace_back(at, at + len);
    }
    return out;
}

std::vector<uint8_t> Reply(size_t size) {
    std::vector<uint8_t> r(size);
    for (size_t i = 0; i < size; ++i) r[i] = static_cast<uint8_t>(i * 31 + 7);
    return r;
}

TEST(Reassembler, PutsTogetherWhatTheServiceSegments) {
    for (const size_t size : {4, 1400, 1401, 2797, 2798, 100000, 300000}) {
        const auto reply = Reply(size);
        const auto segments = Segment(reply, 9);
        kp::Reassembler r;
        for (size_t k = 0; k < segments.size(); ++k)
            ASSERT_EQ(r.Add(segments[k]), k + 1 == segments.size() ? kp::Reassembler::Step::kComplete
                                                                   : kp::Reassembler::Step::kMore)
                << size << " " << k << ": " << r.Error();
        auto whole = r.Take();
        // Segment 0 keeps its header; the rest is the reply's payload as it was.
        ASSERT_EQ(whole.size(), size) << size;
        EXPECT_EQ(whole[1], segments.size());
        EXPECT_TRUE(std::equal(whole.begin() + 3, whole.end(), reply.begin() + 3)) << size;
    }
    kp::Reassembler oneByte;
    EXPECT_EQ(oneByte.Add(std::vector<uint8_t>{9}), kp::Reassembler::Step::kComplete);
    EXPECT_EQ(oneByte.Take(), std::vector<uint8_t>{9});
}

TEST(Reassembler, RefusesOutOfOrderRepeatedMissingAndOversizeSegments) {
    const auto s = Segment(Reply(5000), 3);  // four segments
    ASSERT_EQ(s.size(), 4u);
    auto refused = [](const std::vector<std::vector<uint8_t>>& feed) {
        kp::Reassembler r;
        for (const auto& seg : feed)
            if (r.Add(seg) == kp::Reassembler::Step::kError) return r.Error();
        return std::string();
    };
    EXPECT_EQ(refused({s[0], s[2]}), "reply segment 1 is missing or late: segment 2 came first");
    EXPECT_EQ(refused({s[0], s[1], s[1]}), "reply segment 1 arrived twice");
    EXPECT_EQ(refused({s[0], std::vector<uint8_t>{3}}),
              "a one-byte datagram arrived in the middle of a segmented reply");
    EXPECT_EQ(refused({{3, 4, 0}}), "a reply segment of 3 bytes is too short");
    EXPECT_EQ(refused({{3, 2, 2, 0}}), "a reply segment is numbered 2 of 2");
    EXPECT_EQ(refused({{3, 0, 0, 0}}), "a reply segment is numbered 0 of 0");
    auto recount = s[1];
    recount[1] = 5;
    EXPECT_EQ(refused({s[0], recount}), "the reply's segments disagree on their count (4, then 5)");
    auto oversize = s[3];
    oversize.resize(kp::kSegmentSize + 1);
    EXPECT_EQ(refused({s[0], s[1], s[2], oversize}), "reply segment 3 has 1401 bytes, not 1400");
    auto shortMiddle = s[1];
    shortMiddle.pop_back();
    EXPECT_EQ(refused({s[0], shortMiddle}), "reply segment 1 has 1399 bytes, not 1400");

    kp::Reassembler cut;
    EXPECT_FALSE(cut.Started());
    cut.Add(s[0]);
    cut.Add(s[1]);
    EXPECT_TRUE(cut.Started());
    EXPECT_EQ(cut.MissingText(), "the reply is incomplete: segment 2 of 4 never arrived");
}

}  // namespace
