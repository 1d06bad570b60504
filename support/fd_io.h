// Descriptor I/O, written once for the library and both programs: the
// EINTR retry, the read and write loops built on it, the open that cannot
// block followed by a check of what it opened, and the walk of this
// process's open descriptors. Headers only (kestrun::base), so the
// programs share this code without sharing a library.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

#include "ignore_result.h"
#include "parse_decimal.h"
#include "unique_fd.h"

namespace kestrun {

// ---- Retrying and the loops

// Calls call() again for as long as it fails with EINTR (it returns -1 and
// sets errno): a signal that cut a read, a write, a lock or a wait short
// means nothing to any caller here. Never for close (see unique_fd).
template <typename Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

// One read and one write, each retried on EINTR; otherwise what the call
// returns.
inline ssize_t read_some(int fd, void* buf, size_t len) {
    return retry_on_eintr([&] { return ::read(fd, buf, len); });
}

inline ssize_t write_some(int fd, const void* data, size_t len) {
    return retry_on_eintr([&] { return ::write(fd, data, len); });
}

// Writes all len bytes, in as many calls as it takes. False on an error
// (errno as write left it) or on a write that took nothing.
[[nodiscard]] inline bool write_all(int fd, const void* data, size_t len) {
    const auto* at = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = write_some(fd, at, len);
        if (n <= 0) return false;
        at += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Fills buf from fd until it is full or the file ends, and returns how many
// bytes it holds. For regular files, which give less than asked for only at
// their end: a short read ends the loop, sparing the read that would return
// 0. A read error ends it too, with what came before.
inline size_t read_head(int fd, char* buf, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        const size_t wanted = cap - got;
        const ssize_t n = read_some(fd, buf + got, wanted);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < wanted) break;
    }
    return got;
}

// How read_chunks ended.
enum class ReadEnd {
    end,         // the file ended
    error,       // a read failed (errno says why)
    stopped,     // the sink asked for nothing more
    over_limit,  // the file went on past the limit
};

inline constexpr size_t kNoLimit = SIZE_MAX;

// Reads fd to its end through buf, handing the bytes of each read to
// sink(std::span<char>) as they come; the sink may change them, and may
// return false to stop (a sink that returns nothing reads to the end).
// With a limit, reads ask for no more than one byte past it, and a file
// that goes on past it ends as over_limit without its last read reaching
// the sink: at most limit + 1 bytes are read, however long the file.
template <typename Sink>
[[nodiscard]] ReadEnd read_chunks(int fd, std::span<char> buf, Sink&& sink,
                                  size_t limit = kNoLimit) {
    size_t total = 0;
    for (;;) {
        const size_t wanted =
            limit == kNoLimit ? buf.size() : std::min(buf.size(), limit + 1 - total);
        const ssize_t n = read_some(fd, buf.data(), wanted);
        if (n < 0) return ReadEnd::error;
        if (n == 0) return ReadEnd::end;
        total += static_cast<size_t>(n);
        if (total > limit) return ReadEnd::over_limit;
        const auto chunk = buf.first(static_cast<size_t>(n));
        if constexpr (std::is_void_v<std::invoke_result_t<Sink&, std::span<char>>>) {
            sink(chunk);
        } else if (!sink(chunk)) {
            return ReadEnd::stopped;
        }
    }
}

// ---- Opening and checking

// The owner of OpenRule that accepts any owner.
inline constexpr uid_t kAnyOwner = static_cast<uid_t>(-1);

// How a caller opens a path and what it accepts there. The callers differ
// on purpose, and each states its choices (designated initializers).
struct OpenRule {
    // O_RDONLY, O_WRONLY | O_APPEND, O_PATH | O_DIRECTORY...; O_CREAT (and
    // O_EXCL) where the caller may create the file.
    int access = O_RDONLY;
    mode_t create_mode = 0;  // the mode of a file O_CREAT makes
    // The last component may be a symbolic link; otherwise O_NOFOLLOW, for
    // names in places others can write.
    bool follow_link = false;
    mode_t type = S_IFREG;  // the kind of file the descriptor must be
    // No other name may share the file: a hard link at the name would carry
    // what is written, or a mode or owner given, to a file that is not ours.
    bool single_link = false;
    uid_t owner = kAnyOwner;  // the one owner accepted
};

// Every such open is close-on-exec, takes no controlling terminal, and
// cannot block: opening a FIFO for reading would wait for a writer (and a
// device's open may wait too) before the check could tell what it is. On a
// regular file O_NONBLOCK changes nothing about the reads that follow;
// with O_PATH the kernel ignores it.
constexpr int open_flags(const OpenRule& rule) {
    return rule.access | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (rule.follow_link ? 0 : O_NOFOLLOW);
}

// The open alone, for callers that check later on a status of their own
// or not at all (a value file read in the monitor's every tick, a /proc
// file of a process, cost no more than their read).
// dir is AT_FDCWD or a directory the path is relative to.
inline unique_fd open_nonblocking(int dir, const char* path, const OpenRule& rule) {
    return unique_fd(::openat(dir, path, open_flags(rule), rule.create_mode));
}

// Whether an opened file's status is what the rule accepts.
constexpr bool fits(const struct stat& st, const OpenRule& rule) {
    return (st.st_mode & S_IFMT) == rule.type && (!rule.single_link || st.st_nlink == 1) &&
           (rule.owner == kAnyOwner || st.st_uid == rule.owner);
}

// Opens path as the rule says and checks, on the descriptor, that it is
// what the rule accepts; the status goes to *seen when asked for. An empty
// descriptor on any failure, with errno set: EINVAL when the file opened
// is not one the rule accepts.
inline unique_fd open_checked(int dir, const char* path, const OpenRule& rule,
                              struct stat* seen = nullptr) {
    unique_fd fd = open_nonblocking(dir, path, rule);
    if (!fd.ok()) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return unique_fd();
    if (!fits(st, rule)) {
        errno = EINVAL;
        return unique_fd();
    }
    if (seen != nullptr) *seen = st;
    return fd;
}

inline unique_fd open_checked(const char* path, const OpenRule& rule, struct stat* seen = nullptr) {
    return open_checked(AT_FDCWD, path, rule, seen);
}

// ---- This process's descriptors

// Calls each(fd) for every descriptor of this process from lowest up, as
// /proc/self/fd lists them, leaving out the walk's own; false when the list
// cannot be read. For kernels without close_range: each may change flags
// on the descriptor, but closing it is for after the walk.
template <typename Each>
bool for_each_open_fd(int lowest, Each&& each) {
    struct DirCloser {
        void operator()(DIR* dir) const { ignore_result(::closedir(dir)); }  // nothing to do
    };
    const std::unique_ptr<DIR, DirCloser> dir(::opendir("/proc/self/fd"));
    if (!dir) return false;
    const int own = ::dirfd(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
        // Digits alone, the whole name: "." and ".." are no descriptors.
        const std::string_view name = entry->d_name;
        const auto fd = leading_decimal<int>(name, {});
        if (!fd.value || fd.end != name.size() || *fd.value < lowest || *fd.value == own) continue;
        each(*fd.value);
    }
    return true;
}

}  // namespace kestrun
