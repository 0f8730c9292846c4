// The client library's reply handling against a loopback UDP socket that plays the
// service: segmented replies are put together only when every segment arrived once and
// in order, and only requests that read are sent again.
#include <gtest/gtest.h>

#include <functional>

#include "fake_service.h"
#include "kivo_client.h"

namespace kc = kivo::client;
using kivotest_client::Bytes;
using kivotest_client::FakeService;
using kivotest_client::Segments;
using namespace std::chrono_literals;

namespace {

// A PARAMS reply of n records (about 45 bytes each), for the request's sequence number.
Bytes ParamsReply(uint8_t seq, int n, std::vector<kc::Param>* expected) {
    Bytes records;
    for (int i = 0; i < n; ++i) {
        std::string name = "SYSTEM.TABLE.ENTRY_" + std::to_string(i);
        std::string value = "value number " + std::to_string(i * 7919);
        records.insert(records.end(), name.begin(), name.end());
        records.push_back(0);
        records.insert(records.end(), value.begin(), value.end());
        records.push_back(0);
        records.insert(records.end(), {10, 0, 0, 0, 1});
        if (expected) expected->push_back({name, value, uint8_t{10}, uint32_t{1}, false});
    }
    Bytes reply{seq, 0, 0, 7};
    for (int s = 24; s >= 0; s -= 8) reply.push_back(static_cast<uint8_t>(records.size() >> s));
    reply.insert(reply.end(), records.begin(), records.end());
    return reply;
}

kc::DeviceAddress Device() {
    kc::DeviceAddress d;
    d.interface = "eth1";
    d.mac = {2, 0, 0, 0, 0, 1};
    d.password = "pw";
    return d;
}

bool SameParams(const std::vector<kc::Param>& a, const std::vector<kc::Param>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].value != b[i].value || a[i].type != b[i].type ||
            a[i].elements != b[i].elements || a[i].refused != b[i].refused)
            return false;
    return true;
}

}  // namespace

TEST(ClientReassembly, SegmentedReplyIsPutTogetherPastStaleDatagrams) {
    std::vector<kc::Param> expected;
    ParamsReply(0, 100, &expected);
    FakeService service([](const Bytes& req, int) {
        auto segs = Segments(ParamsReply(req[0], 100, nullptr));
        // A late reply to an earlier request (another sequence number) and an empty
        // datagram come first: neither belongs to this reply.
        Bytes stale = segs[1];
        stale[0] = static_cast<uint8_t>(req[0] - 1);
        segs.insert(segs.begin(), {stale, Bytes{}});
        return segs;
    });
    kc::Client client(service.port());
    auto r = client.GetAll(Device());
    ASSERT_TRUE(r) << r.error().message;
    ASSERT_GE(Segments(ParamsReply(0, 100, nullptr)).size(), 4u) << "the reply must need several segments";
    EXPECT_TRUE(SameParams(r->params, expected));
    // The request as the protocol lays it out: type 3, interface, VLAN, MAC, password.
    Bytes req = service.Requests().at(0);
    Bytes body(req.begin() + 1, req.end());
    EXPECT_EQ(body, (Bytes{0, 0, 0, 2, 3, 4, 'e', 't', 'h', '1', 0, 0, 2, 0, 0, 0, 0, 1, 2, 'p', 'w'}));
}

TEST(ClientReassembly, LostRepeatedOrReorderedSegmentsGiveAnErrorNeverAResult) {
    struct Case {
        const char* name;
        std::function<void(std::vector<Bytes>&)> damage;
        const char* words;  // expected in the message
    };
    const std::vector<Case> cases = {
        {"lost middle segment", [](std::vector<Bytes>& s) { s.erase(s.begin() + 1); },
         "segment 1 is missing"},
        {"lost last segment", [](std::vector<Bytes>& s) { s.pop_back(); }, "never arrived"},
        {"repeated segment", [](std::vector<Bytes>& s) { s.insert(s.begin() + 2, s[1]); }, "arrived twice"},
        {"reordered segments", [](std::vector<Bytes>& s) { std::swap(s[1], s[2]); }, "segment 1 is missing"},
        {"segment count changes", [](std::vector<Bytes>& s) { s[2][1] = static_cast<uint8_t>(s[2][1] + 1); },
         "disagree on their count"},
        {"short segment before the last", [](std::vector<Bytes>& s) { s[1].resize(700); }, "not 1400"},
        {"segment number past the count", [](std::vector<Bytes>& s) { s[1][2] = 200; }, "numbered 200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeService service([&](const Bytes& req, int) {
            auto segs = Segments(ParamsReply(req[0], 100, nullptr));
            c.damage(segs);
            return segs;
        });
        kc::Client client(service.port());
        client.SetTimeout(3s);
        auto r = client.GetAll(Device());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, kc::ErrorKind::kBadReply);
        EXPECT_NE(r.error().message.find(c.words), std::string::npos) << r.error().message;
        // A read is asked once more (here damaged again): two requests, two sequence numbers.
        auto reqs = service.Requests();
        ASSERT_EQ(reqs.size(), 2u);
        EXPECT_NE(reqs[0][0], reqs[1][0]);
    }
}

