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

}  // namespace kstest
