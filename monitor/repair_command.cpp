#include "repair_command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "fd_io.h"
#include "ignore_result.h"
#include "unique_fd.h"

namespace {

// Where the kernel gives no process descriptor for the command or for a
// watched process, the wait looks this often.
constexpr std::chrono::milliseconds kLookEvery{10};
// How often a repair that runs long probes the watched processes itself,
// as the ticks it holds up would.
constexpr std::chrono::seconds kProbeEvery{1};

// Whether SIGXFSZ was at its default when the monitor started, before it
// came to ignore the signal; set once by ignore_file_size_signal().
bool file_size_signal_was_default = false;

// The shell, started the way system() starts it: the monitor's signal mask
// (its main thread's, which is the one it inherited) and dispositions, but
// with SIGXFSZ back at its default if that is what the monitor was given,
// so the command meets a file size limit as if the monitor had started it
// without ignoring the signal.
pid_t spawn_shell() {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    pid_t child = -1;
    if (!file_size_signal_was_default ||
        (posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
         posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF) == 0)) {
        char sh[] = "sh";
        char dash_c[] = "-c";
        char command[sizeof kRepairCommand];
        std::memcpy(command, kRepairCommand, sizeof command);
        char* const argv[] = {sh, dash_c, command, nullptr};
        if (posix_spawn(&child, "/bin/sh", nullptr, &attr, argv, environ) != 0) child = -1;
    }
    kestrun::ignore_result(posix_spawnattr_destroy(&attr));  // nothing was allocated we keep
    return child;
}

}  // namespace

void ignore_file_size_signal() {
    const sighandler_t before = signal(SIGXFSZ, SIG_IGN);
    // A failure leaves the disposition as it was, which the command then
    // inherits too.
    file_size_signal_was_default = before == SIG_DFL;
}

namespace {

// True once the command has ended (and is reaped).
bool reaped(pid_t child, int flags) {
    int status = 0;
    const pid_t got = kestrun::retry_on_eintr([&] { return waitpid(child, &status, flags); });
    // An error means the child is no longer ours to wait for: nothing left.
    return got == child || got < 0;
}

}  // namespace

void run_repair_command(const process_watch_view* view) {
    const pid_t child = spawn_shell();
    if (child <= 0) return;
    if (view == nullptr) {
        kestrun::ignore_result(reaped(child, 0));  // ended either way
        return;
    }
    // Our own unreaped child: its number cannot pass to another process.
    const kestrun::unique_fd command(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    for (;;) {
        const bool by_descriptors = command.ok() && view->ks.pidfd.ok() && view->pppd.pidfd.ok();
        // Even with descriptors, the processes are probed once a second: a
        // process whose descriptor has reported while its parent had not
        // reaped it yet still probed alive, its descriptor leaves the waits,
        // and the waits' own re-probes stop after about a second. Between
        // ticks the tick's probe takes over; during a repair this does.
        const monotonic_time deadline =
            monotonic_now() + (by_descriptors ? kProbeEvery : kLookEvery);
        const wait_outcome seen =
            wait_for_processes(*view, deadline, command.ok() ? command.get() : -1);
        const bool probe = seen == wait_outcome::deadline || !by_descriptors;
        if (seen == wait_outcome::process_gone ||
            (probe && (!process_alive(view->pppd) || !process_alive(view->ks)))) {
            handle_process_end(view->ks, view->pppd);
            continue;  // both alive after all: the repair goes on
        }
        if (seen == wait_outcome::fd_ready) {
            kestrun::ignore_result(reaped(child, 0));  // it has ended
            return;
        }
        if (!by_descriptors && reaped(child, WNOHANG)) return;
    }
}
