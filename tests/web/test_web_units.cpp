// kivo-web's pure parts without a service, a device or root: the request field checks
// and how a failure becomes an HTTP status, a message and a hint.
#include <gtest/gtest.h>

#include "errors.h"
#include "fields.h"

using namespace kivoweb;
using R = kivo::protocol::Reason;

namespace {

// The ApiError a call throws; fails the test when it throws none.
template <typename F>
ApiError Refusal(F&& f) {
    try {
        f();
    } catch (const ApiError& e) {
        return e;
    }
    ADD_FAILURE() << "no refusal";
    return {};
}

json Lcmp(json extra = json::object()) {
    json d{{"interface", "eth1"}, {"mac", "02:00:00:00:10:01"}, {"password", "demo"}};
    d.update(extra);
    return d;
}

}  // namespace

TEST(WebFields, VlanAsNumberOrFormText) {
    EXPECT_EQ(Vlan(json::object()), 0);
    EXPECT_EQ(Vlan({{"vlan", 7}}), 7);
    EXPECT_EQ(Vlan({{"vlan", "4094"}}), 4094);
    for (json bad : {json(4095), json(-1), json("12a"), json(""), json("123456"), json(1.5), json(true)})
        EXPECT_EQ(Refusal([&] { Vlan({{"vlan", bad}}); }).status, 400) << bad;
}

TEST(WebFields, InterfaceNames) {
    EXPECT_EQ(InterfaceName({{"interface", "eth1"}}, false), "eth1");
    EXPECT_EQ(InterfaceName(json::object(), true), "");
    EXPECT_NE(Refusal([] {
                  InterfaceName({{"interface", ""}}, false);
              }).message.find("empty"),
              std::string::npos);
    for (const char* bad : {"a/b", "sixteen-chars-xx", "eth 1", "eth\x7f"})
        EXPECT_EQ(Refusal([&] { InterfaceName({{"interface", bad}}, false); }).status, 400) << bad;
}

TEST(WebFields, MacAddressesOfDevicesOnly) {
    EXPECT_EQ(kc::MacText(MacField({{"mac", "02:00:00:00:10:01"}})), "02:00:00:00:10:01");
    ApiError notMac = Refusal([] { MacField({{"mac", "02:00:00:00:10"}}); });
    EXPECT_EQ(notMac.status, 400);
    EXPECT_NE(notMac.message.find("is not a MAC address"), std::string::npos);
    // Broadcast and multicast are refused up front, with what to give instead.
    for (const char* group : {"ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:01", "33:33:00:00:00:01"}) {
        ApiError e = Refusal([&] { MacField({{"mac", group}}); });
        EXPECT_EQ(e.status, 400) << group;
        EXPECT_NE(e.message.find("group (broadcast or multicast) address"), std::string::npos) << e.message;
        EXPECT_FALSE(e.hint.empty());
    }
}

TEST(WebFields, DeviceRequest) {
    kc::DeviceAddress d = Device(Lcmp({{"protocol", "scp"}, {"vlan", "3"}}));
    EXPECT_EQ(d.protocol, kc::Protocol::kScp);
    EXPECT_EQ(d.vlan, 3);
    EXPECT_EQ(d.password, "demo");
    EXPECT_EQ(Device(Lcmp()).protocol, kc::Protocol::kLcmp);
    EXPECT_NE(Refusal([] {
                  Device(Lcmp({{"protocol", "snmp"}}));
              }).message.find("\"snmp\""),
              std::string::npos);
    EXPECT_EQ(Refusal([] { Device(json::array()); }).status, 400);
    EXPECT_EQ(Refusal([] { Device(Lcmp({{"password", std::string(256, 'p')}})); }).status, 400);
    EXPECT_NE(Refusal([] {
                  Device(Lcmp({{"password", std::string("a\0b", 3)}}));
              }).message.find("zero byte"),
              std::string::npos);
}

TEST(WebFields, NamesAndValues) {
    EXPECT_EQ(Names(json::object(), false).size(), 0u);
    EXPECT_EQ(Refusal([] { Names(json::object(), true); }).status, 400);
    EXPECT_EQ(Refusal([] { Names({{"names", json::array()}}, true); }).status, 400);
    EXPECT_EQ(Refusal([] { Names({{"names", {"A", ""}}}, false); }).status, 400);
    EXPECT_EQ(Refusal([] {
                  Names({{"names", json(std::vector<std::string>(kMaxNames + 1, "A"))}}, false);
              }).status,
              400);

    // Values come in name order (a JSON object has none of its own), texts as given.
    json body = json::parse(R"({"values": {"B.X": "1", "A.Y": "two words"}})");
    using V = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(WriteValues(body), (V{{"A.Y", "two words"}, {"B.X", "1"}}));
    EXPECT_EQ(Refusal([] { WriteValues({{"values", {{"A", 1}}}}); }).status, 400);
    EXPECT_EQ(Refusal([] { WriteValues({{"values", json::object()}}); }).status, 400);
}

