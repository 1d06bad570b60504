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
// Usage: ks_sandbox [--usr] PROGRAM [ARG...]   (as root)
//
// --usr is for the one suite that installs a package under /usr/libexec,
// /usr/lib*, /usr/include and /usr/share.
//
// Run by anyone else, it exits 77 with a one-line reason: the test harness
// reports the suite as skipped. A test program asked only to list its tests
// (every argument a --gtest_ flag, one of them --gtest_list_tests: CTest's
// test discovery) is run as it is, without namespaces, by anyone: listing
// runs no test.
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

#ifndef OVERLAYFS_SUPER_MAGIC
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#endif

namespace {

constexpr int kSetupFailed = 125;
constexpr int kSkipped = 77;  // CTest's SKIP_RETURN_CODE for the sandboxed suites

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "ks_sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
    std::_Exit(kSetupFailed);
}

[[noreturn]] void refuse(const std::string& what) {
    std::fprintf(stderr, "ks_sandbox: refusing to run: %s\n", what.c_str());
    std::_Exit(kSetupFailed);
}

void do_mount(const char* source, const char* target, const char* type, unsigned long flags,
              const char* data) {
    if (mount(source, target, type, flags, data) != 0)
        die(std::string("mount ") + (type ? type : "") + " on " + target);
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

void set_up_namespace(bool whole_usr) {
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
    do_mount("overlay", "/etc", "overlay", 0,
             "lowerdir=/etc,upperdir=/tmp/etc/upper,workdir=/tmp/etc/work");
    const std::string usr_options =
        std::string("lowerdir=") + usr_overlay + ",upperdir=/tmp/usr/upper,workdir=/tmp/usr/work";
    do_mount("overlay", usr_overlay, "overlay", 0, usr_options.c_str());
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
    if (geteuid() != 0) {
        std::printf("ks_sandbox: skipped: private mount and pid namespaces need root\n");
        std::fflush(stdout);
        std::_Exit(kSkipped);
    }
    // Only the children enter the new namespaces: this process stays in the
    // host's mount namespace, where its own /proc still describes it.
    if (unshare(CLONE_NEWPID) != 0) die("unshare pid namespace");

    const pid_t init = fork();
    if (init < 0) die("fork");
    if (init == 0) {
        // If whoever started the sandbox is killed (a test timeout), the
        // namespace goes with it.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_NEWNS) != 0) die("unshare mount namespace");
        set_up_namespace(whole_usr);
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
