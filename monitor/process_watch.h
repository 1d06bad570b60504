// The process watch: ties the PPP link to the life of the VPN client.
//
// Both processes are held through a process descriptor taken at start-up,
// so a number that the kernel hands to a newer process after one of them
// has ended is never probed as alive, and never sent SIGTERM.
#pragma once

#include "unique_fd.h"

struct watched_process {
    int pid = 0;               // as read from its pid file, for the log entries
    kestrun::unique_fd pidfd;  // the process descriptor, always above descriptor 2
    bool gone = false;         // had already ended (or was no usable pid) when watched
};

// Starts watching a process: takes its process descriptor and moves it above
// the standard streams, where detaching cannot replace it. A process already
// gone is marked so (its first probe fails). A pid below 1 is never signalled.
// Where the kernel offers no process descriptor (ENOSYS), and on any other
// failure to take one, the process is probed and signalled by number.
watched_process watch_process(int pid);

// The null-signal probe: true while the process exists and we may signal it.
// A refusal for permission counts as gone; an ended but unreaped process
// still counts as alive.
bool process_alive(const watched_process& process);

// Sends SIGTERM; the result is not examined.
void terminate_process(const watched_process& process);

// Probes pppd, then the client. Returns only when both are alive. When pppd
// is gone, logs so and exits 0; when only the client is gone, logs a warning,
// sends pppd one SIGTERM and exits 0.
void test_processes(const watched_process& ks, const watched_process& pppd);
