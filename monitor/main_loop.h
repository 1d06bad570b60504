// The monitor's main loop: one tick a second, driving the process watch on
// every tick and the DNS watch on every fifth. Between ticks it waits on the
// watched processes, so that the end of either is met within milliseconds.
#pragma once

#include "monitor_config.h"
#include "process_watch.h"
#include "tick_wait.h"

struct loop_counters {
    int process = 0;
    int dns = 0;
};

enum class tick_outcome {
    done,
    // A watched process probed gone during the DNS check: the check ended
    // without a verdict, and the caller reacts as between ticks.
    process_gone,
};

// One tick without its wait: checks the shutdown flag, runs the process
// watch, and the DNS watch when its counter passes 4. May end the process.
// With a view of the watched processes, the DNS check and its repair keep
// an eye on them; without one (the in-process tests) they do not.
tick_outcome monitor_tick(loop_counters& counters, const watched_process& ks,
                          const watched_process& pppd, const monitor_config& config,
                          exit_watches* watches = nullptr);

// Ticks until one of the checks ends the process; each tick's wait ends one
// second after its checks, or earlier when a watched process has ended.
[[noreturn]] void run_main_loop(const watched_process& ks, const watched_process& pppd,
                                const monitor_config& config);
