// ksMonitor: watches one tunnel's client, pppd and DNS settings until the
// shutdown flag is cleared or one of the processes ends. Configured through
// the environment (IFNAME, DNS1, DNS2, DNSSUFFIX0..31, KSLOGPRIORITY); of
// the command line it answers a lone --help or --version, refuses any other
// option with status 64 and ignores every other argument.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detach.h"
#include "ignore_result.h"
#include "ksProcUtils.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "kslog_trust.h"
#include "log_queue.h"
#include "main_loop.h"
#include "monitor_config.h"
#include "process_watch.h"
#include "repair_command.h"
#include "start_up.h"

int main(int argc, char** argv) {
    // Before anything else: a person asking must not set up the log, rewrite
    // the shared flag file or start a second monitor.
    if (const auto status = answer_lone_option(argc, argv)) return *status;
    // From here on, nothing the starter left open reaches the repair command.
    close_inherited_on_exec();
    // A file size limit (LimitFSIZE=, ulimit -f) must cut a log write short,
    // never kill the watchdog.
    ignore_file_size_signal();

    // The client's user may own the log and its links: trusted from the start.
    kestrun::kslog::kslogTrustClientProcess(sslvpn_get_kestrun_pid());
    kslogInit();
    init_ks_monitor_flag();
    // Exit handlers run in reverse order: the flag file goes first, at once;
    // then queued entries get up to a second; then kslogInit's clean-up.
    kestrun::ignore_result(std::atexit(finish_log_writer));  // without it the queue is dropped
    kestrun::ignore_result(std::atexit(ksmonitor_atexit));   // without it the flag file stays

    const monitor_config config = read_monitor_config();
    if (config.ks_pid == 0) {
        kestrun::ignore_result(
            std::fputs("Couldn't find Kestrun pid; ksMonitor exiting\n", stderr));
        std::exit(1);
    }
    if (config.pppd_pid == 0) {
        kestrun::ignore_result(std::fputs("Couldn't find pppd pid; ksMonitor exiting\n", stderr));
        std::exit(2);
    }

    // Taken before detaching, so the processes are pinned as soon as their
    // numbers are known; the descriptors stay out of the standard streams.
    const watched_process ks = watch_process(static_cast<int>(config.ks_pid));
    const watched_process pppd = watch_process(static_cast<int>(config.pppd_pid));

    if (detach_into_background() != 0) {
        const char* reason = std::strerror(errno);
        kestrun::ignore_result(std::fprintf(stderr, "ERROR: daemon: %s\n", reason));
        KSLOG_IF_ENABLED(KSLOG_ERROR, KSLOG_GENERAL, "ksMonitor failure; daemon: %s", reason);
        std::exit(3);
    }

    // From here on, entries go through the writer thread (after the fork:
    // only the calling thread survives one). Without it they are written
    // at once, as before.
    kestrun::ignore_result(start_log_writer());
    log_watch_list(config);
    run_main_loop(ks, pppd, config);
}
