#include "epc_removal.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fd_io.h"
#include "terminal_text.h"

namespace uninstall {

namespace {

// The rights the removal takes in its child.
struct Credentials {
    uid_t uid;
    gid_t gid;
    // cppcheck-suppress unusedStructMember ; read through std::optional in the child
    std::vector<gid_t> groups;  // supplementary groups
};

// A uid with a passwd entry brings that entry's primary group and the groups
// getgrouplist gives for its name; one without keeps the directory's group
// and no supplementary group at all. Nothing when a lookup fails: a user
// whose groups are unknown is not one to guess rights for.
std::optional<Credentials> credentials_of(const DirOwner& owner) {
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    for (;;) {
        const int rc = ::getpwuid_r(owner.uid, &entry, buf.data(), buf.size(), &found);
        if (rc == 0) break;
        if (rc == EINTR) continue;
        if (rc != ERANGE || buf.size() >= (size_t{1} << 20)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
    if (found == nullptr) return Credentials{owner.uid, owner.gid, {}};

    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            break;
        }
        // count now holds the number needed; grow at least twofold anyway.
        const size_t wanted = std::max(static_cast<size_t>(count), groups.size() * 2);
        if (wanted > 65536) return std::nullopt;
        groups.resize(wanted);
    }
    return Credentials{owner.uid, entry.pw_gid, std::move(groups)};
}

// What system() does around its child, so the removal behaves as it did
// when it was run through system(): the caller ignores SIGINT and SIGQUIT
// (a ^C ends rm, not the uninstall) and holds SIGCHLD while it waits; the
// child gets the caller's own dispositions and mask back.
class SystemSignals {
  public:
    SystemSignals() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        // These cannot fail for valid signals; system() does not check either.
        kestrun::ignore_result(::sigaction(SIGINT, &ignore, &old_int_));
        kestrun::ignore_result(::sigaction(SIGQUIT, &ignore, &old_quit_));
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        kestrun::ignore_result(::sigprocmask(SIG_BLOCK, &chld, &old_mask_));
    }
    ~SystemSignals() { restore(); }
    SystemSignals(const SystemSignals&) = delete;
    SystemSignals& operator=(const SystemSignals&) = delete;

    void restore() const {
        kestrun::ignore_result(::sigaction(SIGINT, &old_int_, nullptr));
        kestrun::ignore_result(::sigaction(SIGQUIT, &old_quit_, nullptr));
        kestrun::ignore_result(::sigprocmask(SIG_SETMASK, &old_mask_, nullptr));
    }

