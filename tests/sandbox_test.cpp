// The sandbox itself: the fixed paths are private, writable and fresh, and
// the namespace has its own pids with a reaping init.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "in_sandbox.h"
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

// ks_sandbox run again from in here, by each kind of caller.
struct SandboxCase {
    const char* what;
    std::vector<std::string> wrapper;  // what runs ks_sandbox
    std::vector<std::string> args;     // ks_sandbox's own arguments
    int exit_code;
    std::string out;  // what standard output holds (the start of it, unless a gtest run)
};

// What a caller gets inside: "<uid> <first uid mapped> <uids mapped>" and
// "written" once the fixed paths (an existing file and an existing root-owned
// directory of /etc among them) took writes.
const std::string kInside =
    "echo $(id -u) $(awk '{print $2, $3}' /proc/self/uid_map) && "
    "echo x >/etc/resolv.conf && echo x >/etc/ks-rootdir/file && mkdir -p /etc/ppp/sub && "
    "touch /etc/ks-rootdir/new /usr/sbin/kestRun /var/run/p /tmp/p /var/tmp/p && echo written";
const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};
const std::vector<std::string> kWithoutSysAdmin = {"/usr/bin/setpriv", "--bounding-set=-sys_admin",
                                                   "--inh-caps=-sys_admin"};
const std::string kNoNamespaces =
    "ks_sandbox: skipped: private namespaces need root with CAP_SYS_ADMIN or a user namespace,"
    " which this kernel refuses this user (Operation not permitted)\n";

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void RunCases(const std::vector<SandboxCase>& cases) {
    // A root-owned directory and file: in a user namespace they belong to
    // no one it maps, and still take writes there.
    ASSERT_EQ(mkdir("/etc/ks-rootdir", 0755), 0);
    ASSERT_TRUE(WriteFile("/etc/ks-rootdir/file", "outside\n"));
    const auto resolv = ReadFile("/etc/resolv.conf");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = c.wrapper;
        argv.push_back(KS_BINARY_DIR "/tests/ks_sandbox");
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProgram(argv, {}, 60s);
        EXPECT_EQ(r.exit_code(), c.exit_code) << r.err;
        if (c.out.starts_with("["))
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        else
            EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.err;
    }
    // Every inner sandbox's writes stayed in its own overlays and tmpfs.
    struct stat st {};
    EXPECT_NE(stat("/usr/lib/ks-sandbox-probe", &st), 0);
    EXPECT_NE(stat("/usr/sbin/kestRun", &st), 0);
    EXPECT_NE(stat("/etc/ks-rootdir/new", &st), 0);
    EXPECT_NE(stat("/etc/ppp/sub", &st), 0);
    EXPECT_NE(stat("/var/run/p", &st), 0);
    EXPECT_EQ(ReadFile("/etc/ks-rootdir/file"), "outside\n");
    EXPECT_EQ(ReadFile("/etc/resolv.conf"), resolv);
}

// Whether /usr/lib lies in the overlay that holds /usr/sbin; with --usr,
// a write there (which stays in the overlay).
const std::string kUsrLayout =
    "if [ \"$(stat -c %d /usr/lib)\" = \"$(stat -c %d /usr/sbin)\" ]; then echo whole;"
    " else echo sbin; fi";
const std::string kUsrWrite = "touch /usr/lib/ks-sandbox-probe && " + kUsrLayout;

// Root, and root without CAP_SYS_ADMIN (a container), which gets the same
// mounts in a user namespace of its own that maps only root, unless no
// namespace can be made at all (a container's default seccomp profile).
// --usr is not tried in a user namespace from in here: this sandbox's own
// overlay on /usr/sbin locks /usr for one (the kernel refuses to overlay a
// tree with a mount inside that a user namespace may not uncover).
TEST(KsSandbox, Root_SameMountsWithOrWithoutCapSysAdmin) {
    const std::vector<std::string> no_unshare = {KS_DENY_SYSCALLS, "unshare"};
    RunCases({
        {"root, --usr: one overlay on all of /usr",
         {},
         {"--usr", "/bin/sh", "-c", kUsrWrite},
         0,
         "whole\n"},
        {"root, by default: /usr/sbin alone", {}, {"/bin/sh", "-c", kUsrLayout}, 0, "sbin\n"},
        {"root without CAP_SYS_ADMIN",
         kWithoutSysAdmin,
         {"/bin/sh", "-c", kInside},
         0,
         "0 0 1\nwritten\n"},
        {"root without CAP_SYS_ADMIN or namespaces",
         Join(no_unshare, kWithoutSysAdmin),
         {"/bin/true"},
         77,
         kNoNamespaces},
    });
}

// An ordinary user (65534) gets the same mounts in a user namespace that
// maps it to root and no one else; without namespaces it is skipped. Its
// test discovery runs as it is. (--usr: as above.)
TEST(KsSandbox, OrdinaryUser_OwnUserNamespaceOrSkipped) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const std::string self = KS_BINARY_DIR "/tests/sandbox_test";
    std::vector<SandboxCase> cases = {
        {"ordinary user", kAsNobody, {"/bin/sh", "-c", kInside}, 0, "0 65534 1\nwritten\n"},
        {"ordinary user: setgroups(2), denied by the kernel, succeeds and changes nothing",
         kAsNobody,
         {"/bin/sh", "-c",
          "cat /proc/self/setgroups && /usr/bin/setpriv --reuid=0 --regid=0 "
          "--groups=0 id -G && grep Groups /proc/self/status"},
         0,
         "deny\n0\nGroups:\t \n"},
        {"ordinary user without namespaces",
         Join({KS_DENY_SYSCALLS, "unshare"}, kAsNobody),
         {"/bin/true"},
         77,
         kNoNamespaces},
        {"ordinary user lists tests",
         kAsNobody,
         {self, "--gtest_list_tests"},
         0,
         "KsSandbox.\n  FixedPaths_WritableAndPrivate\n"},
        {"listing with a filter",
         kAsNobody,
         {"--usr", self, "--gtest_list_tests", "--gtest_filter=KsSandbox.Home*"},
         0,
         "KsSandbox.\n  Home_InsideTheNamespace\n"},
        {"a test run",
         kAsNobody,
         {self, "--gtest_filter=KsSandbox.Home*"},
         0,
         "[  PASSED  ] 1 test."},
    };
    // A package build's fakeroot answers uid 0, but only the real uid can
    // be mapped. (Its preloaded library comes before a sanitized
    // ks_sandbox's runtime, which AddressSanitizer must be told to allow.)
    const std::vector<std::string> fakeroot = {
        "/bin/sh", "-c",
        "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 "
        "exec /usr/bin/fakeroot -- \"$@\"",
        "fakeroot"};
    if (Exists("/usr/bin/fakeroot"))
        cases.push_back({"ordinary user under fakeroot",
                         Join(kAsNobody, fakeroot),
                         {"/bin/sh", "-c", kInside},
                         0,
                         "0 65534 1\nwritten\n"});
    RunCases(cases);
}
