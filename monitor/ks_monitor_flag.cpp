#include "ks_monitor_flag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fd_io.h"
#include "ksProcUtils.h"
#include "kslog.h"
#include "log_queue.h"

namespace {

// Where a fresh flag file is written before it takes the flag's name: the
// flag's own directory, so the rename stays on one file system.
constexpr char kFreshFlagTemplate[] = "/var/run/com.valdrane.kestrun.ksMonitor.XXXXXX";

// Whether the flag's name may be taken over: nothing stands there, or a
// regular file of the monitor's own that no other name shares (an earlier
// monitor's flag). A link, a hard link to another file, a FIFO, a device, a
// directory or another user's file stays as it is. lstat judges the name
// itself without opening anything, and takes no lock a writer could hold.
bool flag_name_is_ours() {
    struct stat st {};
    if (lstat(kKsMonitorFlagPath, &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

}  // namespace

void init_ks_monitor_flag() {
    // The file at the name is never truncated or written: any user may
    // write it (its mode is 0666), and so hold its inode lock for as long
    // as they like. A fresh file is made under a name of its own, written
    // and opened to everyone, then renamed over the flag's name in one
    // step, so a monitor already running never sees it empty. Should
    // something be planted at the name after the look, the rename replaces
    // that name alone: no file behind it is written or opened to anyone.
    if (!flag_name_is_ours()) return;  // as a flag that cannot be created
    char fresh[sizeof kFreshFlagTemplate];
    std::memcpy(fresh, kFreshFlagTemplate, sizeof fresh);
    // O_EXCL inside: the name is new, no link at it is followed.
    const kestrun::unique_fd fd(mkostemp(fresh, O_CLOEXEC));
    if (!fd.ok()) return;
    // The digit goes in while the file is still ours alone (mkostemp gives
    // 0600), so no other user can open it and hold up the write. Then the
    // mode: any process of any user may stop the monitor, so the umask must
    // not narrow it. A file that cannot be given its digit or its mode is a
    // flag that cannot be created.
    if (!kestrun::write_all(fd.get(), "1", 1) || fchmod(fd.get(), 0666) != 0 ||
        rename(fresh, kKsMonitorFlagPath) != 0) {
        kestrun::ignore_result(unlink(fresh));  // our own fresh name; nothing else to do
    }
}

void assert_ks_monitor_flag() {
    if (get_int_from_file(kKsMonitorFlagPath) == 1) return;
    MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "%s",
                     "ksMonitor received shutdown command; ksMonitor exiting\n");
    std::exit(0);
}

void ksmonitor_atexit() {
    // Already gone when another process deleted it to stop us.
    kestrun::ignore_result(unlink(kKsMonitorFlagPath));
}
