// An owned file descriptor: closed when its holder goes away, on every path out.
// Packet sockets are the exception: they go to the link layer's closer (l2/port.h),
// because their close waits for the kernel.
#ifndef KIVO_UNIQUE_FD_H
#define KIVO_UNIQUE_FD_H

#include <unistd.h>

#include <cerrno>

namespace kivo {

class UniqueFd {
   public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership without closing.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes fd. errno is kept, so that a caller
    // can still report why the call before failed.
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            const int err = errno;
            ::close(fd_);
            errno = err;
        }
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

}  // namespace kivo

#endif
