#include "ks_monitor_flag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "ksProcUtils.h"
#include "kslog.h"
#include "unique_fd.h"

namespace {

// Only a file of the monitor's own, which no other name shares, may be
// rewritten and opened to everyone: a hard link at the name would hand the
// mode and the content of another file, a FIFO or a device is no flag.
bool is_own_flag(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

}  // namespace

void init_ks_monitor_flag() {
    // O_NOFOLLOW: the file is made writable by everyone below, which must
    // never happen to whatever a link planted at this name points to.
    // O_NONBLOCK: opening a FIFO or a device at the name must not hang
    // start-up. No O_TRUNC: nothing changes before the descriptor is checked.
    kestrun::unique_fd fd(
        open(kKsMonitorFlagPath, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.ok() || !is_own_flag(fd.get())) return;  // as a flag that cannot be created
    // A file that cannot be emptied is one that cannot be created, as when
    // the truncating open failed.
    if (ftruncate(fd.get(), 0) != 0) return;
    // Any process of any user may stop the monitor, so the umask must not
    // narrow the mode; failures here and below are left silent on purpose.
    (void)fchmod(fd.get(), 0666);
    ssize_t n;
    do {
        n = write(fd.get(), "1", 1);
    } while (n < 0 && errno == EINTR);
}

void assert_ks_monitor_flag() {
    if (get_int_from_file(kKsMonitorFlagPath) == 1) return;
    KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "%s",
                     "ksMonitor received shutdown command; ksMonitor exiting\n");
    std::exit(0);
}

void ksmonitor_atexit() {
    (void)unlink(kKsMonitorFlagPath);  // already gone when another process deleted it to stop us
}
