// The running-client check: the client keeps its pid in /tmp/kestrun.pid
// (possibly stale), and a live client is recognised by its command line.

#include <fcntl.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "byte_stream.h"
#include "command_line.h"
#include "regular_file.h"
#include "uninstall_kestrun.h"

namespace {

// The command line of process pid, its arguments joined with no separator,
// at most 1023 characters. Once a command line has been read, every later
// call returns it whatever pid it is given (the program asks only once).
const char* get_process_name_by_pid(int pid) {
    static char name[1024];            // first command line read, kept for the process lifetime
    static char procFsFileName[1024];  // "/proc/<pid>/cmdline" of that read
    if (name[0] != '\0') return name;

    (void)std::snprintf(procFsFileName, sizeof procFsFileName, "/proc/%d/cmdline", pid);
    const kestrun::unique_fd fd(::open(procFsFileName, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return name;

    (void)uninstall::join_arguments(fd.get(), name, sizeof name);
    return name;
}

bool is_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// An unsigned decimal number at the start of the file, after any white
// space; whatever follows it is ignored. A sign, no digit at all, or a value
// beyond unsigned range gives nothing.
std::optional<unsigned> read_pid(int fd) {
    uninstall::ByteStream in(fd);
    auto c = in.next();
    while (c && is_space(*c)) c = in.next();
    unsigned long long value = 0;
    bool any_digit = false;
    for (; c && *c >= '0' && *c <= '9'; c = in.next()) {
        value = value * 10 + static_cast<unsigned>(*c - '0');
        if (value > UINT_MAX) return std::nullopt;
        any_digit = true;
    }
    if (!any_digit) return std::nullopt;
    return static_cast<unsigned>(value);
}

}  // namespace

std::optional<unsigned> running_client_pid() {
    // O_NOFOLLOW: /tmp is writable by everyone, and the client writes a plain
    // file there; a symbolic link is not its pid file.
    auto fd = uninstall::open_regular_file("/tmp/kestrun.pid", O_NOFOLLOW);
    if (!fd.ok()) return std::nullopt;
    const auto pid = read_pid(fd.get());
    fd.reset();
    if (!pid) return std::nullopt;

    // A pid beyond INT_MAX formats as a negative number: no such /proc entry,
    // so no command line, as for any process that has ended.
    const char* cmdline = get_process_name_by_pid(static_cast<int>(*pid));
    if (std::strstr(cmdline, "kestRun") || std::strstr(cmdline, "Kestrun")) return pid;
    return std::nullopt;
}
