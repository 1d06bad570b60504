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
#include <poll.h>
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
#include "log_entries.h"
#include "monitor_kit.h"
#include "testkit.h"
#include "unique_fd.h"

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

std::string LinkTargetOf(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "<no link>" : std::string(buf, static_cast<size_t>(n));
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
        const bool at_log = c.plant == Plant::kHardLinkAtDefaultLog;
        for (const auto& [path, before] : planted) {
            // The roll file's name is the product's own: rolling may put the
            // log there in place of what was planted, never write through it.
            // A log with a second name is rolled, and a fresh file takes the
            // log's name: the canary keeps its bytes and owner (above).
            if ((at_roll && path == "/tmp/.kestRun.log.0") ||
                (at_log && path == "/tmp/.kestRun.log")) {
                const Snapshot roll = Take(path);
                EXPECT_TRUE(roll.ino == before.ino || S_ISREG(roll.mode)) << path;
                EXPECT_NE(roll.ino, tmp_before.ino) << path;
                continue;
            }
            EXPECT_EQ(Take(path), before) << path;
        }
    }
}

// ---- a planted link to the attacker's own file -----------------------------

// While no shared link exists, the attacker plants one to a 0666 file of
// their own. Root's monitor (no HOME, as pppd starts it; its client a
// process of user 1000) and user 1000's client log afterwards: neither
// trusts the attacker, so the link is left as it is, the attacker's file
// gets nothing, and each writer's entries land in its own default log.
TEST(KslogHostileUser, PlantedLinkToTheirFile_CapturesNoEntry) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    const std::string trap = "/tmp/trap.log", home = "/tmp/u1000";
    ASSERT_TRUE(AsAttacker("umask 0 && : >" + trap + " && ln -s " + trap + " /tmp/kestRun.log"));
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), 1000, 1000), 0);
    const Snapshot link_before = Take("/tmp/kestRun.log");

    const pid_t pppd = StartPppd();
    const pid_t client =
        Spawn({"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--", "sleep", "100"});
    ASSERT_TRUE(mkdir("/etc/ppp", 0755) == 0 || errno == EEXIST);
    ASSERT_TRUE(WriteFile("/etc/ppp/kestrun.pid", std::to_string(client) + "\n"));
    const auto user = RunProgram({"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--",
                                  KS_KSLOG_WRITER, "-t", "client", "-n", "3"},
                                 {"HOME=" + home, "SUDO_UID", "SUDO_GID"});
    EXPECT_EQ(user.exit_code(), 0) << user.err;
    const auto started = RunProgram({KS_MONITOR_BIN}, {"IFNAME=ppp0", "KSLOGPRIORITY=debug", "HOME",
                                                       "SUDO_UID", "SUDO_GID", "DNS1", "DNS2"});
    ASSERT_EQ(started.exit_code(), 0) << started.err;
    const std::string watching = "Monitoring processes:  ks=" + std::to_string(client);
    EXPECT_TRUE(WaitFor([&] {
        return ReadFile("/tmp/.kestRun.log").value_or("").find(watching) != std::string::npos;
    }));
    ASSERT_TRUE(WriteFile("/var/run/com.valdrane.kestrun.ksMonitor", "0"));
    KillAndReap(client);
    KillAndReap(pppd);

    EXPECT_EQ(ReadFile(trap), "");
    EXPECT_EQ(Take("/tmp/kestRun.log"), link_before);
    EXPECT_NE(ReadFile(home + "/.kestRun.log").value_or("").find("] client 2 "), std::string::npos);
}

// The other side of the rule: root's monitor trusts the user its client
// runs for, so a link that user's own process made (their log in their
// home) is followed, and the monitor's entries join the user's log.
TEST(KslogMonitorTrust, ClientUsersLink_FollowedByRootsMonitor) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    const std::string home = "/tmp/u1000", log = home + "/.kestRun.log";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), 1000, 1000), 0);
    const std::vector<std::string> as_user = {"setpriv", "--reuid=1000", "--regid=1000",
                                              "--clear-groups", "--"};
    auto argv = as_user;
    argv.insert(argv.end(),
                {"/bin/sh", "-c", ": >" + log + " && ln -s " + log + " /tmp/kestRun.log"});
    ASSERT_EQ(RunProgram(argv).exit_code(), 0);

    const pid_t pppd = StartPppd();
    argv = as_user;
    argv.insert(argv.end(), {"sleep", "100"});
    const pid_t client = Spawn(argv);
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile("/proc/" + std::to_string(client) + "/comm") == "sleep\n"; }));
    ASSERT_TRUE(mkdir("/etc/ppp", 0755) == 0 || errno == EEXIST);
    ASSERT_TRUE(WriteFile("/etc/ppp/kestrun.pid", std::to_string(client) + "\n"));
    const auto started = RunProgram(
        {KS_MONITOR_BIN}, {"IFNAME=ppp0", "HOME", "SUDO_UID", "SUDO_GID", "DNS1", "DNS2"});
    ASSERT_EQ(started.exit_code(), 0) << started.err;
    const std::string watching = "Monitoring processes:  ks=" + std::to_string(client);
    EXPECT_TRUE(
        WaitFor([&] { return ReadFile(log).value_or("").find(watching) != std::string::npos; }));
    ASSERT_TRUE(WriteFile("/var/run/com.valdrane.kestrun.ksMonitor", "0"));
    EXPECT_TRUE(WaitFor([] { return MonitorChildren().empty(); }));
    KillAndReap(client);
    KillAndReap(pppd);

    EXPECT_FALSE(Exists("/tmp/.kestRun.log"));
    EXPECT_EQ(Take(log).uid, 1000u);
    EXPECT_EQ(LinkTargetOf("/tmp/kestRun.log"), log);  // the user's link stays
}

