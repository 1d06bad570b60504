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

bool follow_shared_link(const Trust& trust, PathBuffer& out, uid_t& owner) {
    owner = kNoUid;
    struct stat st {};
    if (lstat(kSharedLink, &st) != 0 || !S_ISLNK(st.st_mode) || !trust.trusts(st.st_uid))
        return false;
    char target[kMaxTarget + 1];
    size_t len = 0;
    if (!read_link(kSharedLink, st, target, len)) return false;
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
    char target[kMaxTarget + 1];
    size_t len = 0;
    return read_link(kSharedLink, st, target, len) && std::strlen(log) == len &&
           std::memcmp(target, log, len) == 0;
}

}  // namespace kestrun::kslog
