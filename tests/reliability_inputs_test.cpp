// The bad-input table: every input the programs read, with values that are
// empty, huge, binary, not UTF-8, negative, overflowing, white space only or
// a path traversal, each with its defined outcome. Never a crash, a hang or
// a signal to the wrong process.
//
// Tables that already cover an input and are not repeated here:
//   pid and value files      ksProcUtils_test: FileContents_LeadingNumberOrNoValue (empty, letters,
//                            signs, overflow, a number filling the read),
//                            NullPathAndDirectory_..., Fifo_...
//   the monitor's pid files  ksMonitor_test: StartupFailures_... (negative,
//                            beyond the pid range, overflowing, IFNAME with
//                            a slash, empty IFNAME)
//   the shutdown flag        ksMonitor_watch_test: OnlyTheValueOne_...;
//                            reliability_faults_test: FlagFileOfEveryKind_OnlyOneKeepsItRunning
//   SUDO_UID, SUDO_GID       kslog_test: KslogOwner.SudoIds_GiveTheFilesAway
//   KSLOGPRIORITY            kslog_test: KslogPriority_SetsEveryLevel...
//   the shared link          kslog_test: KslogLink.*; reliability_hostile_test
//   settings file            uninstallKestrun_test: UninstallSettingsFile (long lines,
//                            long values, CR, FIFO, device, directory)
//   /proc command lines      uninstallKestrun_test: UninstallCommandLine (1023/1024)
//   HOME of the uninstaller  uninstallKestrun_test: UninstallHomeQuoting (shell
//                            metacharacters, line ends, very long)
//   DNS values               ksMonitor_watch_test: KsMonitorDnsWatch table (empty)
// The fuzz targets (fuzz/) feed the same parsers arbitrary bytes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ksProcUtils.h"
#include "monitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";

TEST(KsProcUtilsBadInputs, PidAndValueFiles_LeadingNumberOrNoValue) {
    const struct {
        const char* what;
        std::string content;
        unsigned pid;
        int value;
    } cases[] = {
        {"white space only", " \t\n\r\v\f ", 0, 0},
        {"binary",
         std::string("\0\x01\x02"
                     "12",
                     5),
         0, 0},
        {"not UTF-8 before the number", "\xff\xfe 12", 0, 0},
        {"not UTF-8 after the number", "12\xff\xfe", 12, 12},
        {"a path traversal", "../../etc/ppp/kestrun.pid", 0, 0},
        {"huge, the number first", "77\n" + std::string(8 << 20, 'x'), 77, 77},
        {"huge, white space first", std::string(8 << 20, ' ') + "77", 0, 0},
        {"negative zero", "-0", 0, 0},
        {"largest unsigned", "4294967295", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile("/tmp/value", c.content));
        EXPECT_EQ(get_pid_from_file("/tmp/value"), c.pid);
        EXPECT_EQ(get_int_from_file("/tmp/value"), c.value);
    }
}

// The monitor's environment. Each value either stops the monitor at start-up
// with its status, or the monitor detaches, lists what it watches (the
// value as given, byte for byte) and stops cleanly when its flag is cleared;
// pppd and the client receive no signal either way.
TEST(KsMonitorBadInputs, Environment_RefusedAtStartOrUsedAsGiven) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    InstallRepairStandin();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    const pid_t pppd = StartPppd("ppp0");
    const pid_t client = StartClient();
    const std::string huge(64 << 10, 'h');
    const std::string odd_ifname = "\xff\xfe";
    ASSERT_EQ(symlink("/var/run/ppp0.pid", ("/var/run/" + odd_ifname + ".pid").c_str()), 0);
    ASSERT_EQ(mkdir("/tmp/home-\xff", 0755), 0);
    const struct {
        const char* what;
        EnvEdits env;
        int status;          // of the starter: 0 when it detached
        std::string listed;  // an entry the detached monitor writes, "" for none
    } cases[] = {
        {"IFNAME of 2000 bytes: cut, no such pid file",
         {"IFNAME=" + std::string(2000, 'a')},
         2,
         ""},
        {"IFNAME '..'", {"IFNAME=.."}, 2, ""},
        {"IFNAME white space only", {"IFNAME= \t"}, 2, ""},
        {"IFNAME not UTF-8, its pid file there",
         {"IFNAME=" + odd_ifname},
         0,
         "Monitoring processes:  ks=" + std::to_string(client) + ", pppd=" + std::to_string(pppd)},
        {"DNS1 of 64 KiB", {"DNS1=" + huge}, 0, "Monitoring nameserver: " + huge},
        {"DNS2 binary and not UTF-8",
         {"DNS2=\x01\x7f\xff\xfe"},
         0,
         "Monitoring nameserver: \x01\x7f\xff\xfe"},
        {"DNSSUFFIX0 white space only", {"DNSSUFFIX0= \t "}, 0, "Monitoring DNS suffix:  \t "},
        {"DNSSUFFIX31 of 64 KiB, after a gap",
         {"DNSSUFFIX31=" + huge},
         0,
         "Monitoring processes:  ks="},
        {"KSLOGPRIORITY empty: info", {"KSLOGPRIORITY="}, 0, "Monitoring processes:  ks="},
        {"KSLOGPRIORITY of 64 KiB: info",
         {"KSLOGPRIORITY=" + huge},
         0,
         "Monitoring processes:  ks="},
        {"KSLOGPRIORITY not UTF-8: info",
         {"KSLOGPRIORITY=\xff"
          "debug"},
         0,
         "Monitoring processes:  ks="},
        {"SUDO_UID negative, SUDO_GID white space",
         {"SUDO_UID=-1", "SUDO_GID= 5"},
         0,
         "Monitoring processes:  ks="},
        {"HOME not UTF-8", {"HOME=/tmp/home-\xff"}, 0, "Monitoring processes:  ks="},
        {"HOME too long for a path: entries dropped",
         {"HOME=/tmp/" + std::string(5000, 'd')},
         0,
         ""},
        {"HOME with a traversal", {"HOME=/tmp/home/../home-\xff"}, 0, "Monitoring processes:  ks="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveAll(DefaultLog());
        RemoveAll("/tmp/home-\xff/.kestRun.log");
        EnvEdits env = {"IFNAME=ppp0", "KSLOGPRIORITY=info", "DNS1",
                        "DNS2",        "SUDO_UID",           "SUDO_GID"};
        for (int i = 0; i < 32; ++i) env.push_back("DNSSUFFIX" + std::to_string(i));
        env.insert(env.end(), c.env.begin(), c.env.end());
        const auto started = RunProgram({KS_MONITOR_BIN}, env);
        ASSERT_EQ(started.exit_code(), c.status) << started.err;
        if (c.status != 0) continue;
        ASSERT_TRUE(WaitFor([] { return MonitorChildren().size() == 1; }));
        const pid_t monitor = MonitorChildren().front();
        if (!c.listed.empty()) {
            const bool odd_home = c.env.front().starts_with("HOME=/tmp/home");
            const std::string log = odd_home ? "/tmp/home-\xff/.kestRun.log" : DefaultLog();
            EXPECT_TRUE(WaitFor([&] {
                return ReadFile(log).value_or("").find("] " + c.listed) != std::string::npos;
            }));
        }
        ASSERT_TRUE(WriteFile(kFlag, "0"));
        const int status = WaitForChild(monitor);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(ProcessRunning(pppd));
        EXPECT_TRUE(ProcessRunning(client));
    }
    EXPECT_EQ(Record(kPppdRecord), "");
    EXPECT_EQ(Record(kClientRecord), "");
}