// ---- the trusted user's link to root's files ------------------------------

// Runs a shell command as the tunnel's client user (uid 1000), whom root's
// monitor and a root process with SUDO_UID=1000 trust with links.
bool AsClientUser(const std::string& command) {
    const auto run = RunProgram({"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--",
                                 "/bin/sh", "-c", command});
    return run.exit_code() == 0;
}

// The client user points the shared link at root's files: a 0600 file, a
// missing name in root's /etc (a file that, made there, the dynamic loader
// would read for every setuid program), a file over 10 MiB; or builds the
// chain through a link of a second trusted user. Root's monitor (no HOME,
// no SUDO_*, naming the user's client) and a root process run through sudo
// by that user write and roll: neither writes, makes, rolls nor gives away
// any of root's files. Trust lets the link be followed, but behind it root
// acts with that user's rights only; a chain two users shaped is refused
// and the entries go to the default log.
TEST(KslogHostileUser, TrustedUsersLinkToRootsFiles_NeitherWrittenMadeRolledNorGiven) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const std::string link = "/tmp/kestRun.log", canary = kEtcCanary,
                      preload = "/etc/kestrun-ld.so.preload", big = "/etc/kestrun-big.img",
                      theirs = "/tmp/second-user.log";
    enum class Writer { kMonitor, kSudo, kMonitorRunThroughSudoByAnother };
    const struct {
        const char* what;
        std::string target;  // where the user's link points
        Writer writer;
        bool two_users;  // the chain passes a link of user 1001 (SUDO_UID) to their file
    } cases[] = {
        {"monitor: link to root's 0600 file", canary, Writer::kMonitor, false},
        {"monitor: link to a missing name in /etc", preload, Writer::kMonitor, false},
        {"monitor: link to root's file over 10 MiB", big, Writer::kMonitor, false},
        {"through sudo: link to root's 0600 file", canary, Writer::kSudo, false},
        {"through sudo: link to a missing name in /etc", preload, Writer::kSudo, false},
        {"through sudo: link to root's file over 10 MiB", big, Writer::kSudo, false},
        {"monitor run through sudo by a second user: a chain of both users' links", theirs,
         Writer::kMonitorRunThroughSudoByAnother, true},
    };
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& path :
             {link, canary, preload, big, theirs, std::string("/tmp/l1001"),
              std::string("/tmp/.kestRun.log"), std::string("/tmp/.kestRun.log.0")})
            RemoveAll(path);
        for (const std::string& path : {canary, preload, big, theirs}) RemoveAll(path + ".0");
        ASSERT_TRUE(WriteFile(canary, "root:x:0:0:root:/root:/bin/bash\n", 0600));
        ASSERT_TRUE(WriteFile(big, std::string(11000000, '\0'), 0644));
        if (c.two_users) {
            ASSERT_TRUE(WriteFile(theirs, "", 0600));
            ASSERT_EQ(chown(theirs.c_str(), 1001, 1001), 0);
            ASSERT_EQ(symlink(theirs.c_str(), "/tmp/l1001"), 0);
            ASSERT_EQ(lchown("/tmp/l1001", 1001, 1001), 0);
            ASSERT_TRUE(AsClientUser("ln -s /tmp/l1001 /tmp/kestRun.log"));
        } else {
            ASSERT_TRUE(AsClientUser("ln -s " + c.target + " /tmp/kestRun.log"));
        }
        const Snapshot canary_before = Take(canary), big_before = Take(big),
                       theirs_before = Take(theirs), link_before = Take(link);

        const pid_t client = Spawn(
            {"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--", "sleep", "100"});
        ASSERT_TRUE(WaitFor([&] {
            return ReadFile("/proc/" + std::to_string(client) + "/status")
                       .value_or("")
                       .find("Uid:\t1000") != std::string::npos;
        }));
        std::vector<std::string> argv = {KS_KSLOG_WRITER, "-n", "3", "-r"};
        EnvEdits env = {"HOME", "SUDO_UID", "SUDO_GID"};
        if (c.writer != Writer::kSudo) argv.insert(argv.end(), {"-c", std::to_string(client)});
        if (c.writer == Writer::kSudo) env = {"HOME", "SUDO_UID=1000", "SUDO_GID=1000"};
        if (c.writer == Writer::kMonitorRunThroughSudoByAnother)
            env = {"HOME", "SUDO_UID=1001", "SUDO_GID=1001"};
        const auto run = RunProgram(argv, env, 20000ms);
        KillAndReap(client);
        EXPECT_EQ(run.exit_code(), 0) << run.err;

        EXPECT_EQ(Take(canary), canary_before);
        EXPECT_EQ(Take(big), big_before);
        EXPECT_FALSE(Take(preload).exists);
        for (const std::string& path : {canary, preload, big, theirs})
            EXPECT_FALSE(Take(path + ".0").exists) << path;
        EXPECT_EQ(Take(link), link_before);
        if (c.two_users) {
            EXPECT_EQ(Take(theirs), theirs_before);
            EXPECT_EQ(Messages("/tmp/.kestRun.log.0").size() + Messages("/tmp/.kestRun.log").size(),
                      3u);
        }
    }
}

