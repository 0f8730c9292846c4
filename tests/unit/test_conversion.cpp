// Value rendering, parsing and status texts of the LCMP path.
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

struct Rendered {
    std::string text;
    INT32U count;
};

// Renders into an area of exactly `area` bytes followed by guard bytes that must stay.
Rendered render(INT32U type, const Bytes& v, bool filterMac = false,
                size_t area = CONVERSION_TEXT_AREA_SIZE) {
    std::vector<CHAR> buf(area + 16, '#');
    INT32U count = 0;
    ConversionValueToString(static_cast<t_paramType>(type), static_cast<INT32U>(v.size()), v.data(),
                            buf.data(), static_cast<INT32U>(area), &count, filterMac ? TRUE : FALSE);
    for (size_t i = area; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "written past the area";
    const size_t len = area ? strnlen(buf.data(), area) : 0;
    EXPECT_TRUE(area == 0 || len < area) << "text not terminated inside the area";
    return {std::string(buf.data(), len), count};
}

struct Parsed {
    bool ok;
    Bytes bytes;
};

Parsed parse(INT32U type, const std::string& text, size_t cap = CONVERSION_VALUE_AREA_SIZE) {
    std::vector<INT8U> buf(cap + 16, 0xA5);
    INT32U len = 12345;
    const bool ok = ConversionStringToValue(static_cast<t_paramType>(type), text.c_str(), buf.data(),
                                            static_cast<INT32U>(cap), &len) == TRUE;
    for (size_t i = cap; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xA5) << "written past the area";
    EXPECT_LE(len, cap);
    return {ok, Bytes(buf.begin(), buf.begin() + len)};
}

const Bytes kA = hex("00 11 22 AA BB CC"), kB = hex("0A 0B 0C 0D 0E 0F"), kZero(6, 0);
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(ConversionRender, TypesAsTheirTableSays) {
    struct Case {
        INT32U type;
        Bytes value;
        bool filterMac;
        std::string text;
        INT32U count;
    } cases[] = {
        {37, hex("01"), false, "Unknown", 1},
        {253, {}, false, "Unknown", 1},
        {100000, hex("01"), false, "Unknown", 1},
        {PARAM_TYPE_INT8S, hex("80 7F FF"), false, "-128,127,-1", 3},
        {PARAM_TYPE_INT8U, hex("FF 00"), false, "255,0", 2},
        {PARAM_TYPE_INT8U, {}, false, "", 1},
        {PARAM_TYPE_INT16S, hex("FF FF 02 00"), false, "-1,2", 2},
        {PARAM_TYPE_INT16U, hex("FF FF"), false, "65535", 1},
        {PARAM_TYPE_INT32U, hex("FF FF FF FF"), false, "4294967295", 1},
        {PARAM_TYPE_INT32S, hex("FF FF FF FF 00 00 00 80"), false, "-1,-2147483648", 2},
        {PARAM_TYPE_INT64U, hex("01 00 00 00 00 00 00 00"), false, "1", 1},
        {PARAM_TYPE_INT64U, Bytes(8, 0xFF), false, "18446744073709551615", 1},
        {PARAM_TYPE_BOOL, hex("01 05 00"), false, "YES,,NO", 3},
        {PARAM_TYPE_MAC_ADDR, cat({kA, kZero, kB}), true, "00:11:22:AA:BB:CC,0A:0B:0C:0D:0E:0F", 2},
        {PARAM_TYPE_MAC_ADDR, cat({kZero, kA}), true, "00:11:22:AA:BB:CC", 1},
        {PARAM_TYPE_MAC_ADDR, cat({kA, kZero}), true, "00:11:22:AA:BB:CC", 1},
        {PARAM_TYPE_MAC_ADDR, kZero, true, "", 1},
        {PARAM_TYPE_MAC_ADDR, kZero, false, "00:00:00:00:00:00", 1},
        {PARAM_TYPE_MAC_ADDR, cat({kA, kZero}), false, "00:11:22:AA:BB:CC,00:00:00:00:00:00", 2},
        {PARAM_TYPE_IP_ADDR, hex("C0 A8 01 01 0A 00 00 01"), false, "192.168.1.1,10.0.0.1", 2},
        {PARAM_TYPE_IPV6_ADDR, Bytes(16, 0), false, "0000:0000:0000:0000:0000:0000:0000:0000", 1},
        {PARAM_TYPE_IPV6_ADDR, hex("FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01"), false,
         "FE80:0000:0000:0000:0000:0000:0000:0001", 1},
        {PARAM_TYPE_STRING, hex("61 62 00 63 64"), false, "ab", 1},
        {PARAM_TYPE_STRING, hex("61 62 63"), false, "abc", 1},
        {PARAM_TYPE_EVENT, hex("07 09"), false, "7", 1},
        {PARAM_TYPE_HW_REVISION, hex("03 00 01 00"), false, "1_3", 1},
        {PARAM_TYPE_ASIC, hex("FE FF FF FF"), false, "-2", 1},
        {PARAM_TYPE_MPP2IGMP_PORT, hex("01 02 03 04"), false, "", 1},
        {PARAM_TYPE_POWERSAVINGMODE, hex("01 02 03 04"), false, "", 1},
        {PARAM_TYPE_CONSOLE_AUTHMETHOD, hex("02"), false, "Unknown", 1},
        {PARAM_TYPE_CONSOLE_AUTHMETHOD, hex("03"), false, "RADIUS", 1},
        {PARAM_TYPE_HW_PROD, hex("00 00 00 00"), false, "", 1},
        {PARAM_TYPE_HW_PROD, hex("EF BE AD DE"), false, "Unknown", 1},
        // Short values: a trailing partial element is ignored, nothing is read past.
        {PARAM_TYPE_INT16U, hex("01 00 02"), false, "1", 1},
        {PARAM_TYPE_IPV6_ADDR, Bytes(15, 1), false, "", 1},
        {PARAM_TYPE_EVENT, {}, false, "", 1},
        {PARAM_TYPE_CONSOLE_AUTHMETHOD, {}, false, "Unknown", 1},
        {PARAM_TYPE_FLUP_SRC, hex("01 00 00"), false, "Unknown", 1},
        {PARAM_TYPE_FEC_RATE, hex("01"), false, "???", 1},
        {PARAM_TYPE_UART_SPEED, hex("01"), false, "", 1},
        {PARAM_TYPE_HW_PROD, hex("00 00"), false, "Unknown", 1},
        {PARAM_TYPE_HW_REVISION, hex("01 00 02"), false, "", 1},
        {PARAM_TYPE_ASIC, hex("01 00 02"), false, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " text " + c.text);
        const Rendered r = render(c.type, c.value, c.filterMac);
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.count, c.count);
    }
    const Bytes one = hex("01");  // the short form renders into a 30000-byte area
    std::vector<CHAR> area(CONVERSION_TEXT_AREA_SIZE, 0);
    ConversionValueToString(PARAM_TYPE_BOOL, 1, one.data(), area.data(), nullptr, FALSE);
    EXPECT_STREQ(area.data(), "YES");
}