TEST(ClientReassembly, ReadsAreRepeatedOnceButChangesAreSentOnce) {
    // First reply damaged, second whole: a get all succeeds on its second attempt.
    std::vector<kc::Param> expected;
    ParamsReply(0, 100, &expected);
    FakeService reads([](const Bytes& req, int index) {
        auto segs = Segments(ParamsReply(req[0], 100, nullptr));
        if (index == 0) segs.erase(segs.begin() + 2);
        return segs;
    });
    kc::Client client(reads.port());
    auto r = client.GetAll(Device());
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_TRUE(SameParams(r->params, expected));
    EXPECT_EQ(reads.Requests().size(), 2u);

    // A set, a factory reset and the firmware start and stop are never sent twice, whether
    // the reply is damaged or missing.
    FakeService changes([](const Bytes& req, int) {
        if (req[4] == 4) {
            auto segs = Segments(ParamsReply(req[0], 100, nullptr));
            segs.erase(segs.begin() + 1);
            return segs;
        }
        return std::vector<Bytes>{};
    });
    kc::Client writer(changes.port());
    writer.SetTimeout(300ms);
    auto set = writer.Set(Device(), {{"SYSTEM.A", "1"}});
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().kind, kc::ErrorKind::kBadReply);
    auto reset = writer.FactoryReset(Device());
    ASSERT_FALSE(reset);
    EXPECT_EQ(reset.error().kind, kc::ErrorKind::kNoService);
    EXPECT_FALSE(writer.FwStartUpgrade({"eth1", 0, {2, 0, 0, 0, 0, 1}, "/tmp/image"}));
    EXPECT_FALSE(writer.FwStop());
    auto reqs = changes.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0][4], 4);
    EXPECT_EQ(reqs[1][4], 5);
    EXPECT_EQ(reqs[2][4], 6);
    EXPECT_EQ(reqs[3][4], 7);
}

TEST(ClientReassembly, OneByteAnswerAndSilentPort) {
    // A service that does not know a code answers with the request's sequence number alone.
    FakeService old([](const Bytes& req, int) { return std::vector<Bytes>{Bytes{req[0]}}; });
    kc::Client client(old.port());
    auto d = client.GetFailureDetail();
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind, kc::ErrorKind::kUnsupported);
    auto lcmp = client.DiscoverLcmp({});
    ASSERT_FALSE(lcmp);
    EXPECT_EQ(lcmp.error().kind, kc::ErrorKind::kUnsupported);

    // Nothing bound to the port: reported at once, not after the time-out.
    uint16_t port = old.port();
    {
        FakeService gone([](const Bytes&, int) { return std::vector<Bytes>{}; });
        port = gone.port();
    }
    kc::Client nobody(port);
    nobody.SetTimeout(20s);
    auto start = std::chrono::steady_clock::now();
    auto v = nobody.GetVersion();
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().kind, kc::ErrorKind::kNoService);
    EXPECT_NE(v.error().message.find("port " + std::to_string(port)), std::string::npos) << v.error().message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s)
        << "a refused port must not wait for the time-out";
}

