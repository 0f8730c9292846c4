// The status a layer hands up: its code as the layer's enum compares it, and the words
// of whichever layer saw the failure first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "LCMP_error.h"
#include "configlayer.h"
#include "kivohost.h"
#include "port.h"
#include "status.h"

namespace {

using kivo::Reason;
using kivo::Status;

// Only the layers' plain enums turn into a status: a reason or a port status is no code.
static_assert(std::is_convertible_v<t_lcmpErrorCode, Status>);
static_assert(!std::is_convertible_v<Reason, Status>);
static_assert(!std::is_convertible_v<kivo::l2::PortStatus, Status>);

TEST(Status, EarlierWordsStayWhateverTheLayersAboveAddOrRecode) {
    // The port's words, then LCMP's code, then the configuration layer's code and words.
    Status s = Status(LCMP_ERROR_SENDTO)
                   .Explain(kivo::l2::PortFailure(kivo::l2::PortStatus::kInterfaceDown, "eth7"));
    s.Recode(CONFIGLAYER_ERROR_LCMP).Explain(Reason::kNoAnswer, "device %s did not answer", "x");
    EXPECT_EQ(s, CONFIGLAYER_ERROR_LCMP);
    EXPECT_NE(s, LCMP_ERROR_SENDTO);
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.reason, Reason::kInterfaceDown);
    EXPECT_EQ(s.text, "interface eth7 is down; bring it up (ip link set eth7 up)");

    // A later step's words replace none, an earlier step's replace the later ones.
    Status later = kivo::Because(Reason::kNoDevice, "nothing on %s", "eth7");
    later.Explain(Status(Reason::kInternal, "later still"));
    EXPECT_EQ(later.text, "nothing on eth7");
    later.Follows(s);
    EXPECT_EQ(later.reason, Reason::kInterfaceDown);
    EXPECT_TRUE(later.ok()) << "words alone are no failure code";
    later.Follows(Status());
    EXPECT_EQ(later.reason, Reason::kInterfaceDown) << "an earlier status without words changes nothing";

    // A reason of none words nothing.
    EXPECT_FALSE(Status().Explain(Reason::kNone, "ignored").explained());
    EXPECT_FALSE(kivo::Because(Reason::kNone, "ignored").explained());
}

TEST(Status, LongTextsAreCutAndPrintedWithTheirCode) {
    const std::string longName(700, 'n');
    const Status s =
        Status(LCMP_ERROR_UNICAST_READ_TIMEOUT).Explain(Reason::kNoAnswer, "%s", longName.c_str());
    EXPECT_EQ(s.text.size(), 511u);
    std::ostringstream out;
    out << Status(LCMP_ERROR_ETH_IF).Explain(Reason::kNoInterface, "no eth9");
    EXPECT_EQ(out.str(), "code -2 (no such interface: no eth9)");
}

std::vector<uint8_t> message(KIVO_MESSAGE_SIZE);

// The failure detail's own request text: code (2 bytes) and text of the last failure.
std::pair<uint16_t, std::string> Detail() {
    const uint8_t detail[] = {9, 0, 0, 0, REQUEST_FAILURE_DETAIL};
    std::memcpy(message.data(), detail, sizeof(detail));
    const INT32S n = ServerDispatch(sizeof(detail), message.data());
    if (n < 11) return {};
    const uint16_t reason = static_cast<uint16_t>(message[7] << 8 | message[8]);
    const size_t length = static_cast<size_t>(message[9] << 8 | message[10]);
    if (11 + length > static_cast<size_t>(n)) return {};
    return {reason, std::string(message.begin() + 11, message.begin() + 11 + static_cast<long>(length))};
}

// A Get of an LCMP device on an interface that does not exist: the port saw it first,
// and its words reach the failure detail, not the vaguer ones the service adds when no
// layer said anything.
TEST(Status, ThePortsWordsReachTheFailureDetail) {
    if (geteuid() != 0) GTEST_SKIP() << "needs packet sockets (root)";
    const std::string name = "kvnosuch9";
    std::vector<uint8_t> get = {
        7, 0, 0, 0, REQUEST_GET, DEVICE_TORVIX_LCMP, static_cast<uint8_t>(name.size())};
    get.insert(get.end(), name.begin(), name.end());
    get.insert(get.end(), {0, 0, 0x02, 0, 0, 0, 0, 0x01, 2, 'p', 'w', 0, 0, 0, 2, 'A', 0});
    std::fill(message.begin(), message.end(), 0);
    std::memcpy(message.data(), get.data(), get.size());
    ServerFailureDetailReset();
    ASSERT_EQ(ServerDispatch(static_cast<INT32S>(get.size()), message.data()), 4);
    EXPECT_EQ(message[3], REPLY_FAILED);
    const auto [reason, text] = Detail();
    EXPECT_EQ(reason, static_cast<uint16_t>(Reason::kNoInterface)) << text;
    EXPECT_EQ(text, "there is no interface kvnosuch9; check the name (ip link lists them)");
}

}  // namespace
