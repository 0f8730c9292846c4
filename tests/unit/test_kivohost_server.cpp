// Request dispatch and reply segmentation of the request server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kivohost.h"
#include "log.h"

namespace {

// A pair of loopback UDP sockets: the server side sends to the client side.
struct UdpPair {
    int server = -1;
    int client = -1;
    sockaddr_in clientAddr{};
    UdpPair() {
        server = socket(AF_INET, SOCK_DGRAM, 0);
        client = socket(AF_INET, SOCK_DGRAM, 0);
        clientAddr.sin_family = AF_INET;
        clientAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        clientAddr.sin_port = 0;
        bind(client, reinterpret_cast<sockaddr*>(&clientAddr), sizeof(clientAddr));
        socklen_t len = sizeof(clientAddr);
        getsockname(client, reinterpret_cast<sockaddr*>(&clientAddr), &len);
        int big = 4 << 20;
        setsockopt(client, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    }
    ~UdpPair() {
        close(server);
        close(client);
    }
    std::vector<std::vector<uint8_t>> ReceiveAll() {
        std::vector<std::vector<uint8_t>> out;
        for (;;) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) return out;
            std::vector<uint8_t> buf(2000);
            ssize_t n = recv(client, buf.data(), buf.size(), 0);
            if (n < 0) return out;
            buf.resize(static_cast<size_t>(n));
            out.push_back(buf);
        }
    }
};

std::vector<uint8_t> message(KIVO_MESSAGE_SIZE);

// Collects what is logged while it lives, each line prefixed with its stream.
struct LogCapture {
    std::string text;
    LogCapture() {
        kivo::LogSinkSet([this](kivo::LogStream stream, std::string_view line) {
            text += stream == kivo::LogStream::kOut ? "out: " : "err: ";
            text += line;
        });
    }
    ~LogCapture() { kivo::LogSinkSet(nullptr); }
};

}  // namespace

TEST(Segmentation, CountsFollowTheWorkedSizes) {
    EXPECT_EQ(ServerSegmentCount(4), 1);
    EXPECT_EQ(ServerSegmentCount(1400), 1);
    EXPECT_EQ(ServerSegmentCount(1401), 2);
    EXPECT_EQ(ServerSegmentCount(2797), 2);
    EXPECT_EQ(ServerSegmentCount(2798), 3);
    EXPECT_EQ(ServerSegmentCount(KIVO_MESSAGE_SIZE), 215);
    // The count is 1 + ceil((n - 1400) / 1397) for every length above one segment.
    for (int n = 1401; n < 20000; n += 7) EXPECT_EQ(ServerSegmentCount(n), 1 + (n - 1400 + 1396) / 1397) << n;
}

TEST(Segmentation, SegmentsCarryHeaderAndPayloadInOrder) {
    struct Case {
        int length;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {
        {1400, {1400}}, {1401, {1400, 4}}, {2797, {1400, 1400}}, {2798, {1400, 1400, 4}}, {7, {7}}};
    for (const auto& c : cases) {
        UdpPair udp;
        // Payload bytes (after the 3 header bytes) numbered so their order can be checked.
        for (int i = 3; i < c.length; ++i) message[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + 1);
        std::vector<uint8_t> expectedPayload(message.begin() + 3, message.begin() + c.length);
        int sent = ServerReplySend(udp.server, message.data(), c.length, &udp.clientAddr,
                                   sizeof(udp.clientAddr), 0xAB);
        auto segs = udp.ReceiveAll();
        ASSERT_EQ(static_cast<size_t>(sent), c.sizes.size()) << c.length;
        ASSERT_EQ(segs.size(), c.sizes.size()) << c.length;
        std::vector<uint8_t> payload;
        for (size_t k = 0; k < segs.size(); ++k) {
            EXPECT_EQ(segs[k].size(), c.sizes[k]) << c.length << " segment " << k;
            EXPECT_EQ(segs[k][0], 0xAB);
            EXPECT_EQ(segs[k][1], segs.size());
            EXPECT_EQ(segs[k][2], k);
            payload.insert(payload.end(), segs[k].begin() + 3, segs[k].end());
        }
        EXPECT_EQ(payload, expectedPayload) << c.length;
    }
}

TEST(Segmentation, NothingIsSentForAnEmptyReply) {
    UdpPair udp;
    EXPECT_EQ(ServerReplySend(udp.server, message.data(), 0, &udp.clientAddr, sizeof(udp.clientAddr), 1), 0);
    EXPECT_EQ(ServerReplySend(udp.server, message.data(), -5, &udp.clientAddr, sizeof(udp.clientAddr), 1), 0);
    EXPECT_TRUE(udp.ReceiveAll().empty());
}

TEST(Dispatch, VersionInvalidAndUnassignedRequests) {
    std::fill(message.begin(), message.end(), 0);
    uint8_t version[] = {7, 0, 0, 0, 9};
    std::memcpy(message.data(), version, sizeof(version));
    ASSERT_EQ(ServerDispatch(5, message.data()), 7);
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 3, message.begin() + 7),
              (std::vector<uint8_t>{9, 2, 0, 39}));

    std::fill(message.begin(), message.end(), 0);
    message[3] = 5;
    message[4] = 9;
    {
        LogCapture log;
        EXPECT_EQ(ServerDispatch(5, message.data()), 1);
        EXPECT_EQ(log.text, "out: Invalid message (5) received\n");
    }

    for (int code : {1, 10, 77, 255}) {
        std::fill(message.begin(), message.end(), 0);
        message[4] = static_cast<uint8_t>(code);
        LogCapture log;
        EXPECT_EQ(ServerDispatch(5, message.data()), 1) << code;
        EXPECT_EQ(log.text, "") << code;
    }
}

TEST(ThreadSleepTest, SleepsItsFullLength) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ThreadSleep(30), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
}

// The loop no longer clears its buffer between requests: a short request must read as
// zero past its end, not as what the previous request left there.
TEST(Dispatch, BytesOfAnEarlierRequestAreNotRead) {
    std::fill(message.begin(), message.end(), 0xAA);
    const uint8_t get[] = {7, 0, 0, 0, REQUEST_GET};
    std::memcpy(message.data(), get, sizeof(get));
    ServerFailureDetailReset();
    ASSERT_EQ(ServerDispatch(sizeof(get), message.data()), 4);
    EXPECT_EQ(message[3], REPLY_REFUSED);

    const uint8_t detail[] = {8, 0, 0, 0, REQUEST_FAILURE_DETAIL};
    std::memcpy(message.data(), detail, sizeof(detail));
    const INT32S n = ServerDispatch(sizeof(detail), message.data());
    ASSERT_GT(n, 11);
    const size_t textLength = static_cast<size_t>(message[9] << 8 | message[10]);
    ASSERT_LE(11 + textLength, static_cast<size_t>(n));
    const std::string text(message.begin() + 11, message.begin() + 11 + static_cast<long>(textLength));
    EXPECT_NE(text.find("unknown device type 0:"), std::string::npos) << text;
}
