// ksMonitor as a black box: the real program on the real paths, inside the
// sandbox's private mount and pid namespace, with stand-ins for pppd, the
// client and the client's DNS set-up command. The test process is a child
// subreaper, so the detached monitor becomes its child and its exit status
// can be checked.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ksMonitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";
constexpr const char* kSharedLink = "/tmp/kestRun.log";
const std::string kShutdownMessage = "ksMonitor received shutdown command; ksMonitor exiting";
const std::string kTestingProcesses = "test_processes:Testing processes:";

// The environment the client starts the monitor with, minus what each test
// adds: nothing of the test runner's own leaks in.
EnvEdits BaseEnv() {
    EnvEdits env = {"IFNAME=ppp0", "KSLOGPRIORITY=debug", "DNS1", "DNS2", "SUDO_UID", "SUDO_GID"};
    for (int i = 0; i < 32; ++i) env.push_back("DNSSUFFIX" + std::to_string(i));
    return env;
}

class KsMonitor : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        InstallRepairStandin();
        ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    }

    void StartTunnel(const std::string& ifname = "ppp0") {
        pppd_ = StartPppd(ifname);
        client_ = StartClient();
    }

    // Starts the monitor as the client would, through an optional wrapper
    // command; returns what the starting process saw.
    RunResult Launch(const EnvEdits& extra = {}, std::vector<std::string> argv = {}) {
        EnvEdits env = BaseEnv();
        env.insert(env.end(), extra.begin(), extra.end());
        argv.push_back(KS_MONITOR_BIN);
        return RunProgram(argv, env);
    }

    // Launches and expects the monitor to detach and start watching.
    void LaunchDetached(const EnvEdits& extra = {}, std::vector<std::string> argv = {}) {
        const auto started = Launch(extra, std::move(argv));
        ASSERT_EQ(started.exit_code(), 0) << started.err;
        ASSERT_EQ(started.err, "");
        const auto monitors = MonitorChildren();
        ASSERT_EQ(monitors.size(), 1u);
        monitor_ = monitors.front();
        ASSERT_TRUE(WaitFor([] { return CountEntries("Monitoring processes:") == 1; }));
    }

    // Waits until the running monitor has started n more ticks (at debug).
    void WaitTicks(int n) {
        const int now = CountEntries(kTestingProcesses);
        ASSERT_TRUE(WaitFor([&] { return CountEntries(kTestingProcesses) >= now + n; }, 5000ms));
    }

    // The monitor's exit status once it ends.
    int MonitorExit(std::chrono::milliseconds timeout = 5000ms) {
        return WaitForChild(monitor_, timeout);
    }

    std::string ClientWarning() const {
        return "Kestrun " + std::to_string(client_) +
               " closed unexpectedly; attempting to cleanup pppd " + std::to_string(pppd_);
    }

    std::string SigtermFromMonitor() const {
        return std::to_string(SIGTERM) + " " + std::to_string(monitor_) + "\n";
    }

    pid_t pppd_ = 0;
    pid_t client_ = 0;
    pid_t monitor_ = 0;
};

// ---- start-up ----------------------------------------------------------------

