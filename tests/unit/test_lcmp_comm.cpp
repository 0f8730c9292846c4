// LCMP messaging: value lists, request layout and encryption (checked against
// OpenSSL), the confirm parser with hostile input, the unicast answer, the numbering,
// and a session's exchange over a socket pair.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_internal.h"
#include "failpoint.h"

using namespace kivo::lcmp;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t kMac[6] = {0x02, 0, 0, 0, 0, 0x10};
const uint8_t kDev[6] = {0x02, 0, 0, 0, 0, 0x01};
constexpr uint8_t kMarker = LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE;
constexpr uint8_t kEnd = LCMP_VALUE_VENDOR_TORVIX_TLV_END_MARKER;

struct V {
    uint8_t type;
    Bytes data;
    bool operator==(const V&) const = default;
};

// Reference key material and cipher, independent of the code under test.
Bytes Sha256Key(const std::string& pw) {
    Bytes out(32);
    unsigned int n = 0;
    EVP_Digest(pw.data(), pw.size(), out.data(), &n, EVP_sha256(), nullptr);
    return out;
}
Bytes LegacyKey(const std::string& pw) {
    Bytes out(32, 0);
    for (size_t i = 0; i < 24 && !pw.empty(); ++i) out[i] = static_cast<uint8_t>(pw[i % pw.size()]);
    return out;
}
Bytes Ede3(bool encrypt, const Bytes& key, Bytes data) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key.data(), key.data() + 24, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(data.size() + 8);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

void PutValue(Bytes& b, const V& v) {
    b.push_back(v.type);
    b.push_back(static_cast<uint8_t>(v.data.size()));
    b.push_back(static_cast<uint8_t>(v.data.size() >> 8));
    b.insert(b.end(), v.data.begin(), v.data.end());
}

// A confirm message; with a key, everything after the first value's data (the
// marker) is padded and enciphered and the marker's length grows by it.
Bytes Confirm(uint16_t tid, const std::vector<V>& values, const Bytes& key = {}) {
    Bytes b{0x03, 0, 0, static_cast<uint8_t>(tid), static_cast<uint8_t>(tid >> 8)};
    size_t declared = 0;
    for (const V& v : values) {
        declared += 3 + v.data.size();
        PutValue(b, v);
    }
    b[1] = static_cast<uint8_t>(declared);
    b[2] = static_cast<uint8_t>(declared >> 8);
    if (!key.empty()) {
        const size_t at = 5 + 3 + values[0].data.size();
        Bytes plain(b.begin() + static_cast<long>(at), b.end());
        plain.resize((plain.size() + 7) / 8 * 8, 0);
        const Bytes c = Ede3(true, key, plain);
        b.resize(at);
        b.insert(b.end(), c.begin(), c.end());
        const size_t len = values[0].data.size() + c.size();
        b[6] = static_cast<uint8_t>(len);
        b[7] = static_cast<uint8_t>(len >> 8);
    }
    return b;
}

std::vector<V> Values(const t_lcmpValueList* list) {
    std::vector<V> out;
    for (const t_lcmpValue* v = list ? list->head : nullptr; v; v = v->next)
        out.push_back(V{static_cast<uint8_t>(v->type), Bytes(v->value, v->value + v->valueLength)});
    return out;
}

t_lcmpValueList* List(const std::vector<V>& values) {
    t_lcmpValueList* l = nullptr;
    for (const V& v : values)
        LCMPValueAdd(&l, static_cast<t_lcmpValueType>(v.type), static_cast<INT16U>(v.data.size()),
                     v.data.data());
    return l;
}

// An exchange's answer owned by a test, with the list it fills.
struct Request {
    explicit Request(uint16_t tid, const t_lcmpEncryptionConf* enc = nullptr) : answer(&list, tid, enc) {}
    ~Request() { LCMPValueListDestroy(list); }
    t_lcmpErrorCode Parse(Bytes msg, uint16_t opcode = LCMP_READ_CNF) {
        return ConfirmParse(kDev, static_cast<t_lcmpOpcodeType>(opcode), msg.data(),
                            static_cast<INT16U>(msg.size()), answer);
    }
    bool Unicast(Bytes msg, DispatchInfo info = {}) {
        return UnicastConfirm(kDev, LCMP_READ_CNF, msg.data(), static_cast<INT16U>(msg.size()), info, answer);
    }
    t_lcmpValueList* list = nullptr;
    Answer answer;
};