// The uninstaller's pid file and HOME. A pid file that names no live client
// lets the uninstall go on to the client's uninstall mode (the stand-in
// records it); HOME only ever leads to the removal of $HOME/.valdrane/EPC.
TEST(UninstallBadInputs, PidFileAndHome_GoesOnAndRemovesOnlyEpc) {
    ASSERT_TRUE(
        WriteFile("/usr/sbin/kestRun", "#!/bin/sh\necho \"$*\" >>/tmp/client.calls\n", 0755));
    const struct {
        const char* what;
        std::string pid_file;
        std::string home;  // "" : HOME as the sandbox sets it
    } cases[] = {
        {"pid file white space only", " \n\t ", ""},
        {"pid file binary",
         std::string("\0\x01\xff"
                     "5",
                     4),
         ""},
        {"pid file not UTF-8", "\xc3\x28", ""},
        {"pid file negative", "-1\n", ""},
        {"pid file 0", "0\n", ""},
        {"pid file naming init", "1\n", ""},
        {"pid file of the largest unsigned", "4294967295\n", ""},
        {"pid file one above the largest unsigned", "4294967296\n", ""},
        {"pid file of a plus sign alone", "+\n", ""},
        {"pid file overflowing", "99999999999999999999999\n", ""},
        {"pid file of 4 MiB of digits", std::string(4 << 20, '7'), ""},
        {"pid file holding a path", "../../proc/self\n", ""},
        {"HOME white space only", "", " "},
        {"HOME not UTF-8", "", "/tmp/h\xff\xfe"},
        {"HOME through a traversal", "", "/tmp/other/../h\xff\xfe"},
    };
    ASSERT_EQ(mkdir("/tmp/other", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/other/.valdrane", 0755), 0);
    ASSERT_TRUE(WriteFile("/tmp/other/.valdrane/keep", "keep"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveAll("/tmp/client.calls");
        ASSERT_TRUE(WriteFile("/tmp/kestrun.pid", c.pid_file));
        EnvEdits env = {"PATH=/nowhere:/usr/bin:/bin"};
        std::string home = "/tmp/home";
        if (!c.home.empty()) {
            home = c.home;
            env.push_back("HOME=" + home);
        }
        const bool usable_home = home.front() == '/';
        if (usable_home) {
            ASSERT_EQ(system(("mkdir -p '" + home + "/.valdrane/EPC'").c_str()), 0);
            ASSERT_TRUE(WriteFile(home + "/.kestrun", "uninstallEpcOnUninstall=true\n"));
        }
        const auto run = RunProgram({KS_UNINSTALL_BIN}, env);
        EXPECT_EQ(run.exit_code(), 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ReadFile("/tmp/client.calls"), "--uninstall\n");
        if (usable_home) {
            struct stat st {};
            EXPECT_NE(stat((home + "/.valdrane/EPC").c_str(), &st), 0);  // removed
            EXPECT_EQ(stat((home + "/.valdrane").c_str(), &st), 0);      // only that
        }
        EXPECT_EQ(ReadFile("/tmp/other/.valdrane/keep"), "keep");
    }
}

}  // namespace
