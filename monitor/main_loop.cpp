#include "main_loop.h"

#include <chrono>

#include "dns_watch.h"
#include "ks_monitor_flag.h"
#include "tick_wait.h"

void monitor_tick(loop_counters& counters, const watched_process& ks, const watched_process& pppd,
                  const monitor_config& config) {
    assert_ks_monitor_flag();
    ++counters.process;
    ++counters.dns;
    if (counters.process > 0) {
        test_processes(ks, pppd);
        counters.process = 0;
    }
    if (counters.dns > 4) {
        test_dns(config.dns1, config.dns2, config.suffixes);
        counters.dns = 0;
    }
}

void run_main_loop(const watched_process& ks, const watched_process& pppd,
                   const monitor_config& config) {
    loop_counters counters;
    exit_watches watches;
    for (;;) {
        monitor_tick(counters, ks, pppd, config);
        // The wait follows the work: a slow repair stretches the tick, and
        // missed time is not caught up. It ends early only to look at a
        // process that has ended, which leaves the counters alone.
        wait_out_tick(watches, ks, pppd, monotonic_now() + std::chrono::seconds(1));
    }
}
