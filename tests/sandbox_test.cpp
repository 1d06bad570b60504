// The sandbox itself: the fixed paths are private, writable and fresh, and
// the namespace has its own pids with a reaping init.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testkit.h"

using namespace kstest;

TEST(KsSandbox, FixedPaths_WritableAndPrivate) {
    for (const char* path : {"/etc/ks-sandbox-probe", "/usr/sbin/ks-sandbox-probe",
                             "/var/run/ks-sandbox-probe", "/tmp/ks-sandbox-probe"}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(WriteFile(path, "x"));
        EXPECT_EQ(ReadFile(path), "x");
    }
}

TEST(KsSandbox, FixedPaths_StartEmptyEachTime) {
    // Written by the previous case; every case gets a fresh namespace.
    struct stat st {};
    EXPECT_NE(stat("/etc/ks-sandbox-probe", &st), 0);
    EXPECT_NE(stat("/tmp/ks-sandbox-probe", &st), 0);
}

TEST(KsSandbox, PidNamespace_OwnWithReapingInit) {
    EXPECT_EQ(getppid(), 1);
    // An orphan's zombie is reaped by the sandbox's init.
    const pid_t middle = fork();
    if (middle == 0) {
        if (fork() == 0) _exit(0);
        _exit(0);
    }
    ASSERT_GT(middle, 0);
    int status = 0;
    ASSERT_EQ(waitpid(middle, &status, 0), middle);
    EXPECT_TRUE(WaitFor([] {
        auto s = RunProgram(
            {"sh", "-c", "grep -l '^State:.*Z' /proc/[0-9]*/status 2>/dev/null | wc -l"});
        return s.out == "0\n";
    }));
}

TEST(KsSandbox, Home_InsideTheNamespace) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_STREQ(home, "/tmp/home");
    EXPECT_TRUE(WriteFile(std::string(home) + "/probe", "x"));
}

TEST(KsSandbox, VarTmp_FreshAndTheTreesStayVisible) {
    // rpm and package builds use /var/tmp: it is private like /tmp, and a
    // source or build tree that lies under it is bound back.
    EXPECT_TRUE(WriteFile("/var/tmp/ks-sandbox-probe", "x"));
    struct stat st {};
    EXPECT_EQ(stat(KS_SOURCE_DIR "/CMakeLists.txt", &st), 0);
    EXPECT_EQ(stat(KS_BINARY_DIR "/CMakeCache.txt", &st), 0);
}

TEST(KsSandbox, VarTmp_StartsEmptyEachTime) {
    struct stat st {};
    EXPECT_NE(stat("/var/tmp/ks-sandbox-probe", &st), 0);
}

// ks_sandbox run again from in here: its options, and how it treats an
// ordinary user (65534) and a test discovery.
TEST(KsSandbox, OptionsAndUsers_OverlaysAndSkips) {
    const std::string self = KS_BINARY_DIR "/tests/sandbox_test";
    const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"};
    struct Case {
        const char* what;
        bool nobody;
        std::vector<std::string> args;
        int exit_code;
        std::string out;  // what standard output begins with
    };
    // Whether /usr/lib lies in the overlay that holds /usr/sbin.
    const std::string usr_layout =
        "if [ \"$(stat -c %d /usr/lib)\" = \"$(stat -c %d /usr/sbin)\" ]; then echo whole;"
        " else echo sbin; fi";
    const std::string skipped = "ks_sandbox: skipped: private mount and pid namespaces need root\n";
    const Case cases[] = {
        {"--usr: one overlay on all of /usr",
         false,
         {"--usr", "/bin/sh", "-c", "touch /usr/lib/ks-sandbox-probe && " + usr_layout},
         0,
         "whole\n"},
        {"by default: /usr/sbin alone", false, {"/bin/sh", "-c", usr_layout}, 0, "sbin\n"},
        {"ordinary user: skipped", true, {"/bin/true"}, 77, skipped},
        {"ordinary user, --usr: skipped", true, {"--usr", "/bin/true"}, 77, skipped},
        {"ordinary user lists tests",
         true,
         {self, "--gtest_list_tests"},
         0,
         "KsSandbox.\n  FixedPaths_WritableAndPrivate\n"},
        {"listing with a filter",
         true,
         {"--usr", self, "--gtest_list_tests", "--gtest_filter=KsSandbox.Home*"},
         0,
         "KsSandbox.\n  Home_InsideTheNamespace\n"},
        {"a test run is not a listing",
         true,
         {self, "--gtest_filter=KsSandbox.Home*"},
         77,
         skipped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = c.nobody ? as_nobody : std::vector<std::string>{};
        argv.push_back(KS_BINARY_DIR "/tests/ks_sandbox");
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProgram(argv);
        EXPECT_EQ(r.exit_code(), c.exit_code) << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    }
    // The inner sandbox's write stayed in its own overlay.
    struct stat st {};
    EXPECT_NE(stat("/usr/lib/ks-sandbox-probe", &st), 0);
}
