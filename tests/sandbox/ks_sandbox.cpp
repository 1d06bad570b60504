// ks_sandbox: runs one program in a private mount and pid namespace where the
// product's fixed paths can be used for real without touching the host:
//
//   /tmp, /run (and so /var/run)  fresh tmpfs
//   /var/tmp                      fresh tmpfs (unless it leads into /tmp or /run)
//   /etc, /usr/sbin               overlays whose writes land in a private tmpfs
//   /usr                          the same, instead of /usr/sbin, with --usr
//   /proc                         a new proc for the new pid namespace
//
// It fails closed: every mount is checked (file system type, and a device
// different from the host's) before the program starts, because a write
// meant for an overlay that failed to mount would land on the host.
//
// Usage: ks_sandbox [--usr] PROGRAM [ARG...]
//
// --usr is for the one suite that installs a package under /usr/libexec,
// /usr/lib*, /usr/include and /usr/share.
//
// Root with CAP_SYS_ADMIN gets the namespaces directly. Anyone else (an
// ordinary user in a package build's check step, or root in a container
// without CAP_SYS_ADMIN) gets them inside a new user namespace where the
// caller's uid and gid are mapped to root and nothing else is mapped: the
// program runs as that root, with the same mounts (each overlay then has a
// middle layer that makes the host's tree writable there, layer_mirror.h;
// root of a container's own user namespace gets that layer too), and
// setgroups(2) succeeds without effect (setgroups_stub.h), but no other
// user exists to become or to give a file to. Tests that need other users
// ask the kit (in_sandbox.h) and skip. Where the kernel refuses
// this user a user namespace, or refuses a mount inside one, the sandbox
// exits 77 with a one-line reason: the test harness reports the suite as
// skipped. A test program asked only to list its tests (every argument a
// --gtest_ flag, one of them --gtest_list_tests: CTest's test discovery) is
// run as it is, without namespaces, by anyone: listing runs no test.
//
// The sandbox process becomes pid 1 of the namespace and reaps every child:
// an unreaped zombie still answers the null-signal probe, which would hide
// the death of a watched process. When PROGRAM ends, every process left in
// the namespace is killed and the sandbox exits with PROGRAM's status.
//
// HOME is set to a fresh /tmp/home, so nothing lands in the host's home.
//
// Directories named in KS_KEEP_DIRS (colon-separated; the project's source
// and build trees) that lie under any of those mounts are bound back over
// them, so a checkout under /tmp or /var/tmp (where package builds work)
// still runs, and a build tree under /usr is written for real.

#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "layer_mirror.h"
#include "sandbox_exit.h"
#include "setgroups_stub.h"
#include "unique_fd.h"

#ifndef OVERLAYFS_SUPER_MAGIC
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#endif

namespace {

using kssandbox::die;
using kssandbox::fail_step;
using kssandbox::refuse;
using kssandbox::skip;

void do_mount(const char* source, const char* target, const char* type, unsigned long flags,
              const char* data) {
    if (mount(source, target, type, flags, data) != 0)
        fail_step(std::string("mount ") + (type ? type : "") + " on " + target);
}

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir " + path);
}

void make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        make_dir(path.substr(0, slash));
    make_dir(path);
}

dev_t device_of(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) die(std::string("stat ") + path);
    return st.st_dev;
}

struct Guarded {
    const char* path;
    long fs_type;
    dev_t host_dev;
};

// Every mount in this namespace must be private, or the tmpfs and overlays
// would propagate back to the host's mount table.
void check_no_shared_mounts() {
    std::ifstream mountinfo("/proc/self/mountinfo");
    if (!mountinfo) die("open /proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        const auto dash = line.find(" - ");
        const auto optional_fields = line.substr(0, dash);
        if (optional_fields.find(" shared:") != std::string::npos)
            refuse("mount still shared with the host: " + line);
    }
}

void check_mounts(const std::vector<Guarded>& guarded) {
    for (const auto& g : guarded) {
        struct statfs fs {};
        if (statfs(g.path, &fs) != 0) die(std::string("statfs ") + g.path);
        if (static_cast<long>(fs.f_type) != g.fs_type)
            refuse(std::string(g.path) + " is not the expected private mount");
        if (device_of(g.path) == g.host_dev)
            refuse(std::string(g.path) + " is still the host's file system");
    }
    check_no_shared_mounts();
}

bool under(const std::string& path, const std::string& dir) {
    return path == dir || path.rfind(dir + "/", 0) == 0;
}

// The host's /var/tmp, resolved, when it needs a tmpfs of its own: not
// when it is missing or lies under /tmp or /run (a link there, say).
std::string var_tmp_to_hide() {
    char* real = realpath("/var/tmp", nullptr);
    if (!real) return {};
    std::string path = real;
    std::free(real);
    if (under(path, "/tmp") || under(path, "/run")) return {};
    return path;
}

