// Hostile users against the product's root processes. Each case's attacker
// steps run as an ordinary user (uid 65534) through setpriv, in the shared
// /tmp; then root programs of the product run (a log writer that also rolls
// the file, with SUDO_UID naming a third user, and a monitor that ends at
// start-up). Root-owned canaries must keep their content, owner, group and
// mode, and nothing the attacker planted may be deleted or given away.
//
// The log facility's own suite checks the same rules with links made by
// root and handed over with lchown (kslog_test: KslogLink.*, KslogOwner.*,
// kslog_process_test: Exit_RemovesOnlyTheLinkItMade); here the attacker
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
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "kslog.h"
#include "monitor_kit.h"
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

// The kernel's own guard against O_CREAT opens of other users' files in
// sticky directories. It is not per namespace, so the tests never change
// it: they hold whatever it is, and name the value they ran under.
void NoteProtectedRegular() {
    std::string value = ReadFile("/proc/sys/fs/protected_regular").value_or("unknown\n");
    value.erase(value.find_last_not_of('\n') + 1);
    std::cout << "fs.protected_regular = " << value << std::endl;
    ::testing::Test::RecordProperty("protected_regular", value);
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
    kOwnFilesAtDefaultLogAndRoll,
    kDirectoryAtRoll,
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
        case Plant::kDirectoryAtRoll:
            ASSERT_TRUE(AsAttacker("mkdir /tmp/.kestRun.log.0"));
            break;
        case Plant::kOwnFilesAtDefaultLogAndRoll:
            ASSERT_TRUE(AsAttacker(
                "umask 0; echo mine >/tmp/.kestRun.log && echo mine >/tmp/.kestRun.log.0"));
            break;
    }
}

TEST(KslogHostileUser, RootProcesses_WriteAndGiveAwayOnlyTheirOwnFiles) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const Case cases[] = {
        {"shared link to root's file", Plant::kLinkToVictim, false},
        {"shared link into a cycle", Plant::kLinkToCycle, false},
        {"shared link with a 2 KiB name leading to root's file", Plant::kLinkWithLongName, false},
        {"symbolic link at the default log file", Plant::kSymlinkAtDefaultLog, true},
        {"symbolic link at the roll file", Plant::kSymlinkAtRoll, true},
        {"hard link at the default log file", Plant::kHardLinkAtDefaultLog, true},
        {"hard link at the roll file", Plant::kHardLinkAtRoll, true},
        {"a regular file at the shared link's name", Plant::kFileAtLinkName, false},
        {"their own 0666 files at the default log and roll names",
         Plant::kOwnFilesAtDefaultLogAndRoll, true},
        // Accepted: the log is not rolled while the directory stands there.
        {"a directory at the roll file name", Plant::kDirectoryAtRoll, true},
    };
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    NoteProtectedRegular();
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

// ---- the gap of a rotation -------------------------------------------------

