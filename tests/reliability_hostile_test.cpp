// Hostile users against the product's root processes. Each case's attacker
// steps run as an ordinary user (uid 65534) through setpriv, in the shared
// /tmp; then root programs of the product run (a log writer that also rolls
// the file, with SUDO_UID naming a third user, and a monitor that ends at
// start-up). Root-owned canaries must keep their content, owner, group and
// mode, and nothing the attacker planted may be deleted or given away.
//
// The log facility's own suite checks the same rules with links made by
// root and handed over with lchown (kslog_test: KslogLink.*, KslogOwner.*,
// kslog_process_test: ExitRemovesOnlyTheLinkItMade); here the attacker
// really is another user, and the targets are files the attacker cannot
// write. Hard links to root's files need fs.protected_hardlinks off, which
// a test may not change on the host: where the kernel refuses the attacker,
// root plants the same hard link, as on a system with the protection off.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ksMonitor_kit.h"
#include "testkit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

constexpr uid_t kAttacker = 65534;
const std::string kEtcCanary = "/etc/kestrun-canary";
const std::string kTmpCanary = "/tmp/rootfiles/canary";  // beside /tmp, for hard links

struct Snapshot {
    bool exists = false;
    std::string content;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    ino_t ino = 0;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const std::string& path) {
    Snapshot s;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.uid = st.st_uid;
    s.gid = st.st_gid;
    s.mode = st.st_mode;
    s.ino = st.st_ino;
    if (S_ISREG(st.st_mode)) s.content = ReadFile(path).value_or("<unreadable>");
    return s;
}

// Runs a shell command as the attacker; true when it succeeded.
bool AsAttacker(const std::string& command) {
    const auto run = RunProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 "--", "/bin/sh", "-c", command});
    return run.exit_code() == 0;
}

std::string LongNameTo(const std::string& target) {
    // "/tmp/rootfiles/./././.../canary": 2 KiB, and it still leads there.
    const size_t slash = target.rfind('/');
    std::string name = target.substr(0, slash + 1);
    while (name.size() < 2048 - (target.size() - slash)) name += "./";
    return name + target.substr(slash + 1);
}

enum class Plant {
    kLinkToVictim,
    kLinkToCycle,
    kLinkWithLongName,
    kSymlinkAtDefaultLog,
    kSymlinkAtRoll,
    kHardLinkAtDefaultLog,
    kHardLinkAtRoll,
    kFileAtLinkName,
};

struct Case {
    const char* what;
    Plant plant;
    bool home_unset;  // the default log then lies in /tmp, where anyone plants
};

void PlantFor(const Case& c) {
    switch (c.plant) {
        case Plant::kLinkToVictim:
            ASSERT_TRUE(AsAttacker("ln -s " + kEtcCanary + " /tmp/kestRun.log"));
            break;
        case Plant::kLinkToCycle:
            ASSERT_TRUE(
                AsAttacker("ln -s /tmp/c1 /tmp/c2 && ln -s /tmp/c2 /tmp/c1 && ln -s /tmp/c1 "
                           "/tmp/kestRun.log"));
            break;
        case Plant::kLinkWithLongName:
            ASSERT_TRUE(AsAttacker("ln -s " + LongNameTo(kTmpCanary) + " /tmp/kestRun.log"));
            break;
        case Plant::kSymlinkAtDefaultLog:
            ASSERT_TRUE(AsAttacker("ln -s " + kEtcCanary + " /tmp/.kestRun.log"));
            break;
        case Plant::kSymlinkAtRoll:
            ASSERT_TRUE(AsAttacker("ln -s " + kEtcCanary + " /tmp/.kestRun.log.0"));
            break;
        case Plant::kHardLinkAtDefaultLog:
        case Plant::kHardLinkAtRoll: {
            const std::string name =
                c.plant == Plant::kHardLinkAtRoll ? "/tmp/.kestRun.log.0" : "/tmp/.kestRun.log";
            if (!AsAttacker("ln " + kTmpCanary + " " + name)) {
                ASSERT_EQ(link(kTmpCanary.c_str(), name.c_str()), 0);  // protected_hardlinks
            }
            break;
        }
        case Plant::kFileAtLinkName:
            ASSERT_TRUE(AsAttacker("echo mine >/tmp/kestRun.log"));
            break;
    }
}

