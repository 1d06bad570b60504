#include "dns_watch.h"

#include <utility>

#include "dns_counters.h"
#include "fd_io.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "log_queue.h"
#include "repair_command.h"
#include "resolver_scan.h"

namespace {

constexpr const char* kResolverFile = "/etc/resolv.conf";

const char* or_null_text(const char* value) {
    return value ? value : "<NULL>";
}

// What reading the resolver file came to.
struct resolver_read {
    enum { judged, unreadable, process_gone } result;
    resolver_findings found;
};

// What the resolver file mentions. It counts as unreadable when it cannot
// be opened or is no regular file: a FIFO would stop the watch until
// someone wrote to it, a device such as /dev/zero never ends, and a
// directory reads as nothing at all and would start a repair. The name is
// often a link (resolvconf, systemd-resolved), and any owner's file is
// read. The file is judged as a stream, so a huge file or line costs no
// more memory than a small one; between chunks the watched processes are
// looked at (only after a full chunk: a file that fits one read costs no
// extra call), and a death ends the reading without a verdict.
resolver_read read_resolver_file(const char* dns1, const char* dns2,
                                 const dns_suffix_list& suffixes, const process_watch_view* view) {
    const kestrun::unique_fd fd = kestrun::open_checked(kResolverFile, {.follow_link = true});
    if (!fd.ok()) return {resolver_read::unreadable, {}};
    resolver_scan scan(dns1, dns2, suffixes);
    char chunk[8192];
    for (;;) {
        // A read error ends the file: it is judged by what it held so far,
        // like a file caught half written.
        const ssize_t got = kestrun::read_some(fd.get(), chunk, sizeof chunk);
        if (got <= 0) break;
        scan.feed({chunk, static_cast<size_t>(got)});
        if (static_cast<size_t>(got) < sizeof chunk) continue;  // likely the end: read once more
        if (view != nullptr && watched_process_gone(*view))
            return {resolver_read::process_gone, {}};
    }
    return {resolver_read::judged, scan.finish()};
}

// Warns about every configured item that is missing; true when any is.
bool warn_missing(const char* dns1, const char* dns2, const dns_suffix_list& suffixes,
                  const resolver_findings& found) {
    bool missing = false;
    const std::pair<const char*, bool> servers[] = {{dns1, found.server1}, {dns2, found.server2}};
    for (const auto& [server, present] : servers) {
        if (!server || present) continue;
        MONITOR_LOG(KSLOG_WARN, KSLOG_DNS, "DNS server %s is no longer configured locally", server);
        missing = true;
    }
    for (int slot = 0; slot < kDnsSuffixSlots; ++slot) {
        if (!suffixes[slot] || found.suffixes[slot]) continue;
        MONITOR_LOG(KSLOG_WARN, KSLOG_DNS, "DNS suffix \"%s\" is no longer configured locally",
                    suffixes[slot]);
        missing = true;
    }
    return missing;
}

}  // namespace

dns_outcome test_dns(const char* dns1, const char* dns2, const dns_suffix_list& suffixes,
                     const process_watch_view* view) {
    // The pause and repair counts, for the process's life.
    static dns_counters counters;

    const dns_call_start start = dns_begin_call(counters);
    if (start.resumes) MONITOR_LOG(KSLOG_INFO, KSLOG_DNS, "%s", "Resuming DNS monitoring");
    if (start.skipped) return dns_outcome::done;

    MONITOR_DEBUG_FN(KSLOG_DNS, "Testing DNS servers: %s / %s", or_null_text(dns1),
                     or_null_text(dns2));
    const resolver_read read = read_resolver_file(dns1, dns2, suffixes, view);
    if (read.result == resolver_read::process_gone) return dns_outcome::process_gone;
    if (read.result == resolver_read::unreadable) return dns_outcome::done;  // the count stands
    const resolver_findings& found = read.found;
    MONITOR_DEBUG_FN(KSLOG_GENERAL, "DNS result: %d/%d/%d", found.server1 ? 1 : 0,
                     found.server2 ? 1 : 0, found.suffixes_found());

    const bool missing = warn_missing(dns1, dns2, suffixes, found);
    dns_judged(counters, missing ? dns_verdict::something_missing : dns_verdict::all_present);
    if (!missing) return dns_outcome::done;
    // The repair may take long; a monitor told to stop meanwhile must not
    // start one.
    assert_ks_monitor_flag();
    // Its exit status is not acted on: the next check tells whether the
    // repair worked.
    run_repair_command(view);
    const dns_repair_outcome repaired = dns_repaired(counters);
    if (repaired.gives_up) {
        MONITOR_LOG(KSLOG_WARN, KSLOG_DNS,
                    "Fixed DNS settings %d times in a row; giving up for 1 minute",
                    repaired.times_fixed);
    }
    return dns_outcome::done;
}
