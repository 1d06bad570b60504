// System-call budgets of the monitor's tick and of a log entry, counted
// with strace on the real programs inside the sandbox. Counts are exact,
// so these are tests, not timings:
//
//  - a steady tick: open, read and close of the shutdown flag file, two
//    null-signal probes, and the wait on the two process descriptors that
//    times out at the end of the second; nothing else (no memory calls, no
//    time reads: those go through the vDSO);
//  - a client that has ended but that its parent does not reap: a handful
//    of extra waits while it is re-probed, never one with a zero timeout;
//  - a DNS check: the same, plus the resolver file opened, read in chunks
//    of at least 4 KiB and closed, with a look at the process descriptors
//    after each full chunk (none while the file fits one read);
//  - a log entry: open, lock, fstat, lstat, getpid, one write, close; an
//    entry below its category's level: no call at all. In the detached
//    monitor those seven calls are its writer thread's, and the tick that
//    made the entry adds at most one wake-up of that thread.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "monitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr const char* kTraceDir = "/tmp/trace";
constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";
constexpr const char* kResolver = "/etc/resolv.conf";

// One traced call: its kind (see Kind) and strace's whole line.
struct Call {
    std::string kind;
    std::string line;

    bool names(const std::string& path) const {
        return line.find("\"" + path + "\"") != std::string::npos;
    }
};

// A poll asked to return at once: poll's timeout 0, or ppoll's zero
// timespec.
bool ZeroTimeoutLine(const std::string& line) {
    if (line.find("{tv_sec=0, tv_nsec=0}") != std::string::npos) return true;
    return line.starts_with("poll(") && line.find(", 0) ", line.rfind(']')) != std::string::npos;
}

// Folds the names one operation goes by, across libc versions and
// architectures, into one kind: "open", "fstat", "lstat", "probe",
// "wait" (on descriptors, or a plain sleep); any other call keeps its own
// name.
std::string Kind(const std::string& line) {
    const std::string name = line.substr(0, line.find('('));
    if (name == "open" || name == "openat" || name == "openat2") return "open";
    if (name == "fstat") return "fstat";
    if (name == "lstat") return "lstat";
    if (name == "newfstatat" || name == "fstatat64" || name == "statx") {
        if (line.find("AT_EMPTY_PATH") != std::string::npos) return "fstat";
        if (line.find("AT_SYMLINK_NOFOLLOW") != std::string::npos) return "lstat";
        return "stat";
    }
    if (name == "pidfd_send_signal" || name == "kill") return "probe";
    // A poll that returns at once is a look at the process descriptors
    // between the chunks of a DNS check, not a wait.
    if ((name == "poll" || name == "ppoll") && ZeroTimeoutLine(line)) return "peek";
    if (name == "clock_nanosleep" || name == "nanosleep" || name == "poll" || name == "ppoll")
        return "wait";
    return name;
}

// The byte count a read asked for: its last argument.
long ReadSize(const Call& call) {
    const size_t result = call.line.rfind(" = ");
    const size_t close_paren = call.line.rfind(')', result);
    const size_t comma = call.line.rfind(", ", close_paren);
    if (result == std::string::npos || close_paren == std::string::npos ||
        comma == std::string::npos)
        return -1;
    return std::atol(call.line.c_str() + comma + 2);
}

std::vector<std::string> Kinds(const std::vector<Call>& calls) {
    std::vector<std::string> kinds;
    for (const auto& c : calls) kinds.push_back(c.kind);
    return kinds;
}

// One process's calls, from its "-ff" trace file.
std::vector<Call> ReadTrace(const std::string& path) {
    std::vector<Call> calls;
    std::istringstream in(ReadFile(path).value_or(""));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.starts_with("+++") || line.starts_with("---")) continue;
        calls.push_back({Kind(line), line});
    }
    return calls;
}

// The trace files strace wrote with "-ff -o /tmp/trace/<prefix>".
std::vector<std::string> TraceFiles() {
    std::vector<std::string> files;
    if (DIR* dir = opendir(kTraceDir)) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                files.push_back(std::string(kTraceDir) + "/" + entry->d_name);
        closedir(dir);
    }
    return files;
}

