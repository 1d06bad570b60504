// Measures the running ksMonitor from outside, inside ks_sandbox:
//
//   monitor_probe memory      private dirty memory (smaps_rollup) of the
//                             monitor after start-up and after 6 and 30
//                             ticks, and of a bare C++ program
//   monitor_probe reaction N  N trials of the time from just before the
//                             client's SIGKILL to SIGTERM at pppd, the
//                             client killed at a random moment of the tick
//   monitor_probe reaction_held_log N
//                             the same with the log's inode lock held for
//                             good (a write from a userfaultfd page never
//                             supplied) from just before the kill
//   monitor_probe reaction_repair N
//                             the same during a repair command that never
//                             ends
//   monitor_probe reaction_resolver N
//                             the same during the check of a 64 MiB one-line
//                             resolver file with 32 suffixes configured
//   monitor_probe resolver_memory
//                             private dirty memory of the monitor before and
//                             at its peak during that check
//
// Prints one "name value" line per figure, for tools/bench. The client and
// pppd are children of this program: it reaps the client the moment it is
// killed (an unreaped process still answers the monitor's probe), and pppd
// notes the time SIGTERM arrives. This program is a child subreaper, so the
// detached monitor becomes its child too.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "inode_hold.h"
#include "testkit.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "monitor_probe: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

double now_ms() {
    struct timespec t {};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void sleep_ms(double ms) {
    struct timespec t {};
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_nsec = static_cast<long>((ms - static_cast<double>(t.tv_sec) * 1000) * 1e6);
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Written under another name and renamed: the monitor never reads half a pid.
void write_pid_file(const std::string& path) {
    const std::string temp = path + ".tmp";
    std::ofstream(temp) << getpid() << "\n";
    if (rename(temp.c_str(), path.c_str()) != 0) _exit(1);
}

void wait_for_pid_file(const std::string& path, pid_t pid) {
    const std::string expected = std::to_string(pid) + "\n";
    if (!kstest::WaitFor([&] { return kstest::ReadFile(path) == expected; }, 4000ms))
        fail("no pid file " + path);
}

// The client: announces itself and waits to be killed.
pid_t start_client() {
    const pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        write_pid_file("/etc/ppp/kestrun.pid");
        for (;;) pause();
    }
    wait_for_pid_file("/etc/ppp/kestrun.pid", pid);
    return pid;
}

// pppd: announces itself and, when SIGTERM comes, writes the time it came
// to `report` and ends, as the real one ends the link.
pid_t start_pppd(int report) {
    const pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        write_pid_file("/var/run/ppp0.pid");
        while (sigwaitinfo(&term, nullptr) < 0) {
        }
        const double at = now_ms();
        _exit(write(report, &at, sizeof at) == sizeof at ? 0 : 1);
    }
    wait_for_pid_file("/var/run/ppp0.pid", pid);
    return pid;
}

// Our child named `name`, other than the ones we know: the detached monitor.
pid_t child_named(const char* name) {
    pid_t found = 0;
    const bool seen = kstest::WaitFor(
        [&] {
            for (const pid_t pid : kstest::ChildrenNamed(name)) {
                if (kstest::ProcessState(pid) == 'Z') continue;
                found = pid;
                return true;
            }
            return false;
        },
        2000ms);
    if (!seen) fail(std::string("no ") + name + " process");
    return found;
}

// What a run of the monitor watches and how it logs.
struct monitor_setup {
    int suffixes = 8;             // DNSSUFFIX0.. set to s<i>.corp.example
    const char* level = nullptr;  // KSLOGPRIORITY, unset when null
};

// Starts the monitor as the client would and returns the detached process.
pid_t start_monitor(const monitor_setup& setup = {}) {
    const pid_t starter = fork();
    if (starter < 0) fail("fork");
    if (starter == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        (void)dup2(null_fd, 0);
        (void)dup2(null_fd, 1);
        std::vector<std::string> env = {"HOME=/tmp/home", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                        "IFNAME=ppp0", "DNS1=10.0.0.1", "DNS2=10.0.0.2"};
        for (int i = 0; i < setup.suffixes; ++i)
            env.push_back("DNSSUFFIX" + std::to_string(i) + "=s" + std::to_string(i) +
                          ".corp.example");
        if (setup.level) env.push_back(std::string("KSLOGPRIORITY=") + setup.level);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        execle(KS_MONITOR_BIN, "ksMonitor", static_cast<char*>(nullptr), envp.data());
        _exit(127);
    }
    if (kstest::Join(starter) != 0) {
        errno = 0;
        fail("ksMonitor did not start");
    }
    return child_named("ksMonitor");
}

