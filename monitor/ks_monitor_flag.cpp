#include "ks_monitor_flag.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

// What stands at the flag's name, judged by lstat: the name itself, with
// nothing opened and no lock taken that a writer could hold.
enum class flag_name {
    free,
    // A regular file of the monitor's own that no other name shares (an
    // earlier monitor's flag): it may be replaced.
    ours,
    // A link, a hard link to another file, a FIFO, a device, a directory or
    // another user's file: it stays as it is.
    foreign,
};

flag_name look_at_flag_name() {
    struct stat st {};
    if (lstat(kKsMonitorFlagPath, &st) != 0)
        return errno == ENOENT ? flag_name::free : flag_name::foreign;
    const bool ours = S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
    return ours ? flag_name::ours : flag_name::foreign;
}

// How long start-up waits for the helper that puts the flag in place. It
// normally takes well under a millisecond; only a held name takes longer.
constexpr std::chrono::milliseconds kFlagHelperBound{1000};

// Makes a fresh flag file under a name of its own and renames it over the
// flag's name, so a monitor already running never sees it empty. Should
// something be planted at the name after the look, the rename replaces that
// name alone: no file behind it is written or opened to anyone.
void put_fresh_flag() {
    char fresh[sizeof kFreshFlagTemplate];
    std::memcpy(fresh, kFreshFlagTemplate, sizeof fresh);
    // O_EXCL inside: the name is new, no link at it is followed.
    const kestrun::unique_fd fd(mkostemp(fresh, O_CLOEXEC));
    if (!fd.ok()) return;
    // The digit goes in, and the file takes the name, while it is still ours
    // alone (mkostemp gives 0600): no other user can open it and hold up the
    // write, the rename or the mode change (each takes its inode lock). A
    // file that cannot be given its digit or the name is a flag that cannot
    // be created.
    if (!kestrun::write_all(fd.get(), "1", 1) || rename(fresh, kKsMonitorFlagPath) != 0) {
        kestrun::ignore_result(unlink(fresh));  // our own fresh name; nothing else to do
        return;
    }
    // Any process of any user may stop the monitor, so the umask must not
    // narrow the mode; a failure is left silent, as before.
    kestrun::ignore_result(fchmod(fd.get(), 0666));
}

// Waits up to the bound for the helper; true when it ended (and is reaped).
bool helper_ended(pid_t helper) {
    const auto until = std::chrono::steady_clock::now() + kFlagHelperBound;
    const timespec step = {0, 200000};
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(helper, &status, WNOHANG);
        if (got == helper || (got < 0 && errno != EINTR)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        kestrun::ignore_result(nanosleep(&step, nullptr));  // cut short: looked at again
    }
}

}  // namespace

void init_ks_monitor_flag() {
    // The file at the name is never truncated or written: any user may
    // write it (its mode is 0666), and so hold its inode lock for as long
    // as they like (a long write, or a file system that stops answering).
    // Even a rename over it, or an unlink of it, waits for that lock. A free
    // name (the usual case: the last monitor deleted its flag) holds nothing
    // to wait for, and only root may create files in /var/run. Over an
    // earlier file, a helper process puts the fresh file in place, and
    // start-up waits for it at most a second: while the name stays held,
    // the file there decides the ticks (an earlier monitor's left-over flag
    // reads 1), and the helper finishes on its own once the hold ends.
    const flag_name name = look_at_flag_name();
    if (name == flag_name::foreign) return;  // as a flag that cannot be created
    if (name == flag_name::free) {
        put_fresh_flag();
        return;
    }
    const pid_t helper = fork();
    if (helper < 0) {
        put_fresh_flag();  // no helper to be had: as before, in this process
        return;
    }
    if (helper == 0) {
        // Named for what it does, should it stay held where ps shows it,
        // and keeps no pipe of the starter open while it may wait.
        prctl(PR_SET_NAME, "ksMonitor-flag");  // the name is only a courtesy
        for (int stream = 0; stream <= 2; ++stream) kestrun::ignore_result(close(stream));
        put_fresh_flag();
        _exit(0);
    }
    // A helper still held is left to finish; once start-up has detached, it
    // is no child of the monitor's any more.
    kestrun::ignore_result(helper_ended(helper));
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
