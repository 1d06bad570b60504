// Hostile users against the uninstaller's removal of $HOME/.valdrane/EPC,
// run by root. The attacker (uid 65534) plants through setpriv; root's
// canary is /tmp/rootonly/EPC/canary in a directory only root may enter, the
// very place a .valdrane link to /tmp/rootonly would make rm reach. The
// uninstaller runs with the setting on, no rpm on PATH and a stand-in
// client, so each run is the clean-up followed by the client's uninstall
// mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>  // posix_openpt, grantpt, unlockpt, ptsname
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "testkit.h"

using namespace kstest;

namespace {

constexpr char kCanaryDir[] = "/tmp/rootonly";
constexpr char kCanary[] = "/tmp/rootonly/EPC/canary";
constexpr char kToolsDir[] = "/tmp/tools-bin";
constexpr char kClient[] = "/usr/sbin/kestRun";
constexpr char kStandinLog[] = "/tmp/uninstall-standin.log";

// Runs a shell command as root, or as the attacker; true when it succeeded.
bool AsRoot(const std::string& command) {
    const auto run = RunProgram({"/bin/sh", "-ec", command});
    EXPECT_EQ(run.err, "") << command;
    return run.exit_code() == 0;
}

bool AsAttacker(const std::string& command) {
    const auto run = RunProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 "--", "/bin/sh", "-ec", command});
    EXPECT_EQ(run.err, "") << command;
    return run.exit_code() == 0;
}

class UninstallHostile : public testing::Test {
  protected:
    void SetUp() override {
        KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
        ASSERT_EQ(chmod("/tmp", 01777), 0);
        ASSERT_TRUE(AsRoot(std::string("mkdir -m 0700 ") + kCanaryDir + " && mkdir " + kCanaryDir +
                           "/EPC && echo canary >" + kCanary));
        ASSERT_EQ(mkdir(kToolsDir, 0755), 0);
        ASSERT_EQ(symlink("/bin/rm", (std::string(kToolsDir) + "/rm").c_str()), 0);
        ASSERT_EQ(symlink(KS_UNINSTALL_STANDIN, kClient), 0);
    }

    void TearDown() override {
        for (const char* path : {kToolsDir, kClient, kStandinLog}) RemoveAll(path);
    }

    // One uninstall with the endpoint-control setting on under home.
    static void Uninstall(const std::string& home) {
        ASSERT_TRUE(WriteFile(home + "/.kestrun", "uninstallEpcOnUninstall=true\n"));
        const auto r =
            RunProgram({KS_UNINSTALL_BIN}, {"HOME=" + home, "PATH=" + std::string(kToolsDir)});
        // rm's complaints about what it may not remove reach standard error.
        EXPECT_EQ(r.exit_code(), 0) << r.err;
    }

    static void ExpectCanaryIntact() { EXPECT_EQ(ReadFile(kCanary), "canary\n"); }
};

// ---------------------------------------------------------------------------
// What is planted before the uninstaller runs, and what must be left.

struct PlantCase {
    std::string name;
    std::string home;
    std::string as_root;      // set-up by root, before the attacker's
    std::string as_attacker;  // what the attacker plants
    std::vector<std::string> kept;
    std::vector<std::string> gone;
    std::string then_root = {};  // root's data left among the attacker's
};