TEST(ClientReassembly, RepliesAreCheckedAgainstTheirClaims) {
    // PARAMS whose length claim disagrees with the bytes, a record without its terminator,
    // a DEVICES record running past the end, SCP data with a name but no value, and a
    // status of the wrong size: each is malformed, none gives a result.
    auto params = ParamsReply(1, 2, nullptr);
    Bytes longClaim = params;
    longClaim[7] = static_cast<uint8_t>(longClaim[7] + 1);
    Bytes cutRecord = params;
    cutRecord.resize(cutRecord.size() - 3);
    cutRecord[7] = static_cast<uint8_t>(cutRecord[7] - 3);
    EXPECT_TRUE(kc::ParseParams(params));
    EXPECT_FALSE(kc::ParseParams(longClaim));
    EXPECT_FALSE(kc::ParseParams(cutRecord));

    Bytes devices{1, 1, 0, 5, 1, 2, 4, 'e', 't', 'h', '1', 2, 0, 0, 0, 0, 1};
    auto parsed = kc::ParseDevices(devices);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->at(0).interface, "eth1");
    EXPECT_EQ(kc::MacText(parsed->at(0).mac), "02:00:00:00:00:01");
    Bytes devicesCut = devices;
    devicesCut[6] = 9;  // name length past the end
    EXPECT_FALSE(kc::ParseDevices(devicesCut));

    Bytes scp{1, 1, 0, 6, 0, 0, 0, 5, 'N', 0, 'O', 'K', 0};
    auto items = kc::ParseScpData(scp);
    ASSERT_TRUE(items);
    EXPECT_EQ(items->at(0).value, "OK");
    Bytes scpOdd{1, 1, 0, 6, 0, 0, 0, 2, 'N', 0};
    EXPECT_FALSE(kc::ParseScpData(scpOdd));
    Bytes scpError{1,   1,   0,   6,   0,   0,   0,   17,  'N', 0,   'E', 'R',
                   'R', 'O', 'R', ' ', 'U', 'N', 'K', 'N', 'O', 'W', 'N', 0};
    scpError[7] = static_cast<uint8_t>(scpError.size() - 8);
    ASSERT_TRUE(kc::ParseScpData(scpError));
    EXPECT_TRUE(kc::ParseScpData(scpError)->at(0).refused);

    EXPECT_TRUE(kc::ParseFwStatus({1, 1, 0, 8, 5, 0, 0x10, 0, 0, 0, 0x10, 0, 0}));
    EXPECT_FALSE(kc::ParseFwStatus({1, 1, 0, 8, 5, 0, 0x10, 0, 0, 0, 0x10, 0}));

    Bytes detail{1, 1, 0, 0xF0, 1, 7, 3, 0, 2, 0, 2, 'n', 'o', 0, 0, 0, 0};
    auto d = kc::ParseFailureDetail(detail);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->any);
    EXPECT_EQ(d->seq, 7);
    EXPECT_EQ(d->request, 3);
    EXPECT_EQ(d->reason.code, 2);
    EXPECT_EQ(d->reason.text, "no");
    detail[10] = 40;  // text length past the end
    EXPECT_FALSE(kc::ParseFailureDetail(detail));
}

TEST(ClientReassembly, RawDatagramsGoOutAsWrittenAndThePortCanChange) {
    // Header-sized datagrams get a segmented PARAMS reply behind a stale segment; shorter
    // ones the one-byte answer.
    FakeService first([](const Bytes& req, int) {
        if (req.size() < 5) return std::vector<Bytes>{Bytes{req[0]}};
        auto segs = Segments(ParamsReply(req[0], 100, nullptr));
        Bytes stale = segs[0];
        stale[0] = static_cast<uint8_t>(req[0] + 1);
        segs.insert(segs.begin(), stale);
        return segs;
    });
    kc::Client client(first.port());
    client.SetSequence(0x10);
    const Bytes odd{0x42, 0, 0, 7, 3};
    auto r = client.ExchangeRaw(odd, 5s);
    ASSERT_TRUE(r) << r.error().message;
    const Bytes whole = ParamsReply(0x42, 100, nullptr);
    ASSERT_GE(r->size(), 4u);
    EXPECT_EQ((*r)[0], 0x42);
    EXPECT_EQ(Bytes(r->begin() + 3, r->end()), Bytes(whole.begin() + 3, whole.end()));
    EXPECT_EQ(client.LastSegments(), Segments(whole));
    r = client.ExchangeRaw(Bytes{0x43}, 5s);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(*r, Bytes{0x43});
    EXPECT_EQ(client.LastSegments(), std::vector<Bytes>{Bytes{0x43}});
    EXPECT_EQ(first.Requests(), (std::vector<Bytes>{odd, Bytes{0x43}})) << "sent exactly as given";

    // Reconnected: the next request goes to the other service only.
    FakeService second([](const Bytes& req, int) {
        return std::vector<Bytes>{Bytes{req[0], 1, 0, 9, 2, 0, 39}};
    });
    ASSERT_TRUE(client.SetPort(second.port()));
    auto v = client.GetVersion();
    ASSERT_TRUE(v) << v.error().message;
    EXPECT_EQ(v->Text(), "2.0.39");
    EXPECT_EQ(second.Requests().size(), 1u);
    EXPECT_EQ(second.Requests()[0][0], 0x10) << "the client's own numbering goes on";
    EXPECT_EQ(first.Requests().size(), 2u);
}
