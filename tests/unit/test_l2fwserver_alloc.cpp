// Starts that run short of memory or cannot start their thread: refused or failed with
// their own code, the server left able to run the next start. The faults come from the
// server's fail points ("fw.alloc" at every copy of a start argument, "fw.thread" at
// the thread start).
#include <gtest/gtest.h>

#include "failpoint.h"
#include "l2fwserver.h"

namespace {

const char* kFile = "/nonexistent/directory/for/the/firmware/image.bin";
const char* kLoader = "/nonexistent/directory/for/the/ethernet/loader.bin";

// Nothing was left half-started: the next start runs (and fails on the missing file).
void ExpectNextStartRuns() {
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerUpgradeStart(kFile, "lo", 0, nullptr));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait());
    EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_OPENING_FILE, L2FwServerErrorGet());
}

}  // namespace

TEST(FwControlAlloc, FailedCopyLeavesTheServerAsItWas) {
    t_l2fwserverState before = L2FwServerStateGet();
    kivo::FailPointArm("fw.alloc", 2);
    EXPECT_EQ(L2FWSERVER_ERROR_MALLOC, L2FwServerUpgradeStart(kFile, "lo", 0, nullptr));
    EXPECT_EQ(L2FWSERVER_ERROR_MALLOC, L2FwServerEthBootStart(kLoader, kFile, "lo", 0));
    EXPECT_EQ(before, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait()) << "no thread was started";
    ExpectNextStartRuns();
}

TEST(FwControlAlloc, ThreadThatCannotStartIsReportedAsTheOperationsError) {
    kivo::FailPointArm("fw.thread");
    EXPECT_EQ(L2FWSERVER_ERROR_THREAD, L2FwServerEthBootStart(kLoader, kFile, "lo", 0));
    EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_THREAD, L2FwServerErrorGet());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait()) << "no thread to wait for";
    ExpectNextStartRuns();
}
