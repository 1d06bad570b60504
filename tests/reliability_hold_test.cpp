// The watch waits on nothing but its own probes: a log whose inode lock is
// held for good (a file system that stops answering), a flag file that
// another process holds at start-up, a repair command that never ends, a
// file size limit and a huge resolver file. In each, the client's death
// still brings pppd its one SIGTERM at once. Runs the real monitor inside
// ks_sandbox, as root (the hold needs a userfaultfd that catches the
// kernel's faults).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "in_sandbox.h"
#include "inode_hold.h"
#include "monitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";
constexpr auto kReaction = 500ms;
const std::string kShutdown = "ksMonitor received shutdown command; ksMonitor exiting";

EnvEdits MonitorEnv(const std::string& level, const EnvEdits& extra = {}) {
    EnvEdits env = {
        "IFNAME=ppp0", "KSLOGPRIORITY=" + level,     "DNS1=192.0.2.53", "DNS2", "SUDO_UID",
        "SUDO_GID",    "ASAN_OPTIONS=detect_leaks=0"};
    for (int i = 0; i < 32; ++i) env.push_back("DNSSUFFIX" + std::to_string(i));
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// A value of /proc/<pid>/status in kB ("RssAnon:   1234 kB"), -1 if absent.
long StatusKb(pid_t pid, const std::string& field) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status").value_or(""));
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(field + ":")) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// Whether one of the process's threads sits in the kernel uninterruptibly
// (its writer, waiting for the held inode lock).
bool ThreadHeld(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return false;
    bool held = false;
    while (const dirent* entry = readdir(dir)) {
        const pid_t tid = std::atoi(entry->d_name);
        if (tid > 0 && ProcessState(tid) == 'D') held = true;
    }
    closedir(dir);
    return held;
}

class KsMonitorNeverWaits : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        InstallRepairStandin();
        ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
        pppd_ = StartPppd();
        client_ = StartClient();
    }

    void TearDown() override {
        for (const pid_t p : {monitor_, client_, pppd_})
            if (p > 0 && ProcessState(p) != 0) KillAndReap(p);
        // A repair command the monitor left behind; its shell is ours now
        // and reaps it.
        if (const int left = std::atoi(Record("/tmp/repair.pid").c_str()); left > 0)
            kill(left, SIGKILL);
    }

    // Starts the monitor (through `argv`, which ends by running it) and
    // expects it to detach; leaves its pid in monitor_.
    // With `listed`, waits until its first entries are in the log.
    void Launch(const std::string& level, const EnvEdits& extra = {},
                std::vector<std::string> argv = {KS_MONITOR_BIN}, bool listed = true) {
        const auto started = RunProgram(argv, MonitorEnv(level, extra));
        ASSERT_EQ(started.exit_code(), 0) << started.err;
        ASSERT_TRUE(WaitFor([] { return MonitorChildren().size() == 1; }));
        monitor_ = MonitorChildren().front();
        // Watching once it lists what it watches.
        if (listed) {
            ASSERT_TRUE(WaitFor([] { return CountEntries("Monitoring processes:") == 1; }));
        }
    }

    // Kills the client; true when pppd's one SIGTERM came within the bound.
    bool ClientDeathTerminatesPppd() {
        KillAndReap(client_);
        const bool in_time = WaitFor([] { return RecordLines(kPppdRecord) >= 1; }, kReaction);
        if (!in_time) ADD_FAILURE() << "no SIGTERM within " << kReaction.count() << " ms";
        return in_time;
    }

    void ExpectOneSigtermFromTheMonitor() {
        EXPECT_EQ(WaitForChild(pppd_), 0);  // ended on its SIGTERM
        EXPECT_EQ(Record(kPppdRecord),
                  std::to_string(SIGTERM) + " " + std::to_string(monitor_) + "\n");
    }

    // Whether a file can be created in /run at once (`touch`, within a
    // second): nothing holds the directory's lock.
    static bool ProbeRunCreatesAtOnce() {
        const pid_t touch = fork();
        if (touch == 0) {
            execlp("touch", "touch", "/run/probe", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (touch < 0) return false;
        const int status = WaitForChild(touch, 1000ms);
        if (status < 0) {
            ADD_FAILURE() << "touch /run/probe still waits";
            // Stuck in the kernel until the hold ends: not waited for here.
            kill(touch, SIGKILL);
            return false;
        }
        unlink("/run/probe");
        return status == 0;
    }

    std::string Warning() const {
        return "general warn Kestrun " + std::to_string(client_) +
               " closed unexpectedly; attempting to cleanup pppd " + std::to_string(pppd_);
    }

    pid_t pppd_ = 0;
    pid_t client_ = 0;
    pid_t monitor_ = 0;
};

class KsMonitorHeldLog : public KsMonitorNeverWaits,
                         public ::testing::WithParamInterface<const char*> {};

// The log's file system stops answering: the watch goes on, and once it
// answers again every entry made meanwhile is in the file, whole, in order.
TEST_P(KsMonitorHeldLog, ClientDeath_SigtermAtOnceEntriesKeptInOrder) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_KERNEL_FAULT_HOLD);
    const std::string level = GetParam();
    Launch(level);
    InodeHold hold(DefaultLog());
    ASSERT_TRUE(hold.held());
    // A few ticks' entries (at debug) wait in the queue.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(ClientDeathTerminatesPppd());
    // The flag goes at once, before the log gets its entries.
    EXPECT_TRUE(WaitFor([] { return !Exists(kFlag); }, kReaction));
    // Its writer really is held (the warning at least waits for the file).
    EXPECT_TRUE(WaitFor([&] { return ThreadHeld(monitor_); }));

    hold.Release();
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();

    for (const auto& line : Lines(ReadFile(DefaultLog()).value_or("")))
        EXPECT_TRUE(ParseEntry(line).has_value()) << line;
    const auto lines = CallerLogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), Warning());
    if (level == "debug") {
        // Made one a tick while held, written in the order they were made.
        std::vector<std::string> expected;
        for (const auto& l : lines)
            if (l.find("Testing processes:") != std::string::npos) expected.push_back(l);
        EXPECT_GE(expected.size(), 2u);
        size_t at = 0;
        for (const auto& l : lines) {
            if (at < expected.size() && l == expected[at]) ++at;
        }
        EXPECT_EQ(at, expected.size());
    }
}

