// What the monitor watches, gathered once at start-up from the pid files and
// the environment. The strings are the environment's own; nothing is copied.
#pragma once

#include "dns_settings.h"

struct monitor_config {
    unsigned int ks_pid = 0;    // 0: no client pid found
    unsigned int pppd_pid = 0;  // 0: no pppd pid found
    const char* dns1 = nullptr;
    const char* dns2 = nullptr;
    dns_suffix_list suffixes{};
};

// pppd's pid from "/var/run/<ifname>.pid", else from "/var/run/pppd/<ifname>.pid",
// else from "/var/run/pppd<ifname>.pid" (the layouts of pppd before 2.5, since
// 2.5.1 and of 2.5.0), or 0 when none yields one. An interface name holding a
// '/' gives 0: it must not steer the read elsewhere. A null name (IFNAME
// unset) gives 0; an empty one is used as it is. Pid 1 (init) is no pid, here
// and for the client.
unsigned int read_pppd_pid(const char* ifname);

// The client pid, pppd's pid (through IFNAME), DNS1, DNS2 and every one of
// DNSSUFFIX0 to DNSSUFFIX31, all read before anything is judged.
monitor_config read_monitor_config();

// The info entries that say what is watched. Suffixes are listed up to the
// first unset slot; later ones are watched all the same.
void log_watch_list(const monitor_config& config);
