// A file whose inode lock is held for good, as a file system that stops
// answering holds it: a child process write()s to the file from a page that
// is registered with userfaultfd and never supplied, so it sits in the
// kernel with the lock taken. Every other write(), ftruncate() or
// O_TRUNC open of that file then waits until the hold is released, which
// kills the child. Needs root (a userfaultfd that catches the kernel's own
// faults); for use inside ks_sandbox.
#pragma once

#include <sys/types.h>

#include <string>

namespace kstest {

class InodeHold {
  public:
    // Holds the file at `path` (opened for appending, created if missing).
    // held() tells whether the child reached its stuck write.
    explicit InodeHold(const std::string& path);
    ~InodeHold();
    InodeHold(const InodeHold&) = delete;
    InodeHold& operator=(const InodeHold&) = delete;

    bool held() const { return held_; }
    pid_t holder() const { return child_; }
    // Ends the hold: the child is killed, its write takes nothing.
    void Release();

  private:
    pid_t child_ = -1;
    bool held_ = false;
};

}  // namespace kstest