  private:
    struct sigaction old_int_ {};
    struct sigaction old_quit_ {};
    sigset_t old_mask_{};
};

// Copies what the child writes into from until its end, to our standard
// error, masked (terminal_text.h): the child's user could make it write
// anything, and our standard error may be root's terminal, which escape
// sequences can reprogram. Write errors are ignored: the child's messages
// are a courtesy, and reading on keeps it from blocking on a full pipe.
void relay_to_stderr(int from) {
    char buf[4096];
    char masked[sizeof buf + TerminalText::kMaxHeld];
    TerminalText text;
    // A read error ends the relay as the end of the pipe does.
    kestrun::ignore_result(kestrun::read_chunks(from, buf, [&](std::span<char> bytes) {
        const size_t n = text.mask(bytes, masked);
        kestrun::ignore_result(kestrun::write_all(STDERR_FILENO, masked, n));
    }));
    const size_t n = text.finish(masked);
    kestrun::ignore_result(kestrun::write_all(STDERR_FILENO, masked, n));
}

// Closes every descriptor above standard error in a child about to become
// another user, so that none the uninstaller was started with (a wrapper's
// open file, a package manager's) reaches it. close_range where the kernel
// has it (5.9), else the list in /proc/self/fd. False when neither works.
bool close_inherited_descriptors() {
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return true;
    std::vector<int> open_fds;
    if (!kestrun::for_each_open_fd(STDERR_FILENO + 1, [&](int fd) { open_fds.push_back(fd); }))
        return false;
    for (const int fd : open_fds) kestrun::ignore_result(::close(fd));  // gone either way
    return true;
}

// The environment of a child run as another user: what the shell needs to
// find rm and rm needs to speak the caller's language, and nothing else of
// the caller's (that user could read the rest from /proc).
std::vector<std::string> child_environment() {
    std::vector<std::string> kept;
    for (char** var = environ; *var != nullptr; ++var) {
        const std::string_view entry(*var);
        if (entry.starts_with("PATH=") || entry.starts_with("LANG=") ||
            entry.starts_with("LANGUAGE=") || entry.starts_with("LC_"))
            kept.emplace_back(entry);
    }
    return kept;
}

// Runs command through the shell, as "sh -c" like system() does, in a child
// that works in the directory on workdir and first takes the given
// credentials (when there are any to take), and waits for it. The
// directory is entered through its descriptor, so the command's relative
// paths start at the directory that was judged, whatever its names lead to
// by then.
//
// A child that becomes another user is that user's to ptrace once it has
// run exec, so it must hold nothing of ours worth taking: it leaves our
// session (no controlling terminal to open as /dev/tty or to push input
// into with TIOCSTI), reads /dev/null, writes into a pipe that we copy to
// our standard error (control characters masked), keeps no other
// descriptor, and gets only PATH and the locale of our environment, so
// nothing of our terminal, of the files we were started with or of our
// environment reaches it. Our working directory, which may lie below one
// that user may not enter, is left before anything else.
void run_shell_command(const char* command, int workdir, const std::optional<Credentials>& as) {
    const bool isolate = as && as->uid != 0;
    // Built before fork: the child only switches rights and runs exec.
    std::vector<std::string> env_text;
    std::vector<char*> env;
    if (isolate) env_text = child_environment();
    env.reserve(env_text.size() + 1);
    for (auto& entry : env_text) env.push_back(entry.data());
    env.push_back(nullptr);
    kestrun::unique_fd null_fd;
    kestrun::unique_fd out_read;
    kestrun::unique_fd out_write;
    if (isolate) {
        null_fd.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        int fds[2];
        if (!null_fd.ok() || ::pipe2(fds, O_CLOEXEC) != 0) return;
        out_read.reset(fds[0]);
        out_write.reset(fds[1]);
    }

    const SystemSignals signals;
    const pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
        signals.restore();
        // Entered before any rights are given up, so root enters it even
        // where the user may not (rm then fails there as that user would).
        // The descriptor is close-on-exec; the isolated child closes it
        // sooner, with the others, below.
        if (::fchdir(workdir) != 0) ::_exit(127);
        if (isolate &&
            (::setsid() < 0 || ::dup2(null_fd.get(), STDIN_FILENO) < 0 ||
             ::dup2(out_write.get(), STDOUT_FILENO) < 0 ||
             ::dup2(out_write.get(), STDERR_FILENO) < 0 || !close_inherited_descriptors()))
            ::_exit(127);
        // Groups first, while the uid may still change them; the uid last,
        // after which nothing could be taken back. Any step that fails runs
        // nothing: a half-dropped child must not run rm.
        if (as) {
            if (::setgroups(as->groups.size(), as->groups.data()) != 0) ::_exit(127);
            if (::setresgid(as->gid, as->gid, as->gid) != 0) ::_exit(127);
            if (::setresuid(as->uid, as->uid, as->uid) != 0) ::_exit(127);
        }
        if (isolate) {
            const char* const argv[] = {"sh", "-c", command, nullptr};
            ::execve("/bin/sh", const_cast<char* const*>(argv), env.data());
        } else {
            ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    if (isolate) {
        out_write.reset();  // the child's copy alone keeps the pipe open
        relay_to_stderr(out_read.get());
    }
    // The command's outcome is not examined; the wait only reaps it.
    kestrun::ignore_result(
        kestrun::retry_on_eintr([child] { return ::waitpid(child, nullptr, 0); }));
}

}  // namespace

std::optional<DirOwner> swapping_user(const struct stat& home, const struct stat& valdrane) {
    // A group that may write root's home may swap .valdrane there as
    // others could. In another user's home its members could already plant
    // what that user runs, so that user's rights give them nothing new.
    const bool others_write =
        (home.st_mode & S_IWOTH) != 0 || (home.st_uid == 0 && (home.st_mode & S_IWGRP) != 0);
    if (!others_write) return DirOwner{home.st_uid, home.st_gid};
    if ((home.st_mode & S_ISVTX) == 0) return std::nullopt;
    // In a sticky directory only the entry's owner, the directory's owner
    // and root may rename the entry.
    if (valdrane.st_uid == 0 || valdrane.st_uid == home.st_uid)
        return home.st_uid == 0 ? DirOwner{valdrane.st_uid, valdrane.st_gid}
                                : DirOwner{home.st_uid, home.st_gid};
    if (home.st_uid == 0) return DirOwner{valdrane.st_uid, valdrane.st_gid};
    return std::nullopt;
}

void remove_epc_data(int home_fd) {
    // Missing, a link or anything but a directory: nothing of ours to remove.
    struct stat valdrane_st {};
    const kestrun::unique_fd valdrane_fd = kestrun::open_checked(
        home_fd, ".valdrane", {.access = O_PATH | O_DIRECTORY, .type = S_IFDIR}, &valdrane_st);
    if (!valdrane_fd.ok()) return;
    struct stat home_st {};
    if (::fstat(home_fd, &home_st) != 0) return;
    const auto owner = swapping_user(home_st, valdrane_st);
    if (!owner) return;

    std::optional<Credentials> as;
    if (::geteuid() == 0) {
        as = credentials_of(*owner);
        if (!as) return;
    }
    // rm starts in the .valdrane judged above: neither HOME nor .valdrane
    // is looked up by name again, so a name swapped meanwhile (HOME itself
    // flipped between two directories, .valdrane for a link) changes
    // nothing that rm reaches.
    run_shell_command("rm -rf EPC", valdrane_fd.get(), as);
}

}  // namespace uninstall