const t_lcmpEncryptionConf kSha{"secret", LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, LCMP_HASH_SHA256};

}  // namespace

TEST(LcmpValues, ListsKeepOrderCountAndCopies) {
    t_lcmpValueList* list = nullptr;
    uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(LCMPValueAdd(&list, LCMP_VALUE_INFO, 3, data), LCMP_ERROR_NONE);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->head, list->tail);
    data[0] = 9;  // the list holds its own copy
    uint8_t src[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(LCMPFullValueAdd(&list, src, 42, LCMP_VALUE_PARAMETER, 0, nullptr), LCMP_ERROR_NONE);
    EXPECT_EQ(list->numValues, 2);
    EXPECT_EQ(Values(list), (std::vector<V>{{0, {1, 2, 3}}, {16, {}}}));
    EXPECT_EQ(Bytes(list->head->srcMAC, list->head->srcMAC + 6), Bytes(6, 0));
    EXPECT_EQ(Bytes(list->tail->srcMAC, list->tail->srcMAC + 6), Bytes(src, src + 6));
    EXPECT_EQ(list->tail->responseTime, 42u);
    kivo::FailPointArm("lcmp.value");
    EXPECT_EQ(LCMPValueAdd(&list, LCMP_VALUE_INFO, 3, data), LCMP_ERROR_MALLOC);
    EXPECT_EQ(list->numValues, 2);
    EXPECT_EQ(LCMPValueAdd(nullptr, LCMP_VALUE_INFO, 3, data), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPValueListDestroy(list), LCMP_ERROR_NONE);
    EXPECT_EQ(LCMPValueListDestroy(nullptr), LCMP_ERROR_NONE);
}

TEST(LcmpRequest, LayoutPaddingAndEncryptionAfterTheMarker) {
    const std::vector<V> values{{0, Bytes(5, 0xA1)}, {kMarker, {0}}, {0x23, Bytes(30, 0xB2)}};
    t_lcmpValueList* list = List(values);
    std::unique_ptr<uint8_t[]> mmpl;
    size_t len = 0;
    ASSERT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, list, nullptr, kMac, 0x1234, mmpl, len), BuildResult::kOk);
    Bytes plain(mmpl.get(), mmpl.get() + len);
    ASSERT_EQ(len, 56u);
    Bytes header{3, 0x02, 0, 0, 0, 0, 0x10, 45, 0, 0x34, 0x12};
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 11), header);
    Bytes expected = header;
    for (const V& v : values) PutValue(expected, v);
    EXPECT_EQ(plain, expected);

    for (const auto& [hash, key] : {std::pair{LCMP_HASH_SHA256, Sha256Key("secret")},
                                    std::pair{LCMP_HASH_LEGACY, LegacyKey("secret")}}) {
        const t_lcmpEncryptionConf enc{"secret", LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, hash};
        ASSERT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, list, &enc, kMac, 0x1234, mmpl, len), BuildResult::kOk);
        ASSERT_EQ(len, 63u);
        const Bytes wire(mmpl.get(), mmpl.get() + len);
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 11), header) << "the header keeps the plain length";
        EXPECT_EQ(Bytes(wire.begin() + 19, wire.begin() + 23), (Bytes{kMarker, 41, 0, 0}));
        Bytes clear = Ede3(false, key, Bytes(wire.begin() + 23, wire.end()));
        Bytes want(plain.begin() + 23, plain.end());
        want.resize(40, 0);
        EXPECT_EQ(clear, want);
    }
    LCMPValueListDestroy(list);

    // A marker at the end, or followed by a multiple of 8 bytes; the last marker counts.
    t_lcmpValueList* last = List({{0, {1}}, {kMarker, {0}}});
    ASSERT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, last, &kSha, kMac, 1, mmpl, len), BuildResult::kOk);
    EXPECT_EQ(len, 11u + 4 + 4);
    EXPECT_EQ(mmpl[16], 1) << "marker length unchanged";
    LCMPValueListDestroy(last);
    t_lcmpValueList* two = List({{kMarker, {7}}, {0x23, Bytes(5)}, {kMarker, {0}}, {0x23, Bytes(5)}});
    ASSERT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, two, &kSha, kMac, 1, mmpl, len), BuildResult::kOk);
    EXPECT_EQ(len, 11u + 4 + 8 + 4 + 8);
    EXPECT_EQ(mmpl[12], 1) << "first marker keeps its length";
    EXPECT_EQ(mmpl[24], 9) << "last marker: own byte and 8 enciphered";
    LCMPValueListDestroy(two);

    const t_lcmpEncryptionConf badHash{"x", LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1,
                                       static_cast<t_lcmpEncryptionHash>(2)};
    t_lcmpValueList* l = List(values);
    EXPECT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, l, &badHash, kMac, 1, mmpl, len),
              BuildResult::kCipherRefused);
    LCMPValueListDestroy(l);
}