void write_resolver_file() {
    std::string text = "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch";
    for (int i = 0; i < 8; ++i) text += " s" + std::to_string(i) + ".corp.example";
    std::ofstream("/etc/resolv.conf") << text << "\n";
}

// Private_Dirty of a process, in KiB.
long private_dirty_kib(pid_t pid) {
    std::istringstream in(
        kstest::ReadFile("/proc/" + std::to_string(pid) + "/smaps_rollup").value_or(""));
    std::string line;
    long value = -1;
    while (std::getline(in, line))
        if (std::sscanf(line.c_str(), "Private_Dirty: %ld kB", &value) == 1) return value;
    return -1;
}

int memory() {
    const pid_t bare = fork();
    if (bare == 0) {
        execl(KS_BARE_PROGRAM, "bare_program", static_cast<char*>(nullptr));
        _exit(127);
    }
    sleep_ms(300);
    std::printf("bare_private_dirty_kib %ld\n", private_dirty_kib(bare));
    kstest::KillAndReap(bare);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) fail("pipe");
    const pid_t client = start_client();
    const pid_t pppd = start_pppd(report[1]);
    const pid_t monitor = start_monitor();
    const double started = now_ms();
    // Start-up done and the first tick behind it; then past the first DNS
    // check (tick 5), which touches its read buffer's stack pages; then 24
    // ticks and five DNS checks later, which must find nothing more.
    for (const int ticks : {1, 6, 30}) {
        sleep_ms(started + ticks * 1000 + 500 - now_ms());
        std::printf("monitor_private_dirty_kib_tick_%d %ld\n", ticks, private_dirty_kib(monitor));
        (void)std::fflush(stdout);
    }
    std::ofstream(kFlag) << "0";
    (void)kstest::Reap(monitor);
    kstest::KillAndReap(client);
    kstest::KillAndReap(pppd);
    return 0;
}

constexpr const char* kMonitorLog = "/tmp/home/.kestRun.log";
constexpr const char* kRepairPid = "/tmp/repair.pid";
constexpr size_t kHugeResolver = 64u << 20;

// Bytes the process has read so far (rchar of /proc/PID/io), -1 if gone.
long long bytes_read(pid_t pid) {
    std::istringstream in(kstest::ReadFile("/proc/" + std::to_string(pid) + "/io").value_or(""));
    std::string line;
    long long value = -1;
    while (std::getline(in, line))
        if (std::sscanf(line.c_str(), "rchar: %lld", &value) == 1) return value;
    return -1;
}

// One search line of 64 MiB that mentions none of the 32 suffixes, so each
// is looked for to its end.
void write_huge_resolver_file() {
    std::string text = "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch ";
    text.append(kHugeResolver, 'x');
    text += "\n";
    if (!kstest::WriteFile("/etc/resolv.conf", text)) fail("resolver file");
}

// A repair command that notes its pid and never ends.
void install_hanging_repair() {
    if (!kstest::WriteFile("/usr/sbin/kestRun",
                           "#!/bin/sh\necho $$ >/tmp/repair.pid\nexec sleep 100000\n", 0755))
        fail("repair stand-in");
}

// The situations the client dies in.
enum class hold_kind { none, log, repair, resolver };

// Brings the monitor to the situation; true once it is there.
bool enter(hold_kind kind, pid_t monitor, std::unique_ptr<kstest::InodeHold>& hold) {
    switch (kind) {
        case hold_kind::none:
            return true;
        case hold_kind::log:
            hold = std::make_unique<kstest::InodeHold>(kMonitorLog);
            return hold->held();
        case hold_kind::repair:
            // The repair starts at the fifth tick.
            return kstest::WaitFor([] { return kstest::Exists(kRepairPid); }, 8000ms);
        case hold_kind::resolver: {
            // Well into the check of the fifth tick: a few MiB read.
            const long long before = bytes_read(monitor);
            return kstest::WaitFor([&] { return bytes_read(monitor) > before + (4 << 20); },
                                   8000ms);
        }
    }
    return false;
}