// A wait that ran its full time: a sleep that completed, or a wait on
// descriptors that timed out.
bool WaitedItsTime(const Call& call) {
    return call.kind == "wait" && call.line.find(") = 0") != std::string::npos;
}

// Waits that ran their full time, in a trace file that is still being
// written.
int FullWaits(const std::string& path) {
    int waits = 0;
    for (const auto& call : ReadTrace(path)) waits += WaitedItsTime(call) ? 1 : 0;
    return waits;
}

// A wait on descriptors asked to return at once (between ticks there must
// be none: it would spin).
bool ZeroTimeout(const Call& call) {
    return (call.kind == "wait" || call.kind == "peek") && ZeroTimeoutLine(call.line);
}

std::vector<std::string> StraceArgv(const std::string& prefix, const std::string& program) {
    return {
        "strace", "-ff", "-qq", "-e", "signal=none", "-o", std::string(kTraceDir) + "/" + prefix,
        program};
}

// A resolver file that mentions every watched item, after `filler` bytes of
// comment lines.
std::string ResolverFile(size_t filler) {
    std::string text;
    const std::string comment = "# an unrelated comment line of the kind resolvconf writes\n";
    while (text.size() < filler) text += comment;
    text += "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch";
    for (int i = 0; i < 8; ++i) text += " s" + std::to_string(i) + ".corp.example";
    return text + "\noptions edns0\n";
}

class SyscallBudget : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveAll(kTraceDir);
        ASSERT_EQ(mkdir(kTraceDir, 0755), 0);
        InstallRepairStandin();  // only reached if a check judged wrongly
        pppd_ = StartPppd();
        client_ = StartClient();
    }

    void TearDown() override {
        KillAndReap(client_);
        KillAndReap(pppd_);
    }

    pid_t pppd_ = 0;
    pid_t client_ = 0;

    // Starts the monitor under strace, as the client would; returns strace.
    // `level`: KSLOGPRIORITY's value, none (info) when empty.
    static pid_t LaunchTraced(const std::string& level = "") {
        EnvEdits env = {"IFNAME=ppp0",   "DNS1=10.0.0.1",
                        "DNS2=10.0.0.2", level.empty() ? "KSLOGPRIORITY" : "KSLOGPRIORITY=" + level,
                        "SUDO_UID",      "SUDO_GID"};
        for (int i = 0; i < 32; ++i) {
            const std::string name = "DNSSUFFIX" + std::to_string(i);
            env.push_back(i < 8 ? name + "=s" + std::to_string(i) + ".corp.example" : name);
        }
        return Spawn(StraceArgv("monitor", KS_MONITOR_BIN), env);
    }

    // The detached monitor's trace file (the one that waits) once `ticks`
    // of its waits have run their full time; "" if that never happens.
    static std::string WaitForTicks(int ticks) {
        std::string loop;
        const bool ticked = WaitFor(
            [&] {
                for (const auto& file : TraceFiles()) {
                    if (FullWaits(file) >= ticks) {
                        loop = file;
                        return true;
                    }
                }
                return false;
            },
            std::chrono::milliseconds(ticks * 1000 + 15000));
        EXPECT_TRUE(ticked) << "the monitor did not tick " << ticks << " times";
        return loop;
    }

    // Runs the monitor under strace until `ticks` ticks have ended, stops it
    // through its flag, and returns its loop's calls, one list per tick (the
    // first also holds the start-up after detaching).
    std::vector<std::vector<Call>> TraceTicks(int ticks, const std::string& level = "") {
        const pid_t strace = LaunchTraced(level);
        const std::string loop = WaitForTicks(ticks);
        (void)WriteFile(kFlag, "0");
        EXPECT_NE(WaitForChild(strace, 15000ms), -1);

        std::vector<std::vector<Call>> split(1);
        for (auto& call : ReadTrace(loop)) {
            split.back().push_back(std::move(call));
            if (split.back().back().kind == "wait") split.emplace_back();
        }
        split.pop_back();  // the tick that the flag ended
        return split;
    }
};

