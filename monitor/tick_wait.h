// Waiting on the watched processes: the rest of a tick, the run of a repair
// command, and a look between the chunks of a DNS check. Each wait ends
// early when a watched process's descriptor reports its end, so a dead
// client does not keep the PPP link up while the monitor waits for the
// second to pass or for a helper. The waits return what they saw; the
// callers decide what to do about it.
#pragma once

#include <chrono>

#include "process_watch.h"

// A point on CLOCK_MONOTONIC, as nanoseconds since that clock's origin.
using monotonic_time = std::chrono::nanoseconds;

monotonic_time monotonic_now();

// What the waits know of one watched process.
struct exit_watch {
    // Its descriptor has reported (the process has ended, or the descriptor
    // failed): it stays out of later waits, which would return at once.
    bool reported = false;
    // The delay of the next re-probe; zero when none is pending.
    std::chrono::nanoseconds reprobe_delay{0};
    monotonic_time reprobe_at{0};
};

struct exit_watches {
    exit_watch ks;
    exit_watch pppd;
};

// The two watched processes and what the waits know of them, handed to the
// steps that wait or read for long (the DNS check and its repair).
struct process_watch_view {
    const watched_process& ks;
    const watched_process& pppd;
    exit_watches& watches;
};

enum class wait_outcome {
    deadline,      // the time is up
    fd_ready,      // the extra descriptor became readable
    process_gone,  // a probe of pppd or the client failed
};

// Waits until `deadline`, until `extra_fd` (when not -1) becomes readable,
// or until a watched process probes gone. Meanwhile it waits on the
// descriptors of the processes that have one and have not reported yet, or
// sleeps when none is left. When a descriptor reports, both processes are
// probed without a log entry; an ended process that its parent has not
// reaped yet still probes alive, so it is probed again after 1 ms and then
// at doubling delays until the delay reaches a second, when the ticks' own
// probes take over. A failing wait sleeps what is left.
wait_outcome wait_for_processes(process_watch_view view, monotonic_time deadline,
                                int extra_fd = -1);

// A look without waiting: whether a watched process has reported its end
// and now probes gone. Costs one call (a poll that returns at once) when a
// descriptor is still watched, none otherwise, plus any re-probe that is due.
bool watched_process_gone(process_watch_view view);

// What the monitor does when a probe has failed between ticks: what a tick
// does, so that a client that cleared the flag before it ended still gets
// the shutdown entry and no signal. The flag check and the process watch
// normally end the process; this returns only if both processes probe
// alive after all.
void handle_process_end(const watched_process& ks, const watched_process& pppd);
