#include "ks_monitor_flag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "fd_io.h"
#include "ksProcUtils.h"
#include "kslog.h"

void init_ks_monitor_flag() {
    // Not through a link: the file is made writable by everyone below,
    // which must never happen to whatever a link planted at this name
    // points to. Only a file of the monitor's own, which no other name
    // shares, may be rewritten and opened to everyone: a hard link at the
    // name would hand the mode and the content of another file, a FIFO or
    // a device is no flag (and its open cannot hang start-up). No O_TRUNC:
    // nothing changes before the descriptor is checked.
    const kestrun::unique_fd fd =
        kestrun::open_checked(kKsMonitorFlagPath, {.access = O_WRONLY | O_CREAT,
                                                   .create_mode = 0666,
                                                   .single_link = true,
                                                   .owner = geteuid()});
    if (!fd.ok()) return;  // as a flag that cannot be created
    // A file that cannot be emptied is one that cannot be created, as when
    // the truncating open failed.
    if (ftruncate(fd.get(), 0) != 0) return;
    // Any process of any user may stop the monitor, so the umask must not
    // narrow the mode; failures here and below are left silent on purpose.
    kestrun::ignore_result(fchmod(fd.get(), 0666));
    kestrun::ignore_result(kestrun::write_all(fd.get(), "1", 1));
}

void assert_ks_monitor_flag() {
    if (get_int_from_file(kKsMonitorFlagPath) == 1) return;
    KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "%s",
                     "ksMonitor received shutdown command; ksMonitor exiting\n");
    std::exit(0);
}

void ksmonitor_atexit() {
    // Already gone when another process deleted it to stop us.
    kestrun::ignore_result(unlink(kKsMonitorFlagPath));
}