// A cleared flag ends the watch within its tick, held log or not; the
// shutdown entry reaches the file once the hold ends.
TEST_P(KsMonitorHeldLog, ClearedFlag_EndsTheWatch) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_KERNEL_FAULT_HOLD);
    Launch(GetParam());
    InodeHold hold(DefaultLog());
    ASSERT_TRUE(hold.held());
    ASSERT_TRUE(WriteFile(kFlag, "0"));
    // Deleted by the monitor's first exit handler.
    EXPECT_TRUE(WaitFor([] { return !Exists(kFlag); }, 1500ms));
    KillAndReap(client_);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Record(kPppdRecord), "");  // no longer watching

    hold.Release();
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    EXPECT_TRUE(LogHas(kShutdown));
}

INSTANTIATE_TEST_SUITE_P(Levels, KsMonitorHeldLog, ::testing::Values("info", "debug"),
                         [](const auto& info) { return std::string(info.param); });

// An earlier monitor's left-over flag file (0666: any user may write it),
// held by another process for good: start-up neither waits on it nor writes
// it, nor renames over it (that would lock /run until the hold ends); the
// file standing there decides the ticks, and the monitor watches.
TEST_F(KsMonitorNeverWaits, FlagHeldAtStartUp_DetachesAndWatches) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_KERNEL_FAULT_HOLD);
    ASSERT_TRUE(WriteFile(kFlag, "1", 0666));
    struct stat before {};
    ASSERT_EQ(stat(kFlag, &before), 0);
    InodeHold hold(kFlag);
    ASSERT_TRUE(hold.held());
    const auto start = std::chrono::steady_clock::now();
    Launch("info");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(ProbeRunCreatesAtOnce());
    struct stat now {};
    ASSERT_EQ(stat(kFlag, &now), 0);
    EXPECT_EQ(now.st_ino, before.st_ino);  // left alone
    hold.Release();
    EXPECT_EQ(ReadFile(kFlag), "1");
    ASSERT_TRUE(ClientDeathTerminatesPppd());
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();
    EXPECT_FALSE(Exists(kFlag));  // no longer held at the exit: removed
}

