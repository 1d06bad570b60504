// Following the shared link "/tmp/kestRun.log" to the log file.
//
// Root and user processes of the product share the link and the file
// behind it, but anyone can plant a link in /tmp. A link of root's or of
// this process's effective user is trusted. A link of any other user is
// followed only to an existing regular file, with one link, of that same
// user: it can then lead nowhere that user could not write anyway.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "fd_io.h"
#include "kslog_internal.h"

namespace kestrun::kslog {

namespace {

// A cycle of links must not stop the program.
constexpr int kMaxLinks = 32;
// Targets this long or longer are refused.
constexpr size_t kMaxTarget = 1024;

// The target of a symbolic link, when it is one and its target is short
// enough; st is the link's own status, taken around the read so that a
// link swapped in between is not read with the old one's owner.
std::optional<std::string> read_link(const std::string& name, struct stat& st) {
    char target[kMaxTarget + 1] = {};
    const ssize_t n = readlink(name.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxTarget) return std::nullopt;
    struct stat again {};
    if (lstat(name.c_str(), &again) != 0 || again.st_ino != st.st_ino ||
        again.st_dev != st.st_dev || again.st_uid != st.st_uid)
        return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
}

// Another user's link ends at an existing regular file, with one link,
// that belongs to that user; checked on the opened file itself.
bool belongs_to(const std::string& name, uid_t owner) {
    return open_checked(name.c_str(), {.single_link = true, .owner = owner}).ok();
}

}  // namespace

std::optional<std::string> absolute(const char* name) {
    if (name[0] == '/') return std::string(name);
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::nullopt;
    std::string path(cwd);
    if (path.back() != '/') path += '/';
    return path + name;
}

std::optional<LinkTarget> follow_shared_link() {
    const uid_t self = geteuid();
    LinkTarget found;
    std::string name = kSharedLink;
    for (int followed = 0;; ++followed) {
        struct stat st {};
        if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            // The name reached is no link: the log file, unless the shared
            // link itself is missing or something else.
            if (followed == 0) return std::nullopt;
            break;
        }
        if (followed == kMaxLinks) return std::nullopt;
        if (st.st_uid != 0 && st.st_uid != self) {
            // One other user's links only: two strangers' chain is refused.
            if (found.owner != kNoUid && found.owner != st.st_uid) return std::nullopt;
            found.owner = st.st_uid;
        }
        const auto target = read_link(name, st);
        if (!target) return std::nullopt;
        // Relative targets are taken against the working directory now, so a
        // process that later changes directory keeps writing the same file.
        auto path = absolute(target->c_str());
        if (!path) return std::nullopt;
        name = std::move(*path);
    }
    if (found.owner != kNoUid && !belongs_to(name, found.owner)) return std::nullopt;
    found.path = std::move(name);
    return found;
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
