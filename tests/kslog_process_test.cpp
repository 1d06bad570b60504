// The log facility across processes: programs that start and exit
// (kslog_writer), several writers at once, rotation under contention, and
// what one entry costs in system calls.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "kslog.h"
#include "kslog_kit.h"
#include "testkit.h"
#include "unique_fd.h"

using namespace kstest;
using namespace kstest::kslog;
using ::testing::ElementsAre;

namespace {

RunResult RunWriter(std::vector<std::string> args, const EnvEdits& env = {}) {
    args.insert(args.begin(), KS_KSLOG_WRITER);
    return RunProgram(args, env, 20000ms);
}

// How often each message occurs in the files.
std::map<std::string, int> Tally(const std::vector<std::string>& paths) {
    std::map<std::string, int> seen;
    for (const auto& path : paths)
        for (const auto& message : Messages(path)) ++seen[message];
    return seen;
}

TEST(KslogProcess, Exit_RemovesOnlyTheLinkItMade) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    enum Start { kNoLink, kLinkFound, kRegularFile, kOtherUsersLink };
    const struct {
        const char* what;
        Start start;
        bool link_after;
    } cases[] = {
        {"no link: made and removed", kNoLink, false},
        {"a link found: kept", kLinkFound, true},
        {"a regular file at the name: kept", kRegularFile, true},
        {"another user's refused link: kept", kOtherUsersLink, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string shared = dir / "shared.log";
        switch (c.start) {
            case kNoLink:
                break;
            case kLinkFound:
                ASSERT_TRUE(MakeLink(shared, kLink));
                break;
            case kRegularFile:
                ASSERT_TRUE(WriteFile(kLink, "someone's\n"));
                break;
            case kOtherUsersLink:
                ASSERT_TRUE(MakeLink(shared, kLink, 65534));
                break;
        }
        const struct stat before = Lstat(kLink);
        const auto run = RunWriter({"-t", "hello"});
        ASSERT_EQ(run.exit_code(), 0) << run.err;
        EXPECT_EQ(Exists(kLink), c.link_after);
        if (c.link_after) {
            EXPECT_EQ(Lstat(kLink).st_ino, before.st_ino);
        }
        if (c.start == kRegularFile) {
            EXPECT_EQ(ReadFile(kLink), "someone's\n");
        }
        const std::string log = c.start == kLinkFound ? shared : DefaultLog();
        EXPECT_EQ(Messages(log).front(), "hello 0 ") << log;
        RemoveAll(kLink);
        RemoveAll(DefaultLog());
    }
}

TEST(KslogProcess, InitAtDebug_PrintsAndLogsTheNames) {
    const auto run = RunWriter({"-n", "0"}, {"KSLOGPRIORITY=DEBUG"});
    ASSERT_EQ(run.exit_code(), 0) << run.err;
    const std::string text =
        "kslog initialized (kslogFile = " + DefaultLog() + "; kslogRoll = " + DefaultLog() + ".0)";
    EXPECT_EQ(run.out, text + "\n");
    // The level changes before the file was known went nowhere; the reset
    // at exit is logged.
    const auto lines = Lines(ReadFile(DefaultLog()).value_or(""));
    ASSERT_FALSE(lines.empty());
    const auto first = ParseEntry(lines[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->category, "general");
    EXPECT_EQ(first->priority, "debug ");
    EXPECT_EQ(first->message, text);
    EXPECT_EQ(lines.size(), 1u + KSLOG_CATEGORY_COUNT);
    EXPECT_EQ(ParseEntry(lines.back())->message, "Changed epc log priority to info");
}

// A FIFO planted at the log name must neither hang the program nor receive
// entries, with or without a reader on it.
TEST(KslogProcess, FifoAtTheLogName_NeitherHangsNorIsWritten) {
    ASSERT_EQ(mkfifo(DefaultLog().c_str(), 0666), 0);
    for (const bool reader : {false, true}) {
        SCOPED_TRACE(reader ? "with a reader" : "without a reader");
        kestrun::unique_fd end;
        if (reader) end.reset(open(DefaultLog().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        const auto run = RunWriter({"-n", "3", "-r"}, {"SUDO_UID=1000", "SUDO_GID=1000"});
        EXPECT_EQ(run.exit_code(), 0) << run.err;
        if (reader) {
            char byte;
            EXPECT_LE(read(end.get(), &byte, 1), 0);
        }
        EXPECT_TRUE(S_ISFIFO(Lstat(DefaultLog()).st_mode));  // not rolled away
        EXPECT_EQ(Lstat(DefaultLog()).st_uid, 0u);           // not given away
        EXPECT_FALSE(Exists(DefaultLog() + ".0"));
    }
}

// Several programs writing at once: every entry whole, on its own line, once.
TEST(KslogProcess, ConcurrentWriters_EveryEntryWholeAndOnce) {
    constexpr int kWriters = 4, kEntries = 300;
    const std::string pad(300, 'x');
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(Spawn({KS_KSLOG_WRITER, "-t", "w" + std::to_string(w), "-n",
                                 std::to_string(kEntries), "-s", std::to_string(pad.size())}));
    for (const pid_t w : writers) EXPECT_EQ(Join(w), 0);

    auto seen = Tally({DefaultLog()});
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kEntries; ++i) {
            const std::string message =
                "w" + std::to_string(w) + " " + std::to_string(i) + " " + pad;
            EXPECT_EQ(seen[message], 1) << message.substr(0, 20);
            seen.erase(message);
        }
    // Whatever else is there is the writers' own level resets at exit.
    for (const auto& [message, count] : seen)
        EXPECT_EQ(message.rfind("Changed ", 0), 0u) << message.substr(0, 60);
}

// How many of the processes wait for the lock of the file.
int WaitingOnLock(const std::vector<pid_t>& pids, const std::string& path) {
    int waiting = 0;
    for (const pid_t pid : pids)
        if (PollsLockOn(pid, path)) ++waiting;
    return waiting;
}

// Many processes find the file over the limit at the same moment: it is
// rolled exactly once, and no entry is lost or doubled.
TEST(KslogProcess, ConcurrentRotation_NoLostHistory) {
    constexpr int kChildren = 8, kEntries = 200;
    kslogInit();
    const std::string filler = Filler(kRollSize + 1);
    ASSERT_TRUE(WriteFile(DefaultLog(), filler));

    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) < 0) {
            }  // all start together when the gate closes
            for (int i = 0; i < kEntries; ++i)
                kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "c%d %d", c, i);
            _exit(0);
        }
        children.push_back(child);
    }
    // Every child opens the file and waits for its lock before the first
    // of them may roll it.
    kestrun::unique_fd held(open(DefaultLog().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held.ok());
    ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
    close(gate[0]);
    close(gate[1]);
    EXPECT_TRUE(WaitFor([&] { return WaitingOnLock(children, DefaultLog()) == kChildren; }))
        << WaitingOnLock(children, DefaultLog());
    held.reset();
    for (const pid_t child : children) EXPECT_EQ(Join(child), 0);

    // The roll file is the whole old file; a second rotation would have
    // replaced it with the small new one.
    EXPECT_TRUE(ReadFile(DefaultLog() + ".0") == filler);
    auto seen = Tally({DefaultLog()});
    for (int c = 0; c < kChildren; ++c)
        for (int i = 0; i < kEntries; ++i) {
            const std::string message = "c" + std::to_string(c) + " " + std::to_string(i);
            EXPECT_EQ(seen[message], 1) << message;
            seen.erase(message);
        }
    EXPECT_TRUE(seen.empty()) << seen.begin()->first;
}

