// Firmware server requests (start 6, stop 7, status 8) called through the dispatcher
// on the message buffer, as the request loop does. Only requests that start nothing,
// or start a transfer that fails before it touches the network, are run here; the
// transfers themselves are exercised against the simulator by the integration tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kivohost.h"
#include "l2fwserver.h"
#include "service_internal.h"

namespace {

std::vector<uint8_t> buffer(KIVO_MESSAGE_SIZE);

struct StartRequest {
    std::string ifName = "eth1";
    uint16_t vlan = 0;
    uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x0b};
    std::string fw = "/nonexistent/fw.bin";
    std::string loader;
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> b = {7, 0, 0, 0, 6, static_cast<uint8_t>(ifName.size())};
        b.insert(b.end(), ifName.begin(), ifName.end());
        b.push_back(static_cast<uint8_t>(vlan >> 8));
        b.push_back(static_cast<uint8_t>(vlan));
        b.insert(b.end(), mac, mac + 6);
        b.push_back(static_cast<uint8_t>(fw.size() >> 8));
        b.push_back(static_cast<uint8_t>(fw.size()));
        b.insert(b.end(), fw.begin(), fw.end());
        b.push_back(static_cast<uint8_t>(loader.size() >> 8));
        b.push_back(static_cast<uint8_t>(loader.size()));
        b.insert(b.end(), loader.begin(), loader.end());
        return b;
    }
};

// Runs one request as the server would and returns the reply bytes (header bytes 0..2
// left as the handler left them).
std::vector<uint8_t> Handle(const std::vector<uint8_t>& request) {
    std::fill(buffer.begin(), buffer.end(), 0);
    std::memcpy(buffer.data(), request.data(), request.size());
    INT32S n = ServerDispatch(static_cast<INT32S>(request.size()), buffer.data());
    if (n <= 0) return {};
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
}

uint8_t Code(const std::vector<uint8_t>& reply) {
    return reply.size() > 3 ? reply[3] : 0xFF;
}

std::vector<uint8_t> Status() {
    return Handle({1, 0, 0, 0, 8});
}

}  // namespace

TEST(FwRequests, MalformedOrIncompleteStartsAreRefused) {
    std::vector<uint8_t> statusBefore = Status();
    ASSERT_EQ(statusBefore.size(), 13u);

    StartRequest noFile;
    noFile.fw.clear();
    StartRequest noInterface;
    noInterface.ifName.clear();
    StartRequest vlan4095;
    vlan4095.vlan = 0x0FFF;
    // A zero byte inside a name would make the service open another file or interface.
    StartRequest zeroInFile;
    zeroInFile.fw = std::string("/nonexistent/fw.bin\0.old", 24);
    StartRequest zeroInLoader;
    zeroInLoader.loader = std::string("/nonexistent/ld\0x", 17);
    StartRequest zeroInInterface;
    zeroInInterface.ifName = std::string("eth1\0x", 6);
    struct Case {
        const char* what;
        std::vector<uint8_t> request;
    } cases[] = {
        {"no firmware file name (F = 0)", noFile.Bytes()},
        {"no interface name (L = 0)", noInterface.Bytes()},
        {"VLAN 4095 cannot be tagged", vlan4095.Bytes()},
        {"zero byte in the firmware path", zeroInFile.Bytes()},
        {"zero byte in the loader path", zeroInLoader.Bytes()},
        {"zero byte in the interface name", zeroInInterface.Bytes()},
    };
    for (const auto& c : cases) {
        auto reply = Handle(c.request);
        EXPECT_EQ(reply.size(), 4u) << c.what;
        EXPECT_EQ(Code(reply), REPLY_REFUSED) << c.what;
    }
    // Names that claim more bytes than the datagram holds.
    StartRequest ok;
    std::vector<uint8_t> full = ok.Bytes();
    size_t fileEnd = 5 + 1 + ok.ifName.size() + 2 + 6 + 2 + ok.fw.size();
    for (size_t cut : {size_t{7}, fileEnd - 1}) {
        std::vector<uint8_t> truncated(full.begin(), full.begin() + static_cast<long>(cut));
        auto reply = Handle(truncated);
        EXPECT_EQ(Code(reply), REPLY_REFUSED) << "cut at " << cut;
    }
    std::vector<uint8_t> loaderPastEnd = full;
    loaderPastEnd[loaderPastEnd.size() - 1] = 5;  // D = 5, no loader bytes follow
    EXPECT_EQ(Code(Handle(loaderPastEnd)), REPLY_REFUSED);
    // None of them started anything.
    EXPECT_EQ(Status(), statusBefore);
}

TEST(FwRequests, StartStopAndStatusReplies) {
    // A start whose image is missing is accepted; the failure shows in the status,
    // at once rather than after the 10 s the device would have been given.
    StartRequest missing;
    auto t0 = std::chrono::steady_clock::now();
    auto reply = Handle(missing.Bytes());
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(Code(reply), REPLY_DONE);
    // The thread fails at once on the missing file; poll as a front-end would.
    std::vector<uint8_t> status;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        status = Status();
        if (status[4] == L2FWSERVER_STATE_ERROR) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(status.size(), 13u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(status[3], REPLY_FW_STATUS);
    EXPECT_EQ(status[4], L2FWSERVER_STATE_ERROR);
    EXPECT_EQ(std::vector<uint8_t>(status.begin() + 5, status.end()), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(kivo::service::Firmware().transfers.Error(), L2FWSERVER_ERROR_OPENING_FILE);
    // Repeated polls keep answering the final state.
    EXPECT_EQ(Status(), status);

    // The same with a loader: an Ethernet boot, which opens its loader first.
    StartRequest boot;
    boot.loader = "/nonexistent/loader.bin";
    EXPECT_EQ(Code(Handle(boot.Bytes())), REPLY_DONE);
    EXPECT_EQ(kivo::service::Firmware().transfers.Wait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(kivo::service::Firmware().transfers.Error(), L2FWSERVER_ERROR_OPENING_FILE);

    // Stop is answered whether or not anything runs; a short request is enough.
    auto stop = Handle({9, 0, 0, 0, 7});
    EXPECT_EQ(stop, (std::vector<uint8_t>{9, 0, 0, REPLY_DONE}));
}
