// SCP client: message composition, padding, CRC, the padding walk, item lists and
// the conversion of replies into info data. Checked against byte layouts written
// out by hand and against independent references (a bitwise CRC, OpenSSL 3DES).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "scp_client_legacy.h"
#include "scp_client_legacy_internal.h"
#include "sha2_pub.h"

using namespace kivo::scp;
using Bytes = std::vector<INT8U>;

namespace {

// Bitwise CRC with the reflected polynomial, preset all ones, no final inversion.
INT32U ReferenceCrc(const Bytes& data) {
    INT32U crc = 0xFFFFFFFFu;
    for (INT8U b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

// 3DES-EDE-CBC decryption with OpenSSL: key bytes 0-23, IV bytes 24-31.
Bytes OpensslDecrypt(const Bytes& data, const INT8U* key) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key, key + 24);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(data.size() + 8);
    int n = 0, m = 0;
    EVP_DecryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_DecryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

INT32U Be16(const INT8U* p) {
    return static_cast<INT32U>((p[0] << 8) | p[1]);
}
INT32U Be32(const INT8U* p) {
    return (static_cast<INT32U>(p[0]) << 24) | (static_cast<INT32U>(p[1]) << 16) |
           (static_cast<INT32U>(p[2]) << 8) | p[3];
}

Bytes Item(INT8U type, INT8U sub, const Bytes& content) {
    Bytes b = {static_cast<INT8U>((content.size() + 2) >> 8), static_cast<INT8U>(content.size() + 2), type,
               sub};
    b.insert(b.end(), content.begin(), content.end());
    return b;
}
Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes NameItem(const std::string& s) {
    return Item(1, 0x0A, Text(s));
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// The zero-separated texts of info data.
std::vector<std::string> Texts(const INT8U* p, INT32U n) {
    std::vector<std::string> out;
    std::string cur;
    for (INT32U i = 0; i < n; ++i) {
        if (p[i] == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(p[i]);
        }
    }
    EXPECT_TRUE(cur.empty()) << "info data must end with a zero byte";
    return out;
}

struct Key {
    INT8U bytes[32];
    explicit Key(const char* password, bool legacy = false) {
        KeyMake(reinterpret_cast<const INT8U*>(password), bytes, legacy);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Composing

TEST(ScpCompose, EmptyGetIsAHeaderOnlyMessageWithThePresetCrc) {
    Bytes msg(kMsgMax, 0xAA);
    Bytes list(kPayloadMax + 8, 0);
    INT8U noKey[32] = {};
    INT32U n = ComposeGetMessage(msg.data(), list.data(), 0x5C, 0, false, noKey);
    ASSERT_EQ(n, 14u);
    const Bytes expected = {1, 1, 0, 0x5C, 1, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Bytes(msg.begin(), msg.begin() + 14), expected);
    // The rest of the message buffer is cleared, not left as it was.
    EXPECT_EQ(msg[14], 0);
}

TEST(ScpCompose, PlainGetCarriesItsListUnpaddedAndUnenciphered) {
    Bytes items = Cat({NameItem("A.B.C"), NameItem("X")});  // 9 + 5 = 14 bytes
    Bytes list(kPayloadMax + 8, 0);
    std::memcpy(list.data(), items.data(), items.size());
    Bytes msg(kMsgMax);
    Key key("pw");
    INT32U n =
        ComposeGetMessage(msg.data(), list.data(), 7, static_cast<INT32U>(items.size()), false, key.bytes);
    ASSERT_EQ(n, 14u + items.size());
    EXPECT_EQ(msg[0], 1);
    EXPECT_EQ(Be16(msg.data() + 8), items.size());
    EXPECT_EQ(Be32(msg.data() + 10), ReferenceCrc(items));
    EXPECT_EQ(Bytes(msg.begin() + 14, msg.begin() + n), items);
}

TEST(ScpCompose, FactoryResetListIsFixedPaddedTo48AndEnciphered) {
    Bytes list(kPayloadMax + 8, 0x55);
    INT32U length = 0;
    ASSERT_EQ(BuildFactoryResetList(list.data(), &length), SCP_ERROR_NONE);
    ASSERT_EQ(length, 41u);
    const Bytes expectedList = Cat({Bytes{0x00, 0x22, 0x01, 0x0A}, Text("FACTORYRESET.GENERAL.FORCE_RESET"),
                                    Bytes{0x00, 0x03, 0x02, 0x02, 0x01}});
    EXPECT_EQ(Bytes(list.begin(), list.begin() + 41), expectedList);

    Key key("secret");
    Bytes msg(kMsgMax);
    INT32U n = ComposeSetMessage(msg.data(), list.data(), 0x80, length, key.bytes, true, false);
    ASSERT_EQ(n, 14u + 48u);
    Bytes padded = expectedList;
    padded.insert(padded.end(), 7, 0xE6);
    EXPECT_EQ(msg[0], 3);
    EXPECT_EQ(msg[3], 0x80);
    EXPECT_EQ(msg[4], 1);
    EXPECT_EQ(msg[5], 0);
    EXPECT_EQ(Be16(msg.data() + 8), 48u);
    EXPECT_EQ(Be32(msg.data() + 10), ReferenceCrc(padded)) << "the CRC covers the plain padded list";
    Bytes cipher(msg.begin() + 14, msg.begin() + n);
    EXPECT_NE(cipher, padded);
    EXPECT_EQ(OpensslDecrypt(cipher, key.bytes), padded);
}

TEST(ScpCompose, OpcodesAndPaddingFollowTheOperation) {
    Key key("pw");
    Bytes items = NameItem("ABC");  // 7 bytes
    struct Case {
        bool set;
        bool factory, isPrivate;
        INT8U opcode;
        INT32U payload;
    } cases[] = {
        {true, false, false, 2, 8}, {true, false, true, 8, 8},   {true, true, false, 3, 8},
        {false, false, true, 7, 8}, {false, false, false, 1, 7},
    };
    for (const Case& c : cases) {
        Bytes list(kPayloadMax + 8, 0);
        std::memcpy(list.data(), items.data(), items.size());
        Bytes msg(kMsgMax);
        INT32U n = c.set ? ComposeSetMessage(msg.data(), list.data(), 1, 7, key.bytes, c.factory, c.isPrivate)
                         : ComposeGetMessage(msg.data(), list.data(), 1, 7, c.isPrivate, key.bytes);
        EXPECT_EQ(msg[0], c.opcode);
        EXPECT_EQ(n, 14u + c.payload) << "opcode " << int(c.opcode);
        EXPECT_EQ(Be16(msg.data() + 8), c.payload);
    }
}

TEST(ScpCompose, ListsThatCannotBePaddedIntoAFrameAreRefused) {
    Key key("pw");
    Bytes list(kPayloadMax + 8, 0);
    Bytes msg(kMsgMax);
    // 1472 is the longest list whose padding still fits; 1473 would grow to 1480.
    EXPECT_EQ(ComposeSetMessage(msg.data(), list.data(), 1, 1472, key.bytes, false, false), 14u + 1472u);
    EXPECT_EQ(ComposeSetMessage(msg.data(), list.data(), 1, 1473, key.bytes, false, false), 0u);
    EXPECT_EQ(ComposeGetMessage(msg.data(), list.data(), 1, 1478, false, key.bytes), 14u + 1478u);
    EXPECT_EQ(ComposeGetMessage(msg.data(), list.data(), 1, 1479, false, key.bytes), 0u);
}

TEST(ScpKeys, KeyMaterialIsTheDigestOrTheLegacyHash) {
    INT8U sha[32], legacy[32], expected[32];
    KeyMake(reinterpret_cast<const INT8U*>("abc"), sha, false);
    SHA256Hash(expected, reinterpret_cast<const INT8U*>("abc"), 3);
    EXPECT_EQ(0, std::memcmp(sha, expected, 32));
    KeyMake(reinterpret_cast<const INT8U*>("abc"), legacy, true);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(legacy[i], "abc"[i % 3]);
    for (int i = 24; i < 32; ++i) EXPECT_EQ(legacy[i], 0);
    // Cipher twins refuse what 3DES-CBC refuses.
    Bytes odd(12, 1);
    EXPECT_EQ(Encipher(odd.data(), 12, sha), SCP_ERROR_BAD_ARGS);
    EXPECT_EQ(odd, Bytes(12, 1));
    Bytes block(16, 3);
    ASSERT_EQ(Encipher(block.data(), 16, sha), SCP_ERROR_NONE);
    ASSERT_EQ(Decipher(block.data(), 16, sha), SCP_ERROR_NONE);
    EXPECT_EQ(block, Bytes(16, 3));
}

// ---------------------------------------------------------------------------
// Padding walk

TEST(ScpPaddingWalk, FindsPaddingAfterTheLastItem) {
    uint32_t carry = 0;
    // One 11-byte item (length field 9) and five padding bytes.
    Bytes p = Cat({Item(3, 0, {0, 0, 0, 0, 0, 0, 0}), Bytes(5, 0xE6)});
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ(PaddingPositionGet(p.data(), 16, carry), 11u);
    EXPECT_EQ(carry, 0u);
    // Two items then padding.
    p = Cat({NameItem("AB"), Item(3, 0, {0, 0, 0, 0}), Bytes(4, 0xE6)});  // 6 + 8 + 4
    EXPECT_EQ(PaddingPositionGet(p.data(), static_cast<INT32U>(p.size()), carry), 14u);
    // A single trailing padding byte.
    p = Cat({NameItem("ABCDEFGHI"), Bytes(1, 0xE6)});  // 13 + 1
    EXPECT_EQ(PaddingPositionGet(p.data(), static_cast<INT32U>(p.size()), carry), 13u);
}

TEST(ScpPaddingWalk, ItemsContinuingIntoTheNextReplyCarryThePositionOver) {
    uint32_t carry = 0;
    // Reply 1 holds a 6-byte item and the first 10 bytes of a 20-byte item.
    Bytes stream = Cat({NameItem("AB"), NameItem("0123456789ABCDEF"), NameItem("XY"), Bytes(2, 0xE6)});
    Bytes first(stream.begin(), stream.begin() + 16);
    Bytes second(stream.begin() + 16, stream.end());  // 10 rest + 6 item + 2 padding = 18
    EXPECT_EQ(PaddingPositionGet(first.data(), 16, carry), 0u);
    EXPECT_EQ(carry, 10u) << "the next item starts 10 bytes into the next payload";
    EXPECT_EQ(PaddingPositionGet(second.data(), static_cast<INT32U>(second.size()), carry), 16u);
    EXPECT_EQ(carry, 0u);
}

TEST(ScpPaddingWalk, ExactFitAndTinyPayloads) {
    uint32_t carry = 0;
    Bytes p = Cat({NameItem("ABCD"), NameItem("ABCD")});  // 16 bytes, no padding
    EXPECT_EQ(PaddingPositionGet(p.data(), 16, carry), 0u);
    EXPECT_EQ(carry, 0u);
    // Under two bytes: not walked, the position is kept.
    carry = 5;
    EXPECT_EQ(PaddingPositionGet(p.data(), 1, carry), 0u);
    EXPECT_EQ(carry, 5u);
}

// ---------------------------------------------------------------------------
// Item lists

TEST(ScpItemLists, GetNamesBecomeNameItemsWithinTheFrameBound) {
    Bytes list(kPayloadMax + 8);
    INT32U n = 0;
    Bytes data = Cat({Text("A.B"), Bytes{0}, Text("CD"), Bytes{0}});
    ASSERT_EQ(BuildGetList(data.data(), static_cast<INT32U>(data.size()), list.data(), &n), SCP_ERROR_NONE);
    EXPECT_EQ(Bytes(list.begin(), list.begin() + n), Cat({NameItem("A.B"), NameItem("CD")}));

    // A name whose item takes the list exactly to 1478 bytes is fine; one more is not.
    Bytes longest = Cat({Text(std::string(1474, 'N')), Bytes{0}});
    EXPECT_EQ(BuildGetList(longest.data(), static_cast<INT32U>(longest.size()), list.data(), &n),
              SCP_ERROR_NONE);
    EXPECT_EQ(n, 1478u);
    Bytes tooLong = Cat({Text(std::string(1475, 'N')), Bytes{0}});
    EXPECT_EQ(BuildGetList(tooLong.data(), static_cast<INT32U>(tooLong.size()), list.data(), &n),
              SCP_ERROR_FORMAT);

    // A name whose terminator lies beyond the data is refused, never read past.
    Bytes open = Text("A.B");
    EXPECT_EQ(BuildGetList(open.data(), 3, list.data(), &n), SCP_ERROR_FORMAT);
    EXPECT_EQ(BuildGetList(nullptr, 3, list.data(), &n), SCP_ERROR_BAD_ARGS);
}

TEST(ScpItemLists, SetPairsEncodeValuesForTheReportedTypes) {
    Bytes list(kPayloadMax + 8);
    INT32U n = 0;
    Bytes data = Cat({Text("P.Q"), Bytes{0}, Text("1,256"), Bytes{0}, Text("M"), Bytes{0},
                      Text("00:11:22:33:44:55"), Bytes{0}});
    const INT32U len = static_cast<INT32U>(data.size());
    // Type query: names only.
    ASSERT_EQ(BuildSetList(data.data(), len, nullptr, 0, list.data(), &n), SCP_ERROR_NONE);
    EXPECT_EQ(Bytes(list.begin(), list.begin() + n), Cat({NameItem("P.Q"), NameItem("M")}));
    // Set: name and value items, values big-endian for their types (INT16U, MAC_ADDR).
    INT8U types[] = {4, 8};
    ASSERT_EQ(BuildSetList(data.data(), len, types, 2, list.data(), &n), SCP_ERROR_NONE);
    Bytes expected = Cat({NameItem("P.Q"), Item(2, 4, {0x00, 0x01, 0x01, 0x00}), NameItem("M"),
                          Item(2, 8, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55})});
    EXPECT_EQ(Bytes(list.begin(), list.begin() + n), expected);
}

TEST(ScpItemLists, MalformedSetDataIsRefusedBeforeAnythingIsSent) {
    Bytes list(kPayloadMax + 8);
    INT32U n = 0;
    INT8U types[] = {4, 4};
    Bytes twoPairs =
        Cat({Text("A"), Bytes{0}, Text("1"), Bytes{0}, Text("B"), Bytes{0}, Text("2"), Bytes{0}});
    const INT32U len = static_cast<INT32U>(twoPairs.size());
    // Fewer types than pairs.
    EXPECT_EQ(BuildSetList(twoPairs.data(), len, types, 1, list.data(), &n), SCP_ERROR_FORMAT);
    // A value that does not parse for its type (INT16U out of range).
    Bytes bad = Cat({Text("A"), Bytes{0}, Text("70000"), Bytes{0}});
    EXPECT_EQ(BuildSetList(bad.data(), static_cast<INT32U>(bad.size()), types, 2, list.data(), &n),
              SCP_ERROR_FORMAT);
    // The last value is missing, or not terminated inside the data.
    Bytes noValue = Cat({Text("A"), Bytes{0}, Text("1"), Bytes{0}, Text("B"), Bytes{0}});
    EXPECT_EQ(BuildSetList(noValue.data(), static_cast<INT32U>(noValue.size()), nullptr, 0, list.data(), &n),
              SCP_ERROR_FORMAT);
    Bytes open = Cat({Text("A"), Bytes{0}, Text("12")});
    EXPECT_EQ(BuildSetList(open.data(), static_cast<INT32U>(open.size()), nullptr, 0, list.data(), &n),
              SCP_ERROR_FORMAT);
    // A value text of more than 40000 characters; 40000 itself is accepted as text.
    INT8U stringType[] = {10};
    Bytes huge = Cat({Text("S"), Bytes{0}, Text(std::string(40001, 'v')), Bytes{0}});
    EXPECT_EQ(BuildSetList(huge.data(), static_cast<INT32U>(huge.size()), nullptr, 0, list.data(), &n),
              SCP_ERROR_FORMAT);
    Bytes big = Cat({Text("S"), Bytes{0}, Text(std::string(40000, 'v')), Bytes{0}});
    EXPECT_EQ(BuildSetList(big.data(), static_cast<INT32U>(big.size()), nullptr, 0, list.data(), &n),
              SCP_ERROR_NONE);
    // ... but its value item would pass 1478 bytes.
    EXPECT_EQ(BuildSetList(big.data(), static_cast<INT32U>(big.size()), stringType, 1, list.data(), &n),
              SCP_ERROR_FORMAT);
}

// ---------------------------------------------------------------------------
// Reply conversion

TEST(ScpInfoData, ItemsBecomeZeroTerminatedTexts) {
    Bytes replies =
        Cat({NameItem("SYS.MAC"), Item(2, 8, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}), NameItem("SYS.N"),
             Item(2, 4, {0x00, 0x01, 0x01, 0x00}), NameItem("SYS.S"), Item(2, 10, Text("hello"))});
    Bytes info(SCP_INFO_BUFFER_SIZE);
    INT32U size = 0;
    ASSERT_EQ(ParseInfoData(replies.data(), static_cast<INT32U>(replies.size()), info.data(), &size, false,
                            SCP_INFO_BUFFER_SIZE),
              SCP_ERROR_NONE);
    EXPECT_EQ(Texts(info.data(), size),
              (std::vector<std::string>{"SYS.MAC", "00:11:22:33:44:55", "SYS.N", "1,256", "SYS.S", "hello"}));
}

TEST(ScpInfoData, ErrorItemsGiveTheirTextAndMarkTheOperation) {
    Bytes replies = Cat({NameItem("A"), Item(2, 2, {7}), NameItem("B"), Item(3, 0, {0xFF, 0xFF, 0xFF, 0xC4}),
                         NameItem("C"), Item(3, 0, {0, 0, 0, 0})});
    Bytes info(SCP_INFO_BUFFER_SIZE);
    INT32U size = 0;
    EXPECT_EQ(ParseInfoData(replies.data(), static_cast<INT32U>(replies.size()), info.data(), &size, false,
                            SCP_INFO_BUFFER_SIZE),
              SCP_ERROR_PARAM_OP_FAILED);
    EXPECT_EQ(
        Texts(info.data(), size),
        (std::vector<std::string>{"A", "7", "B", "ERROR -60 Parameter cannot be set via scp", "C", "OK"}));
}

TEST(ScpInfoData, TypeModeCollectsValueTypesAndRefusesErrorItems) {
    Bytes replies = Cat({NameItem("A"), Item(2, 4, {0, 1}), NameItem("B"), Item(2, 9, {1, 2, 3, 4})});
    Bytes types(16, 0);
    INT32U count = 0;
    ASSERT_EQ(
        ParseInfoData(replies.data(), static_cast<INT32U>(replies.size()), types.data(), &count, true, 16),
        SCP_ERROR_NONE);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(types[0], 4);
    EXPECT_EQ(types[1], 9);
    Bytes unknown = Cat({NameItem("A"), Item(3, 0, {0xFF, 0xFF, 0xFF, 0xDC})});
    EXPECT_EQ(
        ParseInfoData(unknown.data(), static_cast<INT32U>(unknown.size()), types.data(), &count, true, 16),
        SCP_ERROR_RX_FORMAT);
}

TEST(ScpInfoData, MalformedItemsEndTheWalkWithoutReadingPast) {
    Bytes info(SCP_INFO_BUFFER_SIZE);
    INT32U size = 0;
    auto walk = [&](Bytes replies) {
        // Copy exactly the bytes into their own allocation so a read past shows up
        // under the address sanitizer.
        std::vector<INT8U> exact(replies);
        return ParseInfoData(exact.data(), static_cast<INT32U>(exact.size()), info.data(), &size, false,
                             SCP_INFO_BUFFER_SIZE);
    };
    EXPECT_EQ(walk(Cat({NameItem("A"), Bytes{0x00, 0x00, 0x01, 0x0A}})), SCP_ERROR_RX_FORMAT)
        << "length field 0";
    EXPECT_EQ(walk(Cat({NameItem("A"), Bytes{0x00, 0x01, 0x01, 0x0A}})), SCP_ERROR_RX_FORMAT)
        << "length field 1";
    EXPECT_EQ(walk(Cat({NameItem("A"), Bytes{0x00, 0x20, 0x02, 0x0A, 'x'}})), SCP_ERROR_RX_FORMAT)
        << "item runs past the collected bytes";
    EXPECT_EQ(walk(Cat({NameItem("A"), Bytes{0x00, 0x02}})), SCP_ERROR_RX_FORMAT) << "a torn item header";
    // An unknown item type stops the walk; what came before stays.
    EXPECT_EQ(walk(Cat({NameItem("A"), Item(9, 0, {1})})), SCP_ERROR_RX_FORMAT);
    EXPECT_EQ(Texts(info.data(), size), std::vector<std::string>{"A"});
    // A short status still gives a text, and counts as a failure.
    EXPECT_EQ(walk(Cat({NameItem("A"), Item(3, 0, {0xFF})})), SCP_ERROR_PARAM_OP_FAILED);
    EXPECT_EQ(Texts(info.data(), size).size(), 2u);
}

TEST(ScpInfoData, InfoTextNeverPassesTheCallersCapacity) {
    // Each 8-byte item of four INT8S values 0x80 renders as 20 bytes of text.
    Bytes replies;
    for (int i = 0; i < 200; ++i) {
        Bytes item = Item(2, 1, {0x80, 0x80, 0x80, 0x80});
        replies.insert(replies.end(), item.begin(), item.end());
    }
    const INT32U capacity = 1000;
    Bytes info(capacity + 64, 0xCC);
    INT32U size = 0;
    EXPECT_EQ(ParseInfoData(replies.data(), static_cast<INT32U>(replies.size()), info.data(), &size, false,
                            capacity),
              SCP_ERROR_GET_TOO_BIG);
    EXPECT_LE(size, capacity);
    for (INT32U i = capacity; i < info.size(); ++i)
        ASSERT_EQ(info[i], 0xCC) << "written past the capacity at " << i;
    EXPECT_EQ(Texts(info.data(), size)[0], "-128,-128,-128,-128");
}
