// Whether this process runs inside ks_sandbox's private namespace: the
// sandbox's own mark, its tmpfs on /tmp, /run and /var/tmp (where there is
// one), its overlays on /etc and /usr/sbin, and its pid 1 as our parent.
// Programs that use the product's fixed paths check this first, so one
// started by hand can never write the host's /etc, /run, /tmp or /usr/sbin.
#pragma once

#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#ifndef OVERLAYFS_SUPER_MAGIC
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#endif

namespace kstest {

inline bool HasFilesystemType(const char* path, long type) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && static_cast<long>(fs.f_type) == type;
}

// A missing /var/tmp needs no tmpfs; a link to /tmp finds the sandbox's.
inline bool VarTmpIsPrivate() {
    struct statfs fs {};
    if (statfs("/var/tmp", &fs) != 0) return errno == ENOENT;
    return static_cast<long>(fs.f_type) == TMPFS_MAGIC;
}

inline bool InSandbox() {
    const char* mark = std::getenv("KS_SANDBOX");
    return mark && std::strcmp(mark, "1") == 0 && HasFilesystemType("/tmp", TMPFS_MAGIC) &&
           HasFilesystemType("/run", TMPFS_MAGIC) && VarTmpIsPrivate() &&
           HasFilesystemType("/etc", OVERLAYFS_SUPER_MAGIC) &&
           HasFilesystemType("/usr/sbin", OVERLAYFS_SUPER_MAGIC) && getppid() == 1;
}

// Whether this process is root of the initial user namespace, which maps
// every uid and gid as itself. Where ks_sandbox had to build its namespace
// inside a user namespace (an ordinary user, or root without
// CAP_SYS_ADMIN), only the caller is mapped, to root: no other user exists
// to become (setpriv) or to give a file to (chown, SUDO_UID), and no
// device node can be made.
inline bool RealRoot() {
    std::ifstream map("/proc/self/uid_map");
    std::string inside, outside, count, more;
    return map >> inside >> outside >> count && inside == "0" && outside == "0" &&
           count == "4294967295" && !(map >> more);
}

}  // namespace kstest

// For a test that needs what only real root has (above): skips it, with
// the need on one line, in a user namespace.
#define KS_SKIP_UNLESS_REAL_ROOT(need)                                  \
    do {                                                                \
        if (!kstest::RealRoot())                                        \
            GTEST_SKIP() << "skipped: needs real root (" need           \
                            "); this sandbox is a "                     \
                            "user namespace that maps only the caller"; \
    } while (false)

// The needs, worded once so that a test run's skips group by them.
#define KS_NEEDS_OTHER_USERS "other users to become or to own files"
#define KS_NEEDS_DEVICE_NODES "device nodes"
// A userfaultfd that catches the kernel's own faults (a write() held in the
// kernel with the file's inode lock): an ordinary user gets only user-mode
// faults.
#define KS_NEEDS_KERNEL_FAULT_HOLD "a userfaultfd that holds a write in the kernel"
