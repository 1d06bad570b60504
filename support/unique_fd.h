// A move-only owner of a file descriptor: closes it once, never retries the
// close (on Linux the descriptor is gone even when close reports EINTR), and
// keeps errno intact so callers can still report the failure that led here.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "ignore_result.h"

namespace kestrun {

class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

    int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ignore_result(::close(fd_));  // never retried: the descriptor is released either way
            errno = saved;
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace kestrun
