#include "ks_monitor_flag.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
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

// The signal a broken lease sends to the monitor: one whose default action
// is to ignore it. Without it the kernel sends SIGIO, whose default ends the
// process, to a monitor that holds the lease while some process opens the
// flag.
constexpr int kLeaseBreakSignal = SIGURG;

// A regular file of the monitor's own that no other name shares (an earlier
// monitor's flag, or this monitor's): one the monitor may rename over or
// unlink. A link, a hard link to another file, a FIFO, a device, a directory
// or another user's file stays as it is.
bool ours(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

// Runs `change` (a rename over the flag's name, or its unlink) while no
// other process has the file at the name open, and none can open it:
// renaming over a file, and unlinking it, take /var/run's lock and then wait
// for the file's inode lock, which any user who may write the file (it is
// 0666) can hold for as long as they like (a long write, or one stuck in
// the kernel). The kernel grants a write lease only while no other open file
// description of the file exists, and while it is held every other open,
// and a truncate by path, waits for its release: nobody holds the inode lock
// meanwhile, or can take it. `judged` is what lstat found at the name, a
// regular file. Returns false, with nothing changed, when the lease is
// refused (the file is open elsewhere) or the file opened is not the one
// judged.
template <typename Change>
bool change_unheld_flag(const struct stat& judged, Change change) {
    // O_NONBLOCK: a lease someone else holds refuses the open at once
    // instead of making it wait. /var/run is writable by root alone, so the
    // file judged by lstat is the one opened; fstat confirms it.
    const kestrun::unique_fd fd(
        open(kKsMonitorFlagPath, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!fd.ok()) return false;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != judged.st_dev ||
        st.st_ino != judged.st_ino)
        return false;
    if (fcntl(fd.get(), F_SETSIG, kLeaseBreakSignal) != 0 ||
        fcntl(fd.get(), F_SETLEASE, F_WRLCK) != 0)
        return false;
    // The lease covers the file opened; should another monitor have put its
    // own at the name meanwhile, that one is not ours to replace unleased.
    struct stat now {};
    if (lstat(kKsMonitorFlagPath, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return false;
    const bool changed = change();
    // Closing the descriptor releases the lease (and lets waiting opens on).
    return changed;
}

// Takes the flag's name for the fresh file `fresh` when the name is free,
// or when it holds an earlier flag of ours that nobody has open. false when
// the name stays as it is.
bool take_flag_name(const char* fresh) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat st {};
        if (lstat(kKsMonitorFlagPath, &st) != 0) {
            if (errno != ENOENT) return false;
            // A free name holds nothing to wait for; should another monitor
            // take it meanwhile, its file is judged like any other.
            if (renameat2(AT_FDCWD, fresh, AT_FDCWD, kKsMonitorFlagPath, RENAME_NOREPLACE) == 0)
                return true;
            if (errno == EINVAL && link(fresh, kKsMonitorFlagPath) == 0) {
                // A file system without RENAME_NOREPLACE: a link never
                // replaces a name either. The fresh name is ours alone.
                kestrun::ignore_result(unlink(fresh));
                return true;
            }
            if (errno != EEXIST) return false;
            continue;
        }
        if (!ours(st)) return false;
        return change_unheld_flag(st, [&] { return rename(fresh, kKsMonitorFlagPath) == 0; });
    }
    return false;
}

}  // namespace

void init_ks_monitor_flag() {
    // The file at the name is never truncated or written: any user may
    // write it (its mode is 0666), and so hold its inode lock for as long
    // as they like. A fresh file takes the name in one step instead, so a
    // monitor already running never sees the flag empty. While another
    // process has an earlier file at the name open, the name is left alone
    // and the file standing there decides the ticks (an earlier monitor's
    // left-over flag reads 1).
    char fresh[sizeof kFreshFlagTemplate];
    std::memcpy(fresh, kFreshFlagTemplate, sizeof fresh);
    // O_EXCL inside: the name is new, no link at it is followed.
    const kestrun::unique_fd fd(mkostemp(fresh, O_CLOEXEC));
    if (!fd.ok()) return;
    // The digit goes in, and the file takes the name, while it is still ours
    // alone (mkostemp gives 0600): no other user can open it and hold up the
    // write, the rename or the mode change (each takes its inode lock). A
    // file that cannot be given its digit or the name is a flag that cannot
    // be created, unless an earlier one stands there.
    if (!kestrun::write_all(fd.get(), "1", 1) || !take_flag_name(fresh)) {
        kestrun::ignore_result(unlink(fresh));  // our own fresh name; nothing else to do
        return;
    }
    // Any process of any user may stop the monitor, so the umask must not
    // narrow the mode; a failure is left silent, as before.
    kestrun::ignore_result(fchmod(fd.get(), 0666));
}

void assert_ks_monitor_flag() {
    if (get_int_from_file(kKsMonitorFlagPath) == 1) return;
    MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "%s",
                "ksMonitor received shutdown command; ksMonitor exiting\n");
    std::exit(0);
}

void ksmonitor_atexit() {
    // Already gone when another process deleted it to stop us. A file that
    // another process has open stays, as after a signal: the unlink could
    // wait for as long as that process holds its inode lock.
    struct stat st {};
    if (lstat(kKsMonitorFlagPath, &st) != 0) return;
    if (!S_ISREG(st.st_mode)) {
        // No write holds the inode lock of a link, FIFO or device, so
        // removing the name cannot wait (a directory is refused).
        kestrun::ignore_result(unlink(kKsMonitorFlagPath));
        return;
    }
    kestrun::ignore_result(change_unheld_flag(st, [] { return unlink(kKsMonitorFlagPath) == 0; }));
}
