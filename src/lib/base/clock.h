// Time for every wait: the steady clock, deadlines on it, and sleeps that survive
// signals. The wall clock is never used for a wait: a step of it (NTP, an admin)
// must neither cut a wait short nor stretch it.
#ifndef KIVO_CLOCK_H
#define KIVO_CLOCK_H

#include <chrono>
#include <cstdint>

namespace kivo {

using SteadyClock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Milliseconds of the steady clock, cut to 32 bits; take differences modulo 2^32.
inline uint32_t NowMs() {
    const auto now = SteadyClock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<Milliseconds>(now).count());
}

// A point on the steady clock after which a wait gives up.
class Deadline {
   public:
    Deadline() = default;  // already passed
    explicit Deadline(SteadyClock::time_point at) : at_(at) {}
    static Deadline After(SteadyClock::duration d) { return Deadline(SteadyClock::now() + d); }
    static Deadline AfterMs(int64_t ms) { return After(Milliseconds(ms)); }

    SteadyClock::time_point at() const { return at_; }
    bool passed() const { return SteadyClock::now() >= at_; }
    // Milliseconds left, rounded up so that a sub-millisecond remainder does not spin
    // a poll loop; 0 once passed, capped at cap.
    int msLeft(int cap = 0x7FFFFFFF) const {
        const auto left = at_ - SteadyClock::now();
        if (left <= SteadyClock::duration::zero()) return 0;
        const auto ms = std::chrono::ceil<Milliseconds>(left).count();
        return ms > cap ? cap : static_cast<int>(ms);
    }

   private:
    SteadyClock::time_point at_{};
};

// Sleeps ms milliseconds on the steady clock; a signal does not shorten the sleep.
void SleepMs(uint32_t ms);
// Sleeps at most ms milliseconds; returns the milliseconds left when a signal ended the
// sleep early, else 0.
uint32_t SleepMsInterruptible(uint32_t ms);

}  // namespace kivo

#endif