TEST(WebFields, CheckTellsTheAllowedValues) {
    EXPECT_EQ(CheckValue({{"type", "BOOL"}, {"value", "YES"}})["ok"], true);
    EXPECT_EQ(CheckValue({{"type", "INT16U"}, {"value", "65535"}})["ok"], true);

    json no = CheckValue({{"type", "BOOL"}, {"value", "maybe"}, {"name", "SYSTEM.GENERAL.LED"}});
    EXPECT_EQ(no["ok"], false);
    const std::string m = no["message"];
    EXPECT_NE(m.find("\"maybe\""), std::string::npos) << m;
    EXPECT_NE(m.find("SYSTEM.GENERAL.LED"), std::string::npos) << m;
    EXPECT_NE(m.find("YES or NO"), std::string::npos) << m;
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(m[0]))) << m;
    EXPECT_EQ(m.find("nothing was written"), std::string::npos) << "said before any write: " << m;

    const std::string range = CheckValue({{"type", "INT16U"}, {"value", "70000"}})["message"];
    EXPECT_NE(range.find("from 0 to 65535"), std::string::npos) << range;
    EXPECT_EQ(Refusal([] { CheckValue({{"type", "FLOAT128"}, {"value", "1"}}); }).status, 400);
}

TEST(WebFields, FileNamesShownInsteadOfTemporaryCopies) {
    EXPECT_EQ(ShownFileName("fw-2.1.bin", "the image"), "fw-2.1.bin");
    EXPECT_EQ(ShownFileName("C:\\Users\\me\\fw.bin", "the image"), "fw.bin");
    EXPECT_EQ(ShownFileName("dir/", "the image"), "the image");
    EXPECT_EQ(ShownFileName("a\nb", "the image"), "the image");
    EXPECT_EQ(ShownFileName("", "the loader"), "the loader");

    const std::string tmp = "/run/kivo-web/kivo-web-Ab12/1-00ff.bin";
    EXPECT_EQ(ReplacePaths("cannot open " + tmp + ": bad magic (" + tmp + ")", {{tmp, "fw.bin"}}),
              "cannot open fw.bin: bad magic (fw.bin)");
    // A name that contains the path does not loop.
    EXPECT_EQ(ReplacePaths("x /a y", {{"/a", "/a/a"}}), "x /a/a y");
}

TEST(WebErrors, ReasonsToHttpStatus) {
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kInvalidValue)), 400);
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kFileBadMagic)), 400);
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kNotAllowed)), 403);
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kNoDevice)), 404);
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kBusy)), 409);
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kNoPermission)), 503);
    // A device that did not answer is a failure beyond kivo-web: bad gateway.
    EXPECT_EQ(StatusForReason(static_cast<uint16_t>(R::kNoAnswer)), 502);
    EXPECT_EQ(StatusForReason(0xBEEF), 502);
    EXPECT_FALSE(kc::Explain(static_cast<uint16_t>(R::kInterfaceDown)).remedy.empty());
    EXPECT_TRUE(kc::Explain(0xBEEF).remedy.empty());
}

TEST(WebErrors, NoServiceSaysHowToStartIt) {
    kc::Error e{kc::ErrorKind::kNoService, kc::RequestCode::kVersion, 1, "kivohost does not answer"};
    ApiError a = ErrorFor("Cannot read kivohost's version", e, std::nullopt);
    EXPECT_EQ(a.status, 503);
    EXPECT_NE(a.hint.find("systemctl start kivohost.socket"), std::string::npos) << a.hint;
    EXPECT_NE(a.hint.find("scripts/run.sh"), std::string::npos) << a.hint;
    // kivo-web already asks on its port: telling the user to give it is no help.
    EXPECT_EQ(a.hint.find("--service-port"), std::string::npos) << a.hint;
    EXPECT_EQ(a.Body()["error"].contains("reason"), false);
}

TEST(WebErrors, ServiceReasonsOnceEach) {
    kc::Error failed{kc::ErrorKind::kFailed, kc::RequestCode::kGetAll, 2, "FAILED"};
    const std::string text =
        "device 02:00:00:00:10:02 answers on eth1 but not to requests under this password: check the "
        "password";
    ApiError pw = ErrorFor("Reading the parameters of 02:00:00:00:10:02 on eth1 failed", failed,
                           kc::Reason{static_cast<uint16_t>(R::kPasswordRejected), text});
    EXPECT_EQ(pw.message, "Reading the parameters of 02:00:00:00:10:02 on eth1 failed: " + text + ".");
    EXPECT_TRUE(pw.hint.empty()) << "the advice is in the reason already: " << pw.hint;
    EXPECT_EQ(pw.Body()["error"]["reason"]["name"], "password rejected");

    ApiError silent =
        ErrorFor("Reading failed", failed, kc::Reason{static_cast<uint16_t>(R::kNoAnswer), "no answer"});
    EXPECT_EQ(silent.status, 502);
    EXPECT_NE(silent.hint.find("SCP"), std::string::npos);

    // A start refused without a reason: a transfer is running.
    kc::Error refused{kc::ErrorKind::kRefused, kc::RequestCode::kFwStart, 3, "REFUSED"};
    EXPECT_EQ(ErrorFor("The upgrade did not start", refused, std::nullopt).status, 409);
    kc::Error bad{kc::ErrorKind::kBadReply, kc::RequestCode::kGet, 4, "short reply"};
    EXPECT_EQ(ErrorFor("Reading failed", bad, std::nullopt).status, 502);
}
