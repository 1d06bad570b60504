// The log file itself: appending under the lock, rotation, the owner fix.
//
// Root and user processes of the product share the file, and its name may
// sit in a directory others can write, so the file is only ever reached
// through a descriptor opened without following a link (O_NOFOLLOW) and
// without blocking (O_NONBLOCK: a FIFO planted at the name must not hang
// the caller), and is only written to or given away when that descriptor
// is a regular file with a single link.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kslog_internal.h"

namespace kestrun::kslog {

namespace {

constexpr int kFileFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
// A name that changes file this often while we wait for its lock is not a
// log file being rolled now and then; give the entry up.
constexpr int kMaxReopens = 8;

// Nothing is created at the names of another user's file.
bool may_create(const Files& files) {
    return files.owner == kNoUid;
}

unique_fd open_log(const Files& files, bool create) {
    return kslogTouch(files.log, create);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_stalled(const StalledLock& stalled, const struct stat& st) {
    return stalled.set && stalled.dev == st.st_dev && stalled.ino == st.st_ino;
}

enum class Attempt { kTaken, kBusy, kFailed };

Attempt try_lock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Attempt::kTaken;
        if (errno == EWOULDBLOCK) return Attempt::kBusy;
        if (errno != EINTR) return Attempt::kFailed;
    }
}

long since_ns(const struct timespec& start) {
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // through the vDSO: no system call
    return (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
}

// One entry's wait for the lock, however many files it opens on the way
// (the name may change file while it waits): the bound runs from the first
// attempt that found the lock taken.
class LockWait {
  public:
    // Polls a taken lock until it is free or the entry has waited
    // kLockWaitNs. Linux has no flock with a time limit, and the facility
    // lives inside its callers, so it may not install the timer or signal
    // handler that would interrupt a blocking one. Holders keep the lock
    // for a few microseconds, so the poll yields the processor first (the
    // holder may be waiting for it) and then sleeps, a little longer each
    // time, so a long hold costs a few hundred calls, not a busy processor.
    bool wait(int fd) {
        if (!started_) {
            (void)clock_gettime(CLOCK_MONOTONIC, &start_);
            started_ = true;
        }
        for (;;) {
            const long waited = since_ns(start_);
            if (waited >= kLockWaitNs) return false;
            if (yields_ < kYields) {
                ++yields_;
                (void)sched_yield();
            } else {
                const long pause = std::min(pause_ns_, kLockWaitNs - waited);
                const struct timespec nap = {0, pause};
                (void)nanosleep(&nap, nullptr);  // woken early: the loop looks again
                pause_ns_ = std::min(pause_ns_ * 2, kMaxPauseNs);
            }
            switch (try_lock(fd)) {
                case Attempt::kTaken:
                    return true;
                case Attempt::kBusy:
                    break;
                case Attempt::kFailed:
                    return false;
            }
        }
    }

  private:
    static constexpr int kYields = 3;
    static constexpr long kFirstPauseNs = 20000;
    // The most a release can wait to be noticed.
    static constexpr long kMaxPauseNs = 5000000;

    bool started_ = false;
    struct timespec start_ {};
    int yields_ = 0;
    long pause_ns_ = kFirstPauseNs;
};

// Takes the lock on an opened log file: at once when it is free (one call,
// all an uncontended entry pays), within the entry's bound when it is not.
// A file whose lock this process already waited for in vain is tried once
// only, so a lock held for good costs one bound, not one per entry (the
// monitor at debug level writes an entry every tick).
bool lock(int fd, const Files& files, LockWait& waiting) {
    switch (try_lock(fd)) {
        case Attempt::kTaken:
            return true;
        case Attempt::kFailed:
            return false;
        case Attempt::kBusy:
            break;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if (is_stalled(*files.stalled, st)) return false;
    if (waiting.wait(fd)) return true;
    *files.stalled = StalledLock{true, st.st_dev, st.st_ino};
    return false;
}

// Entries and new owners go only to a regular file with one link (a hard
// link would carry them to a file that is not ours), and to another user's
// file only while it still belongs to that user.
bool usable(const Files& files, const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           (files.owner == kNoUid || st.st_uid == files.owner);
}

// Opens and locks the file at the log name. flock locks a file, not its
// name: when another process rolled the file while we waited for the lock,
// the descriptor holds the roll file, so the lock is only trusted once the
// name is seen to still lead to the locked file.
std::optional<OpenLog> open_locked(const Files& files, bool create, LockWait& waiting) {
    for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
        OpenLog log{open_log(files, create), 0, false};
        if (!log.fd.ok()) return std::nullopt;
        log.locked = lock(log.fd.get(), files, waiting);  // without it the entry goes unlocked
        struct stat opened {};
        struct stat named {};
        if (fstat(log.fd.get(), &opened) != 0) return std::nullopt;
        // Taken again: the next wait on this file is a full one.
        if (log.locked && is_stalled(*files.stalled, opened)) *files.stalled = StalledLock{};
        if (lstat(files.log, &named) != 0 || !same_file(opened, named)) continue;
        if (!usable(files, opened)) return std::nullopt;
        log.size = opened.st_size;
        return log;
    }
    return std::nullopt;
}

// Called with the log file locked and checked: whoever holds the lock on
// the file at the name is the only one that can roll it, so it is rolled
// once, and the processes queued on its lock find the new file instead.
void roll_locked(const Files& files) {
    if (rename(files.log, files.roll) != 0) return;  // failures stay silent
    kslogFixLogFileOwner(files);
}

// Hands an opened file to the ids; the -1 of either leaves that one alone.
void give(const Files& files, const unique_fd& fd, uid_t uid, gid_t gid) {
    if (!fd.ok() || (uid == kNoUid && gid == kNoGid)) return;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !usable(files, st)) return;
    // Another user's file changes hands only to that very user.
    if (files.owner != kNoUid && uid != files.owner) return;
    ignore_result(fchown(fd.get(), uid, gid));  // failures stay silent
}

}  // namespace