TEST(HostileUser, RootProcessesWriteAndGiveAwayOnlyTheirOwnFiles) {
    const Case cases[] = {
        {"shared link to root's file", Plant::kLinkToVictim, false},
        {"shared link into a cycle", Plant::kLinkToCycle, false},
        {"shared link with a 2 KiB name leading to root's file", Plant::kLinkWithLongName, false},
        {"symbolic link at the default log file", Plant::kSymlinkAtDefaultLog, true},
        {"symbolic link at the roll file", Plant::kSymlinkAtRoll, true},
        {"hard link at the default log file", Plant::kHardLinkAtDefaultLog, true},
        {"hard link at the roll file", Plant::kHardLinkAtRoll, true},
        {"a regular file at the shared link's name", Plant::kFileAtLinkName, false},
    };
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* path :
             {"/tmp/kestRun.log", "/tmp/.kestRun.log", "/tmp/.kestRun.log.0", "/tmp/c1", "/tmp/c2",
              "/tmp/home/.kestRun.log", "/tmp/home/.kestRun.log.0", "/tmp/rootfiles"})
            RemoveAll(path);
        ASSERT_EQ(mkdir("/tmp/rootfiles", 0755), 0);
        ASSERT_TRUE(WriteFile(kEtcCanary, "etc canary\n", 0600));
        ASSERT_TRUE(WriteFile(kTmpCanary, "tmp canary\n", 0600));
        const Snapshot etc_before = Take(kEtcCanary), tmp_before = Take(kTmpCanary);

        PlantFor(c);
        // Everything the attacker left in /tmp, to check it stays as it was.
        std::vector<std::pair<std::string, Snapshot>> planted;
        for (const char* path :
             {"/tmp/kestRun.log", "/tmp/.kestRun.log", "/tmp/.kestRun.log.0", "/tmp/c1", "/tmp/c2"})
            if (Take(path).exists) planted.emplace_back(path, Take(path));

        ASSERT_FALSE(planted.empty());

        EnvEdits env = {"SUDO_UID=1000", "SUDO_GID=1000", "KSLOGPRIORITY=debug", "IFNAME=ppp0"};
        if (c.home_unset) env.push_back("HOME");
        const auto writer = RunProgram({KS_KSLOG_WRITER, "-n", "3", "-r"}, env);
        EXPECT_EQ(writer.exit_code(), 0) << writer.err;
        const auto monitor = RunProgram({KS_MONITOR_BIN}, env);
        EXPECT_EQ(monitor.exit_code(), 1) << monitor.err;  // no pid files

        EXPECT_EQ(Take(kEtcCanary), etc_before);
        EXPECT_EQ(Take(kTmpCanary), tmp_before);
        const bool at_roll = c.plant == Plant::kSymlinkAtRoll || c.plant == Plant::kHardLinkAtRoll;
        for (const auto& [path, before] : planted) {
            // The roll file's name is the product's own: rolling may put the
            // log there in place of what was planted, never write through it.
            if (at_roll && path == "/tmp/.kestRun.log.0") {
                const Snapshot roll = Take(path);
                EXPECT_TRUE(roll.ino == before.ino || S_ISREG(roll.mode)) << path;
                EXPECT_NE(roll.ino, tmp_before.ino) << path;
                continue;
            }
            EXPECT_EQ(Take(path), before) << path;
        }
    }
}

// ---- a lock held for good ---------------------------------------------------

constexpr const char* kFlag = "/var/run/com.valdrane.kestrun.ksMonitor";

// Whether another process holds the file's lock (the kernel's list of
// locks leaves out holders whose process has gone, like flock(1)'s).
bool LockTaken(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return taken;
}