TEST(LcmpRequest, OversizedRequestsAreRefusedBeforeSending) {
    std::unique_ptr<uint8_t[]> mmpl;
    size_t len = 0;
    // 11 + 3 + 23921 = 23935 fits exactly; with a marker in front the padding
    // takes it over; lengths whose 16-bit sum would wrap are refused too.
    t_lcmpValueList* fits = List({{0x23, Bytes(23921)}});
    EXPECT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, fits, nullptr, kMac, 1, mmpl, len), BuildResult::kOk);
    EXPECT_EQ(len, 23935u);
    t_lcmpValueList* padded = List({{kMarker, {}}, {0x23, Bytes(23918)}});
    EXPECT_EQ(RequestLayoutGet(padded, nullptr).mmplLength, 23935u);
    EXPECT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, padded, &kSha, kMac, 1, mmpl, len), BuildResult::kTooLong);
    t_lcmpValueList* wraps = List({{0x23, Bytes(65535)}, {0x23, Bytes(1)}});
    EXPECT_EQ(RequestLayoutGet(wraps, nullptr).valuesLength, 65535u + 3 + 4);
    EXPECT_EQ(RequestBuild(LCMP_CONTROL_VENDOR, wraps, nullptr, kMac, 1, mmpl, len), BuildResult::kTooLong);

    // The engine refuses it with its warning, without any socket.
    testing::internal::CaptureStderr();
    t_lcmpValueList* out = nullptr;
    Session session("unopened");
    EXPECT_EQ(session.Read(LCMP_CONTROL_VENDOR, wraps, nullptr, LCMP_UNICAST, kDev, &out),
              LCMP_ERROR_SEND_PACKET);
    EXPECT_EQ(
        session.Read(LCMP_CONTROL_VENDOR, fits, nullptr, static_cast<t_lcmpTransmissionType>(3), kDev, &out),
        LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(session.Read(LCMP_CONTROL_VENDOR, fits, nullptr, LCMP_UNICAST, nullptr, &out),
              LCMP_ERROR_BAD_ARGS);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Warning: no LCMP request was sent\n"), std::string::npos);
    EXPECT_NE(err.find("Warning: LCMP request not sent: a unicast request needs the device's MAC address\n"),
              std::string::npos);
    EXPECT_EQ(out, nullptr);
    for (auto* l : {fits, padded, wraps}) LCMPValueListDestroy(l);
}

