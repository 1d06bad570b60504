// The DNS watch: keeps the tunnel's servers and search suffixes in
// "/etc/resolv.conf", asking the client to set them up again when something
// removed them, and pausing for 12 calls after three repairs in a row.
#pragma once

#include "dns_settings.h"
#include "tick_wait.h"

enum class dns_outcome {
    done,
    // A watched process probed gone while the resolver file was read: the
    // check ended without a verdict (no warning, no repair, counts kept).
    process_gone,
};

// One check of the resolver file (absent servers and suffixes are null).
// Before a repair it checks the shutdown flag, so it may end the process.
// Keeps its pause and repair counts between calls, for the process's life.
// With a view of the watched processes, it looks at them between the
// chunks of a large file, and waits for the repair command together with
// them (a death then is handled as between ticks, see repair_command.h).
dns_outcome test_dns(const char* dns1, const char* dns2, const dns_suffix_list& suffixes,
                     const process_watch_view* view = nullptr);
