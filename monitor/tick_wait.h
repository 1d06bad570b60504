// The rest of a tick: a wait on the watched processes' descriptors that ends
// early when one of them ends, so that a dead client does not keep the PPP
// link up until the next tick. The one-second cadence stays: only the wait
// may end early, and a wake-up that finds both processes alive changes
// nothing the ticks count.
#pragma once

#include <chrono>

#include "process_watch.h"

// A point on CLOCK_MONOTONIC, as nanoseconds since that clock's origin.
using monotonic_time = std::chrono::nanoseconds;

monotonic_time monotonic_now();

// What the wait knows of one watched process between ticks.
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

// Returns at `deadline`. Meanwhile it waits on the descriptors of the
// processes that have one and have not reported yet, or sleeps when none is
// left. When a descriptor reports, both processes are probed without a log
// entry; an ended process that its parent has not reaped yet still probes
// alive, so it is probed again after 1 ms and then at doubling delays until
// the delay reaches a second, when the ticks' own probes take over. As soon
// as a probe fails, the shutdown flag and the process watch run as on a tick
// (so the process may end here). A failing wait sleeps what is left.
void wait_out_tick(exit_watches& watches, const watched_process& ks, const watched_process& pppd,
                   monotonic_time deadline);