TEST_F(KsMonitor, StartupFailuresExitWithTheirStatusAndMessage) {
    const std::string kNoClient = "Couldn't find Kestrun pid; ksMonitor exiting\n";
    const std::string kNoPppd = "Couldn't find pppd pid; ksMonitor exiting\n";
    const std::string alive = std::to_string(getpid()) + "\n";
    struct Case {
        const char* name;
        std::optional<std::string> client_pid_file;  // "/etc/ppp/kestrun.pid"
        std::optional<std::string> ifname;           // nullopt: IFNAME unset
        std::optional<std::string> pppd_pid_file;    // "/var/run/ppp0.pid"
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no pid files at all", std::nullopt, "ppp0", std::nullopt, 1, kNoClient},
        {"client judged first", std::nullopt, std::nullopt, std::nullopt, 1, kNoClient},
        {"client pid file without a number", "kestrun\n", "ppp0", alive, 1, kNoClient},
        {"negative client pid", "-5\n", "ppp0", alive, 1, kNoClient},
        {"client pid beyond the pid range", "2147483648\n", "ppp0", alive, 1, kNoClient},
        {"client pid overflowing", "99999999999999999999\n", "ppp0", alive, 1, kNoClient},
        {"IFNAME unset", alive, std::nullopt, alive, 2, kNoPppd},
        {"no pppd pid file", alive, "ppp0", std::nullopt, 2, kNoPppd},
        {"pppd pid file holding 0", alive, "ppp0", "0\n", 2, kNoPppd},
        // Would name the client's own pid file, which holds a live pid.
        {"IFNAME with a slash", alive, "../../etc/ppp/kestrun", alive, 2, kNoPppd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveAll("/etc/ppp/kestrun.pid");
        RemoveAll("/var/run/ppp0.pid");
        RemoveAll(LogFilePath());
        (void)mkdir("/etc/ppp", 0755);  // may exist already
        if (c.client_pid_file) {
            ASSERT_TRUE(WriteFile("/etc/ppp/kestrun.pid", *c.client_pid_file));
        }
        if (c.pppd_pid_file) {
            ASSERT_TRUE(WriteFile("/var/run/ppp0.pid", *c.pppd_pid_file));
        }
        const auto result =
            Launch({c.ifname ? "IFNAME=" + *c.ifname : "IFNAME", "KSLOGPRIORITY=info"});
        EXPECT_EQ(result.exit_code(), c.status);
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(MonitorChildren(), std::vector<pid_t>{});  // it never detached
        EXPECT_FALSE(Exists(kFlag));                         // the exit handler removed it
        EXPECT_FALSE(Exists(kSharedLink));                   // and the log facility its link
        EXPECT_EQ(LogLines(), std::vector<std::string>{});
    }
}

TEST_F(KsMonitor, FailedDetachExitsWithStatus3) {
    StartTunnel();
    // No fork possible. The sanitizers' exit-time leak check would need one.
    const auto result =
        Launch({"KSLOGPRIORITY=info", "ASAN_OPTIONS=detect_leaks=0"}, {KS_DENY_SYSCALLS, "fork"});
    const std::string reason = std::strerror(EAGAIN);
    EXPECT_EQ(result.exit_code(), 3);
    EXPECT_EQ(result.err, "ERROR: daemon: " + reason + "\n");
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"general error ksMonitor failure; daemon: " + reason});
    EXPECT_FALSE(Exists(kFlag));
    EXPECT_EQ(Record(kPppdRecord), "");
}