struct KeptDir {
    std::string path;
    int fd;
};

// Opens the kept directories that the sandbox's mounts (on the paths in
// hidden) would hide.
std::vector<KeptDir> open_kept_dirs(const std::vector<std::string>& hidden) {
    std::vector<KeptDir> kept;
    const char* list = std::getenv("KS_KEEP_DIRS");
    std::string dirs = list ? list : "";
#ifdef KS_KEEP_DIRS
    dirs += std::string(":") + KS_KEEP_DIRS;
#endif
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        start = end + 1;
        if (dir.empty()) continue;
        char* real = realpath(dir.c_str(), nullptr);
        if (!real) continue;  // a build tree that does not exist yet needs no keeping
        const std::string path = real;
        std::free(real);
        bool hides = false;
        for (const auto& h : hidden) hides = hides || under(path, h);
        if (!hides) continue;
        const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) die("open " + path);
        kept.push_back({path, fd});
    }
    return kept;
}

void bind_kept_dirs(const std::vector<KeptDir>& kept) {
    for (const auto& k : kept) {
        make_dirs(k.path);
        const std::string source = "/proc/self/fd/" + std::to_string(k.fd);
        do_mount(source.c_str(), k.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
        close(k.fd);
    }
}

// An overlay on dir whose writes land in layers/upper. In a user namespace
// a middle layer (layers/mirror) gives the host's tree owners the namespace
// maps, and the overlay keeps its own marks in user.* attributes, the only
// ones the namespace may set.
void mount_overlay(const char* dir, const std::string& layers, bool user_namespace,
                   kssandbox::MirrorContent mirrored) {
    std::string options = "lowerdir=" + std::string(dir);
    if (user_namespace) {
        const std::string mirror = layers + "/mirror";
        make_dir(mirror);
        kssandbox::mirror_tree(dir, mirror, mirrored);
        options = "lowerdir=" + mirror + ":" + dir + ",userxattr";
    }
    options += ",upperdir=" + layers + "/upper,workdir=" + layers + "/work";
    do_mount("overlay", dir, "overlay", 0, options.c_str());
}

void set_up_namespace(bool whole_usr, bool user_namespace) {
    // Private first: nothing mounted below may propagate to the host.
    do_mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    check_no_shared_mounts();

    // The overlay that holds /usr/sbin: /usr/sbin itself, or all of /usr.
    const char* usr_overlay = whole_usr ? "/usr" : "/usr/sbin";
    const std::string var_tmp = var_tmp_to_hide();
    std::vector<Guarded> guarded = {
        {"/tmp", TMPFS_MAGIC, device_of("/tmp")},
        {"/run", TMPFS_MAGIC, device_of("/run")},
        {"/etc", OVERLAYFS_SUPER_MAGIC, device_of("/etc")},
        {"/usr/sbin", OVERLAYFS_SUPER_MAGIC, device_of("/usr/sbin")},
        {"/proc", PROC_SUPER_MAGIC, device_of("/proc")},
    };
    if (whole_usr) guarded.push_back({"/usr", OVERLAYFS_SUPER_MAGIC, device_of("/usr")});
    if (!var_tmp.empty())
        guarded.push_back({var_tmp.c_str(), TMPFS_MAGIC, device_of(var_tmp.c_str())});
    std::vector<std::string> hidden = {"/tmp", "/run", "/etc", usr_overlay};
    if (!var_tmp.empty()) hidden.push_back(var_tmp);
    const auto kept = open_kept_dirs(hidden);

    // The overlays' upper layers live on a scratch tmpfs that is mounted on
    // /tmp only while the overlays are set up, then hidden: the overlays
    // keep it alive, and no test can reach or clear it by path.
    do_mount("ks_sandbox_scratch", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700");
    for (const char* layer : {"/tmp/etc", "/tmp/usr"}) {
        make_dir(layer);
        make_dir(std::string(layer) + "/upper");
        make_dir(std::string(layer) + "/work");
    }
    mount_overlay("/etc", "/tmp/etc", user_namespace,
                  kssandbox::MirrorContent::kEverythingReadable);
    mount_overlay(usr_overlay, "/tmp/usr", user_namespace, kssandbox::MirrorContent::kDirectories);
    if (umount2("/tmp", MNT_DETACH) != 0) die("umount scratch");

    do_mount("ks_sandbox_tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    do_mount("ks_sandbox_run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    // rpm's and many tools' scratch directory: its files stay in here.
    if (!var_tmp.empty())
        do_mount("ks_sandbox_var_tmp", var_tmp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    bind_kept_dirs(kept);
    do_mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);

    check_mounts(guarded);
}

// Pid 1 of the namespace: run the program, reap every process, and when the
// program ends take everything else in the namespace down with it.
[[noreturn]] void run_as_init(char** argv) {
    const pid_t program = fork();
    if (program < 0) die("fork");
    if (program == 0) {
        setenv("KS_SANDBOX", "1", 1);
        // The log facility writes under HOME: keep it inside the namespace.
        make_dir("/tmp/home");
        setenv("HOME", "/tmp/home", 1);
        kssandbox::stub_denied_setgroups();
        execvp(argv[0], argv);
        std::fprintf(stderr, "ks_sandbox: exec %s: %s\n", argv[0], std::strerror(errno));
        std::_Exit(127);
    }
    int program_status = 0;
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;  // ECHILD: nothing left
        }
        if (pid == program) {
            program_status = status;
            (void)kill(-1, SIGKILL);  // pid 1 is spared; the rest is reaped above
        }
    }
    if (WIFEXITED(program_status)) std::_Exit(WEXITSTATUS(program_status));
    std::fprintf(stderr, "ks_sandbox: program killed by signal %d\n", WTERMSIG(program_status));
    std::_Exit(128 + WTERMSIG(program_status));
}

void write_proc_file(const char* path, const std::string& text) {
    const kestrun::unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.ok() || write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        skip(std::string("cannot map this user into its user namespace: ") + path + ": " +
             std::strerror(errno));
}

// Whether this process's user namespace maps every uid as itself: the
// initial namespace does, any other maps a part.
bool maps_every_user() {
    std::ifstream map("/proc/self/uid_map");
    std::string inside, outside, count, more;
    return map >> inside >> outside >> count && inside == "0" && outside == "0" &&
           count == "4294967295" && !(map >> more);
}

// Enters a new user namespace whose root is the caller's uid and gid and
// which maps no one else, or skips (77) where the kernel refuses one.
void enter_user_namespace() {
    // The kernel's ids, not what a preloaded fakeroot answers: only the
    // real ones may be mapped.
    const auto uid = static_cast<uid_t>(syscall(SYS_geteuid));
    const auto gid = static_cast<gid_t>(syscall(SYS_getegid));
    if (unshare(CLONE_NEWUSER) != 0)
        skip(std::string("private namespaces need root with CAP_SYS_ADMIN or a user namespace,"
                         " which this kernel refuses this user (") +
             std::strerror(errno) + ")");
    // An unprivileged map of the gid needs setgroups(2) denied first.
    write_proc_file("/proc/self/setgroups", "deny");
    write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// CTest's test discovery: the program is asked for its list of tests only.
bool only_lists_tests(char** args) {
    bool lists = false;
    for (char** arg = args; *arg; ++arg) {
        if (std::strncmp(*arg, "--gtest_", 8) != 0) return false;
        lists = lists || std::strcmp(*arg, "--gtest_list_tests") == 0;
    }
    return lists;
}

}  // namespace

int main(int argc, char** argv) {
    char** program = argv + 1;
    const bool whole_usr = argc > 1 && std::strcmp(argv[1], "--usr") == 0;
    if (whole_usr) ++program;
    if (!*program) {
        std::fprintf(stderr, "usage: ks_sandbox [--usr] PROGRAM [ARG...]\n");
        return 2;
    }
    if (only_lists_tests(program + 1)) {
        execv(program[0], program);
        die(std::string("exec ") + program[0]);
    }
    // Only the children enter the new mount namespace: this process stays
    // in the host's, where its own /proc still describes it.
    if (geteuid() != 0 || unshare(CLONE_NEWPID) != 0) {
        // Root may lack CAP_SYS_ADMIN (a container): then, like anyone
        // else, it tries a user namespace. Any other failure is a fault.
        if (geteuid() == 0 && errno != EPERM) die("unshare pid namespace");
        enter_user_namespace();
        kssandbox::set_refusals_skip(true);
        if (unshare(CLONE_NEWPID) != 0) fail_step("make a pid namespace");
    }
    // Root of a user namespace (ours, or a container's) sees the host's
    // files through a partial map; only the initial namespace maps all.
    const bool user_namespace = !maps_every_user();
    kssandbox::set_refusals_skip(user_namespace);

    const pid_t init = fork();
    if (init < 0) die("fork");
    if (init == 0) {
        // If whoever started the sandbox is killed (a test timeout), the
        // namespace goes with it.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_NEWNS) != 0) fail_step("make a mount namespace");
        set_up_namespace(whole_usr, user_namespace);
        run_as_init(program);
    }
    int status = 0;
    while (waitpid(init, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid");
    }
    // _Exit: after unshare(CLONE_NEWPID) this process can start no thread,
    // and a sanitizer's exit-time leak check would need one.
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