// The monitor and the log facility each have their suite on this fixture.
class KsMonitorSyscallBudget : public SyscallBudget {};
class KslogSyscallBudget : public SyscallBudget {};

const std::vector<std::string> kSteadyTick = {"open", "read", "close", "probe", "probe", "wait"};

// One log entry, in whichever thread writes it: the name judged (lstat)
// before it is opened, so nothing but a regular file is ever opened, then
// the lock, the check that the opened file is the one judged (fstat), the
// prefix's pid, the one write, and the close.
const std::vector<std::string> kEntryCalls = {"lstat",  "open",  "flock", "fstat",
                                              "getpid", "write", "close"};

// A tick after the first: its flag check and probes, and on every fifth the
// resolver file opened, checked to be a regular file, read in chunks of at
// least 4 KiB (at most `max_reads` of them) and closed. Between chunks the
// check may look at the process descriptors, once after each full read
// (a peek: a poll that returns at once), never while the file fits one read.
void ExpectTick(int number, const std::vector<Call>& traced, size_t max_reads) {
    SCOPED_TRACE("tick " + std::to_string(number));
    std::vector<Call> tick;
    size_t peeks = 0;
    for (size_t i = 0; i < traced.size(); ++i) {
        if (traced[i].kind != "peek") {
            tick.push_back(traced[i]);
            continue;
        }
        ++peeks;
        EXPECT_TRUE(i > 0 && traced[i - 1].kind == "read") << traced[i].line;
        EXPECT_NE(traced[i].line.find("], 2, "), std::string::npos) << traced[i].line;
    }
    ASSERT_GE(tick.size(), kSteadyTick.size());
    EXPECT_TRUE(tick[0].names(kFlag)) << tick[0].line;
    // The wait is on both process descriptors, and it ends the second by
    // timing out.
    const std::string& wait = tick.back().line;
    EXPECT_TRUE(wait.starts_with("ppoll([") || wait.starts_with("poll([")) << wait;
    EXPECT_NE(wait.find("], 2, "), std::string::npos) << wait;
    EXPECT_TRUE(WaitedItsTime(tick.back())) << wait;
    if (number % 5 != 0) {
        EXPECT_EQ(Kinds(tick), kSteadyTick);
        return;
    }
    constexpr size_t kCheckCalls = 3;  // open, fstat, close
    ASSERT_GT(tick.size(), kSteadyTick.size() + kCheckCalls);
    const size_t reads = tick.size() - kSteadyTick.size() - kCheckCalls;
    EXPECT_LE(reads, max_reads);
    std::vector<std::string> expected(kSteadyTick.begin(), kSteadyTick.end() - 1);
    expected.insert(expected.end(), {"open", "fstat"});
    expected.insert(expected.end(), reads, "read");
    expected.insert(expected.end(), {"close", "wait"});
    ASSERT_EQ(Kinds(tick), expected);
    EXPECT_LT(peeks, std::max<size_t>(reads, 1));
    EXPECT_TRUE(tick[5].names(kResolver)) << tick[5].line;
    for (size_t i = 7; i < 7 + reads; ++i) EXPECT_GE(ReadSize(tick[i]), 4096) << tick[i].line;
}

TEST_F(KsMonitorSyscallBudget, MonitorTicks_SixCallsAndTheResolverFileOnEveryFifth) {
    ASSERT_TRUE(WriteFile(kResolver, ResolverFile(0)));
    const auto ticks = TraceTicks(6);
    ASSERT_GE(ticks.size(), 6u);
    // Tick 1 carries what follows the detach; from tick 2 on, the loop alone.
    for (size_t i = 1; i < ticks.size(); ++i) ExpectTick(static_cast<int>(i + 1), ticks[i], 2);
}