// Every enumerated type: each name renders from its code and parses back to it, and
// an unused code renders as the type's own fallback.
TEST(ConversionEnums, NamesCodesAndFallbacks) {
    struct Enum {
        INT32U type;
        std::vector<std::pair<INT32U, std::string>> names;
        std::string fallback;
    } enums[] = {
        {PARAM_TYPE_FLUP_SRC, {{0, "TFTP"}, {1, "FTP"}, {2, "L2"}}, "Unknown"},
        {PARAM_TYPE_NODE_NODE_TYPE, {{1, "DOMAIN_MASTER"}, {2, "END_POINT"}}, "Unknown"},
        {PARAM_TYPE_FORCE_NODE, {{0, "NONE"}, {1, "DOMAIN_MASTER"}, {2, "END_POINT"}}, ""},
        {PARAM_TYPE_ETHIFDRIVER_SPEED, {{0, "100"}, {1, "1000"}, {2, "10"}, {3, "2500"}}, "Unknown"},
        {PARAM_TYPE_ETHIFDRIVER_DUPLEX, {{1, "HALF_DUPLEX"}, {2, "FULL_DUPLEX"}}, "Unknown"},
        {PARAM_TYPE_ETHIFDRIVER_IFACETYPE,
         {{1, "MII"}, {2, "SSMII"}, {3, "RGMII"}, {4, "GMII"}, {5, "SGMII"}},
         "Unknown"},
        {PARAM_TYPE_ETHIFDRIVER_MODE, {{1, "MAC"}, {2, "PHY"}}, "Unknown"},
        {PARAM_TYPE_AKM_MICSIZE, {{1, "4"}, {3, "8"}, {7, "16"}}, "Unknown"},
        {PARAM_TYPE_UART_SPEED,
         {{1, "b150"},
          {2, "b300"},
          {3, "b600"},
          {4, "b1200"},
          {5, "b2400"},
          {6, "b4800"},
          {7, "b9600"},
          {8, "b19k2"},
          {9, "b38k4"},
          {10, "b57k6"},
          {11, "b115k2"}},
         ""},
        {PARAM_TYPE_UART_DATA_SIZE, {{1, "bits5"}, {2, "bits6"}, {3, "bits7"}, {4, "bits8"}}, ""},
        {PARAM_TYPE_UART_STOP_BIT, {{1, "stop1"}, {2, "stop2"}}, ""},
        {PARAM_TYPE_UART_PARITY, {{1, "none"}, {2, "even"}, {3, "odd"}}, ""},
        {PARAM_TYPE_LOGFILE_PROTOCOL, {{0, "LOCAL"}, {1, "FTP"}}, "???"},
        {PARAM_TYPE_LOGFILE_DESTINATION, {{0, "LOCAL"}, {1, "FTP"}}, "???"},
        {PARAM_TYPE_HGF_CERTIF_VERSION, {{0, "1.1"}, {1, "1.2"}, {2, "1.3"}}, "???"},
        {PARAM_TYPE_FEC_RATE, {{1, "1/2"}, {2, "2/3"}, {3, "5/6"}, {4, "16/18"}, {5, "20/21"}}, "???"},
        {PARAM_TYPE_VLAN_PORT_CONFIG, {{0, "NONE"}, {1, "ACCESS"}, {2, "TRUNK"}}, "???"},
    };
    for (const Enum& e : enums) {
        SCOPED_TRACE(ConversionTypeToString(static_cast<t_paramType>(e.type)));
        for (const auto& [code, name] : e.names) {
            const Bytes le = {static_cast<INT8U>(code), 0, 0, 0};
            EXPECT_EQ(render(e.type, le).text, name);
            const Parsed p = parse(e.type, name);
            EXPECT_TRUE(p.ok);
            EXPECT_EQ(p.bytes, le);
        }
        EXPECT_EQ(render(e.type, hex("63 00 00 00")).text, e.fallback);
        EXPECT_EQ(render(e.type, hex("00 00 00 01")).text, e.fallback);  // a high byte counts
        EXPECT_FALSE(parse(e.type, "Unknown").ok);
    }
    EXPECT_FALSE(parse(PARAM_TYPE_FLUP_SRC, "ftp").ok);  // names are case-sensitive
    EXPECT_FALSE(parse(PARAM_TYPE_FORCE_NODE, "").ok);
    // CONSOLE_AUTHMETHOD is one byte; RADIUS is written as 2 but reported as 3.
    for (auto [text, code] : {std::pair{"LEGACY", 0}, {"LOCAL", 1}, {"RADIUS", 2}}) {
        const Parsed p = parse(PARAM_TYPE_CONSOLE_AUTHMETHOD, text);
        EXPECT_TRUE(p.ok);
        EXPECT_EQ(p.bytes, Bytes{static_cast<INT8U>(code)});
    }
}