// The flag's inode held for good when the monitor ends: pppd still gets its
// SIGTERM, the exit neither waits on the file nor locks /run (an unlink of a
// held file would hold /run's lock while it waits), and the flag stays
// behind, as after a signal.
TEST_F(KsMonitorNeverWaits, FlagHeldAtExit_SigtermSentRunFreeFlagLeft) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_KERNEL_FAULT_HOLD);
    Launch("info");
    struct stat before {};
    ASSERT_EQ(stat(kFlag, &before), 0);
    InodeHold hold(kFlag);
    ASSERT_TRUE(hold.held());
    ASSERT_TRUE(ClientDeathTerminatesPppd());
    EXPECT_TRUE(ProbeRunCreatesAtOnce());
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();
    struct stat now {};
    ASSERT_EQ(stat(kFlag, &now), 0);
    EXPECT_EQ(now.st_ino, before.st_ino);
    hold.Release();
    EXPECT_EQ(ReadFile(kFlag), "1");
}

// The flag opened while the monitor holds its lease at exit: the kernel
// tells the lease's holder with a signal, which must not end the monitor.
// To keep the lease held long enough, /run's own lock is held by a rename
// over another file whose inode is held, so the monitor's unlink waits for
// the directory with the lease taken.
TEST_F(KsMonitorNeverWaits, FlagOpenedWhileLeasedAtExit_MonitorNotKilled) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_KERNEL_FAULT_HOLD);
    Launch("info");
    ASSERT_TRUE(WriteFile("/run/held", "held"));
    ASSERT_TRUE(WriteFile("/run/over", "over"));
    InodeHold hold("/run/held");
    ASSERT_TRUE(hold.held());
    const pid_t mover = fork();
    if (mover == 0) _exit(rename("/run/over", "/run/held") == 0 ? 0 : 1);
    ASSERT_GT(mover, 0);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(mover) == 'D'; }));  // /run locked

    ASSERT_TRUE(ClientDeathTerminatesPppd());
    // The monitor waits for /run in its unlink, the lease held.
    ASSERT_TRUE(WaitFor([&] { return ProcessState(monitor_) == 'D'; }));
    const pid_t opener = fork();
    if (opener == 0) {
        const int fd = open(kFlag, O_RDONLY | O_CLOEXEC);
        _exit(fd >= 0 ? 0 : 1);
    }
    ASSERT_GT(opener, 0);
    // Waits for the lease's release; the monitor has been told by then.
    ASSERT_TRUE(WaitFor([&] { return ProcessState(opener) == 'S'; }));
    std::this_thread::sleep_for(100ms);

    hold.Release();
    EXPECT_EQ(WaitForChild(mover), 0);
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);  // exit(0), not a signal
    ExpectOneSigtermFromTheMonitor();
    EXPECT_EQ(WaitForChild(opener), 0);
    EXPECT_FALSE(Exists(kFlag));
}

// The repair command hangs: the process watch goes on meanwhile, and the
// monitor ends leaving the command to finish on its own.
TEST_F(KsMonitorNeverWaits, RepairThatNeverEnds_ClientDeathStillTerminatesPppd) {
    ASSERT_TRUE(WriteFile("/usr/sbin/kestRun",
                          "#!/bin/sh\necho $$ >/tmp/repair.pid\necho \"$@\" >>/tmp/kestRun.calls\n"
                          "exec sleep 100000\n",
                          0755));
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.99\n"));  // DNS1 missing
    Launch("info");
    ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) == 1; }, 10000ms));
    ASSERT_TRUE(ClientDeathTerminatesPppd());
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();
    EXPECT_EQ(CallerLogLines().back(), Warning());
    // Still running: left to finish on its own.
    EXPECT_TRUE(ProcessRunning(std::atoi(Record("/tmp/repair.pid").c_str())));
}

