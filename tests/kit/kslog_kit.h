// Helpers shared by the log facility's suites: the facility's names and
// sizes, and looking at what stands at a name (log_entries.h reads the
// entries back).
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log_entries.h"
#include "testkit.h"

namespace kstest::kslog {

inline const std::string kLink = "/tmp/kestRun.log";
inline constexpr off_t kRollSize = 10485760;

// Status of the name itself (a link is not followed).
inline struct stat Lstat(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) st.st_ino = 0;
    return st;
}

inline std::string LinkTarget(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "<no link>" : std::string(buf, static_cast<size_t>(n));
}

// Exactly size bytes of whole lines, none of them an entry.
inline std::string Filler(size_t size) {
    std::string text;
    text.reserve(size);
    while (text.size() + 64 <= size) text.append(63, 'f').push_back('\n');
    if (text.size() < size) text.append(size - text.size() - 1, 'f').push_back('\n');
    return text;
}

// A log of the product of exactly size bytes: one entry, then filler lines.
// The owner fix gives such a file to the SUDO_UID user; a file that is no
// log of the product keeps its owner and gets no entry.
inline std::string LogFiller(size_t size) {
    const std::string head = "01/02/2026 03:04:05.006 [general info        1] filler\n";
    return head + Filler(size - head.size());
}

// True when the process has the file open and sleeps in the poll of a
// taken lock (the facility polls a lock rather than block on it).
inline bool PollsLockOn(pid_t pid, const std::string& path) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const auto call = ReadFile(proc + "/syscall").value_or("");
    const long number = call.empty() ? -1 : std::atol(call.c_str());
    if (number != SYS_clock_nanosleep && number != SYS_nanosleep) return false;
    for (int fd = 3; fd < 64; ++fd)
        if (LinkTarget(proc + "/fd/" + std::to_string(fd)) == path) return true;
    return false;
}

// A symbolic link owned by another user (root may hand links out with lchown).
inline bool MakeLink(const std::string& target, const std::string& name, uid_t owner = 0) {
    return symlink(target.c_str(), name.c_str()) == 0 && lchown(name.c_str(), owner, owner) == 0;
}

}  // namespace kstest::kslog
