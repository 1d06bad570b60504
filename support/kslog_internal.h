// Pieces of the log facility shared by its source files; not installed.
//
//   kslog.cpp        tables, levels, file names and the C interface
//   kslog_entry.cpp  the text of one entry
//   kslog_file.cpp   appending under the lock, rotation, the owner fix
//   kslog_path.cpp   canonical names and opens that follow no link
//   kslog_link.cpp   following the shared link "/tmp/kestRun.log"
//   kslog_trust.cpp  whose links and files this process trusts
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <optional>

#include "ignore_result.h"
#include "unique_fd.h"

namespace kestrun::kslog {

// The shared link every process of the product finds the log file through.
inline constexpr const char* kSharedLink = "/tmp/kestRun.log";
// Link targets this long or longer are refused.
inline constexpr size_t kMaxTarget = 1024;
// A file larger than this (10 MiB) is rolled before the next entry.
inline constexpr off_t kRollSize = 10485760;
// Whether two statuses are of one file.
inline bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
// "No owner": as an id to hand to fchown it leaves the id unchanged.
inline constexpr uid_t kNoUid = static_cast<uid_t>(-1);
inline constexpr gid_t kNoGid = static_cast<gid_t>(-1);
// The longest an entry waits for the log's lock: a lock held longer (by a
// stopped process, or by another user on a file of theirs) counts as one
// that cannot be taken, so no holder can stall a writer, and with it the
// monitor's watch.
inline constexpr long kLockWaitNs = 1000000000;

// One file remembered by its identity: the file whose lock this process
// last failed to take within the bound (see open_for_entry), whose later
// entries try that lock once, without waiting, until one of them takes it
// again; or the file the owner fix refused, which gets no entry.
// Atomic because the client's threads may log at the same time: a torn
// update costs at most one wait too many or too few.
struct RememberedFile {
    std::atomic<bool> set{false};
    std::atomic<dev_t> dev{0};
    std::atomic<ino_t> ino{0};

    bool is(const struct stat& st) const {
        return set.load(std::memory_order_relaxed) &&
               dev.load(std::memory_order_relaxed) == st.st_dev &&
               ino.load(std::memory_order_relaxed) == st.st_ino;
    }
    bool any() const { return set.load(std::memory_order_relaxed); }
    void remember(const struct stat& st) {
        dev.store(st.st_dev, std::memory_order_relaxed);
        ino.store(st.st_ino, std::memory_order_relaxed);
        set.store(true, std::memory_order_relaxed);
    }
    void forget() { set.store(false, std::memory_order_relaxed); }
};

// The users whose names and files this process trusts: root, its
// effective user, the SUDO_UID user when it runs as root, and the user the
// tunnel's client runs for (the monitor names it before kslogInit, see
// kslog_trust.h). A link is followed and a file written, rolled or given
// away only when it belongs to one of them (files: or to the owner of the
// directory that holds them; behind a link of a user other than root and
// this process's own, files of that user only: Files::name_owner).
struct Trust {
    uid_t self = kNoUid;
    uid_t sudo = kNoUid;    // SUDO_UID, only while running as root
    uid_t client = kNoUid;  // the tunnel's client user, only in the monitor

    bool trusts(uid_t uid) const {
        return uid == 0 || uid == self || (sudo != kNoUid && uid == sudo) ||
               (client != kNoUid && uid == client);
    }
};

// This process's trust, from geteuid(), SUDO_UID and the client user.
Trust current_trust();

// Counts a followed link's owner (link_uid) towards the user the log's
// name belongs to (owner; kNoUid while there is none). A link of root or of
// this process's own user adds nothing: through those the process reaches
// only what it could reach itself. The first link of any other trusted
// user (the SUDO_UID user, the client's) makes that user the name's owner,
// and the files behind the name must then be theirs (see Files). False
// for a link of a second such user: a name two users shaped is nobody's.
inline bool add_link_owner(const Trust& trust, uid_t link_uid, uid_t& owner) {
    if (link_uid == 0 || link_uid == trust.self) return true;
    if (owner != kNoUid && owner != link_uid) return false;
    owner = link_uid;
    return true;
}

// A name built on the stack: nothing on the facility's paths allocates (a
// failed allocation would throw through the C interface into the client).
struct PathBuffer {
    char text[PATH_MAX];
};

// What a process knows about its log file.
struct Files {
    const char* log;   // canonical name of the log file: no link in any component
    const char* roll;  // the log name followed by ".0"
    Trust trust;
    // The user whose links led to the log's name (see add_link_owner), or
    // kNoUid. Root follows such a name on that user's word alone, so it acts
    // there with that user's rights only: a file at the log or roll name
    // must be theirs, a missing log is made only in a directory of theirs
    // and given to them, and the owner fix gives nothing to anyone else.
    uid_t name_owner;
    // Process-wide memory of a lock that could not be taken; never null
    // while log is set.
    RememberedFile* stalled;
    // Process-wide memory of the file at the log name that the owner fix
    // refused to give away: it gets no entry either. Never null.
    RememberedFile* refused;
};

// ---- kslog_entry.cpp

// Writes the prefix "MM/DD/YYYY hh:mm:ss.mmm [category priority    pid] "
// into out (always terminated when cap > 0) and returns its length as
// snprintf does. Out-of-table values must be mapped by the caller.
int format_prefix(char* out, size_t cap, const struct tm& local, unsigned long millis,
                  const char* category, const char* priority, unsigned pid);

// One entry, assembled in memory so that it reaches the file with a single
// write: prefix, message, and a line end unless the message ends with one.
class Entry {
  public:
    // cppcheck-suppress uninitMemberVar ; build() writes inline_ before data() can read it
    Entry() = default;
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    // A message that cannot be formatted leaves the prefix and the line
    // end; one that does not fit here and cannot be given memory is cut.
    // The message is formatted with errno set to caller_errno, for "%m";
    // errno is left changed (the public call restores the caller's).
    void build(const char* prefix, size_t prefix_len, int caller_errno, const char* format,
               va_list args);
    const char* data() const { return heap_ ? heap_ : inline_; }
    size_t size() const { return size_; }