// ---- a directory of the log's path swapped during entries ----------------

// Whether any process opened the FIFO for writing since this reader opened
// it: Linux reports POLLHUP to a FIFO's reader only once a writer came.
bool FifoSawAWriter(int reader) {
    struct pollfd p = {reader, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// The attacker owns the directory that holds root's log directory (HOME of
// a root writer) and swaps that directory, in a tight loop, with a link to
// a directory of theirs holding a FIFO at the log's name (a device, had
// they one to place). Root writes 3,000 entries and rolls meanwhile: the
// FIFO never sees a writer, nothing is created in the attacker's
// directory, and every entry that was written is whole in the real file.
TEST(KslogHostileUser, DirectorySwappedDuringEntries_NothingButTheLogOpened) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    const std::string top = "/tmp/h", real = top + "/real", theirs = "/tmp/theirs";
    ASSERT_TRUE(AsAttacker("mkdir -m 755 " + top + " " + real + " " + theirs + " && mkfifo " +
                           theirs + "/.kestRun.log && ln -s " + theirs + " " + top + "/swap"));
    const kestrun::unique_fd reader(
        open((theirs + "/.kestRun.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.ok());

    const pid_t racer = Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                               KS_EXCHANGE_RACER, top, "real", "swap", "/tmp/racer.count"});
    const auto run = RunProgram({KS_KSLOG_WRITER, "-n", "3000", "-r"},
                                {"HOME=" + real, "SUDO_UID", "SUDO_GID"}, 60000ms);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    ASSERT_EQ(kill(racer, SIGTERM), 0);
    EXPECT_NE(WaitForChild(racer), -1);
    const std::string swaps = ReadFile("/tmp/racer.count").value_or("?");
    std::cout << "swaps, recreated: " << swaps;

    EXPECT_FALSE(FifoSawAWriter(reader.get()));
    // The racer stops with either name on either entry: find the real one.
    const std::string dir = S_ISDIR(Take(real).mode) ? real : top + "/swap";
    for (const auto& name : {std::string(".kestRun.log"), std::string(".kestRun.log.0")}) {
        const std::string path = dir + "/" + name;
        if (!Take(path).exists) continue;
        for (const auto& line : Lines(ReadFile(path).value_or(""))) {
            EXPECT_TRUE(ParseEntry(line).has_value()) << path << ": " << line;
        }
    }
    EXPECT_TRUE(S_ISFIFO(Take(theirs + "/.kestRun.log").mode));
    EXPECT_FALSE(Take(theirs + "/.kestRun.log.0").exists);
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

// Holds a lock for good: the attacker on a file of their own that their
// planted shared link leads to (the link is refused, so the monitor writes
// its default file and never waits on theirs), the attacker on root's log
// left readable by an older version, or a process of the product's stopped
// while it held root's log.
enum class Holder { kAttackersOwnFile, kAttackerOnRootsLog, kStoppedProcess };

// Starts the holder; its pid, with the file whose lock it holds in held and
// the log file the monitor will write in log.
pid_t HoldLock(Holder holder, std::string& held, std::string& log) {
    held = log = DefaultLog();
    if (holder == Holder::kAttackersOwnFile) {
        held = "/tmp/theirs.log";
        EXPECT_TRUE(AsAttacker("echo theirs >" + held + " && ln -s " + held + " /tmp/kestRun.log"));
    }
    if (holder != Holder::kStoppedProcess) {
        if (holder == Holder::kAttackerOnRootsLog) {
            // Root's log as an older version left it, readable by all.
            log = DefaultLog();
            EXPECT_TRUE(WriteFile(log, "", 0644));
        }
        return Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                      "/bin/sh", "-c", "exec 9<" + held + " && flock 9 && exec sleep 1000"});
    }
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
            std::string held, log;
            const pid_t locker = HoldLock(holder, held, log);
            ASSERT_TRUE(WaitFor([&] { return LockTaken(held); }));
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
            EXPECT_TRUE(LockTaken(held));  // held all along
            if (held != log) {
                EXPECT_EQ(ReadFile(held), "theirs\n");  // the refused link captured nothing
            }
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
