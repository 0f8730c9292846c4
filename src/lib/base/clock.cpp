#include "clock.h"

#include <cerrno>
#include <ctime>

namespace kivo {

namespace {
timespec ToTimespec(uint32_t ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return ts;
}
}  // namespace

void SleepMs(uint32_t ms) {
    // An absolute end on CLOCK_MONOTONIC: resuming after a signal neither drifts nor
    // follows the wall clock.
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    const timespec d = ToTimespec(ms);
    end.tv_sec += d.tv_sec;
    end.tv_nsec += d.tv_nsec;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_nsec -= 1000000000L;
        ++end.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

uint32_t SleepMsInterruptible(uint32_t ms) {
    timespec req = ToTimespec(ms);
    timespec rem{};
    if (nanosleep(&req, &rem) != 0 && errno == EINTR)
        return static_cast<uint32_t>(rem.tv_sec * 1000 + rem.tv_nsec / 1000000L);
    return 0;
}

}  // namespace kivo
