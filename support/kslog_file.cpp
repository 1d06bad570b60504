// The log file itself: appending under the lock, rotation, the owner fix.
//
// Root and user processes of the product share the file, and its name may
// sit in a directory others can write. Every name is judged before it is
// opened: lstat must show a regular file of a trusted owner (or of the
// directory's owner; behind another user's links, of that user only), so
// FIFOs, sockets and devices standing at the name are not opened; the
// open itself follows no link in any component (open_no_links) and cannot
// block, and the opened file must be the one judged. Entries go only to a
// file with a single name; a log with a second name is rolled so that a
// fresh file takes its name. No holder of the lock can stall a writer for
// more than a second (LockWait).
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "fd_io.h"
#include "kslog_internal.h"
#include "parse_decimal.h"

namespace kestrun::kslog {

namespace {

// Entries open the log for appending only; O_NONBLOCK and O_NOCTTY as every
// open of a name others may reach (see open_flags).
constexpr int kLogAccess = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY;
// A name that changes file this often while we wait for its lock is not a
// log file being rolled now and then; give the entry up.
constexpr int kMaxReopens = 8;
// New log files are for their owner only: entries name the tunnel's
// nameservers and internal domains. Files that exist keep their mode.
constexpr mode_t kNewFileMode = 0600;
// How much of a file the owner fix reads to know a log of the product.
constexpr size_t kEntryHead = 64;

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
    // once. kBusy: still taken when the bound ran out.
    Attempt wait(int fd) {
        if (!started_) {
            ignore_result(clock_gettime(CLOCK_MONOTONIC, &start_));  // cannot fail
            started_ = true;
        }
        for (;;) {
            const long waited = since_ns(start_);
            if (waited >= kLockWaitNs) return Attempt::kBusy;
            if (yields_ < kYields) {
                ++yields_;
                ignore_result(sched_yield());  // always succeeds on Linux
            } else {
                const long pause = std::min(pause_ns_, kLockWaitNs - waited);
                const struct timespec nap = {0, pause};
                ignore_result(nanosleep(&nap, nullptr));  // woken early: the loop looks again
                pause_ns_ = std::min(pause_ns_ * 2, kMaxPauseNs);
            }
            const Attempt attempt = try_lock(fd);
            if (attempt != Attempt::kBusy) return attempt;
        }
    }

    // Whether this entry found a lock taken at all.
    bool started() const { return started_; }

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

// The owner of the directory that holds path; kNoUid when unknown.
uid_t directory_owner(const char* path) {
    const unique_fd dir = open_directory_of(path);
    struct stat st {};
    if (!dir.ok() || fstat(dir.get(), &st) != 0) return kNoUid;
    return st.st_uid;
}

// Files of a trusted owner, or of the owner of the directory that holds
// them (a home its group may write is still its owner's; in /tmp that is
// root). The trusted owner is asked first: the usual file costs no call.
// Behind another user's links, that user's files only: their link may lead
// anywhere, and root's files there are not theirs to have written.
bool acceptable_owner(const Files& files, const char* path, uid_t uid) {
    if (files.name_owner != kNoUid) return uid == files.name_owner;
    if (files.trust.trusts(uid)) return true;
    return uid != kNoUid && directory_owner(path) == uid;
}

// A file entries may go to, second names aside (see open_for_entry): a
// regular file of an acceptable owner that the owner fix did not refuse.
bool writable_file(const Files& files, const char* path, const struct stat& st) {
    return S_ISREG(st.st_mode) && !files.refused->is(st) &&
           acceptable_owner(files, path, st.st_uid);
}

// A file whose lock is not waited for: the one this process waited for in
// vain, and, once any wait failed, any file of another user than this
// process's or root (they may put a fresh locked file at the name before
// each entry, and a new file is not the one remembered).
bool is_stalled(const Files& files, const struct stat& st) {
    const RememberedFile& stalled = *files.stalled;
    return stalled.is(st) || (stalled.any() && st.st_uid != 0 && st.st_uid != files.trust.self);
}

// What an attempt that did not find the lock busy means for the entry: a
// failure other than "busy" (ENOLCK, say) leaves the entry without a lock.
LockState settled(Attempt attempt) {
    return attempt == Attempt::kTaken ? LockState::kTaken : LockState::kUnavailable;
}

// Takes the lock on an opened log file: at once when it is free (one call,
// all an uncontended entry pays), within the entry's bound when it is not.
// A file whose lock this process already waited for in vain is tried once
// only, so a lock held for good costs one bound, not one per entry (the
// monitor at debug level writes an entry every tick).
// judged is the status the name showed before the open, when there was one:
// a busy lock is judged on it rather than on one more call (a file swapped
// in between is found once the lock is held, see open_locked).
LockState lock(int fd, const Files& files, LockWait& waiting, const struct stat* judged) {
    if (const Attempt first = try_lock(fd); first != Attempt::kBusy) return settled(first);
    struct stat st {};
    if (judged != nullptr)
        st = *judged;
    else if (fstat(fd, &st) != 0)
        return LockState::kStalled;
    // A file entries may not go to is given up after this attempt anyway
    // (see open_locked): waiting for its lock would let whoever planted it
    // cost every entry the whole bound.
    if (is_stalled(files, st) || !writable_file(files, files.log, st)) return LockState::kStalled;
    if (const Attempt waited = waiting.wait(fd); waited != Attempt::kBusy) return settled(waited);
    files.stalled->remember(st);
    return LockState::kStalled;
}

// Owner and mode of a new file that no name shows yet; ids of 0 and 0, or
// of -1 and -1, leave it this process's.
void complete(int fd, uid_t uid, gid_t gid) {
    if (!(uid == 0 && gid == 0) && !(uid == kNoUid && gid == kNoGid))
        ignore_result(fchown(fd, uid, gid));  // not allowed: stays ours
    ignore_result(fchmod(fd, kNewFileMode));  // whatever the umask took away
}

// A complete new file in dir that has no name yet; nothing where the file
// system has no unnamed files.
unique_fd unnamed_file(const unique_fd& dir, uid_t uid, gid_t gid) {
    unique_fd fd(openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_APPEND | O_CLOEXEC, kNewFileMode));
    if (fd.ok()) complete(fd.get(), uid, gid);
    return fd;
}

// Gives an unnamed file its name in dir, unless the name is taken (EEXIST).
// Linking through /proc needs no capability, unlike AT_EMPTY_PATH.
bool name_unnamed(const unique_fd& fd, const unique_fd& dir, const char* name) {
    char self[32];
    ignore_result(std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get()));  // always fits
    return linkat(AT_FDCWD, self, dir.get(), name, AT_SYMLINK_FOLLOW) == 0;
}

