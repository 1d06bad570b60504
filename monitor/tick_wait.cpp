#include "tick_wait.h"

#include <poll.h>
#include <time.h>

#include <array>
#include <cerrno>

#include "ignore_result.h"
#include "ks_monitor_flag.h"

namespace {

using std::chrono::nanoseconds;

constexpr nanoseconds kFirstReprobe = std::chrono::milliseconds(1);
// Once the delay would reach this, the tick's own probe is as soon.
constexpr nanoseconds kLastReprobeBelow = std::chrono::seconds(1);

timespec to_timespec(nanoseconds t) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(t);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds.count());
    ts.tv_nsec = static_cast<long>((t - seconds).count());
    return ts;
}

// Sleeps until `until` on CLOCK_MONOTONIC: 0 when it got there, otherwise
// the error (EINTR for a signal). An absolute time, so that a sleep cut
// short is simply asked for again.
int sleep_until(monotonic_time until) {
    const timespec ts = to_timespec(until);
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

// One process as the wait sees it.
struct watched {
    const watched_process& process;
    exit_watch& state;

    bool waitable() const { return process.pidfd.ok() && !state.reported; }
    bool reprobe_pending() const { return state.reprobe_delay.count() > 0; }
};

// A probe has failed: what a tick does, so that a client that cleared the
// flag before it ended still gets the shutdown entry and no signal. Both
// normally end the process; test_processes returns only if both processes
// probe alive after all.
void react(const watched_process& ks, const watched_process& pppd) {
    assert_ks_monitor_flag();
    test_processes(ks, pppd);
}

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

void wait_out_tick(exit_watches& watches, const watched_process& ks, const watched_process& pppd,
                   monotonic_time deadline) {
    std::array<watched, 2> both = {watched{pppd, watches.pppd}, watched{ks, watches.ks}};
    for (;;) {
        monotonic_time now = monotonic_now();
        for (auto& w : both) {
            if (!w.reprobe_pending() || w.state.reprobe_at > now) continue;
            if (!process_alive(w.process)) react(ks, pppd);
            schedule_reprobe(w.state, now);
        }
        if (now >= deadline) return;

        monotonic_time until = deadline;
        for (const auto& w : both)
            if (w.reprobe_pending() && w.state.reprobe_at < until) until = w.state.reprobe_at;

        std::array<pollfd, 2> fds{};
        std::array<watched*, 2> owner{};
        nfds_t count = 0;
        for (auto& w : both) {
            if (!w.waitable()) continue;
            fds[count] = pollfd{w.process.pidfd.get(), POLLIN, 0};
            owner[count] = &w;
            ++count;
        }
        if (count == 0) {
            // Nothing to wait on (no descriptors taken, or both reported):
            // a plain sleep, cut short only by a signal, then looked at again.
            const int slept = sleep_until(until);
            if (slept == EINTR) continue;
            if (slept != 0 || until == deadline) return;
            continue;  // a re-probe is due
        }

        // `until` lies ahead of `now`, so the timeout is never zero.
        const timespec timeout = to_timespec(until - now);
        const int ready = ppoll(fds.data(), count, &timeout, nullptr);
        if (ready == 0) {
            if (until == deadline) return;  // the second is over: no second call
            continue;                       // a re-probe is due
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            // The tick still lasts its second; a sleep that fails as well
            // leaves nothing better to do than to end it.
            while (sleep_until(deadline) == EINTR) {
            }
            return;
        }
        now = monotonic_now();
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            owner[i]->state.reported = true;
            schedule_reprobe(owner[i]->state, now);
        }
        // Silent: a wake-up that finds both alive leaves no trace.
        if (!process_alive(pppd) || !process_alive(ks)) react(ks, pppd);
    }
}
