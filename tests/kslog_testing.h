// Helpers shared by the log facility's suites: reading entries back out of
// a log file and looking at what stands at a name.
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "testkit.h"

namespace kslogtest {

inline const std::string kLink = "/tmp/kestRun.log";
inline constexpr off_t kRollSize = 10485760;

// "%s/.kestRun.log" under HOME (the sandbox's /tmp/home).
inline std::string DefaultLog() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.kestRun.log";
}

struct Entry {
    std::string category;  // as written, padded to 7
    std::string priority;  // as written, padded to 6
    long pid = 0;
    std::string message;  // the rest of the line, without its line end
};

// One line (without its line end) read as an entry; nothing if it is not one.
inline std::optional<Entry> ParseEntry(const std::string& line) {
    static const std::regex prefix(
        R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \[([a-z ]{7}) ([a-z ]{6}) ( {0,5}\d+)\] )");
    std::smatch m;
    if (!std::regex_search(line, m, prefix)) return std::nullopt;
    return Entry{m[1], m[2], std::stol(m[3]), m.suffix()};
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no line end>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The messages of a file's entries, in order; a line that is no entry shows
// up as "<not an entry> ..." so a comparison reports it.
inline std::vector<std::string> Messages(const std::string& path) {
    std::vector<std::string> messages;
    for (const auto& line : Lines(kstest::ReadFile(path).value_or(""))) {
        const auto entry = ParseEntry(line);
        messages.push_back(entry ? entry->message : "<not an entry> " + line);
    }
    return messages;
}

using kstest::Exists;

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

// True when the process has the file open and sleeps in the poll of a
// taken lock (the facility polls a lock rather than block on it).
inline bool PollsLockOn(pid_t pid, const std::string& path) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const auto call = kstest::ReadFile(proc + "/syscall").value_or("");
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

}  // namespace kslogtest