TEST(ConversionRender, TimeText) {
    auto timeValue = [](std::vector<INT32S> f) {
        Bytes v;
        for (INT32S x : f)
            for (int i = 0; i < 4; ++i) v.push_back(static_cast<INT8U>(static_cast<INT32U>(x) >> (8 * i)));
        return v;
    };
    struct Case {
        std::vector<INT32S> fields;
        std::string text;
    } cases[] = {
        {{5, 4, 3, 2, 0, 124, 2}, "Tue Jan 2 03:04:05 2024"},
        {{5, 4, 3, 2, 0, 124, 2, 33, 1}, "Tue Jan 2 03:04:05 2024"},  // later fields are skipped
        {{59, 30, 12, 15, 11, 99, 6}, "Sat Dec 15 12:30:59 1999"},
        {{0, 0, 0, 1, 12, 0, 7}, "Err Err 1 00:00:00 1900"},
        {{123, -5, 45, 123, 1, 8100, 0}, "Sun Feb 12 45:-5:12 1000"},  // wide year keeps four digits
        {{0, 0, 0, -3, 2, -1800, -1}, "Err Mar -3 00:00:00 100"},      // short year written as it is
    };
    for (const Case& c : cases) EXPECT_EQ(render(PARAM_TYPE_TIME, timeValue(c.fields)).text, c.text);
    EXPECT_EQ(render(PARAM_TYPE_TIME, timeValue({5, 4, 3, 2, 0, 124, 2})).text.size(), 23u);
    EXPECT_EQ(render(PARAM_TYPE_TIME, timeValue({5, 4, 12, 15, 0, 124, 2})).text.size(), 24u);
    Bytes shortTime = timeValue({5, 4, 3, 2, 0, 124, 2});
    shortTime.pop_back();
    EXPECT_EQ(render(PARAM_TYPE_TIME, shortTime).text, "");
}

