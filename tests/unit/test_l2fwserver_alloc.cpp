// A start whose names cannot be copied is refused with the state unchanged, and the
// next start is still accepted. Allocation failure is simulated by a replacement of
// the global operator new that fails while armed.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "l2fwserver.h"

namespace {
std::atomic<bool> failAllocations{false};
}

void* operator new(std::size_t n) {
    if (failAllocations.load()) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// The replacement new takes its memory from malloc, so delete gives it back there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

TEST(FwControlAlloc, FailedCopyLeavesTheServerAsItWas) {
    // Names longer than the small-string buffer so that copying them allocates.
    const char* file = "/nonexistent/directory/for/the/firmware/image.bin";
    const char* loader = "/nonexistent/directory/for/the/ethernet/loader.bin";
    const char* ifname = "lo";
    t_l2fwserverState before = L2FwServerStateGet();

    failAllocations = true;
    t_l2fwserverErrorCode up = L2FwServerUpgradeStart(file, ifname, 0, nullptr);
    t_l2fwserverErrorCode boot = L2FwServerEthBootStart(loader, file, ifname, 0);
    failAllocations = false;
    EXPECT_EQ(L2FWSERVER_ERROR_MALLOC, up);
    EXPECT_EQ(L2FWSERVER_ERROR_MALLOC, boot);
    EXPECT_EQ(before, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait());

    // Nothing was left half-started: the next start runs (and fails on the missing file).
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerUpgradeStart(file, ifname, 0, nullptr));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait());
    EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_OPENING_FILE, L2FwServerErrorGet());
}
