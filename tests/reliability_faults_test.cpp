// Fault injection against the monitor, each fault with its stated outcome:
// a log that cannot be written, a flag directory that cannot be written, a
// pppd that ignores SIGTERM, resolver and flag files of every kind, repair
// commands that fail. Runs inside ks_sandbox; the extra mounts (a full or
// read-only tmpfs) live and die with the test's own namespace.
//
// Faults covered elsewhere and not repeated here: client and pppd killed
// with SIGKILL (ksMonitor_test: KsMonitorClientDeath, PppdDeath_Ends...), a
// missing resolver file (ksMonitor_watch_test: KsMonitorDnsWatch table and counters),
// a short write (kslog_test: KslogRotation.ShortWrite_CutBackToWholeEntries).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dns_watch.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "monitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";
const std::string kShutdown = "ksMonitor received shutdown command; ksMonitor exiting";
const std::string kGiveUp = "Fixed DNS settings 3 times in a row; giving up for 1 minute";

EnvEdits MonitorEnv(const EnvEdits& extra) {
    EnvEdits env = {"IFNAME=ppp0", "KSLOGPRIORITY=debug", "DNS1", "DNS2", "SUDO_UID", "SUDO_GID"};
    for (int i = 0; i < 32; ++i) env.push_back("DNSSUFFIX" + std::to_string(i));
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

void MountTmpfs(const std::string& dir, const std::string& options) {
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
    ASSERT_EQ(mount("reliab", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()), 0)
        << dir << ": " << std::strerror(errno);
}

void RemountReadOnly(const std::string& dir) {
    ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << dir << ": " << std::strerror(errno);
}

// Writes until the file system says it is full.
void FillUp(const std::string& dir) {
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    close(fd);
    ASSERT_TRUE(full) << std::strerror(errno);
}

class KsMonitorFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        InstallRepairStandin();
        ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    }

    // Starts the monitor and expects it to detach; leaves its pid in monitor_.
    void Launch(const EnvEdits& extra = {}) {
        const auto started = RunProgram({KS_MONITOR_BIN}, MonitorEnv(extra));
        ASSERT_EQ(started.exit_code(), 0) << started.err;
        ASSERT_EQ(started.err, "");
        ASSERT_TRUE(WaitFor([] { return MonitorChildren().size() == 1; }));
        monitor_ = MonitorChildren().front();
    }

    int MonitorExit() { return WaitForChild(monitor_, 5000ms); }

    pid_t monitor_ = 0;
};

// ---- the log cannot be written ------------------------------------------------

// Whatever keeps entries from the log, the monitor goes on watching: the
// client's death still brings pppd exactly one SIGTERM and the monitor ends
// with status 0. A log that takes some bytes holds whole entries only.
TEST_F(KsMonitorFaults, UnwritableLog_EntriesDroppedWatchGoesOn) {
    enum Fault { kFull, kReadOnlyDirectory, kReadOnlyFile, kDirectoryAtTheName };
    const struct {
        const char* what;
        Fault fault;
    } cases[] = {
        {"log directory on a full tmpfs", kFull},
        {"log directory read-only", kReadOnlyDirectory},
        {"log file read-only", kReadOnlyFile},
        {"a directory at the log file's name", kDirectoryAtTheName},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string home = "/tmp/home" + std::to_string(n++);
        const std::string log = home + "/.kestRun.log";
        switch (c.fault) {
            case kFull:
                MountTmpfs(home, "size=64k,mode=0755");
                FillUp(home);
                break;
            case kReadOnlyDirectory:
                MountTmpfs(home, "size=64k,mode=0755");
                RemountReadOnly(home);
                break;
            case kReadOnlyFile:
                ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
                ASSERT_TRUE(WriteFile(log, ""));
                ASSERT_EQ(mount(log.c_str(), log.c_str(), nullptr, MS_BIND, nullptr), 0);
                RemountReadOnly(log);
                break;
            case kDirectoryAtTheName:
                ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
                ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
                break;
        }
        RemoveAll(kPppdRecord);
        const pid_t pppd = StartPppd();
        const pid_t client = StartClient();
        Launch({"HOME=" + home});
        // The monitor has started watching once its process descriptors are
        // open; then the client dies.
        ASSERT_TRUE(WaitFor([&] { return ProcessState(monitor_) == 'S'; }));
        KillAndReap(client);
        EXPECT_EQ(MonitorExit(), 0);
        EXPECT_EQ(WaitForChild(pppd), 0);  // ended on its SIGTERM
        EXPECT_EQ(Record(kPppdRecord),
                  std::to_string(SIGTERM) + " " + std::to_string(monitor_) + "\n");
        EXPECT_FALSE(Exists(kFlag));
        struct stat st {};
        if (lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            // Nothing fitted, so nothing stands there: no torn entry.
            EXPECT_EQ(ReadFile(log), "");
        }
    }
}

