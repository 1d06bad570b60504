#include "start_up.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "fd_io.h"

#ifndef KS_PROJECT_VERSION
#error "KS_PROJECT_VERSION must name the project's version"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: ksMonitor\n"
    "Watchdog for the PPP link of a Kestrun VPN tunnel. The client or a pppd\n"
    "ip-up hook starts it once the link is up; it detaches into the background,\n"
    "ends pppd when the client dies, has the client restore the tunnel's DNS\n"
    "settings in /etc/resolv.conf, and stops when its shutdown flag file\n"
    "/var/run/com.valdrane.kestrun.ksMonitor no longer holds 1.\n"
    "\n"
    "It is configured through its environment alone: IFNAME (the PPP interface),\n"
    "DNS1, DNS2, DNSSUFFIX0 to DNSSUFFIX31 (what to watch), KSLOGPRIORITY (log\n"
    "level), HOME, SUDO_UID, SUDO_GID (the log file's place and owner).\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "Each is read only alone. Any other argument that begins with '-' is\n"
    "refused (status 64) and nothing else happens; other arguments are ignored.\n"
    "\n"
    "See ksMonitor(8).\n";

// sysexits.h's EX_USAGE: the command was used incorrectly.
constexpr int kUsageStatus = 64;

std::optional<int> answer_alone(std::string_view option) {
    if (option == "--help") {
        kestrun::ignore_result(std::fputs(kUsage, stdout));  // see the flush below
    } else if (option == "--version") {
        kestrun::ignore_result(std::fputs("ksMonitor " KS_PROJECT_VERSION "\n", stdout));
    } else {
        return std::nullopt;
    }
    kestrun::ignore_result(std::fflush(stdout));  // the status is 0 whatever became of the text
    return 0;
}

}  // namespace

std::optional<int> answer_lone_option(int argc, const char* const* argv) {
    if (argc == 2 && argv[1] != nullptr) {
        if (const auto status = answer_alone(argv[1])) return status;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (argv[i][0] != '-') continue;
        // stderr is unbuffered: the two lines need no flush, and the status
        // is 64 whatever became of them.
        kestrun::ignore_result(
            std::fprintf(stderr, "ksMonitor: unrecognised option '%s'\n", argv[i]));
        kestrun::ignore_result(std::fputs(kUsage, stderr));
        return kUsageStatus;
    }
    return std::nullopt;
}

void close_inherited_on_exec() {
    // Linux 5.11 and later mark the whole range in one call.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    // Older kernels: one descriptor at a time, as /proc lists them. Without
    // the list nothing more can be done; start-up goes on.
    kestrun::ignore_result(kestrun::for_each_open_fd(3, [](int fd) {
        const int flags = fcntl(fd, F_GETFD);
        // A failure leaves that descriptor as it was; the others still get marked.
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
            kestrun::ignore_result(fcntl(fd, F_SETFD, flags | FD_CLOEXEC));
    }));
}