void PrintTo(const PlantCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallHostilePlant : public UninstallHostile,
                              public testing::WithParamInterface<PlantCase> {};

TEST_P(UninstallHostilePlant, Removal_NoMoreThanTheSwappingUserCould) {
    const auto& c = GetParam();
    if (!c.as_root.empty()) {
        ASSERT_TRUE(AsRoot(c.as_root));
    }
    if (!c.as_attacker.empty()) {
        ASSERT_TRUE(AsAttacker(c.as_attacker));
    }
    if (!c.then_root.empty()) {
        ASSERT_TRUE(AsRoot(c.then_root));
    }

    Uninstall(c.home);

    ExpectCanaryIntact();
    for (const auto& path : c.kept) EXPECT_TRUE(Exists(path)) << path << " was removed";
    for (const auto& path : c.gone) EXPECT_FALSE(Exists(path)) << path << " is still there";
    EXPECT_EQ(ReadFile(kStandinLog), "[/usr/sbin/kestRun] [--uninstall]\n")
        << "the hand-off follows";
}

// The attacker makes a home of its own and plants in it.
const std::string kAttackerHome = "mkdir -m 0755 /tmp/victim && cd /tmp/victim && ";

INSTANTIATE_TEST_SUITE_P(
    Plants, UninstallHostilePlant,
    testing::Values(
        PlantCase{"ValdraneLinkToRootOnlyDirectory",
                  "/tmp/victim",
                  "",
                  kAttackerHome + "ln -s /tmp/rootonly .valdrane",
                  {"/tmp/victim/.valdrane"},
                  {}},
        // rm removes a link at EPC without following it, as it always did.
        PlantCase{"EpcLinkToRootData",
                  "/tmp/victim",
                  "",
                  kAttackerHome + "mkdir .valdrane && ln -s /tmp/rootonly/EPC .valdrane/EPC",
                  {"/tmp/victim/.valdrane", "/tmp/rootonly/EPC"},
                  {"/tmp/victim/.valdrane/EPC"}},
        PlantCase{"HomeIsTmpAndValdraneAStrangersLink",
                  "/tmp",
                  "",
                  "ln -s /tmp/rootonly /tmp/.valdrane",
                  {"/tmp/.valdrane"},
                  {}},
        // .valdrane is the attacker's: rm runs as the attacker, who may
        // remove its own EPC (and the link in it, not followed) but not a
        // directory of root's left inside it.
        PlantCase{"HomeIsTmpAndValdraneAStrangersDirectory",
                  "/tmp",
                  "",
                  "mkdir -p /tmp/.valdrane/EPC/own && ln -s /tmp/rootonly /tmp/.valdrane/EPC/in",
                  {"/tmp/.valdrane/EPC/rootdir/file"},
                  {"/tmp/.valdrane/EPC/own", "/tmp/.valdrane/EPC/in"},
                  "mkdir /tmp/.valdrane/EPC/rootdir && echo root >/tmp/.valdrane/EPC/rootdir/file"},
        // Anyone may swap entries of this home: nobody's rights are safe,
        // so even with no attack under way nothing is removed.
        PlantCase{"HomeWritableByOthersNotSticky",
                  "/tmp/open",
                  "mkdir -m 0777 /tmp/open && mkdir -p /tmp/open/.valdrane/EPC && "
                  "echo data >/tmp/open/.valdrane/EPC/data",
                  "",
                  {"/tmp/open/.valdrane/EPC/data"},
                  {}},
        PlantCase{"HomeWritableByOthersNotStickyValdraneLink",
                  "/tmp/open",
                  "mkdir -m 0777 /tmp/open",
                  "ln -s /tmp/rootonly /tmp/open/.valdrane",
                  {"/tmp/open/.valdrane"},
                  {}},
        // A sticky home of the attacker's with a .valdrane of root's: both
        // may rename it; the attacker is the less privileged, so root's
        // data under it stays.
        PlantCase{"StickyHomeOfTheAttackerValdraneRoots",
                  "/tmp/victim",
                  "mkdir -p /tmp/victim/.valdrane/EPC && echo data >/tmp/victim/.valdrane/EPC/data "
                  "&& chown 65534:65534 /tmp/victim && chmod 01777 /tmp/victim",
                  "",
                  {"/tmp/victim/.valdrane/EPC/data"},
                  {}},
        // Two users other than root may rename .valdrane: either could turn
        // the removal against the other, so nothing is removed.
        PlantCase{"StickyHomeOfOneUserValdraneOfAnother",
                  "/tmp/victim",
                  "mkdir -p /tmp/victim/.valdrane/EPC && echo data >/tmp/victim/.valdrane/EPC/data "
                  "&& chown -R 65533:65533 /tmp/victim/.valdrane && chown 65534:65534 /tmp/victim "
                  "&& chmod 01777 /tmp/victim",
                  "",
                  {"/tmp/victim/.valdrane/EPC/data"},
                  {}},
        // No attack: the data goes as it always did.
        PlantCase{"AttackersOwnData",
                  "/tmp/victim",
                  "",
                  kAttackerHome + "mkdir -p .valdrane/EPC/sub && echo data >.valdrane/EPC/sub/data",
                  {"/tmp/victim/.valdrane"},
                  {"/tmp/victim/.valdrane/EPC"}},
        PlantCase{"HomeIsALinkToRootsHome",
                  "/tmp/homelink",
                  "mkdir -p /tmp/realhome/.valdrane/EPC/sub && echo data "
                  ">/tmp/realhome/.valdrane/EPC/sub/data && ln -s /tmp/realhome /tmp/homelink",
                  "",
                  {"/tmp/realhome/.valdrane"},
                  {"/tmp/realhome/.valdrane/EPC"}}),
    [](const auto& info) { return info.param.name; });

// Not run by root, the uninstaller runs rm as itself: no credentials to take
// (an attempt would fail and remove nothing).
TEST_F(UninstallHostile, NotRunByRoot_RemovesAsItself) {
    ASSERT_TRUE(AsAttacker(kAttackerHome +
                           "mkdir -p .valdrane/EPC/sub && echo data >.valdrane/EPC/sub/data && "
                           "echo uninstallEpcOnUninstall=true >.kestrun"));
    const auto r = RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                               "--clear-groups", "--", KS_UNINSTALL_BIN},
                              {"HOME=/tmp/victim", "PATH=" + std::string(kToolsDir)});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(Exists("/tmp/victim/.valdrane/EPC"));
    EXPECT_TRUE(Exists("/tmp/victim/.valdrane"));
}

