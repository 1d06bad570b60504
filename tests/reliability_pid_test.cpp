// A watched pid handed to a stranger, and pid files naming processes that
// are never the client or pppd: no signal may reach the wrong process.
//
// Covered elsewhere: one full monitor run per watched process with its
// number reused (ksMonitor_test: KsMonitorPidReuse), ended but unreaped
// processes (ksMonitor_watch_test: EndedButUnreapedProcess_StillProbesAlive),
// pids below 1 (ksMonitor_watch_test: BelowOne_NeverSignalled).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kslog.h"
#include "monitor_kit.h"
#include "process_watch.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr const char* kStrangerRecord = "/tmp/stranger.signals";

// The next process created in this pid namespace gets pid.
bool NextPidIs(pid_t pid) {
    const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string last = std::to_string(pid - 1);
    const bool ok = write(fd, last.data(), last.size()) == static_cast<ssize_t>(last.size());
    close(fd);
    return ok;
}

// 100 trials, alternating which watched process ends. Each time the ended
// process's number goes to a stranger before the watch runs again, as the
// monitor's next tick would: the stranger is never probed as the watched
// process and never receives a signal; the watch ends the way the real
// death calls for.
TEST(KsMonitorWatchPidReuse, Stranger_NeverSignalledIn100Trials) {
    constexpr int kTrials = 100;
    int pppd_deaths = 0, client_deaths = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        RemoveAll(kPppdRecord);
        RemoveAll(kStrangerRecord);
        RemoveAll(DefaultLog());
        const pid_t pppd_pid = StartPppd();
        const pid_t client_pid = StartClient();
        const watched_process ks = watch_process(client_pid);
        const watched_process pppd = watch_process(pppd_pid);

        const bool pppd_dies = trial % 2 == 0;
        const pid_t victim = pppd_dies ? pppd_pid : client_pid;
        KillAndReap(victim);
        ASSERT_TRUE(NextPidIs(victim));
        const pid_t stranger = StartPppd("stranger", kStrangerRecord);
        ASSERT_EQ(stranger, victim);

        const auto outcome = RunInChild([&] {
            setenv("KSLOGPRIORITY", "info", 1);
            kslogInit();
            test_processes(ks, pppd);
        });
        EXPECT_TRUE(outcome.exited_with(0));
        EXPECT_EQ(Record(kStrangerRecord), "");
        EXPECT_TRUE(ProcessRunning(stranger));
        if (pppd_dies) {
            pppd_deaths += LogHas("pppd closed; terminating monitor") ? 1 : 0;
            KillAndReap(client_pid);
        } else {
            // The real pppd got its one SIGTERM.
            EXPECT_EQ(WaitForChild(pppd_pid), 0);
            client_deaths += Record(kPppdRecord).rfind(std::to_string(SIGTERM) + " ", 0) == 0;
        }
        KillAndReap(stranger);
    }
    EXPECT_EQ(pppd_deaths, kTrials / 2);
    EXPECT_EQ(client_deaths, kTrials / 2);
}

EnvEdits MonitorEnv() {
    return {"IFNAME=ppp0", "KSLOGPRIORITY=info", "DNS1", "DNS2", "SUDO_UID", "SUDO_GID"};
}

// Init is never the client or pppd: a pid file naming pid 1 reads as no pid,
// so the monitor ends at start-up and can never send init SIGTERM.
TEST(KsMonitorPidFiles, PidOne_IsNoPid) {
    const std::string alive = std::to_string(getpid()) + "\n";
    const struct {
        const char* what;
        std::string client, pppd;
        int status;
    } cases[] = {
        {"client pid file naming init", "1\n", alive, 1},
        {"pppd pid file naming init", alive, "1\n", 2},
    };
    ASSERT_EQ(mkdir("/etc/ppp", 0755), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile("/etc/ppp/kestrun.pid", c.client));
        ASSERT_TRUE(WriteFile("/var/run/ppp0.pid", c.pppd));
        const auto run = RunProgram({KS_MONITOR_BIN}, MonitorEnv());
        EXPECT_EQ(run.exit_code(), c.status) << run.err;
    }
}

// pppd's pid file naming the monitor itself: the process that read it is the
// one that ends on detaching, so the first tick finds pppd gone and the
// monitor stops without a signal. The client's pid file naming the monitor
// likewise reads as a client gone: pppd gets its SIGTERM.
TEST(KsMonitorPidFiles, MonitorsOwnPid_ReadAsThatProcessGone) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ASSERT_EQ(mkdir("/etc/ppp", 0755), 0);
    for (const bool in_pppd_file : {true, false}) {
        SCOPED_TRACE(in_pppd_file ? "pppd's pid file" : "the client's pid file");
        RemoveAll(kPppdRecord);
        RemoveAll(DefaultLog());
        const pid_t pppd = StartPppd();
        const pid_t client = StartClient();
        const pid_t monitor = (in_pppd_file ? pppd : client) + 1000;
        ASSERT_TRUE(WriteFile(in_pppd_file ? "/var/run/ppp0.pid" : "/etc/ppp/kestrun.pid",
                              std::to_string(monitor) + "\n"));
        ASSERT_TRUE(NextPidIs(monitor));  // RunProgram's child becomes the monitor
        const auto run = RunProgram({KS_MONITOR_BIN}, MonitorEnv());
        EXPECT_EQ(run.exit_code(), 0) << run.err;
        // The detached monitor, our child now, ends on its first tick.
        int status = -1, pppd_status = -1;
        EXPECT_TRUE(WaitFor([&] {
            int s = 0;
            const pid_t ended = waitpid(-1, &s, WNOHANG);
            if (ended == pppd) pppd_status = s;
            if (ended <= 0 || ended == pppd || ended == client) return false;
            status = s;
            return true;
        }));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (in_pppd_file) {
            EXPECT_TRUE(LogHas("pppd closed; terminating monitor"));
            EXPECT_EQ(Record(kPppdRecord), "");
            KillAndReap(pppd);
        } else {
            if (pppd_status == -1) pppd_status = WaitForChild(pppd);
            EXPECT_EQ(pppd_status, 0);  // ended on its SIGTERM
            EXPECT_EQ(RecordLines(kPppdRecord), 1);
        }
        EXPECT_EQ(Record(kClientRecord), "");
        KillAndReap(client);
        RemoveAll("/etc/ppp/kestrun.pid");
        RemoveAll("/var/run/ppp0.pid");
    }
}

}  // namespace
