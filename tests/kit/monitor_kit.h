// Helpers shared by the ksMonitor suites (in-process and black box): the
// stand-ins, the log file as a list of entries, and running code that may
// end its process in a forked child. For use inside ks_sandbox only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "log_entries.h"
#include "testkit.h"

namespace kstest::monitor {

using namespace std::chrono_literals;

inline constexpr const char* kPppdRecord = "/tmp/pppd.signals";
inline constexpr const char* kClientRecord = "/tmp/client.signals";
inline constexpr const char* kRepairRecord = "/tmp/kestRun.calls";

// "category priority message" of each entry of the default log (ReadLog),
// for comparing whole logs.
std::vector<std::string> LogLines(const std::vector<LogEntry>& entries);
std::vector<std::string> LogLines();
// The same without the log facility's own entries (its start-up note and
// its "Changed ... log priority ..." entries): what the caller logged.
std::vector<std::string> CallerLogLines();
// How many entries have a message starting with the text.
int CountEntries(const std::string& message_start);
bool LogHas(const std::string& message);

// The stand-in /usr/sbin/kestRun, which records each call in kRepairRecord
// and rewrites /etc/resolv.conf from its environment on "--setup-dns".
void InstallRepairStandin();
// The stand-ins' signal records ("<signal> <sender>" lines), "" when none.
std::string Record(const std::string& path);
// Lines in a record file.
int RecordLines(const std::string& path);

// Start the stand-ins and wait until their pid files name them.
pid_t StartPppd(const std::string& ifname = "ppp0", const std::string& record = kPppdRecord);
pid_t StartClient(const std::string& record = kClientRecord);
// Our children named ksMonitor (zombies too): a monitor after detaching,
// when we are a child subreaper.
std::vector<pid_t> MonitorChildren();

// Runs body in a forked child: whatever it exits with, and whatever state
// it builds (the DNS watch's counters), stays there.
struct ChildOutcome {
    bool returned = false;  // body came back (the child then ends on its own)
    int status = -1;        // the wait status otherwise
    bool exited_with(int code) const;
};
ChildOutcome RunInChild(const std::function<void()>& body,
                        std::chrono::milliseconds timeout = 10000ms);

}  // namespace kstest::monitor
