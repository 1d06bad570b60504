// Following the shared link "/tmp/kestRun.log" to the log file.
//
// Root and user processes of the product share the link and the file
// behind it, but anyone can plant a link in /tmp. The link is followed
// only when it, and every link after it, belongs to a user this process
// trusts (see Trust); any other link is left alone, and the process logs
// to its default file as if the name were taken.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "kslog_internal.h"

namespace kestrun::kslog {

namespace {

// Targets this long or longer are refused.
constexpr size_t kMaxTarget = 1024;

}  // namespace

bool follow_shared_link(const Trust& trust, PathBuffer& out, uid_t& owner) {
    owner = kNoUid;
    struct stat st {};
    if (lstat(kSharedLink, &st) != 0 || !S_ISLNK(st.st_mode) || !trust.trusts(st.st_uid))
        return false;
    char target[kMaxTarget + 1] = {};
    const ssize_t n = readlink(kSharedLink, target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxTarget) return false;
    // Read with the owner judged above, not a link swapped in meanwhile.
    struct stat again {};
    if (lstat(kSharedLink, &again) != 0 || again.st_ino != st.st_ino || again.st_dev != st.st_dev ||
        again.st_uid != st.st_uid)
        return false;
    // A relative target is taken against the working directory (not the
    // link's), now, so a process that later changes directory keeps
    // writing the same file.
    add_link_owner(trust, st.st_uid, owner);  // the first link counted: never refused
    return resolve_trusted(target, trust, out, owner, 1);
}

bool own_shared_link_to(const char* log) {
    struct stat st {};
    if (lstat(kSharedLink, &st) != 0 || !S_ISLNK(st.st_mode) || st.st_uid != geteuid())
        return false;
    char target[kMaxTarget + 1] = {};
    const ssize_t n = readlink(kSharedLink, target, sizeof target);
    return n > 0 && static_cast<size_t>(n) < sizeof target &&
           std::strlen(log) == static_cast<size_t>(n) && std::memcmp(target, log, n) == 0;
}

}  // namespace kestrun::kslog
