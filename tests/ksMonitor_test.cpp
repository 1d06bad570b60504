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

#include "monitor_kit.h"

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
    // command and with optional arguments; returns what the starting
    // process saw.
    RunResult Launch(const EnvEdits& extra = {}, std::vector<std::string> argv = {},
                     const std::vector<std::string>& args = {}) {
        EnvEdits env = BaseEnv();
        env.insert(env.end(), extra.begin(), extra.end());
        argv.push_back(KS_MONITOR_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, env);
    }

    // Launches and expects the monitor to detach and start watching.
    void LaunchDetached(const EnvEdits& extra = {}, std::vector<std::string> argv = {},
                        const std::vector<std::string>& args = {}) {
        const auto started = Launch(extra, std::move(argv), args);
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

TEST_F(KsMonitor, StartupFailures_ExitWithTheirStatusAndMessage) {
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
        RemoveAll(DefaultLog());
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

TEST_F(KsMonitor, FailedDetach_ExitsWithStatus3) {
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

TEST_F(KsMonitor, Startup_DetachesAndListsWhatItWatches) {
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

// pppd 2.5 keeps its pid file in /var/run/pppd/ (2.5.1 on) or, in 2.5.0, in
// /var/run/pppd<ifname>.pid: the monitor finds it there, watches that very
// process and ends it when the client dies.
class KsMonitorPppdLayout : public KsMonitor, public ::testing::WithParamInterface<const char*> {};

TEST_P(KsMonitorPppdLayout, EitherLayout_WatchesThePppdItsPidFileNames) {
    ASSERT_EQ(mkdir("/var/run/pppd", 0755), 0);
    StartTunnel(GetParam());  // the stand-in's pid file: /var/run/<name>.pid
    LaunchDetached({"IFNAME=ppp0", "KSLOGPRIORITY=info"});
    EXPECT_TRUE(LogHas("Monitoring processes:  ks=" + std::to_string(client_) +
                       ", pppd=" + std::to_string(pppd_)));
    KillAndReap(client_);
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_EQ(WaitForChild(pppd_), 0);
    EXPECT_EQ(Record(kPppdRecord), SigtermFromMonitor());
}

INSTANTIATE_TEST_SUITE_P(Versions, KsMonitorPppdLayout, ::testing::Values("pppd/ppp0", "pppdppp0"),
                         [](const auto& info) {
                             return std::string(info.index == 0 ? "Pppd251" : "Pppd250");
                         });

// What stands at a name, for telling it untouched: kind, mode, inode, size,
// times of change, and a link's target.
std::string Fingerprint(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "(none)";
    std::string print = std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) + " " +
                        std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " " +
                        std::to_string(st.st_ctim.tv_sec) + "." +
                        std::to_string(st.st_ctim.tv_nsec);
    char target[1024] = {};
    if (S_ISLNK(st.st_mode) && readlink(path.c_str(), target, sizeof target - 1) > 0)
        print += std::string(" -> ") + target;
    return print;
}

// What a second invocation must leave as it was while a monitor runs: the
// flag file, the shared link, the running monitor alone among its kind, and
// a log whose later entries are only that monitor's ticks.
struct RunningMonitorState {
    std::string flag = Fingerprint(kFlag);
    std::string link = Fingerprint(kSharedLink);
    size_t logged = ReadLog().size();

    void ExpectLeftAlone(pid_t monitor) const {
        EXPECT_EQ(Fingerprint(kFlag), flag);
        EXPECT_EQ(ReadFile(kFlag), "1");
        EXPECT_EQ(Fingerprint(kSharedLink), link);
        EXPECT_EQ(MonitorChildren(), std::vector<pid_t>{monitor});
        const auto entries = ReadLog();
        for (size_t i = logged; i < entries.size(); ++i)
            EXPECT_EQ(entries[i].pid, monitor) << entries[i].message;
    }
};

// A lone --help or --version, typed by an administrator while a tunnel's
// monitor runs: the text on standard output, status 0, and nothing else
// happens (no log set-up, no flag written, no second monitor).
TEST_F(KsMonitor, LoneHelpOrVersion_AnswersAndTouchesNothing) {
    const std::string epc = std::string(std::getenv("HOME")) + "/.valdrane/EPC";
    RemoveAll(std::string(std::getenv("HOME")) + "/.valdrane");
    ASSERT_EQ(mkdir((std::string(std::getenv("HOME")) + "/.valdrane").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(epc.c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(epc + "/state", "endpoint data\n"));
    StartTunnel();
    LaunchDetached();
    struct Case {
        const char* option;
        std::string out_start;
    };
    const std::vector<Case> cases = {
        {"--help", "Usage: ksMonitor\n"},
        {"--version", std::string("ksMonitor ") + KS_PROJECT_VERSION + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const RunningMonitorState before;
        const auto result = Launch({}, {}, {c.option});
        EXPECT_EQ(result.exit_code(), 0);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(result.out.starts_with(c.out_start)) << result.out;
        if (std::string(c.option) == "--version") {
            EXPECT_EQ(result.out, c.out_start);
        } else {
            EXPECT_NE(result.out.find("IFNAME"), std::string::npos);        // its environment
            EXPECT_NE(result.out.find("ksMonitor(8)"), std::string::npos);  // its man page
        }
        before.ExpectLeftAlone(monitor_);
        EXPECT_EQ(ReadFile(epc + "/state"), "endpoint data\n");
    }
    WaitTicks(1);
    EXPECT_TRUE(ProcessRunning(monitor_));
    ASSERT_TRUE(WriteFile(kFlag, "0"));
    EXPECT_EQ(MonitorExit(), 0);
}

// Any argument that begins with '-' other than a lone --help or --version
// (a mistyped option, or one among other arguments) is refused with status
// 64 and the usage on standard error, and nothing else happens: before any
// monitor runs, no flag file or log appears; while one runs, its flag, log
// and shared link stay as they are and it goes on watching.
TEST_F(KsMonitor, DashArguments_RefusedAndTouchNothing) {
    const std::vector<std::vector<std::string>> vectors = {
        {"-h"},
        {"--HELP"},
        {"--help="},
        {"-"},
        {"--"},
        {"--help", "x"},
        {"x", "--help"},
        {"--version", "--help"},
        {"--help", "--help"},
        {"foo", "-v"},
    };
    const auto refused = [](const std::vector<std::string>& args, const RunResult& result) {
        EXPECT_EQ(result.exit_code(), 64);
        EXPECT_EQ(result.out, "");
        const std::string named = "ksMonitor: unrecognised option '";
        EXPECT_TRUE(result.err.starts_with(named)) << result.err;
        for (const auto& a : args) {
            if (!a.starts_with("-")) continue;
            EXPECT_TRUE(result.err.starts_with(named + a + "'\nUsage: ksMonitor\n")) << result.err;
            break;  // the first one is named
        }
    };
    const auto shown = [](const std::vector<std::string>& args) {
        std::string text;
        for (const auto& a : args) text += "'" + a + "' ";
        return text;
    };
    // Nothing runs yet: the refusal creates nothing.
    StartTunnel();
    RemoveAll(DefaultLog());
    for (const auto& args : vectors) {
        SCOPED_TRACE("no monitor running: " + shown(args));
        refused(args, Launch({}, {}, args));
        EXPECT_FALSE(Exists(kFlag));
        EXPECT_FALSE(Exists(kSharedLink));
        EXPECT_FALSE(Exists(DefaultLog()));
        EXPECT_TRUE(MonitorChildren().empty());
    }
    LaunchDetached();
    for (const auto& args : vectors) {
        SCOPED_TRACE("a monitor running: " + shown(args));
        const RunningMonitorState before;
        refused(args, Launch({}, {}, args));
        before.ExpectLeftAlone(monitor_);
    }
    WaitTicks(1);
    EXPECT_TRUE(ProcessRunning(monitor_));
    ASSERT_TRUE(WriteFile(kFlag, "0"));
    EXPECT_EQ(MonitorExit(), 0);
}

// Arguments that do not begin with '-' are ignored, as the client may pass
// some: the monitor starts as with none.
TEST_F(KsMonitor, PlainArguments_Ignored) {
    StartTunnel();
    const std::vector<std::vector<std::string>> vectors = {
        {"foo"}, {""}, {"foo", "bar"}, {"x-h"}, {"", "help"},
    };
    for (const auto& args : vectors) {
        std::string shown;
        for (const auto& a : args) shown += "'" + a + "' ";
        SCOPED_TRACE(shown);
        RemoveAll(DefaultLog());
        LaunchDetached({"KSLOGPRIORITY=info"}, {}, args);
        EXPECT_EQ(ReadFile(kFlag), "1");
        ASSERT_TRUE(WriteFile(kFlag, "0"));
        EXPECT_EQ(MonitorExit(), 0);
        EXPECT_TRUE(LogHas(kShutdownMessage));
    }
}

// The starter's descriptors (opened without close-on-exec, as a careless
// client or hook leaves them) never reach the repair command; on a kernel
// without close_range the monitor marks them one by one. Its process
// descriptors keep working: the client's death still ends pppd.
class KsMonitorInherited : public KsMonitor, public ::testing::WithParamInterface<bool> {};

TEST_P(KsMonitorInherited, Descriptors_NeverReachTheRepairCommand) {
    // The repair command's stand-in records what its shell holds open.
    ASSERT_TRUE(WriteFile("/usr/sbin/kestRun",
                          "#!/bin/sh\n"
                          "for fd in /proc/$$/fd/*; do\n"
                          "    printf '%s %s\\n' \"${fd##*/}\" \"$(readlink \"$fd\")\"\n"
                          "done >>/tmp/repair.fds\n"
                          "echo \"$*\" >>/tmp/kestRun.calls\n",
                          0755));
    StartTunnel();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    std::vector<std::string> starter = {
        "/bin/bash", "-c",
        "exec 7>>/tmp/inherited.7 10>>/tmp/inherited.10 251>>/tmp/inherited.251 && "
        "exec \"$0\" \"$@\""};
    if (GetParam()) {
        starter.push_back(KS_DENY_SYSCALLS);
        starter.push_back("close_range");
    }
    LaunchDetached({"DNS1=10.0.0.1", "KSLOGPRIORITY=info", "ASAN_OPTIONS=detect_leaks=0"}, starter);
    const std::string proc = "/proc/" + std::to_string(monitor_) + "/fd/";
    for (const char* fd : {"7", "10", "251"}) EXPECT_TRUE(Exists(proc + fd)) << fd;  // still open
    ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) >= 1; }, 8000ms));
    const std::string fds = Record("/tmp/repair.fds");
    EXPECT_NE(fds, "");
    EXPECT_EQ(fds.find("/tmp/inherited."), std::string::npos) << fds;
    KillAndReap(client_);
    EXPECT_EQ(MonitorExit(), 0);
    // pppd notes the signal on its own time: the monitor's end says nothing
    // of it.
    EXPECT_EQ(WaitForChild(pppd_), 0);
    EXPECT_EQ(Record(kPppdRecord), SigtermFromMonitor());
}

INSTANTIATE_TEST_SUITE_P(Kernels, KsMonitorInherited, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "WithoutCloseRange" : "WithCloseRange");
});