TEST_F(KsMonitorSyscallBudget, DnsCheck_LargeResolverFileReadInFewChunks) {
    // A line that runs across two chunks is kept in a buffer. In the plain
    // build that buffer comes from the heap the process already has; the
    // sanitizers' allocator maps a fresh region on the first use of each
    // size, which shows up here as memory calls that no later check makes.
    if (KS_SANITIZED) GTEST_SKIP() << "the sanitizers' allocator maps memory on first use";
    // 64 KiB in chunks of 4 KiB or more: 16 reads at most, and one that
    // finds the end.
    ASSERT_TRUE(WriteFile(kResolver, ResolverFile(64 * 1024)));
    const auto ticks = TraceTicks(5);
    ASSERT_GE(ticks.size(), 5u);
    for (size_t i = 1; i < ticks.size(); ++i) ExpectTick(static_cast<int>(i + 1), ticks[i], 17);
}

// At debug every tick makes an entry. The monitor's thread only queues it:
// its tick stays the six calls, plus at most one wake-up of the writer per
// entry. The writer thread writes each entry with the seven calls of a
// direct write, one write among them, and sleeps on the queue between.
TEST_F(KsMonitorSyscallBudget, EntriesAtDebug_OneWakeUpInTheTickSevenCallsInTheWriter) {
    ASSERT_TRUE(WriteFile(kResolver, ResolverFile(0)));
    const auto ticks = TraceTicks(4, "debug");
    ASSERT_GE(ticks.size(), 4u);
    for (size_t i = 1; i < ticks.size(); ++i) {
        SCOPED_TRACE("tick " + std::to_string(i + 1));
        std::vector<Call> watch;
        int wakes = 0;
        for (const auto& call : ticks[i]) {
            if (call.kind != "futex") {
                watch.push_back(call);
                continue;
            }
            ++wakes;
            EXPECT_NE(call.line.find("FUTEX_WAKE"), std::string::npos) << call.line;
        }
        ExpectTick(static_cast<int>(i + 1), watch, 2);
        // One entry a tick ("Testing processes"), two more on the DNS tick.
        EXPECT_LE(wakes, (i + 1) % 5 == 0 ? 3 : 1);
    }

    // The writer: the thread whose calls include the lock on the log.
    std::vector<Call> writer;
    for (const auto& file : TraceFiles()) {
        const auto calls = ReadTrace(file);
        for (const auto& call : calls) {
            if (call.kind == "flock") {
                writer = calls;
                break;
            }
        }
        if (!writer.empty()) break;
    }
    ASSERT_FALSE(writer.empty());
    const std::vector<std::string>& entry = kEntryCalls;
    int entries = 0;
    std::vector<std::string> run;  // the calls since the last sleep on the queue
    const auto check_run = [&] {
        ASSERT_EQ(run.size() % entry.size(), 0u) << ::testing::PrintToString(run);
        for (size_t at = 0; at < run.size(); at += entry.size()) {
            EXPECT_EQ(std::vector<std::string>(run.begin() + static_cast<long>(at),
                                               run.begin() + static_cast<long>(at + entry.size())),
                      entry);
            ++entries;
        }
        run.clear();
    };
    // The thread's own start (its signal mask and the like) comes first.
    const auto first_entry = std::find_if(writer.begin(), writer.end(), [](const Call& call) {
        return call.kind == kEntryCalls.front();
    });
    for (const auto& call : std::vector<Call>(first_entry, writer.end())) {
        if (call.kind == "futex") {
            check_run();
        } else {
            run.push_back(call.kind);
        }
    }
    // The thread's own end, once the monitor's exit has emptied the queue.
    if (!run.empty() && run.back() == "exit") run.clear();
    check_run();
    EXPECT_GE(entries, 4);
}

// Flag checks in a trace file that is still being written: one per tick.
int FlagChecks(const std::string& path) {
    int checks = 0;
    for (const auto& call : ReadTrace(path)) checks += call.kind == "open" && call.names(kFlag);
    return checks;
}

