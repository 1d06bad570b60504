// The DNS watch's repair: "/usr/sbin/kestRun --setup-dns" run through the
// shell, as system() would run it (the monitor's environment, its working
// directory and standard streams, which after the detach are / and
// /dev/null, its signal mask and dispositions), but waited for together
// with the watched processes, so a repair that hangs does not hold up the
// process watch.
#pragma once

#include "tick_wait.h"

inline constexpr char kRepairCommand[] = "/usr/sbin/kestRun --setup-dns";

// Makes the monitor ignore SIGXFSZ, so a file size limit cuts a log write
// short instead of killing the watchdog, and notes what the signal was
// before: the repair command gets it back at its default only if the
// monitor was started with the default, and otherwise keeps it ignored as
// the monitor's starter left it. Called once, early in main.
void ignore_file_size_signal();

// Runs the command and returns once it has ended; its exit status is not
// examined. With a view, a watched process that probes gone meanwhile is
// handled at once as between ticks (handle_process_end, which normally ends
// the monitor and leaves the command to finish on its own). Without one,
// it simply waits. Nothing happens when the shell cannot be started.
void run_repair_command(const process_watch_view* view);
