// Fault injection for tests: named points in the code where a test can make the next
// calls fail (an allocation, a thread start) or run a hook (to hold a thread at a
// chosen moment). Unarmed points cost one relaxed atomic load.
#ifndef KIVO_FAILPOINT_H
#define KIVO_FAILPOINT_H

#include <atomic>
#include <functional>

namespace kivo {

namespace failpoint_detail {
extern std::atomic<int> armed;  // number of armed points and hooks
bool Hit(const char* name);
void RunHook(const char* name);
}  // namespace failpoint_detail

// True when the point is armed; each true answer uses up one of its count.
inline bool FailPointHit(const char* name) {
    if (failpoint_detail::armed.load(std::memory_order_relaxed) == 0) return false;
    return failpoint_detail::Hit(name);
}
// Runs the hook set for the point, if any.
inline void FailPointHook(const char* name) {
    if (failpoint_detail::armed.load(std::memory_order_relaxed) == 0) return;
    failpoint_detail::RunHook(name);
}

// Tests: make the next count hits of name fail; a count of 0 disarms it.
void FailPointArm(const char* name, unsigned count = 1);
// Tests: the hook the point runs (null removes it).
void FailPointHookSet(const char* name, std::function<void()> hook);
// Tests: disarm every point and remove every hook.
void FailPointsClear();

}  // namespace kivo

#endif
