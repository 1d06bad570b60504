#include "dns_watch.h"

#include <cstdlib>
#include <optional>
#include <span>
#include <utility>

#include "fd_io.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "resolver_scan.h"

namespace {

constexpr const char* kResolverFile = "/etc/resolv.conf";
constexpr const char* kRepairCommand = "/usr/sbin/kestRun --setup-dns";
constexpr int kRepairsBeforePause = 3;
constexpr int kPauseCalls = 12;

const char* or_null_text(const char* value) {
    return value ? value : "<NULL>";
}

// What the resolver file mentions, or nothing when it cannot be opened or
// is no regular file. A FIFO would stop the only thread until someone wrote
// to it, a device such as /dev/zero never ends, and a directory reads as
// nothing at all and would start a repair: all count as unreadable. The
// name is often a link (resolvconf, systemd-resolved), and any owner's
// file is read.
std::optional<resolver_findings> read_resolver_file(const char* dns1, const char* dns2,
                                                    const dns_suffix_list& suffixes) {
    const kestrun::unique_fd fd = kestrun::open_checked(kResolverFile, {.follow_link = true});
    if (!fd.ok()) return std::nullopt;
    resolver_scan scan(dns1, dns2, suffixes);
    char chunk[8192];
    // A read error ends the file: it is judged by what it held so far, like
    // a file caught half written.
    kestrun::ignore_result(kestrun::read_chunks(fd.get(), chunk, [&](std::span<char> bytes) {
        scan.feed({bytes.data(), bytes.size()});
    }));
    return scan.finish();
}

// Warns about every configured item that is missing; true when any is.
bool warn_missing(const char* dns1, const char* dns2, const dns_suffix_list& suffixes,
                  const resolver_findings& found) {
    bool missing = false;
    const std::pair<const char*, bool> servers[] = {{dns1, found.server1}, {dns2, found.server2}};
    for (const auto& [server, present] : servers) {
        if (!server || present) continue;
        KSLOG_IF_ENABLED(KSLOG_WARN, KSLOG_DNS, "DNS server %s is no longer configured locally",
                         server);
        missing = true;
    }
    for (int slot = 0; slot < kDnsSuffixSlots; ++slot) {
        if (!suffixes[slot] || found.suffixes[slot]) continue;
        KSLOG_IF_ENABLED(KSLOG_WARN, KSLOG_DNS, "DNS suffix \"%s\" is no longer configured locally",
                         suffixes[slot]);
        missing = true;
    }
    return missing;
}

}  // namespace

void test_dns(const char* dns1, const char* dns2, const dns_suffix_list& suffixes) {
    // Calls left in the current pause, the one that ends it included.
    static int resume_countdown = 0;
    // Repairs since the last check that found everything in place.
    static int times_fixed = 0;

    if (resume_countdown > 0) {
        --resume_countdown;
        if (resume_countdown == 0)
            KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_DNS, "%s", "Resuming DNS monitoring");
        if (resume_countdown > 0) return;
    }

    KSLOG_DEBUG_FN(KSLOG_DNS, "Testing DNS servers: %s / %s", or_null_text(dns1),
                   or_null_text(dns2));
    const auto found = read_resolver_file(dns1, dns2, suffixes);
    if (!found) return;  // nothing to judge; the repair count stands
    KSLOG_DEBUG_FN(KSLOG_GENERAL, "DNS result: %d/%d/%d", found->server1 ? 1 : 0,
                   found->server2 ? 1 : 0, found->suffixes_found());

    if (!warn_missing(dns1, dns2, suffixes, *found)) {
        times_fixed = 0;
        return;
    }
    // The repair may take long; a monitor told to stop meanwhile must not
    // start one.
    assert_ks_monitor_flag();
    // Its exit status is not acted on: the next check tells whether the
    // repair worked.
    // NOLINTNEXTLINE(cert-env33-c): the client's repair command is a shell command line
    kestrun::ignore_result(std::system(kRepairCommand));
    ++times_fixed;
    if (times_fixed >= kRepairsBeforePause) {
        KSLOG_IF_ENABLED(KSLOG_WARN, KSLOG_DNS,
                         "Fixed DNS settings %d times in a row; giving up for 1 minute",
                         times_fixed);
        resume_countdown = kPauseCalls;
    }
}
