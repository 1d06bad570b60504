#include "running_client.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <span>

#include "command_line.h"
#include "fd_io.h"
#include "parse_decimal.h"

namespace {

// The command line of process pid, its arguments joined with no separator,
// at most 1023 characters. Once a command line has been read, every later
// call returns it whatever pid it is given (the program asks only once).
const char* get_process_name_by_pid(int pid) {
    static char name[1024];            // first command line read, kept for the process lifetime
    static char procFsFileName[1024];  // "/proc/<pid>/cmdline" of that read
    if (name[0] != '\0') return name;

    kestrun::ignore_result(  // always fits
        std::snprintf(procFsFileName, sizeof procFsFileName, "/proc/%d/cmdline", pid));
    const kestrun::unique_fd fd(::open(procFsFileName, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return name;

    // A command line cut short is judged as far as it goes.
    kestrun::ignore_result(uninstall::join_arguments(fd.get(), name, sizeof name));
    return name;
}

}  // namespace

namespace uninstall {

std::optional<unsigned> read_client_pid(int fd) {
    // Grammar: white space skipped, then one '+' before a digit, then
    // decimal digits up to UINT_MAX; whatever follows is ignored, and a
    // '-' is no number. The support library reads its pid files so too,
    // but within a 4 KiB head; this file is read as far as the number goes,
    // however long that is.
    kestrun::DecimalReader<unsigned> number({.skip_space = true, .plus_sign = true});
    char buf[4096];
    // A read error ends the file: the digits before it are the number.
    kestrun::ignore_result(kestrun::read_chunks(fd, buf, [&](std::span<char> bytes) {
        for (const char c : bytes)
            if (!number.take(c)) return false;
        return true;
    }));
    return number.value();
}

}  // namespace uninstall

std::optional<unsigned> running_client_pid() {
    // Not through a link: /tmp is writable by everyone, and the client
    // writes a plain file there; a symbolic link is not its pid file. A
    // FIFO, device or directory there is no pid file either.
    auto fd = kestrun::open_checked("/tmp/kestrun.pid", {});
    if (!fd.ok()) return std::nullopt;
    const auto pid = uninstall::read_client_pid(fd.get());
    fd.reset();
    if (!pid) return std::nullopt;

    // A pid beyond INT_MAX formats as a negative number: no such /proc entry,
    // so no command line, as for any process that has ended.
    const char* cmdline = get_process_name_by_pid(static_cast<int>(*pid));
    if (std::strstr(cmdline, "kestRun") || std::strstr(cmdline, "Kestrun")) return pid;
    return std::nullopt;
}
