// Pieces of the log facility shared by its source files; not installed.
//
//   kslog.cpp        tables, levels, file names and the C interface
//   kslog_entry.cpp  the text of one entry
//   kslog_file.cpp   appending under the lock, rotation, the owner fix
//   kslog_link.cpp   following the shared link "/tmp/kestRun.log"
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>

#include "ignore_result.h"
#include "unique_fd.h"

namespace kestrun::kslog {

// The shared link every process of the product finds the log file through.
inline constexpr const char* kSharedLink = "/tmp/kestRun.log";
// A file larger than this (10 MiB) is rolled before the next entry.
inline constexpr off_t kRollSize = 10485760;
// "No owner": as an id to hand to fchown it leaves the id unchanged.
inline constexpr uid_t kNoUid = static_cast<uid_t>(-1);
inline constexpr gid_t kNoGid = static_cast<gid_t>(-1);
// The longest an entry waits for the log's lock: a lock held longer (by a
// stopped process, or by another user on a file of theirs) counts as one
// that cannot be taken, so no holder can stall a writer, and with it the
// monitor's watch.
inline constexpr long kLockWaitNs = 1000000000;

// The file whose lock this process last failed to take within the bound
// (see open_for_entry): its later entries try that lock once, without
// waiting, until one of them takes it again. Through another user's link,
// any file of that user at the log's name counts as that file.
// Atomic because the client's threads may log at the same time: a torn
// update costs at most one wait too many or too few.
struct StalledLock {
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

// What a process knows about its log file.
struct Files {
    const char* log;   // absolute name of the log file
    const char* roll;  // the log name followed by ".0"
    // The user whose shared link led here, when that is neither root nor
    // this process's effective user: the file must stay that user's, so
    // nothing is created at these names and the file is never rolled from
    // here. kNoUid otherwise.
    uid_t owner;
    // This process's effective user when the facility was set up.
    uid_t self;
    // Process-wide memory of a lock that could not be taken; never null
    // while log is set.
    StalledLock* stalled;
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

// The log file, opened, locked (when the lock could be taken) and checked
// to be the regular single-linked file that stands at the log name.
struct OpenLog {
    unique_fd fd;
    off_t size = 0;       // size under the lock, before this entry
    bool locked = false;  // false: the lock failed and the entry goes unlocked
};

// The log file ready for one entry: rolled first when it is over the limit.
// Nothing when it cannot be opened or is not a file entries may go to.
// The lock is waited for at most kLockWaitNs from the first attempt, and not
// at all on the file files.stalled names; past that the entry goes without
// it (see append).
std::optional<OpenLog> open_for_entry(const Files& files);

// Appends with one write (on the O_APPEND descriptor, so even an entry
// without the lock cannot interleave with another); a short write under the
// lock is cut back so no torn line stays.
void append(OpenLog& log, const char* data, size_t len);

// Moves the log file to the roll file under the lock, then fixes owners.
void rotate_now(const Files& files);

// Opens a file for appending, creating it when missing if create is set,
// and returns the descriptor (so that an owner can go to that very file);
// nothing for an absent or empty name. Never follows a link at the name.
// A new file is complete, mode 0600 and the owner fix's owner, before any
// other process can see it at the name.
unique_fd kslogTouch(const char* path, bool create);

// Gives the log and roll files to the user and group in SUDO_UID/SUDO_GID
// (creating the log file first), unless both are 0.
void kslogFixLogFileOwner(const Files& files);

// The id in SUDO_UID or SUDO_GID: its leading decimal digits (0 without
// any), -1 when unset or too large for an id.
uid_t sudo_id(const char* variable);

// ---- kslog_link.cpp

struct LinkTarget {
    std::string path;      // absolute name of the log file
    uid_t owner = kNoUid;  // see Files::owner
};

// Follows the shared link to the log file. Nothing when the name is not a
// symbolic link, or when the link is refused: a chain of more than 32 links,
// a target of 1024 bytes or more, or another user's link that does not end
// at an existing regular file of that user's with a single link.
std::optional<LinkTarget> follow_shared_link();

// True when the shared link is a symbolic link of this process's effective
// user whose target is exactly this name: the link this process made.
bool own_shared_link_to(const char* log);

// The name made absolute against the working directory; nothing when the
// working directory cannot be found.
std::optional<std::string> absolute(const char* name);

}  // namespace kestrun::kslog