// ---------------------------------------------------------------------------
// rm run as the attacker is the attacker's to ptrace: it must hold neither
// root's terminal as a descriptor nor as its controlling terminal (/dev/tty,
// TIOCSTI), nor any other descriptor the uninstaller was started with, nor
// root's environment; and what it writes reaches root's terminal without
// control characters. The uninstaller runs on a
// pseudo-terminal as its controlling terminal; the rm on PATH is a stand-in that records what it
// holds, says something on standard error, and then runs the real rm.

TEST_F(UninstallHostile, RemovalAsAnotherUser_HoldsNoTerminal) {
    RemoveAll(std::string(kToolsDir) + "/rm");
    ASSERT_TRUE(
        WriteFile(std::string(kToolsDir) + "/rm",
                  "#!/bin/sh\n"
                  // Command substitutions run apart, so the script's own
                  // descriptors are the ones read.
                  "u=$(/usr/bin/id -u)\n"
                  "f0=$(/usr/bin/readlink /proc/$$/fd/0)\n"
                  "f1=$(/usr/bin/readlink /proc/$$/fd/1)\n"
                  "f2=$(/usr/bin/readlink /proc/$$/fd/2)\n"
                  "f7=$(/usr/bin/readlink /proc/$$/fd/7 || echo none)\n"
                  "if (: </dev/tty) 2>/dev/null; then t=tty; else t=no-tty; fi\n"
                  "printf '%s\\n' \"$u\" \"$f0\" \"$f1\" \"$f2\" \"$t\" \"$f7\" >/tmp/rm.record\n"
                  // Root's working directory, below a directory only root
                  // may enter, would reach what lies in it.
                  "{ /usr/bin/cat cwd.canary || echo no-cwd; } >>/tmp/rm.record 2>/dev/null\n"
                  "/usr/bin/env >/tmp/rm.env\n"
                  // What it was given and where it works.
                  "printf '%s\\n' \"$*\" \"$(/bin/pwd -P)\" >/tmp/rm.args\n"
                  // An escape sequence that would set the terminal's title,
                  // and CSI as the C1 control U+009B in UTF-8 (clear the
                  // screen) and as the single byte 0x9b (clear the line).
                  "printf '\\033]0;owned\\007rm-says-this\\302\\2332J\\2332K\\n' >&2\n"
                  "exec /bin/rm \"$@\"\n",
                  0755));
    ASSERT_TRUE(AsAttacker(kAttackerHome + "mkdir -p .valdrane/EPC"));
    ASSERT_TRUE(WriteFile("/tmp/victim/.kestrun", "uninstallEpcOnUninstall=true\n"));
    ASSERT_TRUE(AsRoot(std::string("mkdir -m 0755 ") + kCanaryDir + "/sub && echo cwd >" +
                       kCanaryDir + "/sub/cwd.canary"));

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A session leader's first terminal opened becomes its controlling one.
        if (setsid() < 0) _exit(120);
        const int fd = open(slave.c_str(), O_RDWR);
        if (fd < 0) _exit(121);
        for (int target = 0; target < 3; ++target) dup2(fd, target);
        // A descriptor of root's left open by whoever started it.
        const int inherited = open(kCanary, O_RDONLY);
        if (inherited < 0 || dup2(inherited, 7) != 7) _exit(123);
        if (chdir("/tmp/rootonly/sub") != 0) _exit(124);
        setenv("HOME", "/tmp/victim", 1);
        setenv("PATH", kToolsDir, 1);
        setenv("LANG", "C.UTF-8", 1);
        setenv("KS_ROOTS_SECRET", "only root may read this", 1);
        execl(KS_UNINSTALL_BIN, KS_UNINSTALL_BIN, static_cast<char*>(nullptr));
        _exit(122);
    }
    std::string terminal;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        char buf[512];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO: every descriptor of the slave closed
        terminal.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(master);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string record = ReadFile("/tmp/rm.record").value_or("");
    std::istringstream lines(record);
    std::string uid, in, out, err, tty, fd7, cwd;
    std::getline(lines, uid);
    std::getline(lines, in);
    std::getline(lines, out);
    std::getline(lines, err);
    std::getline(lines, tty);
    std::getline(lines, fd7);
    std::getline(lines, cwd);
    EXPECT_EQ(uid, "65534") << record;
    EXPECT_EQ(in, "/dev/null") << record;
    EXPECT_TRUE(out.starts_with("pipe:")) << record;
    EXPECT_EQ(err, out) << record;
    EXPECT_EQ(tty, "no-tty") << record;
    EXPECT_EQ(fd7, "none") << record;
    EXPECT_EQ(cwd, "no-cwd") << record;
    // Its messages still reach the uninstaller's standard error.
    EXPECT_NE(terminal.find("?]0;owned?rm-says-this"), std::string::npos) << terminal;
    EXPECT_EQ(terminal.find('\033'), std::string::npos) << "control characters pass as '?'";
    // The C1 control goes as a whole, no stray lead byte left behind; and
    // so does CSI as the single byte 0x9b of 8-bit terminals.
    EXPECT_NE(terminal.find("rm-says-this?2J?2K"), std::string::npos) << terminal;
    // Of root's environment, only what finds rm and sets its language.
    const std::string env = ReadFile("/tmp/rm.env").value_or("");
    EXPECT_NE(env.find("PATH=/tmp/tools-bin\n"), std::string::npos) << env;
    EXPECT_NE(env.find("LANG=C.UTF-8\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("KS_ROOTS_SECRET"), std::string::npos) << env;
    EXPECT_EQ(env.find("HOME="), std::string::npos) << env;
    // The path goes through the .valdrane that was judged, as its working
    // directory, not through HOME's name.
    EXPECT_EQ(ReadFile("/tmp/rm.args"), "-rf EPC\n/tmp/victim/.valdrane\n");
    EXPECT_FALSE(Exists("/tmp/victim/.valdrane/EPC"));
    ExpectCanaryIntact();
}

// ---------------------------------------------------------------------------
// The credentials the removal takes: each subdirectory of EPC is root's,
// group-writable for one group only, so rm empties it only when that group
// is among the child's; the directories themselves stay (their parent EPC is
// the user's, so rm may unlink them once empty: the files tell).

struct CredentialCase {
    std::string name;
    std::string owner;  // uid:gid of home and .valdrane and EPC
    std::vector<std::string> removable_groups;
    std::vector<std::string> kept_groups;
};

void PrintTo(const CredentialCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallHostileCredentials : public UninstallHostile,
                                    public testing::WithParamInterface<CredentialCase> {};

TEST_P(UninstallHostileCredentials, Removal_RunsAsTheOwnerWithItsGroups) {
    const auto& c = GetParam();
    // nobody gets a supplementary group, in the sandbox's own /etc/group.
    ASSERT_TRUE(AsRoot("echo kstestgrp:x:54400:nobody >>/etc/group"));
    ASSERT_TRUE(AsRoot("mkdir -p /tmp/h/.valdrane/EPC && chown -R " + c.owner + " /tmp/h"));
    std::vector<std::string> groups = c.removable_groups;
    groups.insert(groups.end(), c.kept_groups.begin(), c.kept_groups.end());
    for (const auto& group : groups) {
        const std::string dir = "/tmp/h/.valdrane/EPC/g" + group;
        ASSERT_TRUE(AsRoot("mkdir -m 0770 " + dir + " && echo x >" + dir + "/file && chgrp " +
                           group + " " + dir));
    }

    Uninstall("/tmp/h");

    for (const auto& group : c.removable_groups)
        EXPECT_FALSE(Exists("/tmp/h/.valdrane/EPC/g" + group + "/file")) << "group " << group;
    for (const auto& group : c.kept_groups)
        EXPECT_TRUE(Exists("/tmp/h/.valdrane/EPC/g" + group + "/file")) << "group " << group;
    ExpectCanaryIntact();
}

INSTANTIATE_TEST_SUITE_P(
    Owners, UninstallHostileCredentials,
    testing::Values(
        // nobody's passwd entry gives group 65534 and getgrouplist adds
        // 54400; root's own group 0 is gone.
        CredentialCase{"UserWithPasswdEntry", "65534:0", {"65534", "54400"}, {"0", "54401"}},
        // No passwd entry: the directory's group and no other; not the
        // group numbered like the uid.
        CredentialCase{"UidWithoutPasswdEntry", "54321:54322", {"54322"}, {"54321", "0", "54400"}},
        // Root's home: rm runs as root and removes everything, as always.
        CredentialCase{"RootsHome", "0:0", {"0", "54400", "65534"}, {}}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A racing owner: .valdrane swapped between a real directory and a link to
// the root-only directory, as fast as the kernel allows, across many
// uninstaller runs. Whatever the uninstaller sees when it checks, rm then
// runs with the racer's rights and cannot enter /tmp/rootonly.

struct RaceCase {
    std::string name;
    std::string home;
    std::string setup;            // as the attacker
    std::string root_setup = {};  // by root, before the attacker's
    bool reaches_real = true;     // some runs remove the real directory's EPC
};

void PrintTo(const RaceCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallHostileRace : public UninstallHostile,
                             public testing::WithParamInterface<RaceCase> {};

TEST_P(UninstallHostileRace, SwappedValdrane_CanarySurvivesEveryRun) {
    const auto& c = GetParam();
    constexpr int kRuns = 120;
    if (!c.root_setup.empty()) {
        ASSERT_TRUE(AsRoot(c.root_setup));
    }
    ASSERT_TRUE(AsAttacker(c.setup + "mkdir -p " + c.home + "/.valdrane/EPC && ln -s " +
                           kCanaryDir + " " + c.home + "/.valdrane-swap"));
    ASSERT_TRUE(WriteFile(c.home + "/.kestrun", "uninstallEpcOnUninstall=true\n"));
    const pid_t racer =
        Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
               KS_EXCHANGE_RACER, c.home, ".valdrane", ".valdrane-swap", "/tmp/racer.count"});
    ASSERT_GT(racer, 0);

    for (int run = 0; run < kRuns; ++run) {
        const auto r =
            RunProgram({KS_UNINSTALL_BIN}, {"HOME=" + c.home, "PATH=" + std::string(kToolsDir)});
        ASSERT_EQ(r.exit_code(), 0) << "run " << run << ": " << r.err;
        ASSERT_EQ(ReadFile(kCanary), "canary\n") << "after run " << run;
    }

    ASSERT_EQ(kill(racer, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(racer, &status, 0), racer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unsigned long swaps = 0, recreated = 0;
    std::istringstream(ReadFile("/tmp/racer.count").value_or("")) >> swaps >> recreated;
    RecordProperty("swaps", std::to_string(swaps));
    RecordProperty("real_epc_removed", std::to_string(recreated));
    // Not vacuous: the names really flipped, and some runs got through to
    // the real directory and removed its EPC (which the racer made again).
    EXPECT_GE(swaps, static_cast<unsigned long>(kRuns));
    if (c.reaches_real) {
        EXPECT_GT(recreated, 0u);
    } else {
        EXPECT_EQ(recreated, 0u) << "nothing is removed at all";
    }
    ExpectCanaryIntact();
}

INSTANTIATE_TEST_SUITE_P(
    Homes, UninstallHostileRace,
    testing::Values(RaceCase{"OwnerOfHome", "/tmp/victim", "mkdir -m 0755 /tmp/victim && "},
                    RaceCase{"HomeIsTmp", "/tmp", ""},
                    // Root's home that a group may write: any member may
                    // swap .valdrane, so root's rights are not safe and
                    // nothing is removed.
                    RaceCase{"RootsHomeWritableByAGroup", "/tmp/grp", "",
                             "mkdir -m 0775 /tmp/grp && chgrp 65534 /tmp/grp", false}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// HOME itself flipped: HOME names an entry of a directory the attacker
// owns, swapped as fast as the kernel allows between a link to a home of
// root's (root-owned, so the removal there runs as root) and the
// attacker's own directory, whose .valdrane is a link to the root-only
// directory. Looked up by name twice, HOME could be judged as root's home
// and then lead rm, running as root, into /tmp/rootonly. The removal must
// act on the home it judged, in every run.

TEST_F(UninstallHostile, FlippedHome_CanarySurvivesEveryRun) {
    constexpr int kRuns = 300;
    const std::string root_epc = "/tmp/roothome/.valdrane/EPC";
    ASSERT_TRUE(AsRoot("mkdir -p " + root_epc +
                       " && echo uninstallEpcOnUninstall=true "
                       ">/tmp/roothome/.kestrun"));
    ASSERT_TRUE(
        AsAttacker(std::string("mkdir -m 0755 /tmp/flip /tmp/flip/own && cd /tmp/flip && ") +
                   "ln -s " + kCanaryDir +
                   " own/.valdrane && "
                   "echo uninstallEpcOnUninstall=true >own/.kestrun && "
                   "ln -s /tmp/roothome home"));
    const pid_t racer = Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                               KS_EXCHANGE_RACER, "/tmp/flip", "own", "home", "/tmp/racer.count"});
    ASSERT_GT(racer, 0);

    int roots_removed = 0;  // runs that judged root's home and removed its EPC
    for (int run = 0; run < kRuns; ++run) {
        const auto r = RunProgram({KS_UNINSTALL_BIN},
                                  {"HOME=/tmp/flip/home", "PATH=" + std::string(kToolsDir)});
        ASSERT_EQ(r.exit_code(), 0) << "run " << run << ": " << r.err;
        ASSERT_EQ(ReadFile(kCanary), "canary\n") << "after run " << run;
        if (!Exists(root_epc)) {
            ++roots_removed;
            ASSERT_EQ(mkdir(root_epc.c_str(), 0755), 0);
        }
    }

    ASSERT_EQ(kill(racer, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(racer, &status, 0), racer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unsigned long swaps = 0;
    std::istringstream(ReadFile("/tmp/racer.count").value_or("")) >> swaps;
    RecordProperty("swaps", std::to_string(swaps));
    RecordProperty("roots_home_removed", std::to_string(roots_removed));
    // Not vacuous: the names really flipped, and HOME was found both ways
    // (root's home, whose EPC went, and the attacker's, where nothing did).
    EXPECT_GE(swaps, static_cast<unsigned long>(kRuns));
    EXPECT_GT(roots_removed, 0);
    EXPECT_LT(roots_removed, kRuns);
    ExpectCanaryIntact();
    EXPECT_TRUE(Exists("/tmp/flip/own/.kestrun"));
}

// ---------------------------------------------------------------------------
// The settings file and the pid file are judged before they are opened:
// type, owner and link count. The home /tmp/victim and its
// .valdrane/EPC/data are the attacker's; root then places the settings file
// as each row says. A second name of a file of root's stands for what a
// user can make where fs.protected_hardlinks is off (root makes it here).

struct SettingsOwnerCase {
    std::string name;
    std::string as_root;  // places /tmp/victim/.kestrun
    bool removed;
};

void PrintTo(const SettingsOwnerCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallHostileSettings : public UninstallHostile,
                                 public testing::WithParamInterface<SettingsOwnerCase> {};

TEST_P(UninstallHostileSettings, SettingsFile_ReadOnlyWhenTrusted) {
    const auto& c = GetParam();
    ASSERT_TRUE(AsAttacker(kAttackerHome + "mkdir -p .valdrane/EPC && echo d >.valdrane/EPC/data"));
    ASSERT_TRUE(AsRoot("cd /tmp/victim && " + c.as_root));
    const auto r =
        RunProgram({KS_UNINSTALL_BIN}, {"HOME=/tmp/victim", "PATH=" + std::string(kToolsDir)});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Exists("/tmp/victim/.valdrane/EPC/data"), !c.removed);
    ExpectCanaryIntact();
}

const std::string kOn = "echo uninstallEpcOnUninstall=true >";

INSTANTIATE_TEST_SUITE_P(
    Owners, UninstallHostileSettings,
    testing::Values(
        SettingsOwnerCase{"HomeOwnersFile", kOn + ".kestrun && chown 65534 .kestrun", true},
        SettingsOwnerCase{"HomeOwnersFileWithASecondName",
                          kOn + ".kestrun && chown 65534 .kestrun && ln .kestrun .other", true},
        // A client run as root through sudo writes the file as root.
        SettingsOwnerCase{"RootsFile", kOn + ".kestrun", true},
        SettingsOwnerCase{"LinkToHomeOwnersFile",
                          "mkdir dots && " + kOn +
                              "dots/k && chown -R 65534 dots && "
                              "ln -s /tmp/victim/dots/k .kestrun",
                          true},
        SettingsOwnerCase{"StrangersFile", kOn + ".kestrun && chown 65533 .kestrun", false},
        SettingsOwnerCase{"LinkToStrangersFile",
                          kOn + "/tmp/strange && chown 65533 /tmp/strange && "
                                "ln -s /tmp/strange .kestrun",
                          false},
        SettingsOwnerCase{
            "SecondNameOfRootsFile",
            kOn + std::string(kCanaryDir) + "/secret && ln " + kCanaryDir + "/secret .kestrun",
            false},
        SettingsOwnerCase{"LinkToSecondNameOfRootsFile",
                          kOn + std::string(kCanaryDir) + "/secret && ln " + kCanaryDir +
                              "/secret /tmp/victim/hard && ln -s hard .kestrun",
                          false}),
    [](const auto& info) { return info.param.name; });

// A client-looking process (its command line holds "kestRun") and a pid
// file naming it, placed as each row says: the uninstall is refused only
// when the pid file is read.
struct PidFileOwnerCase {
    std::string name;
    std::string as_root;  // $PID is the client's pid
    bool refused;
};

void PrintTo(const PidFileOwnerCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallHostilePidFile : public UninstallHostile,
                                public testing::WithParamInterface<PidFileOwnerCase> {};

TEST_P(UninstallHostilePidFile, PidFile_ReadOnlyWithOneName) {
    const auto& c = GetParam();
    ASSERT_TRUE(AsRoot("cp /bin/sleep /tmp/kestRunSleep"));
    const pid_t client = Spawn({"/tmp/kestRunSleep", "60"});
    ASSERT_GT(client, 0);
    const std::string pid = std::to_string(client);
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile("/proc/" + pid + "/cmdline").value_or("").starts_with("/tmp/kestRun");
    }));
    ASSERT_TRUE(AsRoot("PID=" + pid + " && " + c.as_root));

    const auto r =
        RunProgram({KS_UNINSTALL_BIN}, {"HOME=/nonexistent", "PATH=" + std::string(kToolsDir)});
    KillAndReap(client);
    RemoveAll("/tmp/kestRunSleep");
    RemoveAll("/tmp/kestrun.pid");
    EXPECT_EQ(r.exit_code(), c.refused ? 255 : 0) << r.err;
    EXPECT_EQ(Exists(kStandinLog), !c.refused);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UninstallHostilePidFile,
    testing::Values(PidFileOwnerCase{"RootsFile", "echo $PID >/tmp/kestrun.pid", true},
                    // The client may run as any user.
                    PidFileOwnerCase{"UsersFile",
                                     "echo $PID >/tmp/kestrun.pid && chown 65534 /tmp/kestrun.pid",
                                     true},
                    PidFileOwnerCase{"SecondNameOfRootsFile",
                                     std::string("echo $PID >") + kCanaryDir + "/pid && ln " +
                                         kCanaryDir + "/pid /tmp/kestrun.pid",
                                     false},
                    PidFileOwnerCase{"Link",
                                     std::string("echo $PID >") + kCanaryDir + "/pid && ln -s " +
                                         kCanaryDir + "/pid /tmp/kestrun.pid",
                                     false}),
    [](const auto& info) { return info.param.name; });

// FIFOs at both names, each with a writer of the attacker's waiting in
// open() for a reader: any open for reading, even one that cannot block,
// would let it through. Neither ever gets through.
TEST_F(UninstallHostile, FifosAtTheNames_NeverOpened) {
    ASSERT_TRUE(AsAttacker(kAttackerHome +
                           "mkdir -p .valdrane/EPC && mkfifo /tmp/victim/fifo && "
                           "ln -s /tmp/victim/fifo .kestrun && mkfifo /tmp/kestrun.pid"));
    std::vector<pid_t> writers;
    for (const char* fifo : {"/tmp/victim/fifo", "/tmp/kestrun.pid"}) {
        writers.push_back(
            Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", "/bin/sh",
                   "-c", std::string("exec 3>") + fifo + " && touch " + fifo + ".opened"}));
        ASSERT_GT(writers.back(), 0);
        // Not vacuous: the writer is waiting in the FIFO's open.
        const std::string wchan = "/proc/" + std::to_string(writers.back()) + "/wchan";
        ASSERT_TRUE(WaitFor([&] { return ReadFile(wchan) == "wait_for_partner"; })) << fifo;
    }

    const auto r =
        RunProgram({KS_UNINSTALL_BIN}, {"HOME=/tmp/victim", "PATH=" + std::string(kToolsDir)});

    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Exists("/tmp/victim/.valdrane/EPC")) << "no settings were read";
    // A writer let through needs a moment to say so; none must within it.
    EXPECT_FALSE(WaitFor(
        [] { return Exists("/tmp/victim/fifo.opened") || Exists("/tmp/kestrun.pid.opened"); },
        300ms));
    for (const pid_t writer : writers) KillAndReap(writer);
    RemoveAll("/tmp/kestrun.pid");
}

// Devices and a socket at the names: strace shows that what the
// uninstaller opens at either name it opens with O_PATH alone, and that it
// never reopens anything through /proc/self/fd.
TEST_F(UninstallHostile, DevicesAndSocketsAtTheNames_OnlyEverOPath) {
    const struct {
        std::string name;
        std::string as_root;
    } cases[] = {
        {"SettingsLinkToPtmx", "ln -s /dev/ptmx /tmp/victim/.kestrun"},
        {"SettingsLinkToZero", "ln -s /dev/zero /tmp/victim/.kestrun"},
        {"PidFileDevice", "mknod /tmp/kestrun.pid c 1 5"},
        {"PidFileSocket",
         "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/tmp/kestrun.pid\")'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(AsRoot("mkdir -p /tmp/victim/.valdrane/EPC && " + c.as_root));
        const auto r = RunProgram(
            {"/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o",
             "/tmp/strace.out", KS_UNINSTALL_BIN},
            // LeakSanitizer cannot work under ptrace.
            {"HOME=/tmp/victim", "PATH=" + std::string(kToolsDir), "ASAN_OPTIONS=detect_leaks=0"});
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        const std::string trace = ReadFile("/tmp/strace.out").value_or("");
        ASSERT_NE(trace, "");
        std::istringstream lines(trace);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\".kestrun\"") != std::string::npos ||
                line.find("\"/tmp/kestrun.pid\"") != std::string::npos) {
                EXPECT_NE(line.find("O_PATH"), std::string::npos) << line;
            }
            EXPECT_EQ(line.find("/proc/self/fd/"), std::string::npos) << line;
        }
        EXPECT_TRUE(Exists("/tmp/victim/.valdrane/EPC"));
        RemoveAll("/tmp/victim");
        RemoveAll("/tmp/kestrun.pid");
        RemoveAll("/tmp/strace.out");
        RemoveAll(kStandinLog);
    }
}

}  // namespace
