#include "tick_wait.h"

#include <poll.h>
#include <time.h>

#include <array>
#include <cerrno>

#include "ignore_result.h"
#include "ks_monitor_flag.h"
#include "process_watch.h"
#include "timespec_of.h"

namespace {

using std::chrono::nanoseconds;

constexpr nanoseconds kFirstReprobe = std::chrono::milliseconds(1);
// Once the delay would reach this, the tick's own probe is as soon.
constexpr nanoseconds kLastReprobeBelow = std::chrono::seconds(1);

// Sleeps until `until` on CLOCK_MONOTONIC: 0 when it got there, otherwise
// the error (EINTR for a signal). An absolute time, so that a sleep cut
// short is simply asked for again.
int sleep_until(monotonic_time until) {
    const timespec ts = timespec_of(until);
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

// One process as the wait sees it.
struct watched {
    const watched_process& process;
    exit_watch& state;

    bool waitable() const { return process.pidfd.ok() && !state.reported; }
    bool reprobe_pending() const { return state.reprobe_delay.count() > 0; }
};

// The next re-probe of a process that still probed alive, or none once the
// delay reaches a second.
void schedule_reprobe(exit_watch& state, monotonic_time now) {
    state.reprobe_delay =
        state.reprobe_delay.count() == 0 ? kFirstReprobe : state.reprobe_delay * 2;
    if (state.reprobe_delay >= kLastReprobeBelow) {
        state.reprobe_delay = nanoseconds{0};
        return;
    }
    state.reprobe_at = now + state.reprobe_delay;
}

}  // namespace

monotonic_time monotonic_now() {
    timespec ts{};
    kestrun::ignore_result(clock_gettime(CLOCK_MONOTONIC, &ts));  // cannot fail for this clock
    return std::chrono::seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec);
}

void handle_process_end(const watched_process& ks, const watched_process& pppd) {
    assert_ks_monitor_flag();
    test_processes(ks, pppd);
}

namespace {

// Re-probes that are due: true as soon as one fails.
bool due_reprobe_failed(std::array<watched, 2>& both, monotonic_time now) {
    for (auto& w : both) {
        if (!w.reprobe_pending() || w.state.reprobe_at > now) continue;
        const bool alive = process_alive(w.process);
        schedule_reprobe(w.state, now);
        if (!alive) return true;
    }
    return false;
}

// After descriptors reported: they leave later waits, and both processes
// are probed (silently: a wake-up that finds both alive leaves no trace).
bool reported_and_gone(std::array<watched*, 2>& owner, const std::array<pollfd, 3>& fds,
                       nfds_t count, process_watch_view view) {
    const monotonic_time now = monotonic_now();
    bool any = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        owner[i]->state.reported = true;
        schedule_reprobe(owner[i]->state, now);
        any = true;
    }
    return any && (!process_alive(view.pppd) || !process_alive(view.ks));
}

// The descriptors of the processes still watched; their count.
nfds_t watched_fds(std::array<watched, 2>& both, std::array<pollfd, 3>& fds,
                   std::array<watched*, 2>& owner) {
    nfds_t count = 0;
    for (auto& w : both) {
        if (!w.waitable()) continue;
        fds[count] = pollfd{w.process.pidfd.get(), POLLIN, 0};
        owner[count] = &w;
        ++count;
    }
    return count;
}

}  // namespace

bool watched_process_gone(process_watch_view view) {
    std::array<watched, 2> both = {watched{view.pppd, view.watches.pppd},
                                   watched{view.ks, view.watches.ks}};
    if (due_reprobe_failed(both, monotonic_now())) return true;
    std::array<pollfd, 3> fds{};
    std::array<watched*, 2> owner{};
    const nfds_t count = watched_fds(both, fds, owner);
    if (count == 0) return false;
    const timespec now_only{0, 0};
    if (ppoll(fds.data(), count, &now_only, nullptr) <= 0) return false;  // nothing, or look later
    return reported_and_gone(owner, fds, count, view);
}

wait_outcome wait_for_processes(process_watch_view view, monotonic_time deadline, int extra_fd) {
    std::array<watched, 2> both = {watched{view.pppd, view.watches.pppd},
                                   watched{view.ks, view.watches.ks}};
    for (;;) {
        monotonic_time now = monotonic_now();
        if (due_reprobe_failed(both, now)) return wait_outcome::process_gone;
        if (now >= deadline) return wait_outcome::deadline;

        monotonic_time until = deadline;
        for (const auto& w : both)
            if (w.reprobe_pending() && w.state.reprobe_at < until) until = w.state.reprobe_at;

        std::array<pollfd, 3> fds{};
        std::array<watched*, 2> owner{};
        nfds_t count = watched_fds(both, fds, owner);
        const nfds_t processes = count;
        if (extra_fd >= 0) fds[count++] = pollfd{extra_fd, POLLIN, 0};
        if (count == 0) {
            // Nothing to wait on (no descriptors taken, or both reported):
            // a plain sleep, cut short only by a signal, then looked at again.
            const int slept = sleep_until(until);
            if (slept == EINTR) continue;
            if (slept != 0 || until == deadline) return wait_outcome::deadline;
            continue;  // a re-probe is due
        }

        // `until` lies ahead of `now`, so the timeout is never zero.
        const timespec timeout = timespec_of(until - now);
        const int ready = ppoll(fds.data(), count, &timeout, nullptr);
        if (ready == 0) {
            if (until == deadline) return wait_outcome::deadline;  // no second call
            continue;                                              // a re-probe is due
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            // The wait still lasts its time; a sleep that fails as well
            // leaves nothing better to do than to end it.
            while (sleep_until(deadline) == EINTR) {
            }
            return wait_outcome::deadline;
        }
        if (reported_and_gone(owner, fds, processes, view)) return wait_outcome::process_gone;
        if (extra_fd >= 0 && fds[processes].revents != 0) return wait_outcome::fd_ready;
    }
}