TEST_F(KsMonitorSyscallBudget, ZombieClient_AFewExtraWaitsNoneWithAZeroTimeout) {
    ASSERT_TRUE(WriteFile(kResolver, ResolverFile(0)));
    // A client whose parent, a shell, reaps it only while it is not stopped;
    // it takes over the client's pid file from the fixture's.
    const pid_t parent =
        Spawn({"/bin/sh", "-c", "\"$0\" \"$1\" & wait", KS_STANDIN_CLIENT, "/tmp/zombie.signals"});
    pid_t zombie = 0;
    ASSERT_TRUE(WaitFor([&] {
        zombie = std::atoi(ReadFile("/etc/ppp/kestrun.pid").value_or("0").c_str());
        return zombie > 0 && zombie != client_;
    }));
    const pid_t strace = LaunchTraced();
    const std::string loop = WaitForTicks(2);
    ASSERT_FALSE(loop.empty());

    ASSERT_EQ(kill(parent, SIGSTOP), 0);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(parent) == 'T'; }));
    ASSERT_EQ(kill(zombie, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(zombie) == 'Z'; }));
    // Three seconds and more of ticks with the zombie.
    const int checks = FlagChecks(loop);
    EXPECT_TRUE(WaitFor([&] { return FlagChecks(loop) >= checks + 4; }, 10000ms));
    // Reaped now: the monitor's next probe finds the client gone, sends pppd
    // its SIGTERM and ends.
    ASSERT_EQ(kill(parent, SIGCONT), 0);
    EXPECT_EQ(WaitForChild(parent), 0);
    EXPECT_NE(WaitForChild(strace, 15000ms), -1);
    EXPECT_TRUE(WaitFor([] { return RecordLines(kPppdRecord) == 1; }));

    int waits = 0;
    int flag_checks = 0;
    bool woken = false;  // a wait returned because a descriptor reported
    for (const auto& call : ReadTrace(loop)) {
        if (call.kind == "open" && call.names(kFlag)) ++flag_checks;
        if (call.kind != "wait") continue;
        ++waits;
        EXPECT_FALSE(ZeroTimeout(call)) << call.line;
        if (call.line.find("revents=") != std::string::npos) woken = true;
    }
    EXPECT_TRUE(woken);
    // Every flag check but the last, which ended the monitor, is followed by
    // its tick's own wait; the rest come from the zombie.
    EXPECT_LE(waits - (flag_checks - 1), 15) << waits << " waits, " << flag_checks << " ticks";
}

// The calls between the probe program's two markers "<name>-begin" and
// "<name>-end".
std::vector<Call> Between(const std::vector<Call>& calls, const std::string& name) {
    std::vector<Call> inside;
    bool in = false;
    for (const auto& call : calls) {
        if (call.line.find("/ks-marker/" + name + "-begin") != std::string::npos) {
            in = true;
        } else if (call.line.find("/ks-marker/" + name + "-end") != std::string::npos) {
            return inside;
        } else if (in) {
            inside.push_back(call);
        }
    }
    ADD_FAILURE() << "markers of " << name << " not found";
    return {};
}

TEST_F(KslogSyscallBudget, LogEntry_SevenCallsOneWriteAndNoneWhenDisabled) {
    // LeakSanitizer cannot run under strace (both trace the process).
    const pid_t strace = Spawn(StraceArgv("log", KS_PERF_LOG_PROBE),
                               {"KSLOGPRIORITY", "ASAN_OPTIONS=detect_leaks=0"});
    ASSERT_EQ(WaitForChild(strace, 15000ms), 0);
    const auto files = TraceFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto calls = ReadTrace(files.front());

    // Four entries of different shapes (plain, own line end, two lines,
    // empty): each one judge-open-lock-check-write-close cycle with one
    // write.
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), kEntryCalls.begin(), kEntryCalls.end());
    const auto enabled = Between(calls, "enabled");
    EXPECT_EQ(Kinds(enabled), expected);
    for (const auto& call : enabled) {
        if (call.kind == "open" || call.kind == "lstat") {
            EXPECT_TRUE(call.names(DefaultLog())) << call.line;
        }
    }

    EXPECT_EQ(Kinds(Between(calls, "disabled")), std::vector<std::string>{});
}

}  // namespace
