// The shutdown flag file through which other processes stop the monitor:
// the monitor runs while the file reads as the decimal integer 1. Any other
// value, or deleting the file, ends it at its next check.
#pragma once

inline constexpr const char* kKsMonitorFlagPath = "/var/run/com.valdrane.kestrun.ksMonitor";

// Puts a fresh file holding "1" with mode 0666 (whatever the umask) at the
// flag's name in one step: written under a unique name beside it, then
// renamed to it. The file at the name is never truncated or written in
// place, since any user may hold it; an earlier file there is replaced only
// under a write lease, that is while no other process has it open, and is
// otherwise left to decide the ticks. Nothing here waits on another
// process. Failures are silent: a flag that could not be put there reads
// as 0 and stops the monitor at its first tick.
// Only a name that is free or holds a regular file with one link, owned by
// the effective user, is taken over; anything else at the name (a link, a
// hard link, a FIFO, a device, a directory, another user's file) stays as
// it is and counts as a flag that cannot be created.
void init_ks_monitor_flag();

// Returns while the flag file reads 1; otherwise logs the shutdown entry and
// ends the process with exit(0) (so the exit handlers run).
void assert_ks_monitor_flag();

// Exit handler: deletes the flag file. A missing file is not an error; a
// regular file that another process has open stays (the unlink would wait
// for as long as that process held its inode lock), as after a signal.
void ksmonitor_atexit();