// ---- the flag directory cannot be written ---------------------------------------

// The flag file cannot be created: nothing is reported, the first tick reads
// 0, logs the shutdown entry and ends the monitor with status 0; nobody is
// signalled.
TEST_F(KsMonitorFaults, ReadOnlyFlagDirectory_FirstTickStops) {
    const pid_t pppd = StartPppd();  // its pid file goes to /run first
    const pid_t client = StartClient();
    RemountReadOnly("/run");
    Launch();
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_FALSE(Exists(kFlag));
    EXPECT_EQ(CountEntries(kShutdown), 1);
    EXPECT_EQ(CountEntries("test_processes:"), 0);  // stopped before any watch
    EXPECT_EQ(Record(kPppdRecord), "");
    EXPECT_EQ(Record(kClientRecord), "");
    EXPECT_TRUE(ProcessRunning(pppd));
    EXPECT_TRUE(ProcessRunning(client));
}

// ---- pppd ignores SIGTERM -------------------------------------------------------

// The monitor sends one SIGTERM and ends; it neither waits for pppd nor
// sends another signal.
TEST_F(KsMonitorFaults, PppdIgnoringSigterm_MonitorStillExits) {
    // A pppd that notes each SIGTERM and carries on.
    const pid_t pppd =
        Spawn({"/bin/sh", "-c",
               "trap 'echo TERM >>/tmp/pppd.terms' TERM; echo $$ >/var/run/ppp0.pid.new; "
               "mv /var/run/ppp0.pid.new /var/run/ppp0.pid; while :; do sleep 0.05; done"});
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile("/var/run/ppp0.pid") == std::to_string(pppd) + "\n"; }));
    const pid_t client = StartClient();
    Launch();
    ASSERT_TRUE(WaitFor([] { return CountEntries("test_processes:") >= 1; }));
    KillAndReap(client);
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_EQ(CountEntries("Kestrun " + std::to_string(client) + " closed unexpectedly"), 1);
    EXPECT_TRUE(WaitFor([] { return ReadFile("/tmp/pppd.terms") == "TERM\n"; }));
    EXPECT_TRUE(ProcessRunning(pppd));
    EXPECT_EQ(ReadFile("/tmp/pppd.terms"), "TERM\n");  // one, and no more came
    KillAndReap(pppd);
}

// ---- the resolver file --------------------------------------------------------

const char* const kServer = "10.0.0.1";

// One DNS check in a child with the log at debug; the caller's entries.
struct DnsOutcome {
    bool returned = false;
    std::vector<std::string> entries;
    int repairs = 0;
};

DnsOutcome CheckDnsOnce(std::chrono::milliseconds timeout = 10000ms) {
    RemoveAll(DefaultLog());
    RemoveAll(kRepairRecord);
    const auto outcome = RunInChild(
        [] {
            setenv("KSLOGPRIORITY", "debug", 1);
            kslogInit();
            test_dns(kServer, nullptr, dns_suffix_list{});
        },
        timeout);
    return {outcome.returned, CallerLogLines(), RecordLines(kRepairRecord)};
}

class KsMonitorDnsFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallRepairStandin();
        ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "1"));
        ASSERT_TRUE(WriteFile("/tmp/good.conf", "nameserver 10.0.0.1\n"));
    }
};

