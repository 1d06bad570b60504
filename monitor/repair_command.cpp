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

// The shell, started the way system() starts it. The monitor ignores
// SIGXFSZ; the command gets the default back, as a fresh program would.
pid_t spawn_shell() {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t none;
    sigemptyset(&none);
    pid_t child = -1;
    if (posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
        posix_spawnattr_setsigmask(&attr, &none) == 0 &&
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0) {
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