TEST_F(KsMonitor, DetachesAndListsWhatItWatches) {
    // An empty IFNAME is a name like any other: "/var/run/.pid".
    StartTunnel("");
    const auto started =
        Launch({"IFNAME=", "KSLOGPRIORITY=info", "DNS2=10.0.0.2", "DNSSUFFIX0=corp.example.com",
                "DNSSUFFIX1=lab.example", "DNSSUFFIX3=after.gap"},
               {"/bin/sh", "-c", "umask 077; exec \"$0\""});
    EXPECT_EQ(started.exit_code(), 0);
    EXPECT_EQ(started.out, "");
    EXPECT_EQ(started.err, "");
    // The starter ended without exit handlers: flag and shared link stay.
    EXPECT_EQ(ReadFile(kFlag), "1");
    struct stat st {};
    ASSERT_EQ(stat(kFlag, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_TRUE(Exists(kSharedLink));

    const auto monitors = MonitorChildren();
    ASSERT_EQ(monitors.size(), 1u);
    monitor_ = monitors.front();
    EXPECT_EQ(getsid(monitor_), monitor_);
    const std::string proc = "/proc/" + std::to_string(monitor_);
    char target[256] = {};
    ASSERT_GT(readlink((proc + "/cwd").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/");
    for (const char* stream : {"/fd/0", "/fd/1", "/fd/2"}) {
        char name[256] = {};
        ASSERT_GT(readlink((proc + stream).c_str(), name, sizeof name - 1), 0) << stream;
        EXPECT_STREQ(name, "/dev/null") << stream;
    }

    ASSERT_TRUE(WaitFor([] { return CountEntries("Monitoring DNS suffix:") == 2; }));
    const std::string pid = std::to_string(monitor_);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "general info Monitoring processes:  ks=" + std::to_string(client_) +
                                  ", pppd=" + std::to_string(pppd_),
                              "dns info Monitoring nameserver: 10.0.0.2",
                              "dns info Monitoring DNS suffix: corp.example.com",
                              "dns info Monitoring DNS suffix: lab.example",
                          }));
    for (const auto& e : ReadLog()) EXPECT_EQ(e.pid, monitor_);

    ASSERT_TRUE(WriteFile(kFlag, "0"));
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_EQ(LogLines().back(), "general info " + kShutdownMessage);
    EXPECT_FALSE(Exists(kFlag));
    EXPECT_FALSE(Exists(kSharedLink));
}

// ---- shutdown flag -------------------------------------------------------------

TEST_F(KsMonitor, FlagHoldingOneWithBlankOrLineEndKeepsItRunning) {
    StartTunnel();
    LaunchDetached();
    for (const char* value : {" 1", "1\n"}) {
        SCOPED_TRACE(value);
        ASSERT_TRUE(WriteFile(kFlag, value));
        WaitTicks(2);  // a whole tick began after the write
        EXPECT_TRUE(ProcessRunning(monitor_));
    }
    EXPECT_EQ(CountEntries(kShutdownMessage), 0);
    ASSERT_TRUE(WriteFile(kFlag, "0"));
    EXPECT_EQ(MonitorExit(), 0);
}

class KsMonitorFlagStops : public KsMonitor,
                           public ::testing::WithParamInterface<std::optional<std::string>> {};

TEST_P(KsMonitorFlagStops, AtTheNextTick) {
    StartTunnel();
    LaunchDetached();
    if (GetParam()) {
        ASSERT_TRUE(WriteFile(kFlag, *GetParam()));
    } else {
        ASSERT_EQ(unlink(kFlag), 0);
    }
    EXPECT_EQ(MonitorExit(), 0);
    // The shutdown entry, then the log facility's clean-up resetting the
    // levels from debug while it still knows the file.
    const auto entries = ReadLog();
    size_t at = 0;
    while (at < entries.size() && entries[at].message != kShutdownMessage) ++at;
    ASSERT_LT(at, entries.size());
    EXPECT_EQ(entries[at].category + " " + entries[at].priority, "general info");
    EXPECT_EQ(entries.size() - at - 1, 11u);
    for (size_t i = at + 1; i < entries.size(); ++i) {
        EXPECT_TRUE(entries[i].message.starts_with("Changed ")) << entries[i].message;
        EXPECT_TRUE(entries[i].message.ends_with(" log priority to info")) << entries[i].message;
    }
    EXPECT_FALSE(Exists(kFlag));
    EXPECT_FALSE(Exists(kSharedLink));
    EXPECT_EQ(Record(kPppdRecord), "");
    EXPECT_EQ(Record(kClientRecord), "");
}

INSTANTIATE_TEST_SUITE_P(Values, KsMonitorFlagStops,
                         ::testing::Values(std::optional<std::string>{"0"},
                                           std::optional<std::string>{""},
                                           std::optional<std::string>{}),
                         [](const auto& info) {
                             if (!info.param) return std::string("Deleted");
                             return info.param->empty() ? std::string("Empty")
                                                        : "Holding" + *info.param;
                         });

TEST_F(KsMonitor, SecondMonitorFailingAtStartStopsTheFirst) {
    StartTunnel();
    LaunchDetached();
    // It rewrites and then deletes the one shared flag file; it found the
    // shared log link, so it leaves that alone.
    const auto second = Launch({"IFNAME"});
    EXPECT_EQ(second.exit_code(), 2);
    EXPECT_TRUE(Exists(kSharedLink));
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_TRUE(LogHas(kShutdownMessage));
    EXPECT_FALSE(Exists(kSharedLink));
}

TEST_F(KsMonitor, ASignalLeavesTheFlagFileBehind) {
    StartTunnel();
    LaunchDetached();
    ASSERT_EQ(kill(monitor_, SIGTERM), 0);
    const int status = MonitorExit();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(ReadFile(kFlag), "1");
    EXPECT_TRUE(Exists(kSharedLink));
    EXPECT_EQ(Record(kPppdRecord), "");
}

// ---- process watch ---------------------------------------------------------------

// Client death, however the monitor was started: normally, with its
// standard streams closed (its process descriptors must survive detaching),
// and on a kernel without process descriptors (it falls back to numbers).
class KsMonitorClientDeath : public KsMonitor,
                             public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(KsMonitorClientDeath, TerminatesPppdOnceAndExits) {
    StartTunnel();
    LaunchDetached({"ASAN_OPTIONS=detect_leaks=0"}, GetParam());
    WaitTicks(2);  // both probes keep succeeding
    KillAndReap(client_);
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_TRUE(LogHas(ClientWarning()));
    EXPECT_EQ(WaitForChild(pppd_), 0);  // ended on its SIGTERM
    EXPECT_EQ(Record(kPppdRecord), SigtermFromMonitor());
    EXPECT_FALSE(Exists(kFlag));
    EXPECT_FALSE(Exists(kSharedLink));
}

std::string ClientDeathCaseName(size_t index) {
    const char* const names[] = {"Normally", "WithClosedStreams", "WithoutPidfd"};
    return names[index];
}

INSTANTIATE_TEST_SUITE_P(Started, KsMonitorClientDeath,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"/bin/sh", "-c",
                                                                    "exec \"$0\" <&- >&- 2>&-"},
                                           std::vector<std::string>{KS_DENY_SYSCALLS, "pidfd"}),
                         [](const auto& info) { return ClientDeathCaseName(info.index); });

