// Opening a file that others could have placed, judged before it is opened:
// the name is first opened with O_PATH, which reaches no driver and waits
// for no writer, the file's type, owner and link count are checked on that
// descriptor, and only a file that passes is opened for reading, through
// the descriptor itself rather than by name again. A FIFO, socket or device
// at the name is never opened.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "fd_io.h"
#include "unique_fd.h"

namespace uninstall {

// What a file must be to be read: a regular file always, and as the
// fields say.
struct ReadRule {
    // The last component may be a symbolic link (followed); otherwise a
    // link at the name is refused.
    bool follow_link = false;
    // Any owner will do; otherwise root, this process's effective user or
    // dir_owner.
    bool any_owner = false;
    // The owner of the directory that holds the name, or kAnyOwner. A file
    // of this user's (root excepted) may have further names: only that user
    // could have given its own file another name that it then placed here.
    uid_t dir_owner = kestrun::kAnyOwner;
};

// Whether a file with this status may be read under the rule.
bool readable_under(const struct stat& st, const ReadRule& rule);

// Opens name (relative to dir, or AT_FDCWD) for reading when it is a file
// the rule accepts, and returns the descriptor, its status in *seen when
// asked for. Reopened through /proc/self/fd, so the file read is the file
// judged. An empty descriptor when the name is missing, is refused, or
// cannot be reopened (no /proc), with errno set (EINVAL for a refusal).
kestrun::unique_fd open_judged_for_reading(int dir, const char* name, const ReadRule& rule,
                                           struct stat* seen = nullptr);

}  // namespace uninstall