TEST(ConversionRender, ProductTable) {
    using namespace kivo::config;
    for (size_t i = 0; i < kProductCount; ++i) {
        const t_flashProduct& p = kProductRows[i];
        const Bytes id = {static_cast<INT8U>(p.prodId), static_cast<INT8U>(p.prodId >> 8),
                          static_cast<INT8U>(p.prodId >> 16), static_cast<INT8U>(p.prodId >> 24)};
        EXPECT_EQ(render(PARAM_TYPE_HW_PROD, id).text, p.prodName);
        const Parsed back = parse(PARAM_TYPE_HW_PROD, p.prodName);
        EXPECT_TRUE(back.ok);
        EXPECT_EQ(back.bytes, id);
        EXPECT_NE(p.prodId, 0u);
    }
    const Parsed empty = parse(PARAM_TYPE_HW_PROD, "");  // the first empty slot
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.bytes, Bytes(4, 0));
    EXPECT_FALSE(parse(PARAM_TYPE_HW_PROD, "NO-SUCH").ok);
    EXPECT_FALSE(parse(PARAM_TYPE_HW_PROD, "MAPLE-1100XY").ok);
}

TEST(ConversionRender, StopsCleanlyAtTheArea) {
    // 20000 list elements of 3 digits: whole elements only, no trailing separator.
    const Rendered list = render(PARAM_TYPE_INT8U, Bytes(20000, 255));
    EXPECT_EQ(list.count, 7500u);
    EXPECT_EQ(list.text.size(), 7500u * 4 - 1);
    EXPECT_EQ(list.text.substr(list.text.size() - 4), ",255");
    // Counters wider than 16 bits: 70000 elements in a large area.
    const Rendered wide = render(PARAM_TYPE_INT8U, Bytes(70000, 7), false, 200000);
    EXPECT_EQ(wide.count, 70000u);
    EXPECT_EQ(wide.text.size(), 70000u * 2 - 1);
    const Rendered str = render(PARAM_TYPE_STRING, Bytes(40000, 'x'));
    EXPECT_EQ(str.text, std::string(CONVERSION_TEXT_AREA_SIZE - 1, 'x'));
    EXPECT_EQ(render(PARAM_TYPE_MAC_ADDR, kA, false, 17).text, "");  // 17 characters need 18 bytes
    EXPECT_EQ(render(PARAM_TYPE_MAC_ADDR, cat({kA, kB}), false, 20).text, "00:11:22:AA:BB:CC");
    EXPECT_EQ(render(PARAM_TYPE_FEC_RATE, hex("04 00 00 00"), false, 5).text,
              "");  // names whole or not at all
    EXPECT_EQ(render(PARAM_TYPE_INT8U, hex("01"), false, 0).count, 1u);
    EXPECT_EQ(render(PARAM_TYPE_FORCE_NODE, hex("09 00 00 00"), false, 0).text, "");  // empty text, no area
}

