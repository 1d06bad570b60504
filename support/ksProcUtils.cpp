#include "ksProcUtils.h"

#include <fcntl.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fd_io.h"
#include "parse_decimal.h"

namespace {

// The client's pid file.
constexpr const char* kClientPidFile = "/etc/ppp/kestrun.pid";

// Pid and flag files are a few bytes; a number starts within the first
// block or not at all (white space before it is bounded by this read).
constexpr size_t kReadLimit = 4096;

// The file's first bytes, or nothing when it cannot be opened. Links are
// followed (pid files are the system's own). Not checked with fstat: a
// FIFO planted at the name reads as empty, since the open cannot block,
// and the monitor reads its flag file through here on every tick, where a
// regular file costs an open, one read and a close.
std::optional<std::string_view> file_head(const char* path, char (&buf)[kReadLimit]) {
    if (path == nullptr) return std::nullopt;
    const kestrun::unique_fd fd = kestrun::open_nonblocking(AT_FDCWD, path, {.follow_link = true});
    if (!fd.ok()) return std::nullopt;
    return std::string_view(buf, kestrun::read_head(fd.get(), buf, sizeof buf));
}

// The number at the start of the file's head. Grammar: white space
// skipped, then one '+' before a digit, or a '-' for a signed T, then
// decimal digits; whatever follows is ignored. A value that does not fit T
// is no value; so is a number that runs to the end of a full head, since
// its digits may go on beyond it.
template <typename T>
std::optional<T> leading_number(std::string_view head) {
    const auto number = kestrun::leading_decimal<T>(head, {.skip_space = true, .plus_sign = true});
    if (number.end == head.size() && head.size() == kReadLimit) return std::nullopt;
    return number.value;
}

}  // namespace

extern "C" unsigned int get_pid_from_file(const char* path) {
    char buf[kReadLimit];
    const auto head = file_head(path, buf);
    if (!head) return 0;
    // An unsigned number takes no '-': a negative pid would address a
    // process group, so it reads as no pid, and so does one above the pid
    // range.
    const auto pid = leading_number<std::uint32_t>(*head);
    if (!pid || *pid > static_cast<std::uint32_t>(INT_MAX)) return 0;
    return *pid;
}

extern "C" int get_int_from_file(const char* path) {
    char buf[kReadLimit];
    const auto head = file_head(path, buf);
    if (!head) return 0;
    return leading_number<int>(*head).value_or(0);
}

extern "C" unsigned int sslvpn_get_kestrun_pid(void) {
    return get_pid_from_file(kClientPidFile);
}