// A root process rolls its log in /tmp (HOME unset, as under pppd) again and
// again while the attacker loops on creating a file at the log's name, to
// win the moment between the rename and the new file. Whenever they win,
// root's entries are dropped rather than written into their file, and the
// file is not handed to the SUDO_UID user; the test then moves their file
// aside (so rotations go on) and keeps it for the final check.
TEST(KslogHostileUser, RotationGapRace_RootNeverWritesOrGivesAwayTheAttackersFile) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr int kRotations = 1000;
    const std::string log = "/tmp/.kestRun.log";
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    NoteProtectedRegular();
    for (const char* path : {"/tmp/kestRun.log", "/tmp/.kestRun.log", "/tmp/.kestRun.log.0"})
        RemoveAll(path);
    // Two loops, so one of them is on a processor whenever root rolls.
    std::vector<pid_t> attackers;
    for (int i = 0; i < 2; ++i)
        attackers.push_back(Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   "--", "/bin/bash", "-c",
                                   "set -C; while :; do : >" + log + " && echo attacker >>" + log +
                                       "; done 2>/dev/null"}));
    // Their loop is running once it has made its first file.
    ASSERT_TRUE(WaitFor([&] { return ReadFile(log) == "attacker\n"; }));
    ASSERT_EQ(rename(log.c_str(), "/tmp/won-first"), 0);

    int results[2];
    ASSERT_EQ(pipe(results), 0);
    const pid_t root = fork();
    ASSERT_GE(root, 0);
    if (root == 0) {
        close(results[0]);
        unsetenv("HOME");
        setenv("SUDO_UID", "1000", 1);
        setenv("SUDO_GID", "1000", 1);
        kslogInit();
        int rotations = 0, won = 0;
        for (int round = 0; rotations < kRotations && round < 20 * kRotations; ++round) {
            kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "root %d", round);
            auto theirs = [&](const struct stat& st) {
                return st.st_uid == kAttacker ||
                       ReadFile(log).value_or("").find("attacker") != std::string::npos;
            };
            struct stat st {};
            const bool ours = lstat(log.c_str(), &st) == 0 && st.st_uid == 1000 && !theirs(st);
            kslogRotate();
            kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "root %d after", round);
            if (ours) ++rotations;
            if (lstat(log.c_str(), &st) == 0 && theirs(st)) {
                const std::string aside = "/tmp/won-" + std::to_string(won++);
                if (rename(log.c_str(), aside.c_str()) != 0) _exit(2);
            }
        }
        const int counts[2] = {rotations, won};
        _exit(write(results[1], counts, sizeof counts) == sizeof counts ? 0 : 2);
    }
    close(results[1]);
    int counts[2] = {0, 0};
    const bool told = read(results[0], counts, sizeof counts) == sizeof counts;
    close(results[0]);
    int status = 0;
    ASSERT_EQ(waitpid(root, &status, 0), root);
    for (const pid_t attacker : attackers) KillAndReap(attacker);
    ASSERT_TRUE(told);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(counts[0], kRotations);
    std::cout << counts[0] << " rotations, the attacker won the gap " << counts[1] << " times"
              << std::endl;
    RecordProperty("attacker_won", counts[1]);

    // Every file the attacker made (they mark it), moved aside or still at
    // a name: theirs, their mode, and nothing of root's in it.
    int theirs = 0;
    std::vector<std::string> names = {log, log + ".0", "/tmp/won-first"};
    for (int i = 0; i < counts[1]; ++i) names.push_back("/tmp/won-" + std::to_string(i));
    for (const auto& path : names) {
        const std::string text = ReadFile(path).value_or("");
        if (text.find("attacker") == std::string::npos) continue;
        SCOPED_TRACE(path);
        ++theirs;
        const Snapshot file = Take(path);
        EXPECT_EQ(file.uid, kAttacker);
        EXPECT_EQ(file.gid, kAttacker);
        EXPECT_EQ(file.mode & 07777, 0644u);
        EXPECT_EQ(text.find("] root "), std::string::npos);
    }
    RecordProperty("attacker_files", theirs);
    // And root's entries went to root's own generations.
    EXPECT_NE(ReadFile(log + ".0").value_or("").find("] root "), std::string::npos);
    EXPECT_EQ(Take(log + ".0").uid, 1000u);
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
// it), the attacker on root's log left readable by an older version, or a
// process of the product's stopped while it held root's log.
enum class Holder { kAttackersOwnFile, kAttackerOnRootsLog, kStoppedProcess };

// Starts the holder; its pid, with the log file the monitor will write in log.
pid_t HoldLock(Holder holder, std::string& log) {
    if (holder == Holder::kAttackersOwnFile) {
        log = "/tmp/theirs.log";
        EXPECT_TRUE(AsAttacker("echo theirs >" + log + " && ln -s " + log + " /tmp/kestRun.log"));
    }
    if (holder != Holder::kStoppedProcess) {
        if (holder == Holder::kAttackerOnRootsLog) {
            // Root's log as an older version left it, readable by all.
            log = DefaultLog();
            EXPECT_TRUE(WriteFile(log, "", 0644));
        }
        return Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                      "/bin/sh", "-c", "exec 9<" + log + " && flock 9 && exec sleep 1000"});
    }
    log = DefaultLog();
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
class KslogHostileUserLock : public ::testing::TestWithParam<Holder> {};

TEST_P(KslogHostileUserLock, LogLockHeldForGood_MonitorStillWatches) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const Holder holder = GetParam();
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    InstallRepairStandin();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\n"));
    for (const char* level : {"info", "debug"})
        for (const bool client_dies : {true, false}) {
            SCOPED_TRACE(std::string(level) + (client_dies ? ", client dies" : ", flag cleared"));
            for (const char* path :
                 {"/tmp/kestRun.log", "/tmp/theirs.log", kPppdRecord, kClientRecord, kFlag})
                RemoveAll(path);
            RemoveAll(DefaultLog());
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
            ASSERT_TRUE(WaitFor(
                [&] { return ReadFile(log).value_or("").find(watching) != std::string::npos; }));

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

std::string HolderName(const ::testing::TestParamInfo<Holder>& info) {
    switch (info.param) {
        case Holder::kAttackersOwnFile:
            return "AttackerOnTheirOwnFile";
        case Holder::kAttackerOnRootsLog:
            return "AttackerOnRootsReadableLog";
        case Holder::kStoppedProcess:
            break;
    }
    return "StoppedProductProcess";
}

INSTANTIATE_TEST_SUITE_P(Holders, KslogHostileUserLock,
                         ::testing::Values(Holder::kAttackersOwnFile, Holder::kAttackerOnRootsLog,
                                           Holder::kStoppedProcess),
                         HolderName);

}  // namespace