TEST(ConversionParse, TextsAsTheirTableSays) {
    struct Case {
        INT32U type;
        std::string text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {PARAM_TYPE_INT8U, "1,2,300", false, "01 02 2C"},
        {PARAM_TYPE_INT8U, "", true, "00"},
        {PARAM_TYPE_INT8U, ",", false, "00 00"},  // empty elements of a list
        {PARAM_TYPE_INT8U, "-1", false, "FF"},
        {PARAM_TYPE_INT16S, "-2,5", true, "FE FF 05 00"},
        {PARAM_TYPE_INT16S, "-32769", false, "FF 7F"},
        {PARAM_TYPE_INT16U, "65535", true, "FF FF"},
        {PARAM_TYPE_INT8S, "12abc", false, "0C"},  // the rest must be white space
        {PARAM_TYPE_INT8S, " 12 ", true, "0C"},
        {PARAM_TYPE_INT8U, "abc", false, "00"},  // not a digit in it: no number at all
        {PARAM_TYPE_INT16U, "1,fast", false, "01 00 00 00"},
        {PARAM_TYPE_INT32S, "-", false, "00 00 00 00"},
        {PARAM_TYPE_INT8U, "+5", true, "05"},
        {PARAM_TYPE_INT8S, " -128", true, "80"},
        {PARAM_TYPE_INT32S, "-1", true, "FF FF FF FF"},
        {PARAM_TYPE_INT32U, "4294967295", true, "FF FF FF FF"},
        {PARAM_TYPE_INT32U, "4294967296", false, "00 00 00 00"},  // neither range of 32 bits
        {PARAM_TYPE_INT32S, "-2147483649", false, "FF FF FF 7F"},
        {PARAM_TYPE_INT32U, "-2147483648", true, "00 00 00 80"},  // the signed range too
        {PARAM_TYPE_INT32S, "4294967295", true, "FF FF FF FF"},   // and the unsigned one
        {PARAM_TYPE_INT32U, "18446744073709551615", false, "FF FF FF FF"},
        {PARAM_TYPE_INT32U, "18446744073709551616", false, "FF FF FF FF"},  // beyond 64 bits
        {PARAM_TYPE_INT8U, "99999999999999999999999", false, "FF"},
        {PARAM_TYPE_BOOL, "YES,NO", true, "01 00"},
        {PARAM_TYPE_BOOL, "yes", false, "00"},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55,0:1:2:3:4:5", true, "00 11 22 33 44 55 00 01 02 03 04 05"},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55,", true, "00 11 22 33 44 55"},
        {PARAM_TYPE_MAC_ADDR, ":::::", true, "00 00 00 00 00 00"},
        {PARAM_TYPE_MAC_ADDR, "0x1:2:3:4:5:ff", true, "01 02 03 04 05 FF"},  // strict reader takes 0x
        {PARAM_TYPE_MAC_ADDR, "000:011:22:33:44:55", false, ""},             // 19 characters
        {PARAM_TYPE_MAC_ADDR, "00-11-22-33-44-55", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55:66", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:100", false, ""},
        {PARAM_TYPE_MAC_ADDR, "00:11:22:33:44:55,,", false, "00 11 22 33 44 55"},
        {PARAM_TYPE_MAC_ADDR, "", false, ""},
        {PARAM_TYPE_IP_ADDR, "192.168.1.10", true, "C0 A8 01 0A"},
        {PARAM_TYPE_IP_ADDR, "10.0.0.1,192.168.100.200", true, "0A 00 00 01 C0 A8 64 C8"},
        {PARAM_TYPE_IP_ADDR, "1.2.3", false, ""},
        {PARAM_TYPE_IP_ADDR, "1..2.3", false, ""},
        {PARAM_TYPE_IP_ADDR, "1.2.3.4.", false, ""},
        {PARAM_TYPE_IP_ADDR, "256.1.1.1", false, ""},
        {PARAM_TYPE_IP_ADDR, "1.2.3.4x", false, ""},  // strict reader: the whole field
        {PARAM_TYPE_IPV6_ADDR, "::1", true, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"},
        {PARAM_TYPE_IPV6_ADDR, "fe80::1,::", true,
         "FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {PARAM_TYPE_IPV6_ADDR, "1:2:3:4:5:6:7:8:9", false, ""},
        {PARAM_TYPE_IPV6_ADDR, ":1::2", false, ""},
        {PARAM_TYPE_IPV6_ADDR, "1::2::3", false, ""},
        {PARAM_TYPE_IPV6_ADDR, "1:2", false, ""},
        {PARAM_TYPE_IPV6_ADDR, "1::10000", false, ""},
        {PARAM_TYPE_FLUP_SRC, "FTP", true, "01 00 00 00"},
        {PARAM_TYPE_ETHIFDRIVER_SPEED, "2500", true, "03 00 00 00"},
        {PARAM_TYPE_HW_REVISION, "1_3", true, "01 00 03 00"},
        {PARAM_TYPE_HW_REVISION, "257_3", true, "01 00 03 00"},  // first number modulo 256
        {PARAM_TYPE_HW_REVISION, "7", true, "00 00 07 00"},      // no "_": only the second field
        {PARAM_TYPE_HW_REVISION, "1_x", false, ""},
        {PARAM_TYPE_TIME, "Tue Jan 2 03:04:05 2024", true,
         "05 00 00 00 04 00 00 00 03 00 00 00 02 00 00 00 00 00 00 00 7C 00 00 00 00 00 00 00 00 00 00 00 00 "
         "00 00 00"},
        {PARAM_TYPE_EVENT, "1", true, "31"},
        {PARAM_TYPE_STRING, "abc", true, "61 62 63"},
        {PARAM_TYPE_INT64U, "1", false, ""},
        {PARAM_TYPE_ASIC, "7", true, ""},
        {PARAM_TYPE_MPP2IGMP_PORT, "x", true, ""},
        {PARAM_TYPE_POWERSAVINGMODE, "", true, ""},
        {37, "1", false, ""},
        {PARAM_TYPE_NOT_DEFINED, "1", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " text '" + c.text + "'");
        const Parsed p = parse(c.type, c.text);
        EXPECT_EQ(p.ok, c.ok);
        if (c.ok || !c.bytes.empty()) {
            EXPECT_EQ(p.bytes, c.bytes.empty() ? Bytes{} : hex(c.bytes));
        }
    }
    EXPECT_EQ(parse(PARAM_TYPE_INT32S, "-1").bytes, parse(PARAM_TYPE_INT32U, "4294967295").bytes);
    // The short form parses into a 30000-byte area.
    std::vector<INT8U> area(CONVERSION_VALUE_AREA_SIZE);
    INT32U len = 0;
    CHAR text[] = "1,2";
    EXPECT_TRUE(ConversionStringToValue(PARAM_TYPE_INT16U, text, area.data(), &len));
    EXPECT_EQ(Bytes(area.begin(), area.begin() + len), hex("01 00 02 00"));
}

TEST(ConversionParse, TimeTexts) {
    const Parsed plain = parse(PARAM_TYPE_TIME, "Tue Jan 2 03:04:05 2024");
    EXPECT_EQ(parse(PARAM_TYPE_TIME, "\"Tue Jan 2 03:04:05 2024\"").bytes, plain.bytes);
    EXPECT_EQ(parse(PARAM_TYPE_TIME, "xxx Dec 31 23:59:59 2899").bytes[16], 11);
    const Parsed min = parse(PARAM_TYPE_TIME, "Mon Jan 1 00:00:00 1900");
    EXPECT_TRUE(min.ok);
    EXPECT_EQ(min.bytes[20], 0);
    for (const char* bad :
         {"Tue Foo 2 03:04:05 2024", "Tue Jan 2 03:04", "Tue Jan 2 03:04:05", "Tue Jan 2",
          "Tue Jan 2 03:04:05 1899", "Tue Jan 2 03:04:05 2900", "Tue Jan 0002 03:04:05 2024",
          "Tue Jan 2 -3:04:05 2024", "Tue Jan 2 03:+4:05 2024", "Tue Jan 2 03:04:1000 2024"})
        EXPECT_FALSE(parse(PARAM_TYPE_TIME, bad).ok) << bad;
}

TEST(ConversionParse, NeverWritesPastItsArea) {
    EXPECT_FALSE(parse(PARAM_TYPE_INT32U, std::string(30000, ',')).ok);
    EXPECT_FALSE(parse(PARAM_TYPE_STRING, std::string(CONVERSION_VALUE_AREA_SIZE + 1, 'a')).ok);
    EXPECT_TRUE(parse(PARAM_TYPE_STRING, std::string(CONVERSION_VALUE_AREA_SIZE, 'a')).ok);
    EXPECT_TRUE(parse(PARAM_TYPE_INT16U, "1,2", 4).ok);
    EXPECT_FALSE(parse(PARAM_TYPE_INT16U, "1,2,3", 4).ok);
    EXPECT_FALSE(parse(PARAM_TYPE_MAC_ADDR, "1:2:3:4:5:6,1:2:3:4:5:6", 11).ok);
    EXPECT_FALSE(parse(PARAM_TYPE_IPV6_ADDR, "::1", 15).ok);
    EXPECT_FALSE(parse(PARAM_TYPE_TIME, "Tue Jan 2 03:04:05 2024", 35).ok);
    EXPECT_FALSE(parse(PARAM_TYPE_FLUP_SRC, "FTP", 3).ok);
    EXPECT_TRUE(parse(PARAM_TYPE_ASIC, "7", 0).ok);
}

TEST(ConversionParse, ExpandIPv6) {
    using kivo::config::ExpandIPv6;
    struct Case {
        const char* in;
        const char* out;  // null: refused
    } cases[] = {
        {"::1", ":::::::1"},
        {"fe80::", "fe80:::::::"},
        {"::", ":::::::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"1::3:4:5:6:7:8", "1::3:4:5:6:7:8"},
        {"1:2::7:8", "1:2:::::7:8"},
        {":1::", nullptr},
        {":::", nullptr},
        {"1::2::3", nullptr},
        {"1:", nullptr},
        {"1:2:3", nullptr},
        {"1:2:3:4:5:6:7:8:9", nullptr},
        {"0000:0000:0000:0000:0000:0000:0000:0001", "0000:0000:0000:0000:0000:0000:0000:0001"},
        {"0000:0000:0000:0000:0000:0000:0000:00001", nullptr},  // 40 characters
        {"000000000000000000000000000000000000::1", nullptr},   // 39, but 44 once widened
    };
    for (const Case& c : cases) {
        char out[40] = {};
        const bool ok = ExpandIPv6(c.in, out) == TRUE;
        EXPECT_EQ(ok, c.out != nullptr) << c.in;
        if (ok && c.out) {
            EXPECT_STREQ(out, c.out);
        }
    }
}

// parse(render(bytes)) gives the bytes back, on seeded random values of every type
// whose text form carries all of its bytes.
TEST(ConversionRoundTrip, GeneratedValues) {
    std::mt19937 rng(20240102);
    auto randomBytes = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b) x = static_cast<INT8U>(rng());
        return b;
    };
    const struct {
        INT32U type;
        size_t size;
    } lists[] = {{PARAM_TYPE_INT8S, 1},    {PARAM_TYPE_INT8U, 1},   {PARAM_TYPE_INT16S, 2},
                 {PARAM_TYPE_INT16U, 2},   {PARAM_TYPE_INT32S, 4},  {PARAM_TYPE_INT32U, 4},
                 {PARAM_TYPE_MAC_ADDR, 6}, {PARAM_TYPE_IP_ADDR, 4}, {PARAM_TYPE_IPV6_ADDR, 16}};
    for (int round = 0; round < 200; ++round) {
        for (const auto& l : lists) {
            const Bytes v = randomBytes(l.size * (1 + rng() % 8));
            const Rendered r = render(l.type, v);
            const Parsed p = parse(l.type, r.text);
            ASSERT_TRUE(p.ok) << r.text;
            ASSERT_EQ(p.bytes, v) << r.text;
            ASSERT_EQ(r.count, v.size() / l.size);
        }
        Bytes flags = randomBytes(1 + rng() % 8);
        for (auto& f : flags) f &= 1;
        EXPECT_EQ(parse(PARAM_TYPE_BOOL, render(PARAM_TYPE_BOOL, flags).text).bytes, flags);
        Bytes str = randomBytes(1 + rng() % 40);
        for (auto& ch : str) ch = static_cast<INT8U>(1 + ch % 255);
        EXPECT_EQ(parse(PARAM_TYPE_STRING, render(PARAM_TYPE_STRING, str).text).bytes, str);
        // Time: everything but the weekday, which parsing writes as 0.
        const INT32S f[7] = {static_cast<INT32S>(rng() % 60), static_cast<INT32S>(rng() % 60),
                             static_cast<INT32S>(rng() % 24), static_cast<INT32S>(1 + rng() % 31),
                             static_cast<INT32S>(rng() % 12), static_cast<INT32S>(rng() % 1000),
                             static_cast<INT32S>(rng() % 7)};
        Bytes t(36, 0);
        for (int i = 0; i < 7; ++i) std::memcpy(&t[4 * i], &f[i], 4);  // little-endian host
        const Parsed back = parse(PARAM_TYPE_TIME, render(PARAM_TYPE_TIME, t).text);
        ASSERT_TRUE(back.ok);
        EXPECT_TRUE(std::equal(t.begin(), t.begin() + 24, back.bytes.begin()));
        EXPECT_EQ(Bytes(back.bytes.begin() + 24, back.bytes.end()), Bytes(12, 0));
        // Revision: the two fields come back swapped (fields below 256).
        const Bytes rev = {static_cast<INT8U>(rng()), 0, static_cast<INT8U>(rng()), 0};
        const Bytes swapped = {rev[2], 0, rev[0], 0};
        EXPECT_EQ(parse(PARAM_TYPE_HW_REVISION, render(PARAM_TYPE_HW_REVISION, rev).text).bytes, swapped);
    }
}