// A signal set of /proc/<pid>/status ("SigIgn:\t0000000001000000"), as a
// mask with bit n-1 for signal n.
unsigned long long SignalSet(const std::string& status, const std::string& field) {
    const auto at = status.find(field + ":\t");
    if (at == std::string::npos) return 0;
    return std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
}

// The repair command starts with SIGXFSZ as the monitor's starter left it,
// as system() would start it: the monitor itself ignores the signal, which
// the command must not inherit unless the starter ignored it too. (The
// signal mask is passed on as well, but /bin/sh clears its own at start, so
// the command's shell shows nothing of it.)
TEST_F(KsMonitor, RepairCommand_GetsSigxfszAsTheStarterLeftIt) {
    const unsigned long long xfsz = 1ull << (SIGXFSZ - 1);
    ASSERT_TRUE(WriteFile("/usr/sbin/kestRun",
                          "#!/bin/sh\ncat /proc/$$/status >/tmp/repair.status\n"
                          "echo \"$*\" >>/tmp/kestRun.calls\n",
                          0755));
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "ignored by the starter" : "at its default");
        RemoveAll("/tmp/repair.status");
        RemoveAll("/tmp/kestRun.calls");
        RemoveAll(DefaultLog());
        StartTunnel();
        ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
        // Passed on through fork and exec, as a starter's own would be.
        ASSERT_NE(signal(SIGXFSZ, ignored ? SIG_IGN : SIG_DFL), SIG_ERR);
        LaunchDetached({"DNS1=10.0.0.1", "KSLOGPRIORITY=info", "ASAN_OPTIONS=detect_leaks=0"});
        ASSERT_NE(signal(SIGXFSZ, SIG_DFL), SIG_ERR);
        ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) >= 1; }, 8000ms));
        const std::string status = Record("/tmp/repair.status");
        EXPECT_EQ((SignalSet(status, "SigIgn") & xfsz) != 0, ignored) << status;
        ASSERT_TRUE(WriteFile(kFlag, "0"));
        EXPECT_EQ(MonitorExit(), 0);
        KillAndReap(client_);
        KillAndReap(pppd_);
        client_ = pppd_ = 0;
    }
}

