// The log file itself: appending under the lock, rotation, the owner fix.
//
// Root and user processes of the product share the file, and its name may
// sit in a directory others can write, so the file is only ever reached
// through a descriptor opened without following a link (O_NOFOLLOW) and
// without blocking (O_NONBLOCK: a FIFO planted at the name must not hang
// the caller), and is only written to or given away when that descriptor
// is a regular file with a single link, and, where others can write the
// directory, a file of an owner this process trusts (see usable). No
// holder of the lock can stall a writer for more than a second (LockWait).
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>  // renameat2
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "fd_io.h"
#include "kslog_internal.h"
#include "parse_decimal.h"

namespace kestrun::kslog {

namespace {

// The log file as entries open it: never through a link at its name. What
// was opened is judged (see usable) on the status open_locked takes after
// the lock, which also tells whether the name still leads to that file:
// one fstat serves both.
constexpr OpenRule kLogFile{.access = O_WRONLY | O_APPEND};
// Files::owner's "no other user" is the rule's "any owner".
static_assert(kNoUid == kAnyOwner);
// A name that changes file this often while we wait for its lock is not a
// log file being rolled now and then; give the entry up.
constexpr int kMaxReopens = 8;
// A missing log file that others keep creating and removing under us.
constexpr int kMaxCreateRaces = 4;
// New log files are for their owner only: entries name the tunnel's
// nameservers and internal domains. Files that exist keep their mode.
constexpr mode_t kNewFileMode = 0600;

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

// The file whose lock this process waited for in vain, or, where another
// user's link led to the log, any file of that user at its name: they can
// put a fresh locked file there before each entry, and a new file is not
// the one remembered.
bool is_stalled(const Files& files, const struct stat& st) {
    const StalledLock& stalled = *files.stalled;
    return stalled.is(st) || (stalled.any() && files.owner != kNoUid && st.st_uid == files.owner);
}

enum class Attempt { kTaken, kBusy, kFailed };

Attempt try_lock(int fd) {
    if (retry_on_eintr([fd] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0) return Attempt::kTaken;
    return errno == EWOULDBLOCK ? Attempt::kBusy : Attempt::kFailed;
}

long since_ns(const struct timespec& start) {
    struct timespec now {};
    ignore_result(clock_gettime(CLOCK_MONOTONIC, &now));  // cannot fail; through the vDSO
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
    // for a few microseconds, so the poll first yields the processor (the
    // holder may be waiting for it), which under contention takes the lock
    // about as soon as a blocking flock would, and only then sleeps, twice
    // as long each time up to a millisecond: a release is noticed within a
    // millisecond, and a lock held for good costs about a thousand calls,
    // once.
    bool wait(int fd) {
        if (!started_) {
            ignore_result(clock_gettime(CLOCK_MONOTONIC, &start_));  // cannot fail
            started_ = true;
        }
        for (;;) {
            const long waited = since_ns(start_);
            if (waited >= kLockWaitNs) return false;
            if (yields_ < kYields) {
                ++yields_;
                ignore_result(sched_yield());  // always succeeds on Linux
            } else {
                const long pause = std::min(pause_ns_, kLockWaitNs - waited);
                const struct timespec nap = {0, pause};
                ignore_result(nanosleep(&nap, nullptr));  // woken early: the loop looks again
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
    // Measured with 4 and 8 writer processes on 2 cores: fewer yields let
    // the waiters sleep through releases, and entries fall behind the floor.
    static constexpr int kYields = 16;
    static constexpr long kFirstPauseNs = 20000;
    // The most a release can wait to be noticed.
    static constexpr long kMaxPauseNs = 1000000;

    bool started_ = false;
    struct timespec start_ {};
    int yields_ = 0;
    long pause_ns_ = kFirstPauseNs;
};

bool usable(const Files& files, const char* path, const struct stat& st);

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
    // A file entries may not go to is given up after this attempt anyway
    // (see open_locked): waiting for its lock would let whoever planted it
    // cost every entry the whole bound, with a fresh locked file each time.
    if (is_stalled(files, st) || !usable(files, files.log, st)) return false;
    if (waiting.wait(fd)) return true;
    files.stalled->remember(st);
    return false;
}

// The owners whose files this process writes to and gives away wherever
// they stand: its own effective user, root, the user SUDO_UID names (whose
// the files become), and the user whose shared link led to the file.
bool trusted_owner(const Files& files, uid_t uid) {
    return uid == 0 || uid == files.self || (files.owner != kNoUid && uid == files.owner) ||
           uid == sudo_id("SUDO_UID");
}

// A name built on the stack: the entry's path must not allocate (a failed
// allocation would throw through the C interface into the client).
struct PathBuffer {
    char text[PATH_MAX];
};

// The directory part of an absolute name; false when there is none or it
// is too long to be opened anyway.
bool directory_of(const char* path, PathBuffer& dir) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return false;
    const int len = slash == path ? 1 : static_cast<int>(slash - path);
    const int n = std::snprintf(dir.text, sizeof dir.text, "%.*s", len, path);
    return n >= 0 && static_cast<size_t>(n) < sizeof dir.text;
}

// Whether the file (opened, st) stands at `path` in a directory nobody but
// the directory's owner can write: whatever is there, its owner put there
// or let be. A directory others can write (like /tmp) may hold any user's
// file at any name. Checked on a descriptor of the directory, in which the
// name must still be the very file.
bool in_private_directory(const char* path, const struct stat& st) {
    PathBuffer dir;
    if (!directory_of(path, dir)) return false;
    const unique_fd dir_fd(open(dir.text, O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat dir_st {};
    struct stat named {};
    return dir_fd.ok() && fstat(dir_fd.get(), &dir_st) == 0 &&
           (dir_st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           fstatat(dir_fd.get(), std::strrchr(path, '/') + 1, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(named, st);
}

// Entries and new owners go only to a regular file with one link (a hard
// link would carry them to a file that is not ours), to another user's
// file only while it still belongs to that user, and, where others can
// write the directory, only to a file of a trusted owner: someone else's
// file planted at the log's name (before the first entry, or in the gap
// of a rotation) would receive root's entries and be handed over by the
// owner fix. The owner is asked first: the usual file needs no more calls.
bool usable(const Files& files, const char* path, const struct stat& st) {
    return fits(st, {.single_link = true, .owner = files.owner}) &&
           (trusted_owner(files, st.st_uid) || in_private_directory(path, st));
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
        if (log.locked && is_stalled(files, opened)) files.stalled->forget();
        if (lstat(files.log, &named) != 0 || !same_file(opened, named)) continue;
        if (!usable(files, files.log, opened)) return std::nullopt;
        log.size = opened.st_size;
        return log;
    }
    return std::nullopt;
}

// Hands an opened file to the ids; the -1 of either leaves that one alone.
void give(const Files& files, const char* path, const unique_fd& fd, uid_t uid, gid_t gid) {
    if (!fd.ok() || (uid == kNoUid && gid == kNoGid)) return;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !usable(files, path, st)) return;
    // Another user's file changes hands only to that very user.
    if (files.owner != kNoUid && uid != files.owner) return;
    ignore_result(fchown(fd.get(), uid, gid));  // failures stay silent
}

// The ids a new log file is given: the owner fix's, unless that would
// leave it as it is.
struct NewOwner {
    uid_t uid;
    gid_t gid;
    bool any() const { return !(uid == 0 && gid == 0) && !(uid == kNoUid && gid == kNoGid); }
};

NewOwner new_owner() {
    return {sudo_id("SUDO_UID"), static_cast<gid_t>(sudo_id("SUDO_GID"))};
}

// The owner fix makes a missing log file unless both ids are 0.
bool owner_fix_recreates() {
    const NewOwner owner = new_owner();
    return !(owner.uid == 0 && owner.gid == 0);
}

// Owner and mode of a new file that no name shows yet.
void complete(int fd) {
    const NewOwner owner = new_owner();
    if (owner.any()) ignore_result(fchown(fd, owner.uid, owner.gid));  // not allowed: stays ours
    ignore_result(fchmod(fd, kNewFileMode));  // whatever the umask took away
}

// A complete new file in the directory of path that has no name yet;
// nothing where the file system has no unnamed files.
unique_fd unnamed_complete(const char* path) {
    PathBuffer dir;
    if (!directory_of(path, dir)) return unique_fd();
    unique_fd fd(open(dir.text, O_TMPFILE | O_WRONLY | O_APPEND | O_CLOEXEC, kNewFileMode));
    if (fd.ok()) complete(fd.get());
    return fd;
}

// Gives an unnamed file its name, unless the name is taken (EEXIST).
// Linking through /proc needs no capability, unlike AT_EMPTY_PATH.
bool name_unnamed(const unique_fd& fd, const char* path) {
    char self[32];
    ignore_result(std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get()));  // always fits
    return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// Creates the missing log file complete, its owner and mode set before its
// name shows it: a file visible with the creator's owner would shut out
// the processes of the user the owner fix gives it to, until it rolled
// again. Fails with EEXIST when another process made it first.
unique_fd create_complete(const char* path) {
    unique_fd fd = unnamed_complete(path);
    if (fd.ok()) {
        if (name_unnamed(fd, path)) return fd;
        if (errno == EEXIST) return unique_fd();
        // No /proc, or linking refused: try the other way.
    }

    // A file system without unnamed files: a unique name beside the log,
    // moved into place only if the name is still free.
    PathBuffer temporary;
    const int n = std::snprintf(temporary.text, sizeof temporary.text, "%s.XXXXXX", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temporary.text) return unique_fd();
    fd.reset(mkostemp(temporary.text, O_APPEND | O_CLOEXEC));
    if (!fd.ok()) return fd;
    complete(fd.get());
    if (renameat2(AT_FDCWD, temporary.text, AT_FDCWD, path, RENAME_NOREPLACE) == 0) return fd;
    const int failure = errno;
    ignore_result(unlink(temporary.text));  // our own name: nothing else to do if it fails
    fd.reset();
    if (failure == EEXIST) {
        errno = EEXIST;
        return fd;
    }
    // Nor that: created in place, visible a moment before it is complete.
    fd = open_nonblocking(
        AT_FDCWD, path,
        {.access = O_WRONLY | O_APPEND | O_CREAT | O_EXCL, .create_mode = kNewFileMode});
    if (fd.ok()) complete(fd.get());
    return fd;
}

// Called with the log file locked and checked: whoever holds the lock on
// the file at the name is the only one that can roll it, so it is rolled
// once, and the processes queued on its lock find the new file instead.
// The new file is made ready before the old one moves, so the name stands
// empty only between two calls: fewer writers find it missing, and a user
// racing for the name rarely wins it (when they do, the owner rule keeps
// root's entries out of their file).
void roll_locked(const Files& files) {
    unique_fd fresh;
    if (owner_fix_recreates()) fresh = unnamed_complete(files.log);
    if (rename(files.log, files.roll) != 0) return;  // failures stay silent
    // A name taken meanwhile: the owner fix judges whatever stands there.
    if (fresh.ok()) ignore_result(name_unnamed(fresh, files.log));
    kslogFixLogFileOwner(files);
}

}  // namespace

unique_fd kslogTouch(const char* path, bool create) {
    if (path == nullptr || path[0] == '\0') return unique_fd();
    // A file that exists is opened as it is, never with O_CREAT: with
    // fs.protected_regular set, the kernel refuses O_CREAT opens of other
    // users' files in sticky directories even where the owner rule (see
    // usable) lets this process write them.
    for (int attempt = 0; attempt < kMaxCreateRaces; ++attempt) {
        unique_fd fd = open_nonblocking(AT_FDCWD, path, kLogFile);
        if (fd.ok() || errno != ENOENT || !create) return fd;
        fd = create_complete(path);
        // Taken meanwhile: whoever made it, the file goes through the same
        // checks as any file found at the name.
        if (fd.ok() || errno != EEXIST) return fd;
    }
    return unique_fd();
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
    const ssize_t written = write_some(log.fd.get(), data, len);
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
    // Grammar: the leading decimal digits, nothing before them (no white
    // space, no sign); whatever follows is ignored. No digit at all reads
    // as 0; digits too large for an id read as none, never wrapped into
    // another id.
    const auto id = leading_decimal<std::uint32_t>(value, {});
    if (id.value) return static_cast<uid_t>(*id.value);
    return id.out_of_range ? kNoUid : 0;
}

void kslogFixLogFileOwner(const Files& files) {
    const uid_t uid = sudo_id("SUDO_UID");
    const gid_t gid = static_cast<gid_t>(sudo_id("SUDO_GID"));
    if (uid == 0 && gid == 0) return;
    // Touching the log file makes sure it exists to be handed over; the
    // descriptor is the file the owner goes to, never a name that could
    // have become a link in between.
    const unique_fd log = kslogTouch(files.log, may_create(files));
    give(files, files.log, log, uid, gid);
    const unique_fd roll = open_nonblocking(AT_FDCWD, files.roll, {});
    give(files, files.roll, roll, uid, gid);
}

}  // namespace kestrun::kslog