TEST(ConversionTypeNames, Table) {
    EXPECT_STREQ(ConversionTypeToString(PARAM_TYPE_EVENT), "EVENT");
    EXPECT_STREQ(ConversionTypeToString(PARAM_TYPE_VLAN_PORT_CONFIG), "VLAN_PORT_CONFIG");
    EXPECT_STREQ(ConversionTypeToString(PARAM_TYPE_ETHIFDRIVER_IFACETYPE), "ETHIFDRIVER_IFACETYPE");
    EXPECT_STREQ(ConversionTypeToString(PARAM_TYPE_NOT_DEFINED), "NOT_DEFINED");
    EXPECT_STREQ(ConversionTypeToString(PARAM_TYPE_SET_OK), "SET_OK");
    EXPECT_STREQ(ConversionTypeToString(PARAM_TYPE_ERROR), "ERROR");
    EXPECT_STREQ(ConversionTypeToString(static_cast<t_paramType>(37)), "NOT_DEFINED");
    EXPECT_STREQ(ConversionTypeToString(static_cast<t_paramType>(38)), "SET_OK");
    EXPECT_STREQ(ConversionTypeToString(static_cast<t_paramType>(39)), "ERROR");
    for (INT32U t : {40u, 100u, 252u, 256u, 0xFFFFFFFFu})
        EXPECT_EQ(ConversionTypeToString(static_cast<t_paramType>(t)), nullptr) << t;
    for (INT32U t = 0; t <= 36; ++t)
        EXPECT_NE(ConversionTypeToString(static_cast<t_paramType>(t)), nullptr) << t;
}