// The ids the owner fix gives files to.
struct NewOwner {
    uid_t uid;
    gid_t gid;
};

NewOwner new_owner() {
    return {sudo_id("SUDO_UID"), static_cast<gid_t>(sudo_id("SUDO_GID"))};
}

// The owner fix makes a missing log file unless both ids are 0.
bool owner_fix_recreates() {
    const NewOwner owner = new_owner();
    return !(owner.uid == 0 && owner.gid == 0);
}

// The owner of a file this process makes in a directory (dir: its status):
// the user the name belongs to, who must own the directory; otherwise a
// trusted user other than root and this process's own who owns the
// directory (root's monitor making the log again in its client's home:
// the user's processes go on writing it); otherwise the SUDO ids. The
// group: SUDO_GID for the SUDO_UID user, else the directory's.
// Nothing when the name's owner does not own the directory.
std::optional<NewOwner> owner_of_new(const Files& files, const struct stat& dir) {
    const NewOwner sudo = new_owner();
    uid_t user = files.name_owner;
    if (user == kNoUid) {
        if (dir.st_uid == 0 || dir.st_uid == files.trust.self || !files.trust.trusts(dir.st_uid))
            return sudo;
        user = dir.st_uid;
    } else if (dir.st_uid != user) {
        return std::nullopt;
    }
    return NewOwner{user, sudo.uid == user && sudo.gid != kNoGid ? sudo.gid : dir.st_gid};
}

// Creates the missing log file complete, its owner (owner_of_new) and mode
// set before its name shows it: a file visible with the creator's owner
// would shut out the processes of the user it is given to, until it rolled
// again. Made in the directory opened without links, so a directory
// swapped for a link meanwhile gets nothing. Fails with EEXIST when
// another process made it first, with EACCES where the name's owner does
// not own the directory.
unique_fd create_complete(const Files& files, const char* path) {
    const unique_fd dir = open_directory_of(path);
    struct stat dir_st {};
    if (!dir.ok() || fstat(dir.get(), &dir_st) != 0) return unique_fd();
    const std::optional<NewOwner> owner = owner_of_new(files, dir_st);
    if (!owner) {
        errno = EACCES;
        return unique_fd();
    }
    const uid_t uid = owner->uid;
    const gid_t gid = owner->gid;
    const char* name = base_name(path);
    unique_fd fd = unnamed_file(dir, uid, gid);
    if (fd.ok()) {
        if (name_unnamed(fd, dir, name)) return fd;
        if (errno == EEXIST) return unique_fd();
        // No /proc, or linking refused: made in place below.
    }
    // A file system without unnamed files: created in place, visible a
    // moment before it is complete.
    fd.reset(openat(dir.get(), name, kLogAccess | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    kNewFileMode));
    if (fd.ok()) complete(fd.get(), uid, gid);
    return fd;
}