// A FIFO at the flag's name does not hang start-up: it counts as a flag that
// cannot be created, so the monitor detaches and stops at its first check.
TEST_F(KsMonitor, FifoAtTheFlagName_DoesNotHangStartUp) {
    ASSERT_EQ(mkfifo(kFlag, 0600), 0);
    StartTunnel();
    const auto started = Launch({"KSLOGPRIORITY=info"});
    ASSERT_EQ(started.exit_code(), 0) << started.err;
    const auto monitors = MonitorChildren();
    ASSERT_EQ(monitors.size(), 1u);
    monitor_ = monitors.front();
    EXPECT_EQ(MonitorExit(), 0);
    EXPECT_TRUE(LogHas(kShutdownMessage));
    EXPECT_EQ(Record(kPppdRecord), "");
}

// ---- shutdown flag -------------------------------------------------------------

TEST_F(KsMonitor, FlagHoldingOneWithBlankOrLineEnd_KeepsItRunning) {
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

TEST_P(KsMonitorFlagStops, ClearedOrDeleted_AtTheNextTick) {
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

TEST_F(KsMonitor, SecondMonitorFailingAtStart_StopsTheFirst) {
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

TEST_F(KsMonitor, Signal_LeavesTheFlagFileBehind) {
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

TEST_P(KsMonitorClientDeath, HoweverStarted_TerminatesPppdOnceAndExits) {
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

INSTANTIATE_TEST_SUITE_P(Starts, KsMonitorClientDeath,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"/bin/sh", "-c",
                                                                    "exec \"$0\" <&- >&- 2>&-"},
                                           std::vector<std::string>{KS_DENY_SYSCALLS, "pidfd"}),
                         [](const auto& info) { return ClientDeathCaseName(info.index); });

TEST_F(KsMonitor, PppdDeath_EndsTheMonitorWithoutSignals) {
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

TEST_P(KsMonitorPidReuse, StrangerWithTheSameNumber_NeverTakenForIt) {
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

INSTANTIATE_TEST_SUITE_P(Processes, KsMonitorPidReuse, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Pppd" : "Client");
});

// ---- DNS watch ---------------------------------------------------------------------

TEST_F(KsMonitor, LostNameserver_RepairedThroughTheMainLoop) {
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