TEST(ConversionStatus, LcmpTexts) {
    auto status = [](INT32S code, const Bytes* raw = nullptr, size_t area = CONVERSION_TEXT_AREA_SIZE) {
        Bytes v(4);
        for (int i = 0; i < 4; ++i) v[i] = static_cast<INT8U>(static_cast<INT32U>(code) >> (8 * i));
        if (raw) v = *raw;
        std::vector<CHAR> buf(area + 8, '#');
        const INT32S result = ConversionValueToErrorString(v.data(), static_cast<INT32U>(v.size()),
                                                           buf.data(), static_cast<INT32U>(area));
        for (size_t i = area; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#');
        return std::pair{result, std::string(buf.data(), area ? strnlen(buf.data(), area) : 0)};
    };
    EXPECT_EQ(status(0), std::pair(0, std::string("OK")));
    EXPECT_EQ(status(-1), std::pair(-1, std::string("ERROR -1 Requested action not supported")));
    EXPECT_EQ(status(-44).second, "ERROR -44 No 'set' function callback was registered for the parameter");
    EXPECT_EQ(status(-6).second, "ERROR -6 Unknown error code");
    EXPECT_EQ(status(-74).second, "ERROR -74 Unknown error code");
    EXPECT_EQ(status(-70).second.substr(10), status(-71).second.substr(10));
    EXPECT_EQ(status(-73).second, "ERROR -73 The LCMP message content is too large");
    EXPECT_EQ(status(5), std::pair(-1, std::string("ERROR -4294967291 Unknown error code")));
    testing::internal::CaptureStderr();
    const auto rfa = status(-77);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "LCMP failed due to Remote File Access\n");
    EXPECT_EQ(rfa, std::pair(-77, std::string("ERROR -77 LCMP failed due Remote File Access")));
    const Bytes shortStatus = hex("00 00 00");
    EXPECT_EQ(status(0, &shortStatus), std::pair(-1, std::string("ERROR INVALID STATUS VALUE")));
    EXPECT_EQ(status(-1, nullptr, 10).second, "");  // does not fit: not written at all
    Bytes fromBytes = hex("B3 FF FF FF");           // the short form: 4 bytes, a 30000-byte area
    std::vector<CHAR> area(CONVERSION_TEXT_AREA_SIZE, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConversionValueToErrorString(fromBytes.data(), area.data()), CONVERSION_ERROR_RFA);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(area.data(), "ERROR -77 LCMP failed due Remote File Access");
}

