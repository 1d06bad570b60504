// The sandbox itself: the fixed paths are private, writable and fresh, and
// the namespace has its own pids with a reaping init.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "testkit.h"

using namespace kstest;

TEST(Sandbox, FixedPathsAreWritableAndPrivate) {
    for (const char* path : {"/etc/ks-sandbox-probe", "/usr/sbin/ks-sandbox-probe",
                             "/var/run/ks-sandbox-probe", "/tmp/ks-sandbox-probe"}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(WriteFile(path, "x"));
        EXPECT_EQ(ReadFile(path), "x");
    }
}

TEST(Sandbox, StartsEmptyEachTime) {
    // Written by the previous case; every case gets a fresh namespace.
    struct stat st {};
    EXPECT_NE(stat("/etc/ks-sandbox-probe", &st), 0);
    EXPECT_NE(stat("/tmp/ks-sandbox-probe", &st), 0);
}

TEST(Sandbox, OwnPidNamespaceWithReapingInit) {
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

TEST(Sandbox, HomeIsInsideTheNamespace) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_STREQ(home, "/tmp/home");
    EXPECT_TRUE(WriteFile(std::string(home) + "/probe", "x"));
}