// Holds the lock of the monitor's log for good: the attacker on a file of
// their own that their planted shared link leads to (the link rule follows
// it), or a process of the product's stopped while it held root's log.
enum class Holder { kAttackersOwnFile, kStoppedProcess };

// Starts the holder; its pid, with the log file the monitor will write in log.
pid_t HoldLock(Holder holder, std::string& log) {
    if (holder == Holder::kAttackersOwnFile) {
        log = "/tmp/theirs.log";
        EXPECT_TRUE(AsAttacker("echo theirs >" + log + " && ln -s " + log + " /tmp/kestRun.log"));
        return Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                      "/bin/sh", "-c", "exec 9<" + log + " && flock 9 && exec sleep 1000"});
    }
    log = LogFilePath();
    EXPECT_TRUE(WriteFile(log, ""));
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(log.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(2);
        raise(SIGSTOP);
        _exit(0);
    }
    EXPECT_TRUE(WaitFor([&] { return ProcessState(child) == 'T'; }));
    return child;
}

// With the log's lock held for good, the monitor, at info or at debug level
// (an entry every tick), still watches on its one-second tick: the client's
// death brings pppd exactly one SIGTERM within 3 s, and a cleared flag ends
// it with status 0 within 3 s. Its entries go to the file without the lock.
TEST(HostileUser, LogLockHeldForGood_MonitorStillWatches) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    InstallRepairStandin();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    for (const Holder holder : {Holder::kAttackersOwnFile, Holder::kStoppedProcess})
        for (const char* level : {"info", "debug"})
            for (const bool client_dies : {true, false}) {
                SCOPED_TRACE(std::string(holder == Holder::kAttackersOwnFile ? "attacker's own file"
                                                                             : "stopped process") +
                             ", " + level + (client_dies ? ", client dies" : ", flag cleared"));
                for (const char* path :
                     {"/tmp/kestRun.log", "/tmp/theirs.log", kPppdRecord, kClientRecord, kFlag})
                    RemoveAll(path);
                RemoveAll(LogFilePath());
                std::string log;
                const pid_t locker = HoldLock(holder, log);
                ASSERT_TRUE(WaitFor([&] { return LockTaken(log); }));
                const pid_t pppd = StartPppd();
                const pid_t client = StartClient();

                EnvEdits env = {"IFNAME=ppp0", "KSLOGPRIORITY=" + std::string(level),
                                "DNS1",        "DNS2",
                                "SUDO_UID",    "SUDO_GID"};
                const auto started = RunProgram({KS_MONITOR_BIN}, env);
                ASSERT_EQ(started.exit_code(), 0) << started.err;
                ASSERT_TRUE(WaitFor([] { return MonitorChildren().size() == 1; }));
                const pid_t monitor = MonitorChildren().front();
                const std::string watching = "Monitoring processes:  ks=" + std::to_string(client);
                ASSERT_TRUE(WaitFor([&] {
                    return ReadFile(log).value_or("").find(watching) != std::string::npos;
                }));

                const std::string sigterm =
                    std::to_string(SIGTERM) + " " + std::to_string(monitor) + "\n";
                if (client_dies) {
                    KillAndReap(client);
                    EXPECT_TRUE(WaitFor([&] { return Record(kPppdRecord) == sigterm; }, 3000ms))
                        << Record(kPppdRecord);
                    EXPECT_EQ(WaitForChild(monitor, 3000ms), 0);
                    EXPECT_EQ(Record(kPppdRecord), sigterm);  // one, and no more came
                    EXPECT_EQ(WaitForChild(pppd), 0);
                } else {
                    ASSERT_TRUE(WriteFile(kFlag, "0"));
                    EXPECT_EQ(WaitForChild(monitor, 3000ms), 0);
                    EXPECT_EQ(Record(kPppdRecord), "");
                    KillAndReap(client);
                    KillAndReap(pppd);
                }
                EXPECT_TRUE(LockTaken(log));  // held all along
                KillAndReap(locker);
            }
}

}  // namespace
