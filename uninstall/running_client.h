// The running-client check, the uninstaller's first step: it refuses while
// a client process is running. The client keeps its pid in
// "/tmp/kestrun.pid" (possibly stale), and a live client is recognised by
// its command line.
#pragma once

#include <cstddef>
#include <optional>

// The refusal written to standard error while a client runs; %u is its pid.
inline constexpr const char kRunningClientMessage[] =
    "\nCannot uninstall Kestrun. There is an active Kestrun process running (PID:%u). "
    "Please terminate it and try uninstalling again.\n";

// The pid named by "/tmp/kestrun.pid" when that process's command line
// contains "kestRun" or "Kestrun"; nothing when the file is missing, a
// link, not a regular file, has a second name, holds no number, or names a
// process that has ended or runs another program.
std::optional<unsigned> running_client_pid();

namespace uninstall {

// The most of the pid file read: its number stands within this head.
inline constexpr size_t kPidFileLimit = 4096;

// The number at the start of the pid file on fd, within its first
// kPidFileLimit bytes: white space skipped, then an optional '+' and
// decimal digits, whatever follows ignored. Nothing for a '-', no digit at
// all, a value above UINT_MAX, or a number (or the white space before it)
// that runs to the end of a full head, since its digits may go on beyond
// it. At most kPidFileLimit bytes are read.
std::optional<unsigned> read_client_pid(int fd);

}  // namespace uninstall