TEST(LcmpCipher, KeysFromBothHashesAndRefusals) {
    INT8U key[32];
    ASSERT_EQ(GetKey("secret", key, LCMP_HASH_SHA256), LCMP_ERROR_NONE);
    EXPECT_EQ(Bytes(key, key + 32), Sha256Key("secret"));
    ASSERT_EQ(GetKey("abc", key, LCMP_HASH_LEGACY), LCMP_ERROR_NONE);
    EXPECT_EQ(Bytes(key, key + 32), LegacyKey("abc"));
    // An unknown hash type makes no key, so the cipher does not run.
    Bytes data(16, 0x5A);
    EXPECT_EQ(Cipher(data.data(), 16, "pw", static_cast<t_lcmpEncryptionHash>(2)), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(Decipher(data.data(), 12, "pw", LCMP_HASH_SHA256), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(data, Bytes(16, 0x5A));
}

TEST(LcmpConfirm, PlainConfirmsEndMarkerAndRefusals) {
    Request r(0x4321);
    testing::internal::CaptureStderr();
    EXPECT_EQ(r.Parse(Confirm(0x4322, {{0x24, {1}}})), LCMP_ERROR_BAD_TRANSID);
    EXPECT_EQ(r.Parse(Confirm(0x4321, {{0x24, {1}}}), LCMP_NOTIFY_IND), LCMP_ERROR_BAD_ARGS);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Warning: Discard data, bad Transaction ID (RX 17186 != TX 17185).\n"),
              std::string::npos);
    EXPECT_NE(err.find("Error: Opcode 358 is not supported!\n"), std::string::npos);
    EXPECT_EQ(r.list, nullptr);
    EXPECT_EQ(r.Parse(Bytes{3, 2, 0, 0x21, 0x43, 0x24, 0, 0}), LCMP_ERROR_BAD_FORMAT) << "declared length 2";

    ASSERT_EQ(r.Parse(Confirm(0x4321, {{0x24, {1, 2}}, {0x25, {}}, {kEnd, {}}})), LCMP_ERROR_NONE);
    EXPECT_TRUE(r.answer.frameReceived);
    EXPECT_TRUE(r.answer.allFramesReceived);
    ASSERT_EQ(r.Parse(Confirm(0x4321, {{0x24, {3}}, {kEnd, {9}}}, {}), LCMP_WRITE_CNF), LCMP_ERROR_NONE);
    EXPECT_EQ(Values(r.list), (std::vector<V>{{0x24, {1, 2}}, {0x24, {3}}, {kEnd, {9}}}))
        << "empty values are skipped, an end marker with data is kept";
    EXPECT_EQ(Bytes(r.list->head->srcMAC, r.list->head->srcMAC + 6), Bytes(kDev, kDev + 6));
    ASSERT_EQ(r.Parse(Confirm(0x4321, {{0x24, {4}}}), LCMP_CTRL_CNF), LCMP_ERROR_NONE);
    EXPECT_FALSE(r.answer.allFramesReceived);
}

TEST(LcmpConfirm, EncryptedConfirmsAreOpenedAndCheckedFirst) {
    Request r(7, &kSha);
    const Bytes key = Sha256Key("secret");
    // A marker with 41 bytes: one of its own and 40 enciphered, read on as values.
    const std::vector<V> values{{kMarker, {1}}, {0x24, Bytes(30, 0xC3)}, {kEnd, {}}};
    const Bytes msg = Confirm(7, values, key);
    ASSERT_EQ(msg[6], 41);
    ASSERT_EQ(r.Parse(msg), LCMP_ERROR_NONE);
    EXPECT_EQ(Values(r.list), (std::vector<V>{{kMarker, {1}}, {0x24, Bytes(30, 0xC3)}}));
    EXPECT_TRUE(r.answer.allFramesReceived);

    // An enciphered part that is not a multiple of 8: the marker counts, nothing after.
    Request odd(7, &kSha);
    Bytes bad = msg;
    bad.resize(bad.size() - 3);
    bad[6] = 38;
    EXPECT_EQ(odd.Parse(bad), LCMP_ERROR_BAD_FORMAT);
    EXPECT_EQ(Values(odd.list), (std::vector<V>{{kMarker, {1}}}));
    EXPECT_FALSE(odd.answer.frameReceived);

    // Lengths from the wire are checked before anything is read or deciphered.
    struct Case {
        const char* what;
        size_t markerLength;
        size_t keep;  // bytes of the message handed over
        uint16_t declared;
    } cases[] = {{"marker beyond the message", 0xFFF9, msg.size(), 36},
                 {"marker shorter than its own data", 0, msg.size(), 36},
                 {"marker beyond a cut message", 41, msg.size() - 8, 36},
                 {"declared beyond the message", 41, msg.size(), 200}};
    for (const Case& c : cases) {
        Request h(7, &kSha);
        Bytes m(msg.begin(), msg.begin() + static_cast<long>(c.keep));
        m[6] = static_cast<uint8_t>(c.markerLength);
        m[7] = static_cast<uint8_t>(c.markerLength >> 8);
        m[1] = static_cast<uint8_t>(c.declared);
        m[2] = static_cast<uint8_t>(c.declared >> 8);
        EXPECT_EQ(h.Parse(m), LCMP_ERROR_BAD_FORMAT) << c.what;
        EXPECT_FALSE(h.answer.frameReceived) << c.what;
        EXPECT_EQ(Bytes(m.begin() + 9, m.end()),
                  Bytes(msg.begin() + 9, msg.begin() + static_cast<long>(c.keep)))
            << c.what << ": nothing deciphered";
    }
    // A plain value that claims more than is left keeps the values before it.
    Request plain(7);
    Bytes p = Confirm(7, {{0x24, {1}}, {0x24, {2, 3}}});
    p[10] = 0xFF;
    EXPECT_EQ(plain.Parse(p), LCMP_ERROR_BAD_FORMAT);
    EXPECT_EQ(Values(plain.list), (std::vector<V>{{0x24, {1}}}));
}

TEST(LcmpConfirm, ValueListsStopGrowingAt65535) {
    Request r(1);
    for (int i = 0; i < 65534; ++i)
        LCMPValueAdd(&r.list, LCMP_VALUE_PARAMETER, 1, reinterpret_cast<uint8_t*>(&i));
    EXPECT_EQ(r.Parse(Confirm(1, {{0x24, {1}}, {0x24, {2}}})), LCMP_ERROR_BAD_FORMAT);
    EXPECT_EQ(r.list->numValues, 65535);
    EXPECT_EQ(r.Parse(Confirm(1, {{0x24, {3}}})), LCMP_ERROR_BAD_FORMAT);
    EXPECT_EQ(r.list->numValues, 65535);
    EXPECT_EQ(r.list->tail->value[0], 1);
}

TEST(LcmpConfirm, UnicastReplyOfSeveralMessages) {
    // The first message's marker holds two bytes of its own, the later ones one.
    const t_lcmpEncryptionConf conf{"secret", LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 2, LCMP_HASH_SHA256};
    Request r(9, &conf);
    const Bytes key = Sha256Key("secret");
    EXPECT_EQ(r.answer.encryptionConf.password, conf.password) << "the copy shares the password";
    EXPECT_FALSE(r.Unicast(Confirm(9, {{kMarker, {1, 1}}, {0x24, {1}}}, key), {true, 4, false}));
    EXPECT_FALSE(r.answer.frameReceived) << "more messages expected";
    EXPECT_EQ(r.answer.encryptionConf.originalValueLength, 1);
    EXPECT_TRUE(r.Unicast(Confirm(9, {{kMarker, {2}}, {0x24, {2}}, {kEnd, {}}}, key), {true, 5, false}));
    // After completion: passed over, still whole.
    EXPECT_TRUE(r.Unicast(Confirm(9, {{kMarker, {3}}, {0x24, {3}}, {kEnd, {}}}, key), {true, 6, false}));
    EXPECT_EQ(Values(r.list), (std::vector<V>{{kMarker, {1, 1}}, {0x24, {1}}, {kMarker, {2}}, {0x24, {2}}}));
    EXPECT_FALSE(r.answer.incomplete);

    // A jump in the device's numbers, or a message given up before, marks the answer
    // incomplete even though its end marker came.
    Request jump(9);
    EXPECT_FALSE(jump.Unicast(Confirm(9, {{0x24, {1}}}), {true, 4, false}));
    EXPECT_TRUE(jump.Unicast(Confirm(9, {{0x24, {2}}, {kEnd, {}}}), {true, 6, false}));
    EXPECT_TRUE(jump.answer.incomplete);
    Request lost(9);
    EXPECT_TRUE(lost.Unicast(Confirm(9, {{0x24, {2}}, {kEnd, {}}}), {true, 6, true}));
    EXPECT_TRUE(lost.answer.incomplete);
}

TEST(LcmpSessionArgs, RefusedNamesAndSettingsLeaveTheSessionClosed) {
    const std::string longName(16, 'e');
    EXPECT_EQ(Session(longName.c_str()).Open(), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(Session(nullptr).Open(), LCMP_ERROR_BAD_ARGS);
    SessionSettings vlan;
    vlan.vlanId = 4095;
    EXPECT_EQ(Session("lo", vlan).Open(), LCMP_ERROR_BAD_ARGS);
    vlan.vlanId = 100;
    vlan.vlanPriority = 8;
    EXPECT_EQ(Session("lo", vlan).Open(), LCMP_ERROR_BAD_ARGS);
    // Nothing is sent by a session that is not open.
    Session closed("lo");
    INT8U mac[6];
    EXPECT_EQ(closed.MyMACGet(mac), LCMP_ERROR_SOCKET_NOT_OPENED);
}

TEST(LcmpNumbering, TransactionIdsRunOnFromTheProcessIdAcrossThreads) {
    Numbering numbering;
    const uint16_t first = numbering.NextTransactionId();
    EXPECT_EQ(first & 0xFF, static_cast<unsigned>(getpid()) & 0xFF);
    EXPECT_EQ(numbering.NextTransactionId(), static_cast<uint16_t>(first + 256));
    // Per opcode, and never the same number twice when threads share the numbering.
    EXPECT_EQ(numbering.NextSequence(LCMP_READ_REQ), 0);
    EXPECT_EQ(numbering.NextSequence(LCMP_WRITE_REQ), 0);
    std::vector<uint16_t> seen[4];
    std::vector<std::thread> threads;
    for (auto& v : seen)
        threads.emplace_back([&numbering, &v] {
            for (int i = 0; i < 1000; ++i) v.push_back(numbering.NextSequence(LCMP_READ_REQ));
        });
    for (auto& t : threads) t.join();
    std::vector<uint16_t> all;
    for (auto& v : seen) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.front(), 1);
    EXPECT_EQ(all.back(), 4000);
}

// Over a port adopted from a socket pair, without privileges: the exchange reads its
// own answer on the calling thread and passes over a confirm of another transaction.
TEST(LcmpSession, UnicastExchangeReadsItsAnswerOnTheCallingThread) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    kivo::l2::Mac host;
    std::copy_n(kMac, 6, host.begin());
    Session session(kivo::l2::Port::Adopt(fds[0], host));
    std::thread peer([fd = fds[1]] {
        uint8_t request[1600];
        // Ethernet header, MMH, then control code, address and values length.
        if (recv(fd, request, sizeof(request), 0) < 33) return;
        const uint16_t tid = static_cast<uint16_t>(request[31] | request[32] << 8);
        uint16_t seq = 0;
        for (const uint16_t id : {static_cast<uint16_t>(tid + 1), tid}) {
            const Bytes mmpl = Confirm(id, {{0x24, {static_cast<uint8_t>(id == tid ? 1 : 2)}}, {kEnd, {}}});
            Mmh mmh;
            mmh.length = static_cast<uint16_t>(mmpl.size());
            mmh.opcode = LCMP_READ_CNF;
            mmh.numSeq = seq++;
            uint8_t frame[kMaxFrameLength];
            const size_t n =
                FrameBuild(frame, sizeof(frame), kMac, kDev, nullptr, mmh, mmpl.data(), mmpl.size());
            if (send(fd, frame, n, 0) != static_cast<ssize_t>(n)) return;
        }
    });
    ASSERT_EQ(session.Open(), LCMP_ERROR_NONE);
    t_lcmpValueList* out = nullptr;
    EXPECT_EQ(session.Read(LCMP_CONTROL_VENDOR, nullptr, nullptr, LCMP_UNICAST, kDev, &out), LCMP_ERROR_NONE);
    EXPECT_EQ(Values(out), (std::vector<V>{{0x24, {1}}}));
    LCMPValueListDestroy(out);
    peer.join();
    close(fds[1]);
}
