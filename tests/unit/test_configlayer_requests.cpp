// Parameter requests on LCMP devices without a device: parameter blocks, parameter
// records, and requests refused or failed before any exchange.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "LCMP_internal.h"
#include "configlayer.h"
#include "failpoint.h"
#include "kivohost.h"

namespace {

using Bytes = std::vector<INT8U>;

Bytes Block(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::vector<std::pair<std::string, const char*>> Pairs(const t_configlayerParam* p) {
    std::vector<std::pair<std::string, const char*>> out;
    for (; p; p = p->next) out.emplace_back(p->name, p->value);
    return out;
}

// A request of code `code` for device type `type` on interface `ifname`.
struct Request {
    Bytes bytes;
    Request(INT8U code, INT8U type, const std::string& ifname, const std::string& password = "") {
        bytes = {0x42, 0, 0, 0, code, type, static_cast<INT8U>(ifname.size())};
        bytes.insert(bytes.end(), ifname.begin(), ifname.end());
        bytes.insert(bytes.end(), {0x00, 0x00, 0x02, 0, 0, 0, 0, 0x01, static_cast<INT8U>(password.size())});
        bytes.insert(bytes.end(), password.begin(), password.end());
    }
    Request& Block(INT32U n, const std::string& content) {
        for (int i = 3; i >= 0; --i) bytes.push_back(static_cast<INT8U>(n >> (8 * i)));
        bytes.insert(bytes.end(), content.begin(), content.end());
        return *this;
    }
    // Runs the handler over a fresh message buffer as the server would.
    Bytes Run(HandlerReply (*handler)(INT32S, INT8U*)) const {
        std::vector<INT8U> message(KIVO_MESSAGE_SIZE, 0);
        std::memcpy(message.data(), bytes.data(), bytes.size());
        const INT32S n = handler(static_cast<INT32S>(bytes.size()), message.data()).length;
        if (n <= 0) return {};
        return Bytes(message.begin(), message.begin() + n);
    }
};

const Bytes kRefused = {0, 0, 0, REPLY_REFUSED};
const Bytes kFailed = {0, 0, 0, REPLY_FAILED};

// Bytes 0 to 2 of a reply belong to the server; compare from the reply code on.
Bytes Reply(Bytes b) {
    if (b.size() >= 3) b[0] = b[1] = b[2] = 0;
    return b;
}

}  // namespace

TEST(ParamsInputBuild, GetBlockGivesNamesAndSetBlockGivesPairs) {
    Bytes get = Block(std::string("A.B\0C\0\0", 7));
    t_configlayerParam* names = nullptr;
    ASSERT_TRUE(ConfiglayerParamsInputBuild(static_cast<INT32S>(get.size()), get.data(), FALSE, &names));
    auto n = Pairs(names);
    ASSERT_EQ(n.size(), 3u);  // the empty name counts as a name
    EXPECT_EQ(n[0].first, "A.B");
    EXPECT_EQ(n[1].first, "C");
    EXPECT_EQ(n[2].first, "");
    EXPECT_EQ(names->value, nullptr);
    EXPECT_EQ(names->type, PARAM_TYPE_NOT_DEFINED);
    ConfiglayerParamsDestroy(names);

    Bytes set = Block(std::string("A\0 1\0B\0\0", 8));
    t_configlayerParam* pairs = nullptr;
    ASSERT_TRUE(ConfiglayerParamsInputBuild(static_cast<INT32S>(set.size()), set.data(), TRUE, &pairs));
    auto p = Pairs(pairs);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].first, "A");
    EXPECT_STREQ(p[0].second, " 1");
    EXPECT_EQ(p[1].first, "B");
    EXPECT_STREQ(p[1].second, "");
    EXPECT_EQ(pairs->type, PARAM_TYPE_STRING);
    ConfiglayerParamsDestroy(pairs);

    t_configlayerParam* none = nullptr;
    EXPECT_TRUE(ConfiglayerParamsInputBuild(0, get.data(), FALSE, &none));
    EXPECT_EQ(none, nullptr);
}