TEST_F(KsMonitor, PppdDeathEndsTheMonitorWithoutSignals) {
    StartTunnel();
    LaunchDetached();
    WaitTicks(1);
    KillAndReap(pppd_);
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_TRUE(LogHas("pppd closed; terminating monitor"));
    EXPECT_FALSE(LogHas(ClientWarning()));
    EXPECT_EQ(Record(kClientRecord), "");
    EXPECT_FALSE(Exists(kFlag));
}

// A watched process ends and, before the monitor's next tick, a stranger
// takes its number (pid minus one written to ns_last_pid hands the number to
// the next new process). The monitor must neither take the stranger for the
// watched process nor signal it.
class KsMonitorPidReuse : public KsMonitor, public ::testing::WithParamInterface<bool> {};

TEST_P(KsMonitorPidReuse, StrangerWithTheSameNumberIsNeverTakenForIt) {
    const bool pppd_replaced = GetParam();
    StartTunnel();
    LaunchDetached();
    WaitTicks(1);
    // Held still while the number changes hands.
    ASSERT_EQ(kill(monitor_, SIGSTOP), 0);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(monitor_) == 'T'; }));
    const pid_t victim = pppd_replaced ? pppd_ : client_;
    KillAndReap(victim);
    {
        const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::string last = std::to_string(victim - 1);
        ASSERT_EQ(write(fd, last.data(), last.size()), static_cast<ssize_t>(last.size()));
        close(fd);
    }
    const pid_t stranger = StartPppd("stranger", "/tmp/stranger.signals");
    ASSERT_EQ(stranger, victim);
    ASSERT_EQ(kill(monitor_, SIGCONT), 0);

    EXPECT_EQ(MonitorExit(), 0);
    if (pppd_replaced) {
        EXPECT_TRUE(LogHas("pppd closed; terminating monitor"));
    } else {
        EXPECT_TRUE(LogHas(ClientWarning()));
        EXPECT_EQ(WaitForChild(pppd_), 0);
        EXPECT_EQ(Record(kPppdRecord), SigtermFromMonitor());
    }
    EXPECT_EQ(Record("/tmp/stranger.signals"), "");
    EXPECT_TRUE(ProcessRunning(stranger));
}

INSTANTIATE_TEST_SUITE_P(Of, KsMonitorPidReuse, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Pppd" : "Client");
});

// ---- DNS watch ---------------------------------------------------------------------

TEST_F(KsMonitor, LostNameserverIsRepairedThroughTheMainLoop) {
    StartTunnel();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf",
                          "nameserver 192.0.2.53\nnameserver 10.0.0.2\nsearch corp.example.com\n"));
    LaunchDetached({"DNS1=10.0.0.1", "DNS2=10.0.0.2", "DNSSUFFIX0=corp.example.com"});
    // The first check comes with the fifth tick.
    ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) == 1; }, 8000ms));
    EXPECT_EQ(Record(kRepairRecord), "--setup-dns\n");
    EXPECT_EQ(ReadFile("/etc/resolv.conf"),
              "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch corp.example.com\n");
    std::vector<std::string> seen;
    int ticks = 0;
    for (const auto& e : ReadLog()) {
        if (e.message.starts_with(kTestingProcesses)) ++ticks;
        if (e.category == "dns" && e.priority != "info")
            seen.push_back(std::to_string(ticks) + " " + e.message);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "5 test_dns:Testing DNS servers: 10.0.0.1 / 10.0.0.2",
                        "5 DNS server 10.0.0.1 is no longer configured locally",
                    }));
    ASSERT_TRUE(WriteFile(kFlag, "0"));
    EXPECT_EQ(MonitorExit(), 0);
}

}  // namespace
