// Starts that run short of memory or cannot start their thread: refused or failed with
// their own code, the server left able to run the next start. The faults come from the
// server's fail points ("fw.alloc" where a start makes its transfer, "fw.thread" at
// the thread start).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "failpoint.h"
#include "fw_test_server.h"
#include "l2fwserver.h"

namespace {

const char* kFile = "/nonexistent/directory/for/the/firmware/image.bin";
const char* kLoader = "/nonexistent/directory/for/the/ethernet/loader.bin";

// Nothing was left half-started: the next start runs (and fails on the missing file).
void ExpectNextStartRuns() {
    ASSERT_EQ(L2FWSERVER_ERROR_NONE, Start({.interfaceName = "lo", .file = kFile, .announcementTimeout = 0}));
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait());
    EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_OPENING_FILE, L2FwServerErrorGet());
}

}  // namespace

TEST(FwControlAlloc, FailedCopyLeavesTheServerAsItWas) {
    t_l2fwserverState before = L2FwServerStateGet();
    kivo::FailPointArm("fw.alloc", 2);
    EXPECT_EQ(L2FWSERVER_ERROR_MALLOC, Start({.interfaceName = "lo", .file = kFile}));
    EXPECT_EQ(L2FWSERVER_ERROR_MALLOC, Start({.interfaceName = "lo", .file = kFile, .loader = kLoader}));
    EXPECT_EQ(before, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait()) << "no thread was started";
    ExpectNextStartRuns();
}

TEST(FwControlAlloc, ThreadThatCannotStartIsReportedAsTheOperationsError) {
    // The files are checked before the thread starts: an image that passes.
    char image[] = "/tmp/kivo-fw-alloc-XXXXXX";
    const int fd = mkstemp(image);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "image", 5), 5);
    close(fd);
    kivo::FailPointArm("fw.thread");
    EXPECT_EQ(L2FWSERVER_ERROR_THREAD, Start({.interfaceName = "lo", .file = image}));
    unlink(image);
    EXPECT_EQ(L2FWSERVER_STATE_ERROR, L2FwServerStateGet());
    EXPECT_EQ(L2FWSERVER_ERROR_THREAD, L2FwServerErrorGet());
    EXPECT_EQ(L2FWSERVER_ERROR_NONE, L2FwServerWait()) << "no thread to wait for";
    ExpectNextStartRuns();
}
