// A buffered, byte-at-a-time reader over a descriptor the caller owns. The
// uninstaller's files are scanned with it in one pass and fixed memory,
// however long their lines are.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>

namespace uninstall {

class ByteStream {
  public:
    explicit ByteStream(int fd) : fd_(fd) {}
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    // The next byte, or nothing at the end of the file or after a read
    // error (failed() tells the two apart).
    std::optional<unsigned char> next() {
        if (pos_ == len_ && !refill()) return std::nullopt;
        return buf_[pos_++];
    }

    bool failed() const { return failed_; }

  private:
    bool refill() {
        if (done_) return false;
        for (;;) {
            const ssize_t n = ::read(fd_, buf_, sizeof buf_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                done_ = true;
                failed_ = n < 0;
                return false;
            }
            pos_ = 0;
            len_ = static_cast<size_t>(n);
            return true;
        }
    }

    int fd_;
    unsigned char buf_[4096]{};  // zeroed once, so no path can read an unset byte
    size_t pos_ = 0;
    size_t len_ = 0;
    bool done_ = false;
    bool failed_ = false;
};

}  // namespace uninstall
