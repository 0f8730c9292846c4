// Owns a file descriptor and closes it when it goes out of scope. For packet sockets use
// l2::Port, whose close does not wait for the kernel.
#ifndef KIVO_UNIQUE_FD_H
#define KIVO_UNIQUE_FD_H

#include <unistd.h>

namespace kivo {

class UniqueFd {
   public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

}  // namespace kivo

#endif