// Opens and locks the file at the log name, creating it when it is missing
// and create is set. What stands at the name is judged (lstat) before it
// is opened, and the descriptor must then be that very file. flock locks a
// file, not its name: when another process rolled the file while we waited
// for the lock, the descriptor holds the roll file, so an entry that waited
// (or made the file) looks at the name again once it holds the lock.
std::optional<OpenLog> open_locked(const Files& files, bool create, LockWait& waiting) {
    for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
        OpenLog log;
        struct stat named {};
        bool created = false;
        if (lstat(files.log, &named) == 0) {
            if (!writable_file(files, files.log, named)) return std::nullopt;
            log.fd = open_no_links(files.log, kLogAccess);
            if (!log.fd.ok()) {
                if (errno == ENOENT) continue;  // rolled away meanwhile
                return std::nullopt;
            }
        } else {
            if (errno != ENOENT || !create) return std::nullopt;
            log.fd = create_complete(files, files.log);
            if (!log.fd.ok()) {
                if (errno == EEXIST) continue;  // made by another meanwhile: judged as any
                return std::nullopt;
            }
            created = true;
        }
        log.lock = lock(log.fd.get(), files, waiting, created ? nullptr : &named);
        if (fstat(log.fd.get(), &log.st) != 0) return std::nullopt;
        // Taken again: the next wait on this file is a full one.
        if (log.lock == LockState::kTaken && files.stalled->is(log.st)) files.stalled->forget();
        if ((created || waiting.started()) && lstat(files.log, &named) != 0) continue;
        if (!same_file(log.st, named)) continue;
        if (!writable_file(files, files.log, log.st)) return std::nullopt;
        return log;
    }
    return std::nullopt;
}

// The log and its directory belong to trusted users (root among them), or,
// behind another user's links, to that user: only then may this process
// move the log away.
bool may_roll(const Files& files, const struct stat& st) {
    const uid_t dir = directory_owner(files.log);
    if (files.name_owner != kNoUid) return st.st_uid == files.name_owner && dir == files.name_owner;
    return files.trust.trusts(st.st_uid) && files.trust.trusts(dir);
}

// Behind another user's links the roll name is theirs to fill only: what
// stands there (if anything) must be a file of theirs, or rolling would
// replace, say, root's file beside their log.
bool roll_name_free_for(const Files& files, const unique_fd& dir) {
    if (files.name_owner == kNoUid) return true;
    struct stat old {};
    if (fstatat(dir.get(), base_name(files.roll), &old, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return S_ISREG(old.st_mode) && old.st_uid == files.name_owner;
}

// Rolls the log file judged as st, unless the name no longer leads to it
// (another process rolled it first). The new file is made ready before the
// old one moves, so the name stands empty only between two calls: fewer
// writers find it missing, and a user racing for the name rarely wins it
// (when they do, the owner rule keeps entries out of their file). The new
// file belongs to the user and group the old one did.
void roll(const Files& files, const struct stat& st) {
    const unique_fd dir = open_directory_of(files.log);
    struct stat named {};
    const char* name = base_name(files.log);
    if (!dir.ok() || fstatat(dir.get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(named, st) || !roll_name_free_for(files, dir))
        return;
    unique_fd fresh;
    if (owner_fix_recreates()) fresh = unnamed_file(dir, st.st_uid, st.st_gid);
    if (renameat(dir.get(), name, dir.get(), base_name(files.roll)) != 0) return;  // stays silent
    // A name taken meanwhile: the owner fix judges whatever stands there.
    if (fresh.ok()) ignore_result(name_unnamed(fresh, dir, name));
    kslogFixLogFileOwner(files);
}

// A log of the product: empty, or beginning with a well-formed entry
// ("MM/DD/YYYY hh:mm:ss.mmm [category priority    pid] ").
bool product_log(int fd) {
    char head[kEntryHead];
    const ssize_t n = retry_on_eintr([&] { return pread(fd, head, sizeof head, 0); });
    if (n == 0) return true;
    if (n < 0) return false;
    const std::string_view text(head, static_cast<size_t>(n));
    static constexpr std::string_view kShape = "00/00/0000 00:00:00.000 [";
    if (text.size() < kShape.size() + 7 + 1 + 6 + 1 + 6 + 2) return false;
    for (size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) return false;
    }
    size_t at = kShape.size() + 7;
    if (text[at] != ' ' || text[at + 1 + 6] != ' ') return false;
    at += 1 + 6 + 1;
    size_t pid_columns = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '0' && text[at] <= '9'))) {
        ++at;
        ++pid_columns;
    }
    // (No substr: its range check would reach the C++ runtime.)
    return pid_columns >= 6 && at + 2 <= text.size() && text[at] == ']' && text[at + 1] == ' ';
}