// During a repair that never ends, the client dies but its parent, stopped,
// reaps it only 2 s later: an unreaped client still probes alive, and its
// descriptor has long reported by then. The reaped client is still noticed
// during the repair, and pppd gets its SIGTERM.
TEST_F(KsMonitorNeverWaits, RepairThatNeverEnds_ClientReapedLateStillTerminatesPppd) {
    ASSERT_TRUE(WriteFile("/usr/sbin/kestRun",
                          "#!/bin/sh\necho $$ >/tmp/repair.pid\necho \"$@\" >>/tmp/kestRun.calls\n"
                          "exec sleep 100000\n",
                          0755));
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.99\n"));  // DNS1 missing
    // A client whose parent, a shell, reaps it only while it is not stopped;
    // it takes over the client's pid file from the fixture's.
    const pid_t parent =
        Spawn({"/bin/sh", "-c", "\"$0\" \"$1\" & wait", KS_STANDIN_CLIENT, "/tmp/late.signals"});
    pid_t late = 0;
    ASSERT_TRUE(WaitFor([&] {
        late = std::atoi(ReadFile("/etc/ppp/kestrun.pid").value_or("0").c_str());
        return late > 0 && late != client_;
    }));
    Launch("info");
    ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) == 1; }, 10000ms));

    ASSERT_EQ(kill(parent, SIGSTOP), 0);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(parent) == 'T'; }));
    ASSERT_EQ(kill(late, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(late) == 'Z'; }));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(RecordLines(kPppdRecord), 0);  // a zombie is not gone yet
    ASSERT_EQ(kill(parent, SIGCONT), 0);
    EXPECT_EQ(WaitForChild(parent), 0);
    // Noticed at the repair's next probe, within a second.
    EXPECT_TRUE(WaitFor([] { return RecordLines(kPppdRecord) >= 1; }, 2000ms));
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();
}

// A file size limit below the log's size: every entry comes back short and
// is dropped; the monitor is not killed by SIGXFSZ and keeps watching.
TEST_F(KsMonitorNeverWaits, FileSizeLimit_MonitorKeepsWatching) {
    ASSERT_TRUE(WriteFile(DefaultLog(), std::string(64 * 1024, '#') + "\n"));
    // "ulimit -f" counts blocks of 512 or 1024 bytes: either way far below
    // the log's size. SIGXFSZ is left at its default for the monitor.
    // Its first entry after detaching is the first write past the limit.
    Launch("info", {}, {"/bin/sh", "-c", "ulimit -f 8 && exec \"$0\"", KS_MONITOR_BIN}, false);
    std::this_thread::sleep_for(2500ms);
    ASSERT_TRUE(ProcessRunning(monitor_));
    ASSERT_TRUE(ClientDeathTerminatesPppd());
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();
}

// A 64 MiB resolver file of one search line, with all 32 suffixes
// configured and none present, so every one is looked for to the end: the
// check costs little memory, and a death during it is met at once.
TEST_F(KsMonitorNeverWaits, HugeResolverFile_BoundedMemoryAndReaction) {
    std::string text = "nameserver 192.0.2.53\nsearch ";
    text.append(64u << 20, 'x');
    text += "\n";
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", text));
    text.clear();
    text.shrink_to_fit();
    EnvEdits suffixes;
    for (int i = 0; i < 32; ++i)
        suffixes.push_back("DNSSUFFIX" + std::to_string(i) + "=s" + std::to_string(i) +
                           ".corp.example");
    Launch("debug", suffixes);
    const long steady = StatusKb(monitor_, "RssAnon");
    ASSERT_GT(steady, 0);

    // The first check: memory while it reads, up to its result.
    long peak = steady;
    ASSERT_TRUE(WaitFor(
        [&] {
            peak = std::max(peak, StatusKb(monitor_, "RssAnon"));
            return CountEntries("test_dns:DNS result:") == 1;
        },
        20000ms));
    EXPECT_LE(peak - steady, 1024) << "steady " << steady << " kB, peak " << peak << " kB";
    // The repair it asked for rewrote the file; put the huge one back.
    ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) == 1; }));
    std::string again = "nameserver 192.0.2.53\nsearch ";
    again.append(64u << 20, 'x');
    again += "\n";
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", again));

    // The second check: the client dies while it reads.
    ASSERT_TRUE(
        WaitFor([] { return CountEntries("test_dns:Testing DNS servers:") == 2; }, 15000ms));
    ASSERT_TRUE(ClientDeathTerminatesPppd());
    EXPECT_EQ(WaitForChild(monitor_, 5000ms), 0);
    ExpectOneSigtermFromTheMonitor();
    // Ended without a verdict.
    EXPECT_EQ(CountEntries("test_dns:DNS result:"), 1);
}

}  // namespace
