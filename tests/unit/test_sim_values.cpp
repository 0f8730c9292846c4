// The simulator's value encoder (tools/devsim/sim_values): text of a "param" line to
// device bytes in either byte order. The encoder and the service's renderers are
// written independently, so a value must read back through the service exactly as
// it stands in the simulator's configuration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversion.h"
#include "conversion_legacy.h"
// The simulator is a program of its own; its encoder is compiled into this test.
#include "../../tools/devsim/sim_values.cpp"

using devsim::ByteOrder;
using devsim::EncodeValue;
using devsim::ValueTypeFromName;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Encode(const std::string& type, const std::string& text, ByteOrder order) {
    Bytes out;
    std::string why;
    EXPECT_TRUE(EncodeValue(ValueTypeFromName(type), text, order, out, &why))
        << type << " " << text << ": " << why;
    return out;
}

// Rendered the way the service shows a value read over SCP (big-endian).
std::string RenderLegacy(int type, const Bytes& value) {
    Bytes padded(value);
    padded.resize(value.size() + 64, 0);
    std::vector<INT8U> text(4096, 0);
    INT32U length = static_cast<INT32U>(value.size() + 2);
    valueToString(static_cast<INT8U>(type), padded.data(), &length, text.data(),
                  static_cast<INT32U>(text.size()));
    return std::string(reinterpret_cast<const char*>(text.data()), length);
}

// Rendered the way the service shows a value read over LCMP (little-endian).
std::string RenderLcmp(int type, const Bytes& value) {
    std::vector<CHAR> text(4096, 0);
    ConversionValueToString(static_cast<t_paramType>(type), static_cast<INT32U>(value.size()), value.data(),
                            text.data(), static_cast<INT32U>(text.size()), nullptr, TRUE);
    return std::string(text.data());
}

struct Case {
    const char* type;
    const char* text;
    const char* shown;  // what the service shows; null when the same as text
};

const Case kRoundTrip[] = {
    {"EVENT", "7", nullptr},
    {"INT8S", "-5,7,127", nullptr},
    {"INT8U", "1,2,255", nullptr},
    {"INT16S", "-1,2", nullptr},
    {"INT16U", "1,256", nullptr},
    {"INT32S", "-2", nullptr},
    {"INT32U", "4294967295", nullptr},
    {"INT64U", "256,1", nullptr},
    {"BOOL", "YES,NO", nullptr},
    {"MAC_ADDR", "00:11:22:33:44:55,0A:0B:0C:0D:0E:0F", nullptr},
    {"IP_ADDR", "192.168.1.1,10.0.0.1", nullptr},
    {"STRING", "hello world", nullptr},
    {"IPV6_ADDR", "fe80::1", "FE80:0000:0000:0000:0000:0000:0000:0001"},
    {"FLUP_SRC", "FTP", nullptr},
    {"NODE_NODE_TYPE", "END_POINT", nullptr},
    {"CONSOLE_AUTHMETHOD", "RADIUS", nullptr},
    {"ETHIFDRIVER_SPEED", "10", nullptr},
    {"ETHIFDRIVER_IFACETYPE", "RGMII", nullptr},
    {"AKM_MICSIZE", "16", nullptr},
    {"UART_SPEED", "b115k2", nullptr},
    {"FEC_RATE", "5/6", nullptr},
    {"VLAN_PORT_CONFIG", "TRUNK", nullptr},
    {"HW_REVISION", "1_3", nullptr},
    {"ASIC", "-7", nullptr},
    {"TIME", "Tue Jan 2 03:04:05 2024", nullptr},
    {"TIME", "Sat Dec 31 23:59:58 2022", nullptr},
};

}  // namespace

TEST(SimValues, EveryTypeReadsBackThroughTheServiceAsWritten) {
    for (const Case& c : kRoundTrip) {
        const int type = ValueTypeFromName(c.type);
        ASSERT_GE(type, 0) << c.type;
        const std::string shown = c.shown ? c.shown : c.text;
        EXPECT_EQ(RenderLegacy(type, Encode(c.type, c.text, ByteOrder::Big)), shown)
            << c.type << " big-endian";
        // The LCMP renderer shows HW_REVISION's fields the other way round; the
        // encoder accounts for that, so the text still reads back.
        EXPECT_EQ(RenderLcmp(type, Encode(c.type, c.text, ByteOrder::Little)), shown)
            << c.type << " little-endian";
    }
}

