#include "ksProcUtils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "unique_fd.h"

namespace {

// Pid and flag files are a few bytes; a number starts within the first
// block or not at all (white space before it is bounded by this read).
constexpr size_t kReadLimit = 4096;

// The file's first bytes, or nothing when it cannot be opened. O_NONBLOCK:
// a FIFO planted at the name must read as empty, not hang the caller.
std::optional<std::string_view> read_head(const char* path, char (&buf)[kReadLimit]) {
    if (path == nullptr) return std::nullopt;
    kestrun::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.ok()) return std::nullopt;
    size_t got = 0;
    while (got < sizeof buf) {
        const size_t wanted = sizeof buf - got;
        const ssize_t n = read(fd.get(), buf + got, wanted);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        // A regular file gives less than asked for only at its end: stopping
        // here spares the read that would return 0, one call on every tick
        // of the monitor, which reads its flag file through here.
        if (static_cast<size_t>(n) < wanted) break;
    }
    return std::string_view(buf, got);
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view skip_space(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

// Reads the number at the start of the file's head (white space skipped, a
// '+' taken as the usual sign of a positive number). A value that does not
// fit T is no value at all, never a wrapped or clamped one; so is a number
// that runs to the end of a full head, since its digits may go on beyond it.
template <typename T>
std::optional<T> leading_number(std::string_view head) {
    auto text = skip_space(head);
    // Only a digit may follow the '+': "+-3" is no number at all.
    if (text.size() > 1 && text.front() == '+' && text[1] >= '0' && text[1] <= '9')
        text.remove_prefix(1);
    T value{};
    const char* const last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    if (end == last && head.size() == kReadLimit) return std::nullopt;
    return value;
}

}  // namespace

extern "C" unsigned int get_pid_from_file(const char* path) {
    char buf[kReadLimit];
    const auto head = read_head(path, buf);
    if (!head) return 0;
    // An unsigned parse takes no '-': a negative pid would address a process
    // group, so it reads as no pid, and so does one above the pid range.
    const auto pid = leading_number<std::uint32_t>(*head);
    if (!pid || *pid > static_cast<std::uint32_t>(INT_MAX)) return 0;
    return *pid;
}

extern "C" int get_int_from_file(const char* path) {
    char buf[kReadLimit];
    const auto head = read_head(path, buf);
    if (!head) return 0;
    return leading_number<int>(*head).value_or(0);
}

extern "C" unsigned int sslvpn_get_kestrun_pid(void) {
    return get_pid_from_file("/etc/ppp/kestrun.pid");
}
