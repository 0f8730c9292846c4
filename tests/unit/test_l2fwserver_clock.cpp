// Waits are measured on the monotonic clock: a wall clock stepped back by an hour at
// every reading (an administrator or NTP setting the time) changes nothing. The wall
// clock is replaced for this executable by interposing the C library's time calls.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <thread>

#include "fw_frames.h"
#include "fw_peer.h"
#include "l2fwserver.h"

namespace {
std::atomic<long> wallOffset{0};

void SteppedBack(struct timespec* ts) {
    ts->tv_sec -= wallOffset.fetch_add(3600) + 3600;
}

struct timespec RealMonotonic() {
    struct timespec ts;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return ts;
}
double SecondsSince(const struct timespec& t0) {
    struct timespec t = RealMonotonic();
    return static_cast<double>(t.tv_sec - t0.tv_sec) + static_cast<double>(t.tv_nsec - t0.tv_nsec) / 1e9;
}
}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
    int r = static_cast<int>(syscall(SYS_clock_gettime, id, ts));
    if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) SteppedBack(ts);
    return r;
}

extern "C" int gettimeofday(struct timeval* tv, void*) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

TEST(FwClock, WaitsKeepTheirLengthWhenTheWallClockSteps) {
    // A device that only ever sends stale acknowledgements (sequence 1) every 20 ms.
    kivotest::FwPeer peer;
    std::atomic<bool> stop{false};
    std::thread stale([&] {
        const kivotest::FwPeer::Frame ack = {
            0x02, 0,    0,    0,    0,    0x0a, 0x02, 0,    0,    0, 0, 0x0b, 0x00, 46, 0xAA,
            0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B, 0x04, 0x01, 0x00, 0, 0, 0,    0,    0,  0,
            0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0,    0,    0,  0,
            0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0,    0,    0,  0};
        while (!stop) {
            peer.Inject(ack);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const uint8_t dev[6] = {0x02, 0, 0, 0, 0, 0x0b};
    kivo::l2::Port& port = peer.port();
    bool acked = true;
    double waited = 0;
    double received = 0;
    t_l2fwserverErrorCode r = L2FWSERVER_ERROR_NONE;
    // A wait computed on the stepped clock may never end: run the waits aside and give
    // up on them after a while rather than hang the test.
    auto waits = std::async(std::launch::async, [&] {
        struct timespec t0 = RealMonotonic();
        acked = kivo::fw::WaitForCorrectAck(port, dev, 2, 400);
        waited = SecondsSince(t0);
        t0 = RealMonotonic();
        r = kivo::fw::ReceivePacket(port, 0x02, 300, dev);
        received = SecondsSince(t0);
    });
    if (waits.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "waits did not end within 10 s\n");
        std::_Exit(1);
    }
    stop = true;
    stale.join();
    EXPECT_FALSE(acked);
    EXPECT_GE(waited, 0.39);
    EXPECT_LT(waited, 2.0);
    EXPECT_EQ(r, L2FWSERVER_ERROR_TIMEOUT);
    EXPECT_GE(received, 0.29);
    EXPECT_LT(received, 2.0);
}
