// valgrind's memcheck over a whole monitor run (start-up, detaching, ticks,
// a DNS repair through the shell, the client's death, exit handlers) and
// over uninstaller runs: no error, nothing definitely lost. Plain build
// only: memcheck cannot run a program built with AddressSanitizer.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "monitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr int kValgrindError = 99;

std::vector<std::string> Memcheck(const std::string& report) {
    return {"valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
            "--error-exitcode=" + std::to_string(kValgrindError), "--log-file=" + report};
}

// The report's verdict lines, for the failure message.
void ExpectClean(const std::string& report) {
    const std::string text = ReadFile(report).value_or("(no report)");
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
    const bool no_leak = text.find("All heap blocks were freed") != std::string::npos ||
                         text.find("definitely lost: 0 bytes") != std::string::npos;
    EXPECT_TRUE(no_leak) << text;
}

class Valgrind : public ::testing::Test {
  protected:
    void SetUp() override {
        if (KS_SANITIZED) GTEST_SKIP() << "memcheck cannot run sanitized programs";
    }
};

// The monitor and the uninstaller each have their suite on this fixture.
class KsMonitorValgrind : public Valgrind {};
class UninstallValgrind : public Valgrind {};

TEST_F(KsMonitorValgrind, WholeRun_MemcheckClean) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    InstallRepairStandin();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    const pid_t pppd = StartPppd();
    const pid_t client = StartClient();
    auto argv = Memcheck("/tmp/vg.monitor.%p");
    argv.push_back(KS_MONITOR_BIN);
    const auto started =
        RunProgram(argv,
                   {"IFNAME=ppp0", "KSLOGPRIORITY=debug", "DNS1=10.0.0.1",
                    "DNSSUFFIX0=corp.example.com", "SUDO_UID=1234", "SUDO_GID=1234"},
                   30000ms);
    ASSERT_EQ(started.exit_code(), 0) << started.err;
    // The first DNS check (fifth tick) repairs through the shell.
    ASSERT_TRUE(WaitFor([] { return RecordLines(kRepairRecord) == 1; }, 30000ms));
    KillAndReap(client);
    // The detached monitor, our child, ends; pppd got its SIGTERM.
    int monitor_status = -1;
    ASSERT_TRUE(WaitFor(
        [&] {
            int s = 0;
            const pid_t ended = waitpid(-1, &s, WNOHANG);
            if (ended <= 0 || ended == pppd) return false;
            monitor_status = s;
            return true;
        },
        30000ms));
    EXPECT_TRUE(WIFEXITED(monitor_status) && WEXITSTATUS(monitor_status) == 0) << monitor_status;
    EXPECT_TRUE(LogHas("Kestrun " + std::to_string(client) +
                       " closed unexpectedly; attempting to cleanup pppd " + std::to_string(pppd)));
    // Two reports with a verdict: the starter's (it ends on detaching) and
    // the monitor's. The repair's fork has a report too, but it becomes the
    // shell, which memcheck does not follow, before it could end one.
    int reports = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        const std::string name = entry.path().filename();
        if (name.rfind("vg.monitor.", 0) != 0) continue;
        if (ReadFile(entry.path()).value_or("").find("ERROR SUMMARY") == std::string::npos)
            continue;
        ++reports;
        SCOPED_TRACE(name);
        ExpectClean(entry.path());
    }
    EXPECT_EQ(reports, 2);
}

// The uninstaller's two ends that return: refusing beside a running client,
// and a failed hand-off after the clean-up ran (no rpm, no client program).
TEST_F(UninstallValgrind, RefusalAndFailedHandOff_MemcheckClean) {
    ASSERT_EQ(mkdir("/tmp/home/.valdrane", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/home/.valdrane/EPC", 0755), 0);
    ASSERT_TRUE(WriteFile("/tmp/home/.kestrun", "uninstallEpcOnUninstall=true\n"));
    const pid_t client = Spawn({"/bin/bash", "-c", "exec -a /usr/sbin/kestRun sleep 60"});
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile("/proc/" + std::to_string(client) + "/cmdline")
            .value_or("")
            .starts_with("/usr/sbin/kestRun");
    }));
    const struct {
        const char* what;
        std::string pid_file;
        int status;
    } cases[] = {
        {"a client runs: refused", std::to_string(client) + "\n", 255},
        {"no client, no rpm, no client program: the hand-off fails", "", 1},
    };
    RemoveAll("/usr/sbin/kestRun");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile("/tmp/kestrun.pid", c.pid_file));
        auto argv = Memcheck("/tmp/vg.uninstall");
        argv.push_back(KS_UNINSTALL_BIN);
        const auto run = RunProgram(argv, {"PATH=/nowhere:/usr/bin:/bin"}, 30000ms);
        EXPECT_EQ(run.exit_code(), c.status) << run.err;
        ExpectClean("/tmp/vg.uninstall");
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/home/.valdrane/EPC"));  // the second run's clean-up
    KillAndReap(client);
}

}  // namespace
