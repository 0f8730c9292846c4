// Value conversion, status texts and name tables of the legacy SCP path.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "conversion.h"
#include "conversion_internal.h"
#include "conversion_legacy.h"
#include "hex.h"

namespace {

using Bytes = std::vector<INT8U>;

using kivotest::hex;

Bytes be32(INT32U v) {
    return {INT8U(v >> 24), INT8U(v >> 16), INT8U(v >> 8), INT8U(v)};
}

// Renders an item's content (the item length field being content + 2) into an area of
// exactly `area` bytes followed by guard bytes; checks the returned length.
std::string render(INT32U type, const Bytes& content, size_t area = LEGACY_TEXT_AREA_SIZE) {
    std::vector<INT8U> buf(area + 16, '#');
    INT32U length = static_cast<INT32U>(content.size() + 2);
    valueToString(static_cast<INT8U>(type), content.data(), &length, buf.data(), static_cast<INT32U>(area));
    for (size_t i = area; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "written past the area";
    const std::string text(reinterpret_cast<const char*>(buf.data()), length);
    EXPECT_EQ(std::strlen(text.c_str()), length) << "length is not the text's";
    return text;
}

struct Parsed {
    bool ok;
    Bytes bytes;
};

Parsed parse(INT32U type, const std::string& text, size_t cap = LEGACY_VALUE_AREA_SIZE) {
    std::vector<INT8U> buf(cap + 16, 0xA5);
    INT32U len = 999;
    const bool ok = stringToValue(static_cast<INT8U>(type), reinterpret_cast<const INT8U*>(text.c_str()),
                                  &len, buf.data(), static_cast<INT32U>(cap)) == TRUE;
    for (size_t i = cap; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xA5) << "written past the area";
    EXPECT_LE(len, cap);
    return {ok, Bytes(buf.begin(), buf.begin() + len)};
}

const Bytes kA = hex("00 11 22 AA BB CC"), kZero(6, 0);

TEST(LegacyRender, BigEndianAndItsOwnRules) {
    Bytes twoMacs = kA;
    twoMacs.insert(twoMacs.end(), kZero.begin(), kZero.end());
    Bytes zeroFirst = kZero;
    zeroFirst.insert(zeroFirst.end(), kA.begin(), kA.end());
    zeroFirst.insert(zeroFirst.end(), kA.begin(), kA.end());
    struct Case {
        INT32U type;
        Bytes content;
        std::string text;
    } cases[] = {
        {PARAM_TYPE_INT16U, hex("00 01 01 00"), "1,256"},
        {PARAM_TYPE_INT32S, hex("FF FF FF FE"), "-2"},
        {PARAM_TYPE_INT32U, hex("00 00 01 00 FF FF FF FF"), "256,4294967295"},
        {PARAM_TYPE_INT64U, hex("00 00 00 00 00 00 01 00"), "256"},
        {PARAM_TYPE_FLUP_SRC, hex("00 00 00 01"), "FTP"},
        {PARAM_TYPE_FLUP_SRC, hex("01 00 00 00"), "Unknown"},
        {PARAM_TYPE_FEC_RATE, hex("00 00 00 09"), "???"},
        {PARAM_TYPE_UART_PARITY, hex("00 00 00 00"), ""},
        {PARAM_TYPE_ETHIFDRIVER_SPEED, hex("00 00 00 02"), "10"},
        {PARAM_TYPE_ETHIFDRIVER_SPEED, hex("00 00 00 03"), "Unknown"},  // no 2500 on this path
        {PARAM_TYPE_CONSOLE_AUTHMETHOD, hex("03"), "RADIUS"},
        {PARAM_TYPE_MAC_ADDR, twoMacs, "00:11:22:AA:BB:CC"},
        {PARAM_TYPE_MAC_ADDR, zeroFirst, "00:11:22:AA:BB:CC,00:11:22:AA:BB:CC"},
        {PARAM_TYPE_MAC_ADDR, kZero, ""},
        {PARAM_TYPE_HW_REVISION, hex("00 01 00 03"), "1_3"},
        {PARAM_TYPE_ASIC, hex("FF FF FF FE"), "-2"},
        {PARAM_TYPE_TIME,
         [] {
             Bytes t;
             for (INT32U f : {5, 4, 3, 2, 0, 124, 2}) {
                 const Bytes b = be32(f);
                 t.insert(t.end(), b.begin(), b.end());
             }
             return t;
         }(),
         "Tue Jan 2 03:04:05 2024"},
        {200, hex("01"), "Unknown type 200"},
        {253, {}, "Unknown type 253"},
        {PARAM_TYPE_INT16U, hex("00 01 02"), "1"},  // trailing partial element ignored
        {PARAM_TYPE_FLUP_SRC, hex("00 00 01"), "Unknown"},
        {PARAM_TYPE_HW_REVISION, hex("00 01"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " text " + c.text);
        EXPECT_EQ(render(c.type, c.content), c.text);
    }
    // The length field counts two bytes more than the value; below 2 nothing is read.
    INT8U area[32] = {};
    const INT8U value[] = {0x00, 0x07};
    for (INT32U field : {0u, 1u, 2u}) {
        INT32U length = field;
        valueToString(PARAM_TYPE_INT16U, value, &length, area);
        EXPECT_EQ(length, 0u);
    }
}

TEST(LegacyRender, StringIsBoundedByItsLength) {
    // Collected replies: this item's content runs straight into the next item.
    const Bytes replies = hex("61 62 63 00 05 02 0A 78 79");
    std::vector<INT8U> area(LEGACY_TEXT_AREA_SIZE, 0);
    INT32U length = 3 + 2;
    valueToString(PARAM_TYPE_STRING, replies.data(), &length, area.data());
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(reinterpret_cast<char*>(area.data()), "abc");
}

TEST(LegacyRender, StopsCleanlyAtTheArea) {
    EXPECT_EQ(render(PARAM_TYPE_INT8U, hex("0A 0B 0C"), 6), "10,11");
    EXPECT_EQ(render(PARAM_TYPE_STRING, Bytes(40, 'z'), 8), "zzzzzzz");
    EXPECT_EQ(render(200, {}, 8), "");
    EXPECT_EQ(render(PARAM_TYPE_MAC_ADDR, kA, 0), "");
}

TEST(LegacyParse, BigEndianAndItsOwnRules) {
    struct Case {
        INT32U type;
        std::string text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {PARAM_TYPE_INT16U, "1,256", true, "00 01 01 00"},
        {PARAM_TYPE_INT32S, "-2", true, "FF FF FF FE"},
        {PARAM_TYPE_INT32U, "4294967295", true, "FF FF FF FF"},
        {PARAM_TYPE_INT32U, "99999999999", false, ""},  // the same number rules as LCMP
        {PARAM_TYPE_INT16U, "1,2,", false, ""},
        {PARAM_TYPE_INT8U, "1", true, "01"},  // the factory reset value
        {PARAM_TYPE_FLUP_SRC, "L2", true, "00 00 00 02"},
        {PARAM_TYPE_ETHIFDRIVER_SPEED, "1000", true, "00 00 00 01"},
        {PARAM_TYPE_ETHIFDRIVER_SPEED, "2500", false, ""},
        {PARAM_TYPE_CONSOLE_AUTHMETHOD, "RADIUS", true, "02"},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55", true, "00 11 22 33 44 55"},
        {PARAM_TYPE_MAC_ADDR, "0:1:2:3:4:ff", true, "00 01 02 03 04 FF"},
        {PARAM_TYPE_MAC_ADDR, "00:11::33:44:55", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55,00:11:22:33:44:55", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55,", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44", false, ""},
        {PARAM_TYPE_MAC_ADDR, "000:011:022:33:44:55", false, ""},
        {PARAM_TYPE_HW_REVISION, "1_3", true, "00 01 00 03"},
        {PARAM_TYPE_TIME, "Tue Jan 2 03:04:05 2024", true,
         "00 00 00 05 00 00 00 04 00 00 00 03 00 00 00 02 00 00 00 00 00 00 00 7C 00 00 00 00 00 00 00 00 00 "
         "00 00 00"},
        {PARAM_TYPE_INT64U, "1", false, ""},
        {255, "1", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " text '" + c.text + "'");
        const Parsed p = parse(c.type, c.text);
        EXPECT_EQ(p.ok, c.ok);
        if (c.ok || !c.bytes.empty()) {
            EXPECT_EQ(p.bytes, c.bytes.empty() ? Bytes{} : hex(c.bytes));
        }
    }
    // The same revision text reads back differently on the two paths.
    EXPECT_EQ(render(PARAM_TYPE_HW_REVISION, parse(PARAM_TYPE_HW_REVISION, "1_3").bytes), "1_3");
    std::vector<INT8U> lcmp(8);
    INT32U len = 0;
    ASSERT_TRUE(ConversionStringToValue(PARAM_TYPE_HW_REVISION, "1_3", lcmp.data(), 8, &len));
    CHAR text[16] = {};
    ConversionValueToString(PARAM_TYPE_HW_REVISION, len, lcmp.data(), text, sizeof(text), nullptr, FALSE);
    EXPECT_STREQ(text, "3_1");
    // The short form parses into a 40000-byte area.
    EXPECT_FALSE(parse(PARAM_TYPE_STRING, std::string(LEGACY_VALUE_AREA_SIZE + 1, 's')).ok);
    std::vector<INT8U> area(LEGACY_VALUE_AREA_SIZE);
    std::string big(LEGACY_VALUE_AREA_SIZE, 's');
    EXPECT_TRUE(stringToValue(PARAM_TYPE_STRING, reinterpret_cast<INT8U*>(big.data()), &len, area.data()));
    EXPECT_EQ(len, LEGACY_VALUE_AREA_SIZE);
    big.push_back('s');
    EXPECT_FALSE(stringToValue(PARAM_TYPE_STRING, reinterpret_cast<INT8U*>(big.data()), &len, area.data()));
}

TEST(LegacyProducts, FirstEntriesOnly) {
    using namespace kivo::config;
    for (size_t i = 0; i < kProductCount; ++i) {
        const t_flashProduct& p = kProductRows[i];
        const bool known = i < kLegacyProductCount;
        EXPECT_EQ(render(PARAM_TYPE_HW_PROD, be32(p.prodId)), known ? p.prodName : "Unknown") << p.prodName;
        const Parsed back = parse(PARAM_TYPE_HW_PROD, p.prodName);
        EXPECT_EQ(back.ok, known) << p.prodName;
        if (known) {
            EXPECT_EQ(back.bytes, be32(p.prodId));
        }
    }
    EXPECT_EQ(render(PARAM_TYPE_HW_PROD, be32(0)), "");
}

TEST(LegacyRoundTrip, GeneratedValues) {
    std::mt19937 rng(7);
    const struct {
        INT32U type;
        size_t size;
    } lists[] = {{PARAM_TYPE_INT8S, 1},   {PARAM_TYPE_INT8U, 1},     {PARAM_TYPE_INT16S, 2},
                 {PARAM_TYPE_INT16U, 2},  {PARAM_TYPE_INT32S, 4},    {PARAM_TYPE_INT32U, 4},
                 {PARAM_TYPE_IP_ADDR, 4}, {PARAM_TYPE_IPV6_ADDR, 16}};
    for (int round = 0; round < 200; ++round) {
        for (const auto& l : lists) {
            Bytes v(l.size * (1 + rng() % 8));
            for (auto& x : v) x = static_cast<INT8U>(rng());
            const std::string text = render(l.type, v);
            const Parsed p = parse(l.type, text);
            ASSERT_TRUE(p.ok) << text;
            ASSERT_EQ(p.bytes, v) << text;
        }
        Bytes mac(6);
        for (auto& x : mac) x = static_cast<INT8U>(rng() | 1);  // never all zero
        EXPECT_EQ(parse(PARAM_TYPE_MAC_ADDR, render(PARAM_TYPE_MAC_ADDR, mac)).bytes, mac);
        const Bytes rev = {0, static_cast<INT8U>(rng()), static_cast<INT8U>(rng()),
                           static_cast<INT8U>(rng())};
        EXPECT_EQ(parse(PARAM_TYPE_HW_REVISION, render(PARAM_TYPE_HW_REVISION, rev)).bytes, rev);
    }
}

TEST(LegacyStatus, TextsLengthsAndResults) {
    auto status = [](INT32S code, size_t contentLength = 4, size_t area = LEGACY_TEXT_AREA_SIZE) {
        Bytes content = be32(static_cast<INT32U>(code));
        content.resize(contentLength);
        std::vector<INT8U> buf(area + 8, '#');
        INT32U length = static_cast<INT32U>(contentLength + 2);
        const INT32S result = errorToString(content.data(), &length, buf.data(), static_cast<INT32U>(area));
        for (size_t i = area; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#');
        const std::string text(reinterpret_cast<char*>(buf.data()), length);
        EXPECT_EQ(std::strlen(text.c_str()), length);
        return std::pair{result, text};
    };
    EXPECT_EQ(status(0), std::pair(0, std::string("OK")));
    EXPECT_EQ(status(-60), std::pair(-60, std::string("ERROR -60 Parameter cannot be set via scp")));
    EXPECT_EQ(status(-60).second.size(), 41u);
    EXPECT_EQ(status(-64), std::pair(-64, std::string("ERROR UNKNOWN")));
    EXPECT_EQ(status(-77), std::pair(-77, std::string("ERROR UNKNOWN")));
    EXPECT_EQ(status(-256), std::pair(0, std::string("OK")));  // modulo 256
    EXPECT_EQ(status(-257).first, -1);
    EXPECT_EQ(status(1).first, -255);
    EXPECT_EQ(status(-1, 3), std::pair(-1, std::string("ERROR INVALID STATUS VALUE")));
    EXPECT_EQ(status(-1, 0).first, -1);
    EXPECT_EQ(status(-1, 4, 10).second, "");
    // The two paths share messages for 1 to 5 and 31 to 63; the rest are LCMP-only.
    for (INT32S c = 1; c <= 255; ++c) {
        const Bytes le = {static_cast<INT8U>(-c), 0xFF, 0xFF, 0xFF};
        CHAR lcmp[200] = {};
        testing::internal::CaptureStderr();
        ConversionValueToErrorString(le.data(), 4, lcmp, sizeof(lcmp));
        testing::internal::GetCapturedStderr();
        const bool shared = (c >= 1 && c <= 5) || (c >= 31 && c <= 63);
        EXPECT_EQ(status(-c), std::pair(-c, shared ? std::string(lcmp) : std::string("ERROR UNKNOWN"))) << c;
    }
    // The short form: the item's length field in, the text's length out.
    Bytes item = be32(static_cast<INT32U>(-3));
    std::vector<INT8U> area(LEGACY_TEXT_AREA_SIZE, 0);
    INT32U length = 6;
    EXPECT_EQ(errorToString(item.data(), &length, area.data()), -3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area.data()), length), "ERROR -3 Component not started");
}

TEST(LegacyNames, ScpCodesAndOperations) {
    const char* codes[] = {"NONE",      "SOCKET_NOT_OPENED", "ETH_IF",   "ETH_IF_MAC",  "SENDTO",
                           "TIMEOUT",   "DROP_PACKET",       "RECVFROM", "BIND",        "CRC",
                           "FORMAT",    "BAD_ARGS",          "MALLOC",   "GET_TOO_BIG", "ETH_IF_INACTIVE",
                           "RX_FORMAT", "PARAM_OP_FAILED"};
    for (INT32S i = 0; i < 17; ++i)
        EXPECT_STREQ(convertErrorCodeToString(static_cast<t_scpErrorCode>(-i)), codes[i]);
    EXPECT_STREQ(convertErrorCodeToString(SCP_ERROR_TIMEOUT), "TIMEOUT");
    for (INT32S bad : {1, -17, -1000})
        EXPECT_STREQ(convertErrorCodeToString(static_cast<t_scpErrorCode>(bad)), "UNKNOWN");
    const char* ops[] = {"SET", "GET", "FACTORY_RESET", "SETP", "GETP"};
    for (INT32S i = 0; i < 5; ++i) EXPECT_STREQ(convertOpToString(static_cast<t_scpOp>(i)), ops[i]);
    EXPECT_STREQ(convertOpToString(SCP_OP_FACTORY_RESET), "FACTORY_RESET");
    for (INT32S bad : {-1, 5, 99}) EXPECT_STREQ(convertOpToString(static_cast<t_scpOp>(bad)), "UNKNOWN");
}

}  // namespace
