// Whose links and files this process trusts (see Trust).
#include "kslog_trust.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "fd_io.h"
#include "kslog_internal.h"
#include "parse_decimal.h"

namespace kestrun::kslog {

namespace {

// The tunnel's client user, as the monitor named it; kNoUid elsewhere.
uid_t client_user = kNoUid;

// /proc/<pid>/status is about 1.5 KiB; its Uid line comes early.
constexpr size_t kStatusLimit = 4096;
// An environment is at most a few hundred KiB; a longer one is not read on.
constexpr size_t kEnvironLimit = 1 << 20;

// A /proc file of the process, opened to be read. Its owner is the
// process's user, who cannot replace it: /proc is the kernel's, so no check
// beyond the open is needed.
unique_fd open_proc(unsigned pid, const char* file) {
    char path[64];
    const int n = std::snprintf(path, sizeof path, "/proc/%u/%s", pid, file);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return unique_fd();
    return open_nonblocking(AT_FDCWD, path, {});
}

// The real user of the process: the first number of its "Uid:" line.
uid_t real_user(unsigned pid) {
    const unique_fd fd = open_proc(pid, "status");
    if (!fd.ok()) return kNoUid;
    char buf[kStatusLimit];
    const size_t got = read_head(fd.get(), buf, sizeof buf);
    const std::string_view status(buf, got);
    const size_t line = status.find("\nUid:");
    if (line == std::string_view::npos) return kNoUid;
    // (No substr: its range check would reach the C++ runtime.)
    const std::string_view rest(buf + line + 5, got - line - 5);
    const auto uid = leading_decimal<std::uint32_t>(rest, {.skip_space = true});
    return uid.value ? static_cast<uid_t>(*uid.value) : kNoUid;
}

// SUDO_UID in the process's environment, read a chunk at a time: entries
// end with '\0', and the one wanted starts with "SUDO_UID=". Its leading
// digits are read as this process's own SUDO_UID is (sudo_id); none, or
// too many for an id, is no user.
uid_t sudo_user_of(unsigned pid) {
    const unique_fd fd = open_proc(pid, "environ");
    if (!fd.ok()) return kNoUid;
    static constexpr std::string_view kKey = "SUDO_UID=";
    size_t matched = 0;     // bytes of kKey matched at the current entry's start
    bool in_value = false;  // past the key: reading digits
    bool skipping = false;  // the current entry is another variable
    bool found = false;
    DecimalReader<std::uint32_t> number({});
    char buf[4096];
    const ReadEnd end = read_chunks(
        fd.get(), std::span<char>(buf),
        [&](std::span<char> chunk) {
            for (const char c : chunk) {
                if (in_value) {
                    if (number.take(c)) continue;
                    found = true;  // the digits are over (or too many)
                    return false;
                }
                if (c == '\0') {
                    matched = 0;
                    skipping = false;
                    continue;
                }
                if (skipping) continue;
                if (c == kKey[matched]) {
                    if (++matched == kKey.size()) in_value = true;
                } else {
                    skipping = true;
                }
            }
            return true;
        },
        kEnvironLimit);
    if (!found && !(in_value && end == ReadEnd::end)) return kNoUid;
    const auto value = number.value();
    return value ? static_cast<uid_t>(*value) : kNoUid;
}

}  // namespace

void kslogTrustClientProcess(unsigned pid) {
    if (pid == 0) {
        client_user = kNoUid;
        return;
    }
    uid_t user = real_user(pid);
    if (user == 0) user = sudo_user_of(pid);
    client_user = user;
}

Trust current_trust() {
    Trust trust;
    trust.self = geteuid();
    if (trust.self == 0) trust.sudo = sudo_id("SUDO_UID");
    trust.client = client_user;
    return trust;
}

}  // namespace kestrun::kslog
