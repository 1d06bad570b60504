// The shutdown flag file through which other processes stop the monitor:
// the monitor runs while the file reads as the decimal integer 1. Any other
// value, or deleting the file, ends it at its next check.
#pragma once

inline constexpr const char* kKsMonitorFlagPath = "/var/run/com.valdrane.kestrun.ksMonitor";

// Creates or truncates the flag file, sets its mode to 0666 whatever the
// umask, and writes "1" with no line end. Failures are silent: a flag that
// could not be written reads as 0 and stops the monitor at its first tick.
// Only a regular file with one link, owned by the effective user, is
// written; anything else at the name (a link, a hard link, a FIFO, a
// device, a directory) counts as a flag that cannot be created.
void init_ks_monitor_flag();

// Returns while the flag file reads 1; otherwise logs the shutdown entry and
// ends the process with exit(0) (so the exit handlers run).
void assert_ks_monitor_flag();

// Exit handler: deletes the flag file. A missing file is not an error.
void ksmonitor_atexit();
