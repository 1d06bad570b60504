// The monitor's log entries, kept off its watch path.
//
// Once the monitor has detached, an entry is formatted where it is made
// (after the level check) into a fixed slot of a bounded ring in memory, and
// a writer thread of its own hands it to the log facility, which stamps it
// under the file's lock as it writes it. So a log whose file system stops
// answering (a writer stuck in the kernel holding the file's inode lock)
// holds up that thread alone: the flag check, the probes and pppd's SIGTERM
// go on. Before the writer starts (start-up failures, the daemon error, and
// processes that never start it) entries are written at once, as the log
// facility always did.
#pragma once

#include <cstddef>

#include "kslog.h"

// Entries the ring holds while the writer is held up; past it new entries
// are dropped and counted.
inline constexpr size_t kLogQueueEntries = 1024;
// The text a slot holds in place (a slot is 256 bytes, the ring 256 KiB,
// touched only as far as it is used); a longer entry takes memory of its
// own. The monitor's entries are mostly well below this.
inline constexpr size_t kLogSlotText = 232;

// The entry written before the first entry that got through after a loss
// (warn, category general): "<n> log entries were lost while the log file
// could not be written".
inline constexpr const char* kLostEntriesFormat =
    "%u log entries were lost while the log file could not be written";

// Formats the entry and queues it for the writer, or writes it at once when
// no writer runs. Call through MONITOR_LOG, which checks the level first.
// Keeps errno as the caller had it. Never blocks: a full ring drops it.
void monitor_log(int priority, int category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Starts the writer thread: after detaching, since fork keeps only the
// calling thread. False when the thread cannot be made; entries are then
// written at once, as before.
bool start_log_writer();

// Exit handler, run after the flag file is gone and before the log
// facility's clean-up: gives the queued entries up to one second to reach
// the file, then tells the writer to take no more. Nothing when no writer
// was started.
void finish_log_writer();

// The log-if-enabled rule for the monitor's entries.
#define MONITOR_LOG(priority, category, ...)                  \
    do {                                                      \
        if (kslogGetPriority(category) <= (int)(priority))    \
            monitor_log((priority), (category), __VA_ARGS__); \
    } while (0)

// Debug entries start with the calling function's name and a colon.
#define MONITOR_DEBUG_FN(category, format, ...) \
    MONITOR_LOG(KSLOG_DEBUG, (category), "%s:" format, __func__, ##__VA_ARGS__)
