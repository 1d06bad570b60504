#include "layer_mirror.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "sandbox_exit.h"
#include "unique_fd.h"

namespace kssandbox {

namespace {

using kestrun::unique_fd;

// Set-id bits stay behind: the layer only has to be writable.
constexpr mode_t kKeptModeBits = 01777;

bool copy_contents(int from, int to) {
    for (;;) {
        const ssize_t n = sendfile(to, from, nullptr, 1 << 20);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

// A file this user cannot read is left out: the host's shows through.
void mirror_file(int source_dir, int target_dir, const char* name, const std::string& path,
                 mode_t mode) {
    const unique_fd from(openat(source_dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!from.ok()) return;
    struct stat st {};
    if (fstat(from.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;  // swapped meanwhile
    const unique_fd to(
        openat(target_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.ok() || !copy_contents(from.get(), to.get()) ||
        fchmod(to.get(), mode & kKeptModeBits) != 0)
        fail_step("copy " + path + " into its layer");
}

void mirror_link(int source_dir, int target_dir, const char* name, const std::string& path) {
    char link[PATH_MAX];
    const ssize_t n = readlinkat(source_dir, name, link, sizeof link - 1);
    if (n < 0) return;
    link[n] = '\0';
    if (symlinkat(link, target_dir, name) != 0)
        fail_step("copy the link " + path + " into its layer");
}

// The mount an entry lies on: an overlay (a nested sandbox's /etc) gives
// its files the devices of its layers, so only the mount id tells where
// another file system is mounted inside the tree.
bool mount_of(int dir, const char* name, struct statx* stx) {
    return statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH,
                 STATX_TYPE | STATX_MODE | STATX_MNT_ID, stx) == 0 &&
           (stx->stx_mask & STATX_MNT_ID) != 0;
}

void mirror_dir(int source_dir, int target_dir, const std::string& path, uint64_t mount,
                MirrorContent content) {
    const int listing_fd = openat(source_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
    if (!listing) {
        if (listing_fd >= 0) close(listing_fd);
        return;  // unreadable: its entries stay the host's
    }
    while (const dirent* entry = readdir(listing)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct statx st {};
        if (!mount_of(source_dir, name, &st) || st.stx_mnt_id != mount) continue;
        const std::string entry_path = path + "/" + name;
        if (S_ISDIR(st.stx_mode)) {
            if (mkdirat(target_dir, name, 0700) != 0)
                fail_step("make " + entry_path + " in its layer");
            const unique_fd source_sub(
                openat(source_dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            const unique_fd target_sub(
                openat(target_dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!target_sub.ok()) fail_step("open " + entry_path + " in its layer");
            if (source_sub.ok())
                mirror_dir(source_sub.get(), target_sub.get(), entry_path, mount, content);
            // The mode last: a read-only directory would refuse its entries.
            if (fchmod(target_sub.get(), st.stx_mode & kKeptModeBits) != 0)
                fail_step("set the mode of " + entry_path + " in its layer");
        } else if (content == MirrorContent::kEverythingReadable && S_ISREG(st.stx_mode)) {
            mirror_file(source_dir, target_dir, name, entry_path, st.stx_mode);
        } else if (content == MirrorContent::kEverythingReadable && S_ISLNK(st.stx_mode)) {
            mirror_link(source_dir, target_dir, name, entry_path);
        }
    }
    closedir(listing);
}

}  // namespace

void mirror_tree(const std::string& source, const std::string& target, MirrorContent content) {
    const unique_fd source_dir(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const unique_fd target_dir(open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct statx st {};
    if (!source_dir.ok() || !mount_of(source_dir.get(), "", &st)) fail_step("read " + source);
    if (!target_dir.ok()) fail_step("open " + target);
    mirror_dir(source_dir.get(), target_dir.get(), source, st.stx_mnt_id, content);
    if (fchmod(target_dir.get(), st.stx_mode & kKeptModeBits) != 0)
        fail_step("set the mode of " + target);
}

}  // namespace kssandbox
