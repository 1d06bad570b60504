#include "inode_hold.h"

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "ignore_result.h"
#include "testkit.h"

namespace kstest {

namespace {

// In the child: never returns while the hold lasts.
[[noreturn]] void HoldFor(const std::string& path) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with the test whatever happens
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
    if (fd < 0 || uffd < 0) _exit(2);
    uffdio_api api{};
    api.api = UFFD_API;
    if (ioctl(uffd, UFFDIO_API, &api) != 0) _exit(3);
    const long page_size = sysconf(_SC_PAGESIZE);
    void* page = mmap(nullptr, static_cast<size_t>(page_size), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) _exit(4);
    uffdio_register reg{};
    reg.range.start = reinterpret_cast<unsigned long>(page);
    reg.range.len = static_cast<unsigned long>(page_size);
    reg.mode = UFFDIO_REGISTER_MODE_MISSING;
    if (ioctl(uffd, UFFDIO_REGISTER, &reg) != 0) _exit(5);
    // The kernel takes the inode lock, then faults on the page to copy it:
    // nobody answers the fault, so the lock stays taken.
    kestrun::ignore_result(write(fd, page, 1));  // comes back only when released
    _exit(6);
}

// The system call the process sits in, from /proc/<pid>/syscall.
bool InWrite(pid_t pid) {
    const auto text = ReadFile("/proc/" + std::to_string(pid) + "/syscall");
    return text && text->starts_with(std::to_string(SYS_write) + " ");
}

}  // namespace

InodeHold::InodeHold(const std::string& path) {
    child_ = fork();
    if (child_ == 0) HoldFor(path);
    if (child_ < 0) return;
    // Stuck for good once it has sat in its write for a while.
    held_ = WaitFor([&] { return InWrite(child_) && ProcessState(child_) != 'R'; }, 5000ms);
}

InodeHold::~InodeHold() {
    Release();
}

void InodeHold::Release() {
    if (child_ > 0) KillAndReap(child_);
    child_ = -1;
    held_ = false;
}

}  // namespace kstest