TEST(SimValues, ByteOrderAppliesToMultiByteIntegersOnly) {
    EXPECT_EQ(Encode("INT16U", "1,256", ByteOrder::Big), (Bytes{0x00, 0x01, 0x01, 0x00}));
    EXPECT_EQ(Encode("INT16U", "1,256", ByteOrder::Little), (Bytes{0x01, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Encode("FLUP_SRC", "L2", ByteOrder::Big), (Bytes{0, 0, 0, 2}));
    EXPECT_EQ(Encode("FLUP_SRC", "L2", ByteOrder::Little), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(Encode("MAC_ADDR", "00:11:22:33:44:55", ByteOrder::Little),
              (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(Encode("CONSOLE_AUTHMETHOD", "RADIUS", ByteOrder::Big), (Bytes{3}));
    // An enumerated type also takes a bare code, and raw hex is copied as it stands.
    EXPECT_EQ(Encode("FEC_RATE", "9", ByteOrder::Big), (Bytes{0, 0, 0, 9}));
    EXPECT_EQ(Encode("INT32U", "0x01020304", ByteOrder::Little), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Encode("POWERSAVINGMODE", "0xAB", ByteOrder::Big), (Bytes{0xAB}));
    EXPECT_TRUE(Encode("INT8U", "", ByteOrder::Big).empty());
}

TEST(SimValues, BadTextIsRefusedWithAReason) {
    const std::pair<const char*, const char*> bad[] = {
        {"INT8U", "256"},
        {"INT8S", "-129"},
        {"INT16U", "1,x"},
        {"INT32U", "-1"},
        {"BOOL", "maybe"},
        {"MAC_ADDR", "00:11:22"},
        {"IP_ADDR", "1.2.3"},
        {"IPV6_ADDR", "1::2::3"},
        {"FLUP_SRC", "ftp"},
        {"HW_REVISION", "1-3"},
        {"TIME", "Tue Foo 2 03:04:05 2024"},
        {"EVENT", "1,2"},
        {"INT32U", "0x123"},
        {"MPP2IGMP_PORT", "5"},
    };
    for (const auto& [type, text] : bad) {
        Bytes out;
        std::string why;
        EXPECT_FALSE(EncodeValue(ValueTypeFromName(type), text, ByteOrder::Big, out, &why))
            << type << " " << text;
        EXPECT_FALSE(why.empty()) << type << " " << text;
    }
}

TEST(SimValues, ParamLinesSplitIntoNameTypeAndValue) {
    devsim::ParamLine entry;
    std::string why;
    ASSERT_TRUE(devsim::ParseParamLine("  SYSTEM.NAME  STRING  my  device ", ByteOrder::Big, entry, &why))
        << why;
    EXPECT_EQ(entry.name, "SYSTEM.NAME");
    EXPECT_EQ(entry.type, 10);
    EXPECT_EQ(std::string(entry.value.begin(), entry.value.end()), "my  device");
    ASSERT_TRUE(devsim::ParseParamLine("A.B 4 7", ByteOrder::Big, entry, &why)) << why;
    EXPECT_EQ(entry.type, 4);
    EXPECT_EQ(entry.value, (Bytes{0, 7}));
    ASSERT_TRUE(devsim::ParseParamLine("EMPTY.LIST INT8U", ByteOrder::Big, entry, &why));
    EXPECT_TRUE(entry.value.empty());
    EXPECT_FALSE(devsim::ParseParamLine("A.B NOTATYPE 1", ByteOrder::Big, entry, &why));
    EXPECT_FALSE(devsim::ParseParamLine("JUSTANAME", ByteOrder::Big, entry, &why));
    EXPECT_FALSE(devsim::ParseParamLine("A.B INT8U 300", ByteOrder::Big, entry, &why));
    EXPECT_NE(why.find("A.B"), std::string::npos) << "the reason names the parameter: " << why;
}
