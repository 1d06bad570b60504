#include "monitor_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ignore_result.h"
#include "ksProcUtils.h"
#include "kslog.h"
#include "log_queue.h"

namespace {
// Init is never the client or pppd: a pid file naming it reads as no pid,
// or the client's death would have the monitor send init SIGTERM.
unsigned int watchable(unsigned int pid) {
    return pid == 1 ? 0 : pid;
}
}  // namespace

unsigned int read_pppd_pid(const char* ifname) {
    if (ifname == nullptr || std::strchr(ifname, '/') != nullptr) return 0;
    // Where pppd keeps its pid file: before 2.5 in /var/run itself; since
    // 2.5.1 by default in /var/run/pppd/; 2.5.0 left the '/' out. The first
    // that yields a pid wins, so a system of the old layout reads as before.
    for (const char* dir : {"/var/run/", "/var/run/pppd/", "/var/run/pppd"}) {
        char path[1024];
        // A longer name is cut to fit; the path still names a file there.
        kestrun::ignore_result(std::snprintf(path, sizeof path, "%s%s.pid", dir, ifname));
        if (const unsigned int pid = watchable(get_pid_from_file(path)); pid != 0) return pid;
    }
    return 0;
}

monitor_config read_monitor_config() {
    monitor_config config;
    config.ks_pid = watchable(sslvpn_get_kestrun_pid());
    config.pppd_pid = read_pppd_pid(std::getenv("IFNAME"));
    config.dns1 = std::getenv("DNS1");
    config.dns2 = std::getenv("DNS2");
    for (int slot = 0; slot < kDnsSuffixSlots; ++slot) {
        char name[32];
        kestrun::ignore_result(std::snprintf(name, sizeof name, "DNSSUFFIX%d", slot));  // fits
        config.suffixes[slot] = std::getenv(name);
    }
    return config;
}

void log_watch_list(const monitor_config& config) {
    MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "Monitoring processes:  ks=%d, pppd=%d",
                static_cast<int>(config.ks_pid), static_cast<int>(config.pppd_pid));
    for (const char* server : {config.dns1, config.dns2}) {
        if (server) MONITOR_LOG(KSLOG_INFO, KSLOG_DNS, "Monitoring nameserver: %s", server);
    }
    for (int slot = 0; slot < kDnsSuffixSlots && config.suffixes[slot]; ++slot)
        MONITOR_LOG(KSLOG_INFO, KSLOG_DNS, "Monitoring DNS suffix: %s", config.suffixes[slot]);
}
