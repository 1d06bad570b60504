// The log file itself: appending under the lock, rotation, the owner fix.
//
// Root and user processes of the product share the file, and its name may
// sit in a directory others can write, so the file is only ever reached
// through a descriptor opened without following a link (O_NOFOLLOW) and
// without blocking (O_NONBLOCK: a FIFO planted at the name must not hang
// the caller), and is only written to or given away when that descriptor
// is a regular file with a single link.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

bool lock(int fd) {
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
std::optional<OpenLog> open_locked(const Files& files, bool create) {
    for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
        OpenLog log{open_log(files, create), 0, false};
        if (!log.fd.ok()) return std::nullopt;
        log.locked = lock(log.fd.get());  // without the lock the entry goes unlocked
        struct stat opened {};
        struct stat named {};
        if (fstat(log.fd.get(), &opened) != 0) return std::nullopt;
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
    auto log = open_locked(files, may_create(files));
    if (log && log->locked && log->size > kRollSize && may_create(files)) {
        roll_locked(files);
        // One lock at a time: the rolled file's lock goes before the new
        // file's is taken, so no two writers can wait on each other.
        log.reset();
        log = open_locked(files, true);
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
    // it still the end of everybody else's entries.
    if (written >= 0 && static_cast<size_t>(written) < len && log.locked)
        ignore_result(ftruncate(log.fd.get(), log.size));  // nothing better to do if it fails
}

void rotate_now(const Files& files) {
    if (!may_create(files)) return;  // another user's file: its owner's processes roll it
    // A missing log file is not created just to be rolled over the roll file.
    auto log = open_locked(files, false);
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
