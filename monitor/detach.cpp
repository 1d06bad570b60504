#include "detach.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ignore_result.h"
#include "unique_fd.h"

int detach_into_background() {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child > 0) _exit(0);

    if (setsid() < 0) return -1;
    if (chdir("/") != 0) return -1;

    // Not kestrun::open_checked: this descriptor becomes the standard
    // streams the repair command inherits, which get no O_NONBLOCK from
    // us, and a /dev/null that is no device fails with ENODEV, the reason
    // the start-up error names.
    kestrun::unique_fd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null_fd.ok()) return -1;
    struct stat st {};
    if (fstat(null_fd.get(), &st) != 0) return -1;
    if (!S_ISCHR(st.st_mode)) {
        errno = ENODEV;
        return -1;
    }
    for (int stream = 0; stream <= 2; ++stream) {
        if (stream != null_fd.get() && dup2(null_fd.get(), stream) < 0) return -1;
    }
    if (null_fd.get() <= 2) {
        // It landed on a closed standard stream and now is one: keep it, and
        // let the repair command's shell inherit it.
        if (fcntl(null_fd.get(), F_SETFD, 0) != 0) return -1;
        kestrun::ignore_result(null_fd.release());  // a standard stream now, kept open
    }
    return 0;
}