// The case the owner rule costs: a root process with neither HOME nor
// SUDO_* (a monitor started from pppd) made "/tmp/.kestRun.log" and its
// link; a product process run through sudo joined through that link, and
// its owner fix gave the file to the invoking user. From then on the file
// in /tmp is that user's, and root processes without SUDO_UID drop their
// entries; root processes with SUDO_UID naming that user, and the user's
// own, go on writing it.
TEST(KslogProcess, TmpLogHandedToTheSudoUser_RootWithoutSudoDropsEntries) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    const std::string log = "/tmp/.kestRun.log";
    unsetenv("HOME");
    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    kslogInit();
    ASSERT_EQ(LinkTarget(kLink), log);
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "monitor before");

    const EnvEdits sudo = {"HOME", "SUDO_UID=1000", "SUDO_GID=1000"};
    auto run = RunWriter({"-t", "through sudo"}, sudo);
    ASSERT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(Lstat(log).st_uid, 1000u);

    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "monitor dropped");
    run = RunWriter({"-t", "sudo again"}, sudo);
    ASSERT_EQ(run.exit_code(), 0) << run.err;
    run = RunProgram({"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "--",
                      KS_KSLOG_WRITER, "-t", "the user"},
                     {"HOME", "SUDO_UID", "SUDO_GID"});
    ASSERT_EQ(run.exit_code(), 0) << run.err;

    EXPECT_THAT(Messages(log),
                ElementsAre("monitor before", "through sudo 0 ", "sudo again 0 ", "the user 0 "));
    EXPECT_EQ(Lstat(log).st_uid, 1000u);
    EXPECT_EQ(Lstat(log).st_mode & 07777, 0600u);
    kslogCleanup();
}