unique_fd kslogTouch(const char* path, bool create) {
    if (path == nullptr || path[0] == '\0') return unique_fd();
    const int flags = O_WRONLY | O_APPEND | kFileFlags | (create ? O_CREAT : 0);
    return unique_fd(open(path, flags, 0644));
}

std::optional<OpenLog> open_for_entry(const Files& files) {
    LockWait waiting;
    auto log = open_locked(files, may_create(files), waiting);
    // Rolling stays under the lock: a file whose lock another process holds
    // for good grows on until the lock is free again.
    if (log && log->locked && log->size > kRollSize && may_create(files)) {
        roll_locked(files);
        // One lock at a time: the rolled file's lock goes before the new
        // file's is taken, so no two writers can wait on each other.
        log.reset();
        log = open_locked(files, true, waiting);
    }
    return log;
}

void append(OpenLog& log, const char* data, size_t len) {
    ssize_t written;
    do {
        written = write(log.fd.get(), data, len);
    } while (written < 0 && errno == EINTR);
    // A short write (disk full, file size limit) would leave a torn line for
    // the next entry to run on from. Only under the lock is the size before
    // it still the end of everybody else's entries; an entry that had to go
    // without the lock leaves its short write as it is.
    if (written >= 0 && static_cast<size_t>(written) < len && log.locked)
        ignore_result(ftruncate(log.fd.get(), log.size));  // nothing better to do if it fails
}

void rotate_now(const Files& files) {
    if (!may_create(files)) return;  // another user's file: its owner's processes roll it
    // A missing log file is not created just to be rolled over the roll file.
    LockWait waiting;
    auto log = open_locked(files, false, waiting);
    if (!log) {
        kslogFixLogFileOwner(files);
        return;
    }
    if (log->locked) roll_locked(files);
}

uid_t sudo_id(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr) return kNoUid;
    std::uint32_t id = 0;
    const auto [end, ec] = std::from_chars(value, value + std::strlen(value), id);
    if (ec == std::errc::invalid_argument) return 0;  // no leading digits
    if (ec != std::errc()) return kNoUid;             // too large: never wrapped into another id
    return static_cast<uid_t>(id);
}

void kslogFixLogFileOwner(const Files& files) {
    const uid_t uid = sudo_id("SUDO_UID");
    const gid_t gid = static_cast<gid_t>(sudo_id("SUDO_GID"));
    if (uid == 0 && gid == 0) return;
    // Touching the log file makes sure it exists to be handed over; the
    // descriptor is the file the owner goes to, never a name that could
    // have become a link in between.
    const unique_fd log = kslogTouch(files.log, may_create(files));
    give(files, log, uid, gid);
    const unique_fd roll(open(files.roll, O_RDONLY | kFileFlags));
    give(files, roll, uid, gid);
}

}  // namespace kestrun::kslog
