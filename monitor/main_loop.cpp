#include "main_loop.h"

#include <unistd.h>

#include "dns_watch.h"
#include "ks_monitor_flag.h"

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
    for (;;) {
        monitor_tick(counters, ks, pppd, config);
        // The sleep follows the work: a slow repair stretches the tick, and
        // missed time is not caught up.
        (void)sleep(1);
    }
}
