#include "process_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "ignore_result.h"
#include "kslog.h"
#include "log_queue.h"

namespace {

int open_pidfd(int pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int send_through_pidfd(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

int send_signal(const watched_process& process, int signal) {
    if (process.pidfd.ok()) return send_through_pidfd(process.pidfd.get(), signal);
    if (process.gone || process.pid <= 0) {
        // Never kill() these: 0 addresses our own group, -1 every process.
        errno = ESRCH;
        return -1;
    }
    return kill(process.pid, signal);
}

}  // namespace

watched_process watch_process(int pid) {
    watched_process process;
    process.pid = pid;
    if (pid <= 0) {
        process.gone = true;
        return process;
    }
    const int fd = open_pidfd(pid);
    if (fd < 0) {
        // ESRCH: ended before we looked. Anything else says nothing about
        // the process (no pidfd support, descriptor limits): fall back to
        // its number, as a plain kill() would.
        process.gone = errno == ESRCH;
        return process;
    }
    kestrun::unique_fd taken(fd);
    if (fd <= 2) {
        // Started with closed standard streams: detaching points 0 to 2 at
        // /dev/null and would silently replace the descriptor.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return process;
        taken.reset(moved);
    }
    process.pidfd = std::move(taken);
    return process;
}

bool process_alive(const watched_process& process) {
    return send_signal(process, 0) == 0;
}

void terminate_process(const watched_process& process) {
    // The monitor ends next whatever happened.
    kestrun::ignore_result(send_signal(process, SIGTERM));
}

void test_processes(const watched_process& ks, const watched_process& pppd) {
    MONITOR_DEBUG_FN(KSLOG_GENERAL, "Testing processes:  ks=%d, pppd=%d", ks.pid, pppd.pid);
    // pppd first: with both gone there is nothing left to clean up.
    if (!process_alive(pppd)) {
        MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "%s", "pppd closed; terminating monitor");
        std::exit(0);
    }
    if (!process_alive(ks)) {
        MONITOR_LOG(KSLOG_WARN, KSLOG_GENERAL,
                    "Kestrun %d closed unexpectedly; attempting to cleanup pppd %d", ks.pid,
                    pppd.pid);
        terminate_process(pppd);
        std::exit(0);
    }
}