// The file an O_PATH descriptor holds, opened again for reading through
// /proc: the name is not looked up again, so nothing swapped in at it
// meanwhile is opened. Empty where /proc is missing.
unique_fd reopen_for_reading(const unique_fd& at) {
    char self[32];
    ignore_result(std::snprintf(self, sizeof self, "/proc/self/fd/%d", at.get()));  // always fits
    return unique_fd(::open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

// The owner fix for a name that exists. Judged on an O_PATH descriptor
// before anything opens it (a FIFO or device at the name is never opened):
// a regular file with one name and an acceptable owner. Given to the ids
// only when it already belongs to that user or is a log of the product: a
// root file someone moved to the name keeps its owner, and, at the log's
// name, gets no entry either. Behind another user's links, only that
// user's files are given, and only to that user.
void give_existing(const Files& files, const char* path, const NewOwner& to, bool is_log) {
    if (to.uid == kNoUid && to.gid == kNoGid) return;  // nothing to give: no file is judged
    if (files.name_owner != kNoUid && to.uid != files.name_owner) return;
    const unique_fd at = open_no_links(path, O_PATH);
    struct stat st {};
    if (!at.ok() || fstat(at.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        !acceptable_owner(files, path, st.st_uid))
        return;
    const bool theirs = to.uid != kNoUid && st.st_uid == to.uid;
    if (!theirs) {
        const unique_fd fd = reopen_for_reading(at);
        if (!fd.ok()) return;  // cannot be judged: kept as it is
        if (!product_log(fd.get())) {
            if (is_log) files.refused->remember(st);
            return;
        }
    }
    ignore_result(fchownat(at.get(), "", to.uid, to.gid, AT_EMPTY_PATH));  // failures stay silent
}

}  // namespace

std::optional<OpenLog> open_for_entry(const Files& files) {
    LockWait waiting;
    auto log = open_locked(files, true, waiting);
    if (!log) return log;
    // A second name would carry entries to a file that is not only ours:
    // the log is rolled and a fresh file takes its name. A full log is
    // rolled by whoever holds its lock, or by anyone where locks cannot be
    // had at all; a file whose lock another process holds for good grows
    // on until the lock is free again.
    const bool second_name = log->st.st_nlink > 1;
    const bool full = log->st.st_size > kRollSize && log->lock != LockState::kStalled;
    if (second_name || full) {
        if (may_roll(files, log->st)) roll(files, log->st);
        // One lock at a time: the rolled file's lock goes before the new
        // file's is taken, so no two writers can wait on each other.
        log.reset();
        log = open_locked(files, true, waiting);
        if (log && log->st.st_nlink > 1) return std::nullopt;
    }
    return log;
}

void append(OpenLog& log, const char* data, size_t len) {
    const ssize_t written = write_some(log.fd.get(), data, len);
    // A short write (disk full, file size limit) would leave a torn line for
    // the next entry to run on from. Only this entry's own bytes are taken
    // back, and only while nothing follows them: O_APPEND put them at the
    // end as it was then, which writers without the lock may have moved
    // since the size was taken, and may move again after it.
    if (written < 0 || static_cast<size_t>(written) >= len || log.lock != LockState::kTaken) return;
    const off_t end = lseek(log.fd.get(), 0, SEEK_CUR);
    struct stat now {};
    if (end < written || fstat(log.fd.get(), &now) != 0 || now.st_size != end) return;
    ignore_result(ftruncate(log.fd.get(), end - written));  // nothing better to do if it fails
}

void rotate_now(const Files& files) {
    // A missing log file is not created just to be rolled over the roll file.
    LockWait waiting;
    auto log = open_locked(files, false, waiting);
    if (!log) {
        kslogFixLogFileOwner(files);
        return;
    }
    if (log->lock != LockState::kStalled && may_roll(files, log->st)) roll(files, log->st);
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
    const NewOwner to = new_owner();
    if (to.uid == 0 && to.gid == 0) return;
    // The log file is made when missing, for its owner from the start (a
    // file this process creates is always given, see owner_of_new); an
    // existing one is judged.
    struct stat st {};
    if (lstat(files.log, &st) != 0 && errno == ENOENT)
        ignore_result(create_complete(files, files.log));  // made by another: left to it
    else
        give_existing(files, files.log, to, true);
    give_existing(files, files.roll, to, false);
}

}  // namespace kestrun::kslog
