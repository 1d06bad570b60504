#include "judged_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace uninstall {

bool readable_under(const struct stat& st, const ReadRule& rule) {
    if (!S_ISREG(st.st_mode)) return false;
    const bool dir_owners = rule.dir_owner != kestrun::kAnyOwner && st.st_uid == rule.dir_owner;
    if (!rule.any_owner && st.st_uid != 0 && st.st_uid != ::geteuid() && !dir_owners) return false;
    // Where hard links to others' files may be made (fs.protected_hardlinks
    // off), a second name could be a stranger's handle on a file of root's.
    return st.st_nlink == 1 || (dir_owners && rule.dir_owner != 0);
}

kestrun::unique_fd open_judged_for_reading(int dir, const char* name, const ReadRule& rule,
                                           struct stat* seen) {
    // With O_NOFOLLOW, O_PATH opens a link itself: its type refuses it.
    const kestrun::unique_fd path_fd(
        ::openat(dir, name, O_PATH | O_CLOEXEC | (rule.follow_link ? 0 : O_NOFOLLOW)));
    if (!path_fd.ok()) return kestrun::unique_fd();
    struct stat judged {};
    if (::fstat(path_fd.get(), &judged) != 0) return kestrun::unique_fd();
    if (!readable_under(judged, rule)) {
        errno = EINVAL;
        return kestrun::unique_fd();
    }

    // The magic link leads to the inode judged, whatever the name holds now.
    char self[32];
    kestrun::ignore_result(  // always fits
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", path_fd.get()));
    kestrun::unique_fd fd(::open(self, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.ok()) return fd;
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return kestrun::unique_fd();
    if (opened.st_dev != judged.st_dev || opened.st_ino != judged.st_ino) {
        errno = EINVAL;  // a /proc that is not the kernel's
        return kestrun::unique_fd();
    }
    if (seen != nullptr) *seen = opened;
    return fd;
}

}  // namespace uninstall
