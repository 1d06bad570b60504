#include "main_loop.h"

#include <chrono>
#include <optional>

#include "dns_watch.h"
#include "ks_monitor_flag.h"

tick_outcome monitor_tick(loop_counters& counters, const watched_process& ks,
                          const watched_process& pppd, const monitor_config& config,
                          exit_watches* watches) {
    assert_ks_monitor_flag();
    ++counters.process;
    ++counters.dns;
    if (counters.process > 0) {
        test_processes(ks, pppd);
        counters.process = 0;
    }
    if (counters.dns > 4) {
        counters.dns = 0;
        std::optional<process_watch_view> view;
        if (watches) view.emplace(process_watch_view{ks, pppd, *watches});
        if (test_dns(config.dns1, config.dns2, config.suffixes, view ? &*view : nullptr) ==
            dns_outcome::process_gone)
            return tick_outcome::process_gone;
    }
    return tick_outcome::done;
}

void run_main_loop(const watched_process& ks, const watched_process& pppd,
                   const monitor_config& config) {
    loop_counters counters;
    exit_watches watches;
    const process_watch_view view{ks, pppd, watches};
    for (;;) {
        if (monitor_tick(counters, ks, pppd, config, &watches) == tick_outcome::process_gone)
            handle_process_end(ks, pppd);
        // The wait follows the work: a slow repair stretches the tick, and
        // missed time is not caught up. It ends early only to look at a
        // process that has ended, which leaves the counters alone.
        const monotonic_time deadline = monotonic_now() + std::chrono::seconds(1);
        while (wait_for_processes(view, deadline) == wait_outcome::process_gone)
            handle_process_end(ks, pppd);
    }
}
