#include "regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace uninstall {

kestrun::unique_fd open_regular_file(const char* path, int extra_flags) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer before fstat could tell us what it is. On a regular file the
    // flag changes nothing about the reads that follow.
    kestrun::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extra_flags));
    if (!fd.ok()) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return {};
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return {};
    }
    return fd;
}

}  // namespace uninstall