TEST(ParamsInputBuild, TextsMustEndInsideTheBlock) {
    struct Case {
        const char* what;
        std::string block;
        BOOLEAN withValues;
    };
    const std::vector<Case> cases = {
        {"unterminated name", std::string("A\0BC", 4), FALSE},
        {"unterminated value", std::string("A\0val", 5), TRUE},
        {"Set block ends after a name", std::string("A\0v\0B\0", 6), TRUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The byte after the block is a zero that must not be taken as a terminator.
        Bytes b = Block(c.block + std::string(1, '\0'));
        t_configlayerParam* list = nullptr;
        EXPECT_FALSE(
            ConfiglayerParamsInputBuild(static_cast<INT32S>(c.block.size()), b.data(), c.withValues, &list));
        ConfiglayerParamsDestroy(list);
    }
}

TEST(ResponseToMessage, RecordsAreNameValueTypeAndCount) {
    t_configlayerParam* list = nullptr;
    ConfiglayerParamAdd(&list, "SYSTEM.PRODUCTION.MAC_ADDR", "00:11:22:33:44:55");
    ConfiglayerParamAdd(&list, "N", nullptr);
    list->type = PARAM_TYPE_MAC_ADDR;
    list->nElem = 1;
    list->next->nElem = 0x01020304;
    Bytes out(200, 0xEE);
    INT32U length = 0;
    ASSERT_TRUE(ConfiglayerResponseToMessage(list, &length, out.data(), static_cast<INT32U>(out.size())));
    std::string first = std::string("SYSTEM.PRODUCTION.MAC_ADDR") + '\0' + "00:11:22:33:44:55" + '\0';
    Bytes expected(first.begin(), first.end());
    expected.insert(expected.end(), {0x08, 0, 0, 0, 1, 'N', 0, 0, PARAM_TYPE_NOT_DEFINED, 1, 2, 3, 4});
    ASSERT_EQ(length, 50u + 8u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), expected);
    EXPECT_EQ(out[length], 0xEE);

    // Exactly the capacity fits; one byte less does not, and nothing is claimed.
    INT32U again = 7;
    EXPECT_TRUE(ConfiglayerResponseToMessage(list, &again, out.data(), 58));
    EXPECT_EQ(again, 58u);
    again = 7;
    EXPECT_FALSE(ConfiglayerResponseToMessage(list, &again, out.data(), 57));
    EXPECT_EQ(again, 7u);
    // An absent list writes nothing.
    EXPECT_TRUE(ConfiglayerResponseToMessage(nullptr, &again, out.data(), 60));
    EXPECT_EQ(again, 7u);
    ConfiglayerParamsDestroy(list);
}

TEST(ParamRequest, MalformedOrUnknownRequestsAreRefusedWithoutExchange) {
    // Any device exchange would need LCMP; keep it closed so one would fail loudly.
    kivo::FailPointArm("lcmp.open", 1000);
    // Unknown device type, for all four requests.
    for (auto handler : {GetAllGet, GetGet, SetGet, FactoryResetGet})
        EXPECT_EQ(Reply(Request(REQUEST_GET, 1, "eth0").Block(2, std::string("A\0", 2)).Run(handler)),
                  kRefused);
    // Interface name or password running past the datagram.
    Request shortName(REQUEST_GET_ALL, 3, "eth0");
    shortName.bytes[6] = 40;
    EXPECT_EQ(Reply(shortName.Run(GetAllGet)), kRefused);
    Request shortPassword(REQUEST_GET_ALL, 3, "eth0", "pw");
    shortPassword.bytes.pop_back();
    EXPECT_EQ(Reply(shortPassword.Run(GetAllGet)), kRefused);
    // N claiming more than the datagram holds.
    EXPECT_EQ(Reply(Request(REQUEST_GET, 3, "eth0").Block(3, std::string("A\0", 2)).Run(GetGet)), kRefused);
    EXPECT_EQ(Reply(Request(REQUEST_SET, 3, "eth0").Block(0xFFFFFFFF, std::string("A\0", 2)).Run(SetGet)),
              kRefused);
    // Texts not terminated inside the block, and a Set block that ends after a name.
    EXPECT_EQ(Reply(Request(REQUEST_GET, 3, "eth0").Block(2, "AB").Run(GetGet)), kRefused);
    EXPECT_EQ(Reply(Request(REQUEST_SET, 3, "eth0").Block(2, std::string("A\0", 2)).Run(SetGet)), kRefused);
    kivo::FailPointsClear();
}

TEST(ParamRequest, EmptyBlockAndUnreachableDeviceFail) {
    kivo::FailPointArm("lcmp.open", 1000);
    // An empty block is an empty input list, which the configuration layer rejects.
    EXPECT_EQ(Reply(Request(REQUEST_GET, 3, "eth0").Block(0, "").Run(GetGet)), kFailed);
    // LCMP cannot be opened: every LCMP request fails; Set says why.
    EXPECT_EQ(Reply(Request(REQUEST_GET_ALL, 3, "eth0").Run(GetAllGet)), kFailed);
    EXPECT_EQ(Reply(Request(REQUEST_GET, 3, "eth0").Block(2, std::string("A\0", 2)).Run(GetGet)), kFailed);
    EXPECT_EQ(Reply(Request(REQUEST_FACTORY_RESET, 3, "eth0").Run(FactoryResetGet)), kFailed);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Reply(Request(REQUEST_SET, 3, "eth0")
                        .Block(4, std::string("A\0"
                                              "1\0",
                                              4))
                        .Run(SetGet)),
              kFailed);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Configlayer error -1\n");
    kivo::FailPointsClear();
}
