#include "failpoint.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kivo {

namespace failpoint_detail {
std::atomic<int> armed{0};
}

namespace {
std::mutex mutex;
std::map<std::string, unsigned, std::less<>> counts;                               // guarded by mutex
std::map<std::string, std::shared_ptr<std::function<void()>>, std::less<>> hooks;  // guarded by mutex

void Recount() {
    failpoint_detail::armed.store(static_cast<int>(counts.size() + hooks.size()));
}
}  // namespace

bool failpoint_detail::Hit(const char* name) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = counts.find(std::string_view(name));
    if (it == counts.end()) return false;
    if (--it->second == 0) counts.erase(it);
    Recount();
    return true;
}

void failpoint_detail::RunHook(const char* name) {
    std::shared_ptr<std::function<void()>> hook;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = hooks.find(std::string_view(name));
        if (it == hooks.end()) return;
        hook = it->second;
    }
    (*hook)();  // outside the lock: a hook may block, or arm other points
}

void FailPointArm(const char* name, unsigned count) {
    std::lock_guard<std::mutex> lock(mutex);
    if (count == 0)
        counts.erase(std::string(name));
    else
        counts[name] = count;
    Recount();
}

void FailPointHookSet(const char* name, std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex);
    if (hook)
        hooks[name] = std::make_shared<std::function<void()>>(std::move(hook));
    else
        hooks.erase(std::string(name));
    Recount();
}

void FailPointsClear() {
    std::lock_guard<std::mutex> lock(mutex);
    counts.clear();
    hooks.clear();
    Recount();
}

}  // namespace kivo