  private:
    char inline_[2048];
    char* heap_ = nullptr;
    size_t size_ = 0;
};

// ---- kslog_file.cpp

// How the lock of an entry's file came out.
enum class LockState {
    kTaken,
    kUnavailable,  // flock fails for another reason than "busy" (no lock manager)
    kStalled,      // busy past the bound, or not waited for
};

// The log file, opened, locked (when the lock could be taken) and checked
// to be the regular file of a trusted owner that stands at the log name.
struct OpenLog {
    unique_fd fd;
    struct stat st {};  // status under the lock, before this entry
    LockState lock = LockState::kStalled;
};

// The log file ready for one entry: rolled first when it is over the limit
// or has a second name. Nothing when it cannot be opened or is not a file
// entries may go to. The lock is waited for at most kLockWaitNs from the
// first attempt, and not at all on the file files.stalled names; past that
// the entry goes without it (see append).
std::optional<OpenLog> open_for_entry(const Files& files);

// Appends with one write (on the O_APPEND descriptor, so even an entry
// without the lock cannot interleave with another); a short write under the
// lock takes its own bytes back, and only while nothing follows them.
void append(OpenLog& log, const char* data, size_t len);

// Moves the log file to the roll file under the lock, then fixes owners.
void rotate_now(const Files& files);

// Gives the log and roll files to the user and group in SUDO_UID/SUDO_GID
// (creating the log file first), unless both are 0; see kslog_file.cpp for
// which files it gives.
void kslogFixLogFileOwner(const Files& files);

// The id in SUDO_UID or SUDO_GID: its leading decimal digits (0 without
// any), -1 when unset or too large for an id.
uid_t sudo_id(const char* variable);

// ---- kslog_path.cpp

// Opens path following no symbolic link in any of its components
// (openat2 with RESOLVE_NO_SYMLINKS, or a walk from "/" where the kernel
// lacks it); flags get O_NOFOLLOW and O_CLOEXEC added. An empty descriptor
// with errno set on failure (ELOOP: a link on the way).
unique_fd open_no_links(const char* path, int flags, mode_t mode = 0);

// The directory part of an absolute name and a descriptor (O_PATH) of it,
// opened without links; an empty descriptor when there is none.
unique_fd open_directory_of(const char* path);

// The last component of a name.
const char* base_name(const char* path);

// Makes name (absolute, or relative to the working directory) canonical in
// out: every component resolved, symbolic links followed only when a
// trusted user owns them, at most 32 links (links_before counted among
// them) and none with a target of 1024 bytes or more. The last component
// may be missing. The owners of the links followed are counted into owner
// (add_link_owner). False when the name leads through a refused link, a
// link of a second non-root user, or nowhere.
bool resolve_trusted(const char* name, const Trust& trust, PathBuffer& out, uid_t& owner,
                     int links_before = 0);

// The target of the link at name, whose status st was taken by lstat: false
// when it is 1024 bytes or longer, or when the name no longer holds that
// link (swapped while it was read), so the owner judged on st is the
// target's author.
bool read_link(const char* name, const struct stat& st, char (&target)[kMaxTarget + 1],
               size_t& len);

// Follows the shared link to the log file and makes it canonical (see
// resolve_trusted); owner: the user the name belongs to (add_link_owner).
// False when the name is not a symbolic link, or when the link or any link
// after it is refused. A relative target of the shared link itself is
// taken against the working directory.
bool follow_shared_link(const Trust& trust, PathBuffer& out, uid_t& owner);

// True when the shared link is a symbolic link of this process's effective
// user whose target is exactly this name: the link this process made.
bool own_shared_link_to(const char* log);

}  // namespace kestrun::kslog
