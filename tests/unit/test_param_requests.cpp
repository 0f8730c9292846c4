// Parameter request handlers: reading the request fields and the replies that need
// no device (refusals, malformed requests, failures before any exchange).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivohost.h"

namespace {

using Bytes = std::vector<INT8U>;

struct Request {
    INT8U code = REQUEST_GET;
    INT8U deviceType = 2;
    std::string ifName = "eth1";
    INT16U vlan = 0;
    Bytes mac = {0x02, 0, 0, 0, 0, 1};
    std::string password;
    bool withBlock = true;
    Bytes block = {'A', 0};
    // Overrides of the length fields (to make them lie).
    int nameLength = -1;
    int passwordLength = -1;
    long blockLength = -1;

    Bytes Build() const {
        Bytes b = {7, 0, 0, 0, code, deviceType};
        b.push_back(static_cast<INT8U>(nameLength < 0 ? ifName.size() : nameLength));
        b.insert(b.end(), ifName.begin(), ifName.end());
        b.push_back(static_cast<INT8U>(vlan >> 8));
        b.push_back(static_cast<INT8U>(vlan));
        b.insert(b.end(), mac.begin(), mac.end());
        b.push_back(static_cast<INT8U>(passwordLength < 0 ? password.size() : passwordLength));
        b.insert(b.end(), password.begin(), password.end());
        if (withBlock) {
            uint32_t n = static_cast<uint32_t>(blockLength < 0 ? block.size() : blockLength);
            for (int i = 3; i >= 0; --i) b.push_back(static_cast<INT8U>(n >> (8 * i)));
            b.insert(b.end(), block.begin(), block.end());
        }
        return b;
    }
};

// Runs a handler on a request in a cleared message buffer; returns the reply bytes.
Bytes Handle(const Request& r) {
    static std::vector<INT8U> message(KIVO_MESSAGE_SIZE);
    std::fill(message.begin(), message.end(), 0);
    Bytes req = r.Build();
    std::copy(req.begin(), req.end(), message.begin());
    INT32S n = ServerDispatch(static_cast<INT32S>(req.size()), message.data());
    if (n <= 0) return {};
    return Bytes(message.begin(), message.begin() + n);
}

INT8U Code(const Bytes& reply) {
    return reply.size() >= 4 ? reply[3] : 0xFF;
}

const INT8U kCodes[] = {REQUEST_GET_ALL, REQUEST_GET, REQUEST_SET, REQUEST_FACTORY_RESET};

}  // namespace

TEST(ParamRequests, DeviceTypesOtherThanScpAndLcmpAreRefused) {
    for (INT8U code : kCodes) {
        for (INT8U type : {0, 1, 4, 255}) {
            Request r;
            r.code = code;
            r.deviceType = type;
            r.withBlock = code == REQUEST_GET || code == REQUEST_SET;
            Bytes reply = Handle(r);
            ASSERT_EQ(reply.size(), 4u) << "code " << int(code) << " type " << int(type);
            EXPECT_EQ(Code(reply), REPLY_REFUSED);
        }
    }
}

TEST(ParamRequests, LcmpOperationsOnAMissingInterfaceFail) {
    for (INT8U code : kCodes) {
        Request r;
        r.code = code;
        r.deviceType = 3;
        r.ifName = "nosuchif7";
        r.withBlock = code == REQUEST_GET || code == REQUEST_SET;
        r.block = code == REQUEST_SET ? Bytes{'A', 0, '1', 0} : Bytes{'A', 0};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Bytes reply = Handle(r);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(Code(reply), REPLY_FAILED) << "code " << int(code);
    }
}

TEST(ParamRequests, LengthFieldsPastTheDatagramAreRefused) {
    Request name;
    name.nameLength = 200;  // the name would run past the datagram
    Request password;
    password.passwordLength = 60;
    Request block;
    block.blockLength = 3;  // 2 bytes follow
    Request hugeBlock;
    hugeBlock.blockLength = 0xFFFFFFF0L;
    for (const Request* r : {&name, &password, &block, &hugeBlock}) {
        for (INT8U type : {2, 3, 9}) {
            Request q = *r;
            q.deviceType = type;
            Bytes reply = Handle(q);
            ASSERT_EQ(reply.size(), 4u);
            EXPECT_EQ(Code(reply), REPLY_REFUSED) << "device type " << int(type);
        }
    }
}

TEST(ParamRequests, ZeroBytesInsideTextFieldsAreRefused) {
    Request name;
    name.ifName = std::string("eth1\0x", 6);
    Request password;
    password.password = std::string("pa\0ss", 5);
    for (const Request* r : {&name, &password}) {
        Bytes reply = Handle(*r);
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(Code(reply), REPLY_REFUSED);
    }
}

TEST(ParamRequests, ShortRequestsReadMissingFixedFieldsAsZero) {
    // Get all with only the device type and an empty interface name: the MAC and
    // password length read as zero. The empty interface cannot be opened: FAILED.
    Bytes message(KIVO_MESSAGE_SIZE, 0);
    const Bytes req = {7, 0, 0, 0, REQUEST_GET_ALL, 2};
    std::copy(req.begin(), req.end(), message.begin());
    INT32S n = ServerDispatch(static_cast<INT32S>(req.size()), message.data());
    ASSERT_EQ(n, 4);
    EXPECT_EQ(message[3], REPLY_FAILED);
}

TEST(ParamRequests, ScpOperationsOnAMissingInterfaceFail) {
    for (INT8U code : kCodes) {
        Request r;
        r.code = code;
        r.ifName = "nosuchif7";
        r.withBlock = code == REQUEST_GET || code == REQUEST_SET;
        r.block = code == REQUEST_SET ? Bytes{'A', 0, '1', 0} : Bytes{'A', 0};
        Bytes reply = Handle(r);
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(Code(reply), REPLY_FAILED) << "code " << int(code);
    }
}
