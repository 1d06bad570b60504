// The log facility's trust rule over real layouts: each row sets up the
// homes, links and owners of a situation met in the field, runs the
// product's programs as the users they run as (kslog_writer, as root, as
// root through sudo, as the user, and as the monitor naming its client),
// and checks where each writer's entry landed, that no entry landed in a
// stranger's file, who owns the files afterwards and whether a full log
// rolled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "kslog_kit.h"
#include "processes.h"
#include "testkit.h"

using namespace kstest;
using namespace kstest::kslog;

namespace {

constexpr uid_t kUser = 1000, kStranger = 65534;
const std::string kHome = "/tmp/u";  // the tunnel user's home
const std::string kUserLog = kHome + "/.kestRun.log";
const std::string kTmpLog = "/tmp/.kestRun.log";  // the default log without HOME

// Who runs a writer, and how.
enum class As {
    kRootSudo,   // root through sudo: SUDO_UID/SUDO_GID name the user, HOME the user's
    kRootHook,   // root started by pppd's hook: no SUDO_*, no HOME
    kRootHome,   // root without SUDO_*, HOME the user's (a root shell's su -p)
    kUser,       // the user, HOME their own
    kMonitor,    // root, no SUDO_*, no HOME, the user's client named (-c)
    kNoLocks,    // root through sudo, with flock failing (ENOLCK)
    kNoOpenat2,  // root through sudo on a kernel without openat2 (ENOSYS)
};

struct Writer {
    As as;
    std::string tag;
    std::string lands;  // the file its entry must be in; "" for nowhere
};

struct Layout {
    const char* what;
    std::function<void()> setup;
    std::vector<Writer> writers;
    std::map<std::string, std::string> unchanged;  // path -> content it keeps
    std::map<std::string, uid_t> owners;           // path -> owner afterwards
    std::string rolled;  // a roll file that must hold more than 10 MiB, or ""
};

void Home(mode_t mode) {
    ASSERT_EQ(mkdir(kHome.c_str(), mode), 0);
    ASSERT_EQ(chown(kHome.c_str(), kUser, kUser), 0);
    ASSERT_EQ(chmod(kHome.c_str(), mode), 0);
}

void File(const std::string& path, const std::string& content, uid_t owner, mode_t mode = 0600) {
    ASSERT_TRUE(WriteFile(path, content, mode));
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

const std::string kEntryLine = "01/02/2026 03:04:05.006 [general info        1] earlier\n";

std::vector<Layout> Layouts() {
    return {
        {"root client through sudo, private home; the user's own process after",
         [] { Home(0700); },
         {{As::kRootSudo, "sudo", kUserLog}, {As::kUser, "user", kUserLog}},
         {},
         {{kUserLog, kUser}},
         ""},
        {"group-writable home: through sudo, from the hook, and with HOME only",
         [] { Home(02775); },
         {{As::kRootSudo, "sudo", kUserLog},
          {As::kRootHome, "home", kUserLog},
          {As::kUser, "user", kUserLog}},
         {},
         {{kUserLog, kUser}},
         ""},
        {"the user's process first (its link stands), the monitor later",
         [] {
             Home(0700);
             File(kUserLog, kEntryLine, kUser);
             ASSERT_TRUE(MakeLink(kUserLog, kLink, kUser));
         },
         {{As::kMonitor, "monitor", kUserLog}, {As::kUser, "user", kUserLog}},
         {},
         {{kUserLog, kUser}},
         ""},
        {"the user's link to their log, which they deleted: the monitor makes it theirs again",
         [] {
             Home(0700);
             ASSERT_TRUE(MakeLink(kUserLog, kLink, kUser));
         },
         {{As::kMonitor, "monitor", kUserLog}, {As::kUser, "user", kUserLog}},
         {},
         {{kUserLog, kUser}},
         ""},
        {"the user's link, and a root process that does not trust the user",
         [] {
             Home(0700);
             File(kUserLog, kEntryLine, kUser);
             ASSERT_TRUE(MakeLink(kUserLog, kLink, kUser));
         },
         {{As::kRootHook, "hook", kTmpLog}},
         {{kUserLog, kEntryLine}},
         {{kUserLog, kUser}, {kTmpLog, 0}},
         ""},
        {"a symbolic link at the default log in a private home",
         [] {
             Home(0700);
             ASSERT_EQ(mkdir((kHome + "/logs").c_str(), 0700), 0);
             ASSERT_EQ(chown((kHome + "/logs").c_str(), kUser, kUser), 0);
             ASSERT_TRUE(MakeLink(kHome + "/logs/kest.log", kUserLog, kUser));
         },
         {{As::kUser, "user", kHome + "/logs/kest.log"},
          {As::kRootSudo, "sudo", kHome + "/logs/kest.log"}},
         {},
         {{kHome + "/logs/kest.log", kUser}},
         ""},
        {"another user's planted link to their 0666 file",
         [] {
             Home(0700);
             File("/tmp/theirs.log", "", kStranger, 0666);
             ASSERT_TRUE(MakeLink("/tmp/theirs.log", kLink, kStranger));
         },
         {{As::kMonitor, "monitor", kTmpLog},
          {As::kUser, "user", kUserLog},
          {As::kRootSudo, "sudo", kUserLog}},
         {{"/tmp/theirs.log", ""}},
         {{"/tmp/theirs.log", kStranger}, {kUserLog, kUser}},
         ""},
        {"a root-owned file that is no log at the user's log name",
         [] {
             Home(0700);
             File(kUserLog, "root:secret\n", 0);
         },
         {{As::kRootSudo, "sudo", ""}},
         {{kUserLog, "root:secret\n"}},
         {{kUserLog, 0}},
         ""},
        {"the log with a second name",
         [] {
             Home(0700);
             File(kUserLog, kEntryLine, kUser);
             ASSERT_EQ(link(kUserLog.c_str(), (kHome + "/second").c_str()), 0);
         },
         {{As::kRootSudo, "sudo", kUserLog}, {As::kUser, "user", kUserLog}},
         {{kHome + "/second", kEntryLine}},
         {{kUserLog, kUser}, {kHome + "/second", kUser}},
         ""},
        {"a full log in the user's home, written by the monitor",
         [] {
             Home(0700);
             File(kUserLog, LogFiller(kRollSize + 1), kUser);
             ASSERT_TRUE(MakeLink(kUserLog, kLink, kUser));
         },
         {{As::kMonitor, "monitor", kUserLog}},
         {},
         {{kUserLog, kUser}, {kUserLog + ".0", kUser}},
         kUserLog + ".0"},
        {"a kernel without openat2: the walk of directories stands in",
         [] {
             Home(0700);
             File(kUserLog, kEntryLine, kUser);
         },
         {{As::kNoOpenat2, "walked", kUserLog}},
         {},
         {{kUserLog, kUser}},
         ""},
        {"a full log where locks cannot be had",
         [] {
             Home(0700);
             File(kUserLog, LogFiller(kRollSize + 1), kUser);
         },
         {{As::kNoLocks, "no locks", kUserLog}},
         {},
         {{kUserLog, kUser}, {kUserLog + ".0", kUser}},
         kUserLog + ".0"},
    };
}

// Runs one writer as its row says; the client the monitor names is a
// process of the user.
void RunWriter(const Writer& w, pid_t client) {
    std::vector<std::string> argv = {KS_KSLOG_WRITER, "-t", w.tag};
    EnvEdits env = {"SUDO_UID", "SUDO_GID", "HOME=" + kHome};
    switch (w.as) {
        case As::kRootSudo:
            env = {"SUDO_UID=1000", "SUDO_GID=1000", "HOME=" + kHome};
            break;
        case As::kNoLocks:
            env = {"SUDO_UID=1000", "SUDO_GID=1000", "HOME=" + kHome};
            argv.insert(argv.begin(), {KS_DENY_SYSCALLS, "flock"});
            break;
        case As::kNoOpenat2:
            env = {"SUDO_UID=1000", "SUDO_GID=1000", "HOME=" + kHome};
            argv.insert(argv.begin(), {KS_DENY_SYSCALLS, "openat2"});
            break;
        case As::kRootHook:
            env = {"SUDO_UID", "SUDO_GID", "HOME"};
            break;
        case As::kRootHome:
            break;
        case As::kMonitor:
            env = {"SUDO_UID", "SUDO_GID", "HOME"};
            argv.insert(argv.end(), {"-c", std::to_string(client)});
            break;
        case As::kUser:
            argv.insert(argv.begin(),
                        {"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--"});
            break;
    }
    const auto run = RunProgram(argv, env, 20000ms);
    EXPECT_EQ(run.exit_code(), 0) << w.tag << ": " << run.err;
}

TEST(KslogLayout, EachWritersEntryLandsWhereTheTrustRuleSays) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    for (const auto& layout : Layouts()) {
        SCOPED_TRACE(layout.what);
        for (const auto& path :
             {kHome, kLink, kTmpLog, kTmpLog + ".0", std::string("/tmp/theirs.log")})
            RemoveAll(path);
        layout.setup();
        if (HasFatalFailure()) return;
        const pid_t client = Spawn(
            {"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--", "sleep", "100"});
        ASSERT_TRUE(WaitFor([&] {
            return ReadFile("/proc/" + std::to_string(client) + "/status")
                       .value_or("")
                       .find("Uid:\t1000") != std::string::npos;
        }));

        for (const auto& w : layout.writers) RunWriter(w, client);
        KillAndReap(client);

        std::vector<std::string> files = {kUserLog, kTmpLog, "/tmp/theirs.log",
                                          kHome + "/logs/kest.log", kHome + "/second"};
        for (const auto& w : layout.writers) {
            SCOPED_TRACE(w.tag);
            const std::string entry = w.tag + " 0 ";
            for (const auto& file : files) {
                if (!S_ISREG(Lstat(file).st_mode))
                    continue;  // read through a link: counted at its target
                int found = 0;
                for (const auto& message : Messages(file)) found += message == entry;
                EXPECT_EQ(found, file == w.lands ? 1 : 0) << file;
            }
        }
        for (const auto& [path, content] : layout.unchanged) {
            EXPECT_EQ(ReadFile(path), content) << path;
        }
        for (const auto& [path, owner] : layout.owners) {
            EXPECT_EQ(Lstat(path).st_uid, owner) << path;
        }
        if (!layout.rolled.empty()) {
            EXPECT_GT(Lstat(layout.rolled).st_size, kRollSize) << layout.rolled;
        }
    }
}

}  // namespace
