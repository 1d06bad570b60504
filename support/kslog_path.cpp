// Canonical names, and opens that follow no symbolic link on the way.
//
// The log's name is made canonical once, at kslogInit, following only the
// links of trusted users; every later open of it follows no link at all,
// so a directory on its path swapped for a link (to /dev, say) makes the
// open fail instead of reaching what the link points at.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kslog_internal.h"

namespace kestrun::kslog {

namespace {

// A cycle of links must not stop the program.
constexpr int kMaxLinks = 32;

// Set once openat2 answered ENOSYS: the kernel (or a seccomp filter in
// front of it) lacks it, and the walk below stands in from then on.
std::atomic<bool> no_openat2{false};

// The walk for kernels without openat2: each directory is opened (O_PATH,
// O_NOFOLLOW) relative to the one before, from "/". Canonical names hold
// no "." or ".." components; one that does is refused.
unique_fd open_walking(const char* path, int flags, mode_t mode) {
    if (path[0] != '/') {
        errno = EINVAL;
        return unique_fd();
    }
    unique_fd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const char* at = path;
    while (dir.ok()) {
        while (*at == '/') ++at;
        const char* end = std::strchr(at, '/');
        if (end == nullptr) return unique_fd(::openat(dir.get(), at, flags, mode));
        char component[NAME_MAX + 1];
        const size_t len = static_cast<size_t>(end - at);
        if (len > NAME_MAX) {
            errno = ENAMETOOLONG;
            return unique_fd();
        }
        std::memcpy(component, at, len);
        component[len] = '\0';
        if (std::strcmp(component, ".") == 0 || std::strcmp(component, "..") == 0) {
            errno = EINVAL;
            return unique_fd();
        }
        dir = unique_fd(
            ::openat(dir.get(), component, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        at = end;
    }
    return unique_fd();
}

// Copies text into out; false when it does not fit.
bool put(PathBuffer& out, const char* text, size_t len) {
    if (len >= sizeof out.text) return false;
    std::memcpy(out.text, text, len);
    out.text[len] = '\0';
    return true;
}

}  // namespace

bool read_link(const char* name, const struct stat& st, char (&target)[kMaxTarget + 1],
               size_t& len) {
    const ssize_t n = readlink(name, target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxTarget) return false;
    struct stat again {};
    if (lstat(name, &again) != 0 || !same_file(again, st) || again.st_uid != st.st_uid)
        return false;
    target[n] = '\0';
    len = static_cast<size_t>(n);
    return true;
}

unique_fd open_no_links(const char* path, int flags, mode_t mode) {
    flags |= O_NOFOLLOW | O_CLOEXEC;
    if (!(flags & (O_CREAT | O_TMPFILE))) mode = 0;  // openat2 refuses a mode it would not use
    if (!no_openat2.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = static_cast<unsigned>(flags);
        how.mode = mode;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
        if (fd >= 0) return unique_fd(static_cast<int>(fd));
        if (errno != ENOSYS) return unique_fd();
        no_openat2.store(true, std::memory_order_relaxed);
    }
    return open_walking(path, flags, mode);
}

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

unique_fd open_directory_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return unique_fd();
    PathBuffer dir;
    if (!put(dir, path, slash == path ? 1 : static_cast<size_t>(slash - path))) return unique_fd();
    return open_no_links(dir.text, O_PATH | O_DIRECTORY);
}

bool resolve_trusted(const char* name, const Trust& trust, PathBuffer& out, uid_t& owner,
                     int links) {
    // pending: what is left to resolve; out: the canonical directory so far
    // ("" for "/").
    PathBuffer pending;
    if (name[0] == '/') {
        if (!put(pending, name, std::strlen(name))) return false;
    } else {
        if (getcwd(pending.text, sizeof pending.text) == nullptr) return false;
        const size_t used = std::strlen(pending.text);
        const int n = std::snprintf(pending.text + used, sizeof pending.text - used, "/%s", name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof pending.text - used) return false;
    }
    out.text[0] = '\0';
    size_t out_len = 0;
    size_t at = 0;  // position in pending.text
    for (;;) {
        while (pending.text[at] == '/') ++at;
        if (pending.text[at] == '\0') break;
        const char* component = pending.text + at;
        size_t len = 0;
        while (component[len] != '\0' && component[len] != '/') ++len;
        const char* rest = component + len;  // "" or "/..."
        at += len;
        if (len == 1 && component[0] == '.') continue;
        if (len == 2 && component[0] == '.' && component[1] == '.') {
            while (out_len > 0 && out.text[out_len - 1] != '/') --out_len;
            if (out_len > 0) --out_len;  // the slash before it
            out.text[out_len] = '\0';
            continue;
        }
        if (out_len + 1 + len >= sizeof out.text) return false;
        const size_t before = out_len;
        out.text[out_len++] = '/';
        std::memcpy(out.text + out_len, component, len);
        out_len += len;
        out.text[out_len] = '\0';

        bool last = true;
        for (const char* r = rest; *r != '\0'; ++r)
            if (*r != '/') last = false;
        struct stat st {};
        // Only the last component may be missing (the log file need not
        // exist) or other than a directory.
        if (lstat(out.text, &st) != 0) return errno == ENOENT && last;
        if (S_ISDIR(st.st_mode)) continue;
        if (!S_ISLNK(st.st_mode)) return last;
        if (++links > kMaxLinks || !trust.trusts(st.st_uid) ||
            !add_link_owner(trust, st.st_uid, owner))
            return false;
        char target[kMaxTarget + 1];
        size_t target_len = 0;
        if (!read_link(out.text, st, target, target_len)) return false;
        // What is left becomes the target followed by the rest; a relative
        // target is taken in the link's own directory.
        PathBuffer next;
        const int n = std::snprintf(next.text, sizeof next.text, "%s%s", target, rest);
        if (n < 0 || static_cast<size_t>(n) >= sizeof next.text) return false;
        pending = next;
        at = 0;
        out_len = target[0] == '/' ? 0 : before;
        out.text[out_len] = '\0';
    }
    if (out_len == 0) return put(out, "/", 1);
    return true;
}

}  // namespace kestrun::kslog
