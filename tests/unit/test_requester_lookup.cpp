// The requester of a datagram is the owner of the sending socket, found through the
// kernel's socket diagnostics.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "requester_lookup.h"

namespace {

// A UDP socket on 127.0.0.1 with a port of its own; its address as a datagram from it
// would show it.
int BoundSocket(struct sockaddr_in& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0)
        return -1;
    return fd;
}

TEST(RequesterLookup, OwnerOfTheSendingSocket) {
    struct sockaddr_in own;
    const int fd = BoundSocket(own);
    ASSERT_GE(fd, 0);
    const kivo::Requester me = RequesterOfDatagram(own);
    EXPECT_TRUE(me.known);
    EXPECT_EQ(me.uid, getuid());
    close(fd);
    // Nobody is bound there any more: the sender cannot be named.
    EXPECT_FALSE(RequesterOfDatagram(own).known);

    if (getuid() != 0) GTEST_SKIP() << "needs root to create a socket as another user";
    // A socket made by a process running as another user is that user's.
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
        struct sockaddr_in a;
        const int s = BoundSocket(a);
        if (s < 0) _exit(1);
        (void)!write(ready[1], &a, sizeof(a));
        char c;
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    struct sockaddr_in theirs;
    ASSERT_EQ(read(ready[0], &theirs, sizeof(theirs)), static_cast<ssize_t>(sizeof(theirs)));
    const kivo::Requester other = RequesterOfDatagram(theirs);
    (void)!write(done[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(other.known);
    EXPECT_EQ(other.uid, 65534u);
    EXPECT_FALSE(other.isRoot());
}

}  // namespace