// Random values, lengths, area sizes and (mutated) texts on both paths: areas are
// exactly as large as stated, so the sanitizer build catches any access past them.
TEST(ConversionRobustness, RandomInputsStayInsideTheirAreas) {
    std::mt19937 rng(424242);
    const std::string seeds[] = {"Tue Jan 2 03:04:05 2024",
                                 "fe80::1,::",
                                 "00:11:22:33:44:55,",
                                 "1.2.3.4,5.6.7.8",
                                 "1_3",
                                 "YES,NO",
                                 "-1,2,300",
                                 "FTP",
                                 "RADIUS",
                                 "\"Sat Dec 31 23:59:59 2899"};
    const std::string alphabet = "0123456789abcdefxX:.,_-+ \"";
    for (int i = 0; i < 20000; ++i) {
        const INT32U type = rng() % 40;
        Bytes value(rng() % 48);
        for (auto& b : value) b = static_cast<INT8U>(rng());
        const size_t area = rng() % 64;
        std::vector<CHAR> text(area);
        INT32U count = 0;
        ConversionValueToString(static_cast<t_paramType>(type), static_cast<INT32U>(value.size()),
                                value.data(), text.data(), static_cast<INT32U>(area), &count,
                                static_cast<BOOLEAN>(rng() & 1));
        if (area) {
            EXPECT_LT(strnlen(text.data(), area), area);
        }
        EXPECT_GE(count, 1u);
        std::vector<INT8U> legacyText(area);
        INT32U length = static_cast<INT32U>(value.size() + rng() % 3);  // field may even claim too little
        valueToString(static_cast<INT8U>(type), value.data(), &length, legacyText.data(),
                      static_cast<INT32U>(area));
        EXPECT_TRUE(area == 0 ? length == 0 : length < area);
        length = static_cast<INT32U>(value.size() + 2);
        errorToString(value.data(), &length, legacyText.data(), static_cast<INT32U>(area));
        ConversionValueToErrorString(value.data(), static_cast<INT32U>(value.size()), text.data(),
                                     static_cast<INT32U>(area));

        std::string s = seeds[rng() % std::size(seeds)];
        for (int m = rng() % 4; m > 0 && !s.empty(); --m) {
            const size_t at = rng() % s.size();
            if (rng() & 1)
                s[at] = alphabet[rng() % alphabet.size()];
            else
                s.erase(at, 1 + rng() % 3);
        }
        const size_t cap = rng() % 48;
        std::vector<INT8U> out(cap);
        INT32U outLen = 0;
        ConversionStringToValue(static_cast<t_paramType>(type), s.c_str(), out.data(),
                                static_cast<INT32U>(cap), &outLen);
        EXPECT_LE(outLen, cap);
        stringToValue(static_cast<INT8U>(type), reinterpret_cast<const INT8U*>(s.c_str()), &outLen,
                      out.data(), static_cast<INT32U>(cap));
        EXPECT_LE(outLen, cap);
    }
}

}  // namespace
