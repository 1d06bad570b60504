#include "start_up.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

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
    "Each is read only alone; any other arguments are ignored.\n"
    "\n"
    "See ksMonitor(8).\n";

struct DirCloser {
    void operator()(DIR* dir) const { (void)closedir(dir); }
};

}  // namespace

std::optional<int> answer_lone_option(int argc, const char* const* argv) {
    if (argc != 2 || argv[1] == nullptr) return std::nullopt;
    const std::string_view option = argv[1];
    if (option == "--help") {
        (void)std::fputs(kUsage, stdout);
    } else if (option == "--version") {
        (void)std::fputs("ksMonitor " KS_PROJECT_VERSION "\n", stdout);
    } else {
        return std::nullopt;
    }
    (void)std::fflush(stdout);  // the status is 0 whatever became of the text
    return 0;
}

void close_inherited_on_exec() {
    // Linux 5.11 and later mark the whole range in one call.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    // Older kernels: one descriptor at a time, as /proc lists them.
    const std::unique_ptr<DIR, DirCloser> dir(opendir("/proc/self/fd"));
    if (!dir) return;  // nothing more can be done; start-up goes on
    const int own = dirfd(dir.get());
    while (const dirent* entry = readdir(dir.get())) {
        int fd = -1;
        const char* end = entry->d_name + std::strlen(entry->d_name);
        const auto [at, error] = std::from_chars(entry->d_name, end, fd);
        if (error != std::errc{} || at != end || fd < 3 || fd == own) continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) (void)fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}
