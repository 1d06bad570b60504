#include "running_client.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "command_line.h"
#include "fd_io.h"
#include "judged_open.h"
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
    // within the same head.
    char buf[kPidFileLimit];
    // A read error ends the file: the digits before it are the number.
    const std::string_view head(buf, kestrun::read_head(fd, buf, sizeof buf));
    const auto number =
        kestrun::leading_decimal<unsigned>(head, {.skip_space = true, .plus_sign = true});
    // Digits up to the end of a full head may go on beyond it.
    if (number.end == head.size() && head.size() == kPidFileLimit) return std::nullopt;
    return number.value;
}

}  // namespace uninstall

std::optional<unsigned> running_client_pid() {
    // Judged before it is opened: /tmp is writable by everyone, and the
    // client writes a plain file there with one name. A symbolic link, a
    // FIFO, socket, device or directory is no pid file and is never opened;
    // nor is a second name of a file, which could be another user's handle
    // on a file of root's. Any owner will do: the client may run as any
    // user, and the worst a stranger's file can do is refuse the uninstall,
    // which naming any process "kestRun" does as well.
    auto fd = uninstall::open_judged_for_reading(AT_FDCWD, "/tmp/kestrun.pid", {.any_owner = true});
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