int reaction(int trials, hold_kind kind = hold_kind::none) {
    std::mt19937 random(static_cast<unsigned>(now_ms()));
    // The client dies at a random point of the monitor's tick, or of the
    // repair's first second.
    std::uniform_real_distribution<double> delay_ms(kind == hold_kind::none ? 1200 : 0,
                                                    kind == hold_kind::none ? 2200 : 1000);
    if (kind == hold_kind::repair) {
        install_hanging_repair();
        // The server missing: every check repairs.
        std::ofstream("/etc/resolv.conf") << "nameserver 192.0.2.99\n";
    }
    if (kind == hold_kind::resolver) write_huge_resolver_file();
    monitor_setup setup;
    if (kind == hold_kind::resolver) setup.suffixes = 32;
    for (int trial = 0; trial < trials; ++trial) {
        (void)unlink(kRepairPid);
        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) fail("pipe");
        const pid_t client = start_client();
        const pid_t pppd = start_pppd(report[1]);
        (void)close(report[1]);
        const pid_t monitor = start_monitor(setup);
        std::unique_ptr<kstest::InodeHold> hold;
        if (kind == hold_kind::log) sleep_ms(delay_ms(random));
        if (!enter(kind, monitor, hold)) {
            errno = 0;
            fail("the monitor did not get there");
        }
        if (kind != hold_kind::log && kind != hold_kind::resolver) sleep_ms(delay_ms(random));

        // From just before the kill: the figure holds the client's end, its
        // parent's reaping (at once here, as init, a shell or a service
        // manager do) and the monitor's reaction to both.
        const double died = now_ms();
        kstest::KillAndReap(client);  // gone for the probe only once reaped
        struct pollfd ready = {report[0], POLLIN, 0};
        double terminated = 0;
        if (poll(&ready, 1, 5000) != 1 ||
            read(report[0], &terminated, sizeof terminated) != sizeof terminated) {
            errno = 0;
            fail("pppd got no SIGTERM within 5 s");
        }
        std::printf("reaction_ms %.1f\n", terminated - died);
        (void)std::fflush(stdout);
        (void)close(report[0]);
        (void)kstest::Reap(pppd);
        hold.reset();  // the monitor's exit waits for its log
        (void)kstest::Reap(monitor);
        if (const int left = std::atoi(kstest::ReadFile(kRepairPid).value_or("0").c_str());
            left > 0)
            (void)kill(left, SIGKILL);
        // The repair's shell, ours since the monitor ended.
        for (const pid_t shell : kstest::ChildrenNamed("sh")) kstest::KillAndReap(shell);
    }
    return 0;
}

int resolver_memory() {
    write_huge_resolver_file();
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) fail("pipe");
    const pid_t client = start_client();
    const pid_t pppd = start_pppd(report[1]);
    monitor_setup setup;
    setup.suffixes = 32;
    const pid_t monitor = start_monitor(setup);
    // Steady: after start-up and a few ticks, before the first check.
    sleep_ms(2500);
    const long steady = private_dirty_kib(monitor);
    const long long before = bytes_read(monitor);
    long peak = steady;
    const double started = now_ms();
    // Until the check has read the whole file (and a little after).
    while (bytes_read(monitor) < before + static_cast<long long>(kHugeResolver) &&
           now_ms() - started < 60000) {
        peak = std::max(peak, private_dirty_kib(monitor));
        sleep_ms(2);
    }
    const double check_ms = now_ms() - started;
    peak = std::max(peak, private_dirty_kib(monitor));
    std::printf("resolver_steady_private_dirty_kib %ld\n", steady);
    std::printf("resolver_peak_private_dirty_kib %ld\n", peak);
    std::printf("resolver_check_ms_at_most %.0f\n", check_ms);
    std::ofstream(kFlag) << "0";
    (void)kstest::Reap(monitor);
    kstest::KillAndReap(client);
    kstest::KillAndReap(pppd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("KS_SANDBOX") == nullptr) {
        std::fprintf(stderr, "monitor_probe runs only under ks_sandbox (tools/bench runs it)\n");
        return 1;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) fail("prctl");
    (void)mkdir("/etc/ppp", 0755);
    write_resolver_file();
    if (argc == 2 && std::strcmp(argv[1], "memory") == 0) return memory();
    if (argc == 3 && std::strcmp(argv[1], "reaction") == 0) return reaction(std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "reaction_held_log") == 0)
        return reaction(std::atoi(argv[2]), hold_kind::log);
    if (argc == 3 && std::strcmp(argv[1], "reaction_repair") == 0)
        return reaction(std::atoi(argv[2]), hold_kind::repair);
    if (argc == 3 && std::strcmp(argv[1], "reaction_resolver") == 0)
        return reaction(std::atoi(argv[2]), hold_kind::resolver);
    if (argc == 2 && std::strcmp(argv[1], "resolver_memory") == 0) return resolver_memory();
    std::fprintf(stderr,
                 "usage: monitor_probe memory | resolver_memory | reaction TRIALS |\n"
                 "       reaction_held_log TRIALS | reaction_repair TRIALS |\n"
                 "       reaction_resolver TRIALS\n");
    return 2;
}