// Anything at /etc/resolv.conf that is not a regular file (after links) is
// unreadable: only the testing entry, no judgement, no repair, no hang. A
// regular file is judged by its bytes, however long its one line.
TEST_F(KsMonitorDnsFaults, ResolverFileOfEveryKind_OnlyRegularFilesJudged) {
    const std::string kTesting = "dns debug test_dns:Testing DNS servers: 10.0.0.1 / <NULL>";
    const std::string kFound = "general debug test_dns:DNS result: 1/0/0";
    enum Kind { kDirectory, kDangling, kFifo, kEndlessDevice, kLinkToFile, kHugeLine };
    const struct {
        const char* what;
        Kind kind;
        std::vector<std::string> entries;
    } cases[] = {
        {"a directory", kDirectory, {kTesting}},
        {"a dangling symbolic link", kDangling, {kTesting}},
        {"a FIFO nobody writes", kFifo, {kTesting}},
        {"a link to an endless device", kEndlessDevice, {kTesting}},
        {"a link to a regular file", kLinkToFile, {kTesting, kFound}},
        {"a 16 MiB single line ending in the server", kHugeLine, {kTesting, kFound}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveAll("/etc/resolv.conf");
        switch (c.kind) {
            case kDirectory:
                ASSERT_EQ(mkdir("/etc/resolv.conf", 0755), 0);
                break;
            case kDangling:
                ASSERT_EQ(symlink("/tmp/nowhere.conf", "/etc/resolv.conf"), 0);
                break;
            case kFifo:
                ASSERT_EQ(mkfifo("/etc/resolv.conf", 0644), 0);
                break;
            case kEndlessDevice:
                ASSERT_EQ(symlink("/dev/zero", "/etc/resolv.conf"), 0);
                break;
            case kLinkToFile:
                ASSERT_EQ(symlink("/tmp/good.conf", "/etc/resolv.conf"), 0);
                break;
            case kHugeLine:
                ASSERT_TRUE(WriteFile("/etc/resolv.conf",
                                      std::string(16 << 20, 'x') + " nameserver 10.0.0.1"));
                break;
        }
        const auto outcome = CheckDnsOnce();
        EXPECT_TRUE(outcome.returned);
        EXPECT_EQ(outcome.entries, c.entries);
        EXPECT_EQ(outcome.repairs, 0);
    }
}

// The file replaced while checks run. Replaced whole (written aside and
// renamed, as resolver managers do), every check sees a whole file: no
// repair ever. Rewritten in place, a check may catch it half written and
// repair; the checks still end and judge.
TEST_F(KsMonitorDnsFaults, ResolverFileChangingWhileRead_EveryCheckEndsAndJudges) {
    // Long enough that a read takes several chunks.
    const std::string kPadding(64 << 10, '#');
    for (const bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "rewritten in place" : "replaced whole");
        ASSERT_TRUE(WriteFile("/etc/resolv.conf", kPadding + "\nnameserver 10.0.0.1\n"));
        RemoveAll(kRepairRecord);
        // The writer is a process, not a thread: the checks run in a forked
        // child, and a fork taken while another thread holds an allocator
        // lock (the sanitizers' among them) leaves the child stuck on it.
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (int i = 0;; ++i) {
                const std::string text = kPadding + "\n# " + std::to_string(i) +
                                         "\nnameserver 10.0.0.1\n" + std::string(i % 4096, '-');
                if (in_place) {
                    WriteFile("/etc/resolv.conf", text);
                } else {
                    WriteFile("/etc/resolv.conf.new", text);
                    (void)rename("/etc/resolv.conf.new", "/etc/resolv.conf");
                }
            }
        }
        RemoveAll(DefaultLog());
        const auto outcome = RunInChild(
            [] {
                setenv("KSLOGPRIORITY", "debug", 1);
                kslogInit();
                for (int call = 0; call < 200; ++call)
                    test_dns(kServer, nullptr, dns_suffix_list{});
            },
            60000ms);
        KillAndReap(writer);
        EXPECT_TRUE(outcome.returned);
        // Every call judged, unless a pause skipped it.
        EXPECT_EQ(CountEntries("test_dns:Testing DNS servers:"),
                  CountEntries("test_dns:DNS result:"));
        if (!in_place) {
            EXPECT_EQ(CountEntries("test_dns:DNS result:"), 200);
            EXPECT_EQ(RecordLines(kRepairRecord), 0);
        }
    }
}