// A HOME too long for a name leaves the process no log name at all: no
// entry is written anywhere, and the owner fix does not take the empty
// name's roll file ".0" in the working directory for the log's (an empty
// root file there, which passes as a log of the product, stays root's).
TEST(KslogProcess, HomeTooLongForAName_NoLogAndNothingInTheWorkingDirectory) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const std::string dir = "/tmp/wd";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(dir + "/.0", "", 0600));
    const std::string home = "/tmp/" + std::string(PATH_MAX, 'h');
    const auto run = RunProgram({"/bin/sh", "-c", "cd " + dir + " && exec " KS_KSLOG_WRITER " -r"},
                                {"HOME=" + home, "SUDO_UID=1000", "SUDO_GID=1000"}, 20000ms);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(Lstat(dir + "/.0").st_uid, 0u);
    EXPECT_EQ(ReadFile(dir + "/.0"), "");
    EXPECT_FALSE(Exists(dir + "/.0.0"));
    EXPECT_FALSE(Exists(kLink));
}

// The system calls a traced run of kslog_writer makes, one per line.
std::vector<std::string> Trace(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", "/tmp/trace", KS_KSLOG_WRITER};
    argv.insert(argv.end(), args.begin(), args.end());
    // LeakSanitizer cannot run under a tracer; the sanitized build's leak
    // check is left to the untraced runs.
    const auto run = RunProgram(argv, {"ASAN_OPTIONS=detect_leaks=0"}, 20000ms);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    auto lines = Lines(ReadFile("/tmp/trace").value_or(""));
    RemoveAll("/tmp/trace");
    RemoveAll(DefaultLog());
    return lines;
}

size_t Count(const std::vector<std::string>& calls, const std::string& name) {
    size_t n = 0;
    for (const auto& call : calls)
        if (call.find(" " + name + "(") != std::string::npos) ++n;
    return n;
}

// One write per entry, so an entry is never torn or interleaved, even with
// a writer that takes no lock; entries larger than any internal buffer too.
TEST(KslogProcess, EachEntry_OneWrite) {
    for (const char* pad : {"10", "5000"}) {
        SCOPED_TRACE(pad);
        ASSERT_EQ(Count(Trace({"-n", "0"}), "write"), 0u);
        EXPECT_EQ(Count(Trace({"-n", "7", "-s", pad}), "write"), 7u);
    }
}

// An entry costs a handful of system calls (lstat, open, flock, fstat,
// getpid, write, close); a disabled one costs none.
TEST(KslogProcess, SystemCalls_AFewPerEntryNoneWhenDisabled) {
    const size_t none = Trace({"-n", "0"}).size();
    const size_t disabled = Trace({"-n", "100", "-p", "1"}).size();
    const size_t some = Trace({"-n", "10"}).size();
    const size_t many = Trace({"-n", "110"}).size();
    EXPECT_EQ(disabled, none);
    EXPECT_LE(many - some, 7u * 100u);
}

// A device at the log or roll name (a hard link to one, where the file
// system allows it, or a node a directory swap brought there) is judged by
// lstat and never opened: the trace shows no open of the name but with
// O_PATH, though the program logs and fixes owners, and rolls the log (a
// roll would put a regular file at the roll name, so the roll name's case
// does not roll).
TEST(KslogProcess, DeviceAtTheLogName_NeverOpened) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_DEVICE_NODES);
    for (const char* name : {".kestRun.log", ".kestRun.log.0"}) {
        SCOPED_TRACE(name);
        const std::string node = std::string(std::getenv("HOME")) + "/" + name;
        ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // /dev/null's numbers
        const bool at_roll = std::string(name) == ".kestRun.log.0";
        std::vector<std::string> argv = {
            "strace", "-f",         "-qq",           "-e", "trace=open,openat,openat2",
            "-o",     "/tmp/trace", KS_KSLOG_WRITER, "-n", "2"};
        if (!at_roll) argv.push_back("-r");
        const auto run = RunProgram(
            argv, {"SUDO_UID=1000", "SUDO_GID=1000", "ASAN_OPTIONS=detect_leaks=0"}, 20000ms);
        EXPECT_EQ(run.exit_code(), 0) << run.err;
        const auto lines = Lines(ReadFile("/tmp/trace").value_or(""));
        EXPECT_FALSE(lines.empty());
        for (const auto& line : lines) {
            if (line.find("\"" + node + "\"") == std::string::npos) continue;
            EXPECT_NE(line.find("O_PATH"), std::string::npos) << line;
        }
        EXPECT_TRUE(S_ISCHR(Lstat(node).st_mode));
        RemoveAll("/tmp/trace");
        RemoveAll(DefaultLog());
        RemoveAll(DefaultLog() + ".0");
    }
}

}  // namespace