// A repair command that fails, cannot run or is missing is not detected:
// the next checks find the server still missing and repair again, three
// times, then the pause starts.
TEST_F(KsMonitorDnsFaults, FailingRepairCommand_RetriedThenPaused) {
    enum Kind { kMissing, kExitsOne, kNotExecutable, kKilledBySignal };
    const struct {
        const char* what;
        Kind kind;
    } cases[] = {
        {"missing", kMissing},
        {"exits with status 1", kExitsOne},
        {"not executable", kNotExecutable},
        {"killed by a signal", kKilledBySignal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
        RemoveAll("/usr/sbin/kestRun");
        RemoveAll("/tmp/attempts");
        const std::string note = "#!/bin/sh\necho \"$*\" >>/tmp/attempts\n";
        switch (c.kind) {
            case kMissing:
                break;
            case kExitsOne:
                ASSERT_TRUE(WriteFile("/usr/sbin/kestRun", note + "exit 1\n", 0755));
                break;
            case kNotExecutable:
                ASSERT_TRUE(WriteFile("/usr/sbin/kestRun", note, 0644));
                break;
            case kKilledBySignal:
                ASSERT_TRUE(WriteFile("/usr/sbin/kestRun", note + "kill -KILL $$\n", 0755));
                break;
        }
        RemoveAll(DefaultLog());
        const auto outcome = RunInChild([] {
            setenv("KSLOGPRIORITY", "info", 1);
            kslogInit();
            for (int call = 0; call < 5; ++call) test_dns(kServer, nullptr, dns_suffix_list{});
        });
        EXPECT_TRUE(outcome.returned);
        EXPECT_EQ(CountEntries("DNS server 10.0.0.1 is no longer configured locally"), 3);
        EXPECT_EQ(CountEntries(kGiveUp), 1);
        const bool runs = c.kind == kExitsOne || c.kind == kKilledBySignal;
        EXPECT_EQ(RecordLines("/tmp/attempts"), runs ? 3 : 0);
        EXPECT_EQ(ReadFile("/etc/resolv.conf"), "nameserver 192.0.2.53\n");
    }
}

// ---- the flag file ------------------------------------------------------------

// Whatever stands at the flag's name, a check reads at most its first 4 KiB
// and never hangs: it keeps the monitor running only when that reads as 1.
TEST(KsMonitorFlagFaults, FlagFileOfEveryKind_OnlyOneKeepsItRunning) {
    enum Kind {
        kDirectory,
        kLinkToOne,
        kLinkToZero,
        kDangling,
        kFifo,
        kEndlessDevice,
        kHugeOne,
        kHugeDigits
    };
    const struct {
        const char* what;
        Kind kind;
        bool keeps_running;
    } cases[] = {
        {"a directory", kDirectory, false},
        {"a link to a file holding 1", kLinkToOne, true},
        {"a link to a file holding 0", kLinkToZero, false},
        {"a dangling link", kDangling, false},
        {"a FIFO nobody writes", kFifo, false},
        {"a link to an endless device", kEndlessDevice, false},
        {"64 MiB starting with 1 and a line end", kHugeOne, true},
        {"64 MiB of the digit 1", kHugeDigits, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveAll(kKsMonitorFlagPath);
        RemoveAll(DefaultLog());
        switch (c.kind) {
            case kDirectory:
                ASSERT_EQ(mkdir(kKsMonitorFlagPath, 0755), 0);
                break;
            case kLinkToOne:
                ASSERT_TRUE(WriteFile("/tmp/one", "1"));
                ASSERT_EQ(symlink("/tmp/one", kKsMonitorFlagPath), 0);
                break;
            case kLinkToZero:
                ASSERT_TRUE(WriteFile("/tmp/zero", "0"));
                ASSERT_EQ(symlink("/tmp/zero", kKsMonitorFlagPath), 0);
                break;
            case kDangling:
                ASSERT_EQ(symlink("/tmp/nowhere", kKsMonitorFlagPath), 0);
                break;
            case kFifo:
                ASSERT_EQ(mkfifo(kKsMonitorFlagPath, 0666), 0);
                break;
            case kEndlessDevice:
                ASSERT_EQ(symlink("/dev/zero", kKsMonitorFlagPath), 0);
                break;
            case kHugeOne:
                ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "1\n" + std::string(64 << 20, 'x')));
                break;
            case kHugeDigits:
                ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, std::string(64 << 20, '1')));
                break;
        }
        const auto outcome = RunInChild(
            [] {
                setenv("KSLOGPRIORITY", "info", 1);
                kslogInit();
                assert_ks_monitor_flag();
            },
            5000ms);
        if (c.keeps_running) {
            EXPECT_TRUE(outcome.returned);
            EXPECT_EQ(CountEntries(kShutdown), 0);
        } else {
            EXPECT_TRUE(outcome.exited_with(0));
            EXPECT_EQ(CountEntries(kShutdown), 1);
        }
    }
}

}  // namespace
