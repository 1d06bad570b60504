// uninstallKestrun as a black box, in the private namespace: a stand-in rpm
// first on PATH and a stand-in /usr/sbin/kestRun record how they were
// started; live processes, pid files, settings files and HOME values are set
// up per case, and the outcome is judged by exit status, standard error,
// the stand-ins' records and what is left on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "testkit.h"

using namespace kstest;

namespace {

constexpr char kStandinLog[] = "/tmp/uninstall-standin.log";
constexpr char kStandinDir[] = "/tmp/standin-bin";
constexpr char kStandinRpm[] = "/tmp/standin-bin/rpm";
// The tools the uninstaller's shell commands may need, without the real rpm
// that /usr/bin and /bin hold when it is installed.
constexpr char kToolsDir[] = "/tmp/tools-bin";
constexpr char kClient[] = "/usr/sbin/kestRun";
constexpr char kPidFile[] = "/tmp/kestrun.pid";
constexpr char kWorkDir[] = "/tmp/work";
const std::string kHome = "/tmp/home";

// What the stand-ins record for each way the uninstaller starts them.
const std::string kQuery = "[rpm] [-q] [Kestrun]";
const std::string kErase = "[rpm] [-e] [Kestrun]";
const std::string kClientUninstall = "[/usr/sbin/kestRun] [--uninstall]";

const std::string kSettingsOn = "uninstallEpcOnUninstall=true\n";

std::string Refusal(pid_t pid) {
    return "\nCannot uninstall Kestrun. There is an active Kestrun process running (PID:" +
           std::to_string(pid) + "). Please terminate it and try uninstalling again.\n";
}

std::string Joined(const std::vector<std::string>& argv) {
    std::string all;
    for (const auto& a : argv) all += a + '\0';
    return all;
}

// A process started with a chosen command line; killed and reaped on
// destruction.
class LiveProcess {
  public:
    LiveProcess(const std::string& program, const std::vector<std::string>& argv) {
        pid_ = fork();
        if (pid_ == 0) {
            const int null_fd = open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(program.c_str(), args.data());
            _exit(127);
        }
        const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
        ready_ = pid_ > 0 && WaitFor([&] { return ReadFile(cmdline) == Joined(argv); });
    }
    ~LiveProcess() { Stop(); }
    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    void Stop() {
        if (pid_ <= 0 || stopped_) return;
        KillAndReap(pid_);
        stopped_ = true;
    }
    pid_t pid() const { return pid_; }
    bool ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    bool stopped_ = false;
};

// A client as the product starts it: its command line is /usr/sbin/kestRun.
const std::vector<std::string> kClientArgv = {"/usr/sbin/kestRun", "60"};

class UninstallKestrun : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directories(kStandinDir));
        ASSERT_EQ(symlink(KS_UNINSTALL_STANDIN, kStandinRpm), 0);
        ASSERT_EQ(symlink(KS_UNINSTALL_STANDIN, kClient), 0);
        ASSERT_TRUE(std::filesystem::create_directories(kToolsDir));
        for (const std::string& tool : {std::string("rm"), std::string("touch")})
            ASSERT_EQ(symlink(("/bin/" + tool).c_str(), (kToolsDir + ("/" + tool)).c_str()), 0);
        ASSERT_TRUE(std::filesystem::create_directories(kWorkDir));
        // Relative paths a faulty command might produce land in /tmp.
        ASSERT_EQ(chdir(kWorkDir), 0);
        MakeHome(kHome);
    }

    void TearDown() override {
        EXPECT_EQ(chdir("/"), 0);
        for (const char* path : {kStandinDir, kToolsDir, kWorkDir, kStandinLog, kPidFile, kClient})
            RemoveAll(path);
        RemoveAll(kHome + "/.valdrane");
        RemoveAll(kHome + "/.kestrun");
    }

    // A home with endpoint-control data and a marker next to it.
    static void MakeHome(const std::string& home) {
        ASSERT_TRUE(std::filesystem::create_directories(home + "/.valdrane/EPC/sub"));
        ASSERT_TRUE(WriteFile(home + "/.valdrane/EPC/sub/data", "epc"));
        ASSERT_TRUE(WriteFile(home + "/.valdrane/marker", "keep"));
    }

    static RunResult Run(const EnvEdits& extra = {}) {
        EnvEdits env = {"PATH=" + std::string(kStandinDir) + ":" + kToolsDir, "HOME=" + kHome,
                        "KS_STANDIN_QUERY=1", "KS_STANDIN_EXIT"};
        env.insert(env.end(), extra.begin(), extra.end());  // later edits win
        return RunProgram({KS_UNINSTALL_BIN}, env);
    }

    // Each start of a stand-in, in order.
    static std::vector<std::string> Calls() {
        std::vector<std::string> calls;
        const std::string log = ReadFile(kStandinLog).value_or("");
        size_t start = 0;
        for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
            calls.push_back(log.substr(start, end - start));
        return calls;
    }

    static bool EpcPresent(const std::string& home = kHome) {
        return Exists(home + "/.valdrane/EPC/sub/data");
    }
};

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// ---------------------------------------------------------------------------
// A command line with arguments answers and does nothing of the job.

struct ArgumentsCase {
    std::string name;
    std::vector<std::string> args;
    int exit_code;
    enum { usage_out, version_out, usage_err } answer;
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallArguments : public UninstallKestrun,
                           public testing::WithParamInterface<ArgumentsCase> {};

TEST_P(UninstallArguments, AnyArguments_AnswerWithoutTouchingAnything) {
    const auto& c = GetParam();
    // Everything the job would act on is there: a live client named by the
    // pid file (reading it would end in the refusal, as UninstallCommandLine shows
    // without arguments), the setting on, and data to remove.
    LiveProcess client("/bin/sleep", kClientArgv);
    ASSERT_TRUE(client.ready());
    ASSERT_TRUE(WriteFile(kPidFile, std::to_string(client.pid()) + "\n"));
    ASSERT_TRUE(WriteFile(kHome + "/.kestrun", kSettingsOn));
    // A running tunnel's shared state: its monitor's flag and the shared
    // log link, which a person's mistyped command must leave as they are.
    const std::string flag = "/var/run/com.valdrane.kestrun.ksMonitor";
    const std::string link = "/tmp/kestRun.log";
    ASSERT_TRUE(WriteFile(flag, "1", 0666));
    std::error_code ec;
    std::filesystem::create_symlink(kHome + "/.kestRun.log", link, ec);
    ASSERT_FALSE(ec) << ec.message();
    const auto usage = RunProgram({KS_UNINSTALL_BIN, "--help"}).out;
    ASSERT_NE(usage.find("uninstallKestrun(8)"), std::string::npos) << usage;
    RemoveAll(kStandinLog);

    std::vector<std::string> argv = {KS_UNINSTALL_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EnvEdits env = {"PATH=" + std::string(kStandinDir) + ":" + kToolsDir, "HOME=" + kHome,
                    "KS_STANDIN_QUERY=0"};
    const auto r = RunProgram(argv, env);

    EXPECT_EQ(r.exit_code(), c.exit_code);
    switch (c.answer) {
        case ArgumentsCase::usage_out:
            EXPECT_EQ(r.out, usage);
            EXPECT_EQ(r.err, "");
            break;
        case ArgumentsCase::version_out:
            EXPECT_EQ(r.out, "uninstallKestrun " KS_PROJECT_VERSION "\n");
            EXPECT_EQ(r.err, "");
            break;
        case ArgumentsCase::usage_err:
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, usage);
            break;
    }
    EXPECT_TRUE(Calls().empty()) << "no query, no hand-off";
    EXPECT_TRUE(EpcPresent()) << "nothing removed";
    EXPECT_TRUE(ProcessRunning(client.pid()));
    EXPECT_EQ(ReadFile(flag), "1") << "the monitor's flag file";
    EXPECT_EQ(std::filesystem::read_symlink(link, ec), kHome + "/.kestRun.log") << ec.message();
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, UninstallArguments,
    testing::Values(
        ArgumentsCase{"Help", {"--help"}, 0, ArgumentsCase::usage_out},
        ArgumentsCase{"Version", {"--version"}, 0, ArgumentsCase::version_out},
        ArgumentsCase{"ShortHelp", {"-h"}, 64, ArgumentsCase::usage_err},
        ArgumentsCase{"Word", {"foo"}, 64, ArgumentsCase::usage_err},
        ArgumentsCase{"HelpWithMore", {"--help", "extra"}, 64, ArgumentsCase::usage_err},
        ArgumentsCase{"VersionTwice", {"--version", "--version"}, 64, ArgumentsCase::usage_err},
        ArgumentsCase{"EmptyArgument", {""}, 64, ArgumentsCase::usage_err}),
    CaseName<ArgumentsCase>);

// ---------------------------------------------------------------------------
// The running-client check: the pid file's process and its command line.

struct CommandLineCase {
    std::string name;
    std::string program;
    std::vector<std::string> argv;
    bool refused;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
    *os << c.name;
}

// "sh -c 'sleep 60; :' ARG..." keeps the shell alive (it cannot exec the
// sleep), so its command line is exactly these arguments joined.
std::vector<std::string> ShellWithArgs(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"sh", "-c", "sleep 60; :"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// "kestRun" as the last 7 characters of the joined command line, which then
// is `length` characters long.
std::vector<std::string> NameEndingAt(size_t length) {
    const size_t fixed = std::string("sh-csleep 60; :kestRun").size();
    return ShellWithArgs({std::string(length - fixed, 'x'), "kestRun"});
}

class UninstallCommandLine : public UninstallKestrun,
                             public testing::WithParamInterface<CommandLineCase> {};

TEST_P(UninstallCommandLine, AnyCommandLine_RefusedOnlyWhileAClientRuns) {
    const auto& c = GetParam();
    LiveProcess process(c.program, c.argv);
    ASSERT_TRUE(process.ready());
    ASSERT_TRUE(WriteFile(kPidFile, std::to_string(process.pid()) + "\n"));
    ASSERT_TRUE(WriteFile(kHome + "/.kestrun", kSettingsOn));

    const auto r = Run();

    if (c.refused) {
        EXPECT_EQ(r.exit_code(), 255);
        EXPECT_EQ(r.err, Refusal(process.pid()));
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Calls().empty()) << "no query and no hand-off";
        EXPECT_TRUE(EpcPresent()) << "nothing removed";
    } else {
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Calls(), (std::vector<std::string>{kQuery, kClientUninstall}));
        EXPECT_FALSE(EpcPresent());
    }
    EXPECT_TRUE(ProcessRunning(process.pid())) << "the uninstaller signals nothing";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UninstallCommandLine,
    testing::Values(
        CommandLineCase{"ClientProgram", "/bin/sleep", kClientArgv, true},
        CommandLineCase{"CapitalisedName", "/bin/sleep", {"/opt/Kestrun/helper", "60"}, true},
        CommandLineCase{"NameInALaterArgument", "/bin/sh", ShellWithArgs({"--as", "kestRun"}),
                        true},
        CommandLineCase{"NameSpanningTwoArguments", "/bin/sh", ShellWithArgs({"kest", "Run"}),
                        true},
        CommandLineCase{"NameEndingAtCharacter1023", "/bin/sh", NameEndingAt(1023), true},
        CommandLineCase{"NameEndingAtCharacter1024", "/bin/sh", NameEndingAt(1024), false},
        CommandLineCase{"OtherProgram", "/bin/sleep", {"sleep", "60"}, false},
        CommandLineCase{"LowerCaseName", "/bin/sleep", {"/usr/sbin/kestrun", "60"}, false},
        CommandLineCase{"UpperCaseName", "/bin/sleep", {"/usr/sbin/KESTRUN", "60"}, false}),
    CaseName<CommandLineCase>);

enum class PidFile {
    missing,
    empty,
    no_number,
    stale,
    other_program,
    fifo,
    directory,
    client_padded,
    client_bare,
    client_plus,
    client_minus,
    client_wrapped
};

struct PidFileCase {
    std::string name;
    PidFile kind;
    bool refused;
};

void PrintTo(const PidFileCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallPidFile : public UninstallKestrun,
                         public testing::WithParamInterface<PidFileCase> {};

TEST_P(UninstallPidFile, OnlyALiveClient_StopsTheUninstall) {
    const auto& c = GetParam();
    LiveProcess client("/bin/sleep", kClientArgv);
    LiveProcess other("/bin/sleep", {"sleep", "60"});
    ASSERT_TRUE(client.ready());
    ASSERT_TRUE(other.ready());
    const std::string client_pid = std::to_string(client.pid());

    switch (c.kind) {
        case PidFile::missing:
            break;
        case PidFile::empty:
            ASSERT_TRUE(WriteFile(kPidFile, ""));
            break;
        case PidFile::no_number:
            ASSERT_TRUE(WriteFile(kPidFile, "kestRun " + client_pid + "\n"));
            break;
        case PidFile::stale: {
            LiveProcess ended("/bin/sleep", kClientArgv);
            ASSERT_TRUE(ended.ready());
            ended.Stop();
            ASSERT_TRUE(WriteFile(kPidFile, std::to_string(ended.pid()) + "\n"));
            break;
        }
        case PidFile::other_program:
            ASSERT_TRUE(WriteFile(kPidFile, std::to_string(other.pid()) + "\n"));
            break;
        case PidFile::fifo:
            // Opening it to read would wait for a writer that never comes.
            ASSERT_EQ(mkfifo(kPidFile, 0644), 0);
            break;
        case PidFile::directory:
            ASSERT_EQ(mkdir(kPidFile, 0755), 0);
            break;
        case PidFile::client_padded:
            ASSERT_TRUE(WriteFile(kPidFile, " \t\n  " + client_pid + "kestRun trailing junk\n"));
            break;
        case PidFile::client_bare:
            ASSERT_TRUE(WriteFile(kPidFile, client_pid));
            break;
        case PidFile::client_plus:
            ASSERT_TRUE(WriteFile(kPidFile, "+" + client_pid + "\n"));
            break;
        case PidFile::client_minus:
            ASSERT_TRUE(WriteFile(kPidFile, "-" + client_pid + "\n"));
            break;
        case PidFile::client_wrapped:
            // Above UINT_MAX: no number, never the client's pid wrapped around.
            ASSERT_TRUE(WriteFile(kPidFile, std::to_string((1ULL << 32) + client.pid()) + "\n"));
            break;
    }

    const auto r = Run();

    if (c.refused) {
        EXPECT_EQ(r.exit_code(), 255);
        EXPECT_EQ(r.err, Refusal(client.pid()));
        EXPECT_TRUE(Calls().empty());
    } else {
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Calls(), (std::vector<std::string>{kQuery, kClientUninstall}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, UninstallPidFile,
    testing::Values(PidFileCase{"Missing", PidFile::missing, false},
                    PidFileCase{"Empty", PidFile::empty, false},
                    PidFileCase{"NoNumberAtTheStart", PidFile::no_number, false},
                    PidFileCase{"StalePid", PidFile::stale, false},
                    PidFileCase{"OtherProgramsPid", PidFile::other_program, false},
                    PidFileCase{"Fifo", PidFile::fifo, false},
                    PidFileCase{"Directory", PidFile::directory, false},
                    PidFileCase{"LeadingWhiteSpaceAndTrailingText", PidFile::client_padded, true},
                    PidFileCase{"NoLineEnd", PidFile::client_bare, true},
                    PidFileCase{"PlusSign", PidFile::client_plus, true},
                    PidFileCase{"MinusSign", PidFile::client_minus, false},
                    PidFileCase{"AboveUnsignedRange", PidFile::client_wrapped, false}),
    CaseName<PidFileCase>);

// ---------------------------------------------------------------------------
// The package query and the hand-off it chooses.

struct QueryCase {
    std::string name;
    EnvEdits env;
    std::vector<std::string> calls;
    int exit_code;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallPackageQuery : public UninstallKestrun,
                              public testing::WithParamInterface<QueryCase> {};

TEST_P(UninstallPackageQuery, Result_ChoosesTheHandOff) {
    const auto& c = GetParam();
    const auto r = Run(c.env);
    EXPECT_EQ(r.exit_code(), c.exit_code) << r.err;
    EXPECT_EQ(Calls(), c.calls);
    // The query's own output is thrown away; the hand-off writes nothing here.
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Results, UninstallPackageQuery,
    testing::Values(
        QueryCase{"Installed", {"KS_STANDIN_QUERY=0"}, {kQuery, kErase}, 0},
        QueryCase{"InstalledEraseStatusIsTheResult",
                  {"KS_STANDIN_QUERY=0", "KS_STANDIN_EXIT=7"},
                  {kQuery, kErase},
                  7},
        QueryCase{"QueryKilledBySignalCountsAsInstalled",
                  {"KS_STANDIN_QUERY=signal"},
                  {kQuery, kErase},
                  0},
        QueryCase{"NotInstalled", {"KS_STANDIN_QUERY=1"}, {kQuery, kClientUninstall}, 0},
        QueryCase{"NotInstalledClientStatusIsTheResult",
                  {"KS_STANDIN_QUERY=1", "KS_STANDIN_EXIT=5"},
                  {kQuery, kClientUninstall},
                  5},
        QueryCase{"QueryStatus2", {"KS_STANDIN_QUERY=2"}, {kQuery, kClientUninstall}, 0},
        QueryCase{"NoRpmOnPath", {"PATH=" + std::string(kToolsDir)}, {kClientUninstall}, 0}),
    CaseName<QueryCase>);

struct HandOffFailureCase {
    std::string name;
    EnvEdits env;
    bool remove_client;
};

void PrintTo(const HandOffFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallHandOff : public UninstallKestrun,
                         public testing::WithParamInterface<HandOffFailureCase> {};

TEST_P(UninstallHandOff, Failure_ReportedWithStatus1AfterTheCleanUp) {
    const auto& c = GetParam();
    if (c.remove_client) {
        ASSERT_EQ(unlink(kClient), 0);
    }
    ASSERT_TRUE(WriteFile(kHome + "/.kestrun", kSettingsOn));

    const auto r = Run(c.env);

    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, "execl: No such file or directory\n");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kQuery}));
    EXPECT_FALSE(EpcPresent()) << "the clean-up comes before the hand-off";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UninstallHandOff,
    testing::Values(HandOffFailureCase{"NoClientProgram", {"KS_STANDIN_QUERY=1"}, true},
                    HandOffFailureCase{"RpmGoneBeforeTheErase",
                                       {"KS_STANDIN_QUERY=vanish",
                                        "KS_STANDIN_REMOVE=" + std::string(kStandinRpm)},
                                       false}),
    CaseName<HandOffFailureCase>);

// ---------------------------------------------------------------------------
// The settings file decides the endpoint-control clean-up.

enum class Settings { file, missing, fifo, directory, device, pagemap };

struct SettingsCase {
    std::string name;
    std::string content;
    bool removed;
    Settings kind = Settings::file;
};

void PrintTo(const SettingsCase& c, std::ostream* os) {
    *os << c.name;
}

class UninstallSettingsFile : public UninstallKestrun,
                              public testing::WithParamInterface<SettingsCase> {};

TEST_P(UninstallSettingsFile, WhatItHolds_DecidesTheCleanUp) {
    const auto& c = GetParam();
    const std::string path = kHome + "/.kestrun";
    switch (c.kind) {
        case Settings::file:
            ASSERT_TRUE(WriteFile(path, c.content));
            break;
        case Settings::missing:
            break;
        case Settings::fifo:
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
            break;
        case Settings::directory:
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            break;
        case Settings::device:
            // Endless bytes and no line end: reading it would never finish.
            ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
            break;
        case Settings::pagemap:
            // A regular file to fstat that reads as 8 bytes per page of the
            // reader's address space: hundreds of GiB.
            ASSERT_EQ(symlink("/proc/self/pagemap", path.c_str()), 0);
            break;
    }

    const auto r = Run();

    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kQuery, kClientUninstall}));
    EXPECT_EQ(EpcPresent(), !c.removed);
    EXPECT_EQ(Exists(kHome + "/.valdrane/EPC"), !c.removed);
    EXPECT_TRUE(Exists(kHome + "/.valdrane/marker"));
}

const std::string kKey = "uninstallEpcOnUninstall=";

// A settings file of exactly `size` bytes: a long line, then the setting on.
std::string OnAfterLongLine(size_t size) {
    const std::string last = kKey + "true\n";
    return std::string(size - last.size() - 1, 'z') + "\n" + last;
}
constexpr size_t kMiB = size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Files, UninstallSettingsFile,
    testing::Values(
        SettingsCase{"On", kKey + "true\n", true},
        SettingsCase{"OnWithoutLineEnd", kKey + "true", true},
        SettingsCase{"OnAmongOtherKeys", "a=1\n" + kKey + "true\nb=2\n", true},
        SettingsCase{"LastLineDecidesOff", kKey + "true\nx=1\n" + kKey + "false\n", false},
        SettingsCase{"LastLineDecidesOn", kKey + "false\n" + kKey + "true\n", true},
        SettingsCase{"IndentedLineIgnored", "  " + kKey + "true\n", false},
        SettingsCase{"IndentedLineDoesNotOverride", kKey + "true\n\t" + kKey + "false\n", true},
        SettingsCase{"UpperCaseValue", kKey + "TRUE\n", false},
        SettingsCase{"TrailingBlank", kKey + "true \n", false},
        SettingsCase{"TrailingCarriageReturn", kKey + "true\r\n", false},
        SettingsCase{"LongerValue", kKey + "truest\n", false},
        SettingsCase{"EmptyValue", kKey + "\n", false},
        SettingsCase{"KeyInsideALine", "x" + kKey + "true\n", false},
        SettingsCase{"KeyWithoutEquals", "uninstallEpcOnUninstall true\n", false},
        // A reader that takes a long line in pieces would see the key start one.
        SettingsCase{"KeyInsideAVeryLongLine", std::string(1023, 'x') + kKey + "true\n", false},
        SettingsCase{"KeyAfterA4095ByteLine", std::string(4095, 'y') + "\n" + kKey + "true\n",
                     true},
        SettingsCase{"VeryLongLineThenOn", OnAfterLongLine(kMiB - 4096), true},
        SettingsCase{"VeryLongValue", kKey + "true" + std::string(kMiB / 2, 'e') + "\n", false},
        // A file that goes on past 1 MiB counts as one that cannot be opened.
        SettingsCase{"ExactlyOneMiB", OnAfterLongLine(kMiB), true},
        SettingsCase{"OneByteOverOneMiB", OnAfterLongLine(kMiB + 1), false},
        SettingsCase{"OnFirstInTwoMiB", kKey + "true\n" + std::string(2 * kMiB, '#'), false},
        SettingsCase{"LinkToPagemap", "", false, Settings::pagemap},
        SettingsCase{"Missing", "", false, Settings::missing},
        SettingsCase{"FifoAtTheName", "", false, Settings::fifo},
        SettingsCase{"DirectoryAtTheName", "", false, Settings::directory},
        SettingsCase{"DeviceAtTheName", "", false, Settings::device}),
    CaseName<SettingsCase>);

TEST_F(UninstallKestrun, HomeUnset_NoCleanUpAndTheHandOffFollows) {
    ASSERT_TRUE(WriteFile(kHome + "/.kestrun", kSettingsOn));
    const auto r = Run({"HOME"});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(Calls(), (std::vector<std::string>{kQuery, kClientUninstall}));
    EXPECT_TRUE(EpcPresent());
}

// ---------------------------------------------------------------------------
// Whatever HOME holds, only $HOME/.valdrane/EPC goes.

struct HostileHomeCase {
    std::string name;
    std::string home;
    std::vector<std::string> canaries;  // files a faulty command would remove
};

void PrintTo(const HostileHomeCase& c, std::ostream* os) {
    *os << c.name;
}

// 316 characters. A command cut to 127 bytes would remove the directory
// named by the first 120 of them.
const std::string kLongHome = "/tmp/long/" + std::string(100, 'd') + "/" + std::string(100, 'e') +
                              "/" + std::string(100, 'f');

class UninstallHomeQuoting : public UninstallKestrun,
                             public testing::WithParamInterface<HostileHomeCase> {};

TEST_P(UninstallHomeQuoting, OnlyItsEndpointControlData_Removed) {
    const auto& c = GetParam();
    MakeHome(c.home);
    ASSERT_TRUE(WriteFile(c.home + "/.kestrun", kSettingsOn));
    std::vector<std::string> canaries = c.canaries;
    canaries.push_back("/tmp/canary/file");
    for (const auto& canary : canaries) {
        std::error_code error;  // WriteFile below fails if the directory is missing
        std::filesystem::create_directories(std::filesystem::path(canary).parent_path(), error);
        ASSERT_TRUE(WriteFile(canary, "canary")) << canary;
    }

    const auto r = Run({"HOME=" + c.home});

    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kQuery, kClientUninstall}));
    EXPECT_FALSE(Exists(c.home + "/.valdrane/EPC"));
    EXPECT_TRUE(Exists(c.home + "/.valdrane/marker"));
    EXPECT_TRUE(Exists(c.home + "/.kestrun"));
    for (const auto& canary : canaries) EXPECT_TRUE(Exists(canary)) << canary;
    EXPECT_FALSE(Exists("/tmp/injected")) << "a command hidden in HOME ran";
}

INSTANTIATE_TEST_SUITE_P(
    Homes, UninstallHomeQuoting,
    testing::Values(
        HostileHomeCase{
            "Blank", "/tmp/with blank", {"/tmp/with/file", "/tmp/work/blank/.valdrane/EPC/file"}},
        HostileHomeCase{"Semicolon", "/tmp/semi;touch /tmp/injected;rm -rf /tmp/canary;x", {}},
        HostileHomeCase{"CommandSubstitution", "/tmp/cmd$(touch /tmp/injected)", {}},
        HostileHomeCase{"Backquotes", "/tmp/bq`touch /tmp/injected`", {}},
        HostileHomeCase{"SingleQuote", "/tmp/sq'; touch /tmp/injected; '", {}},
        HostileHomeCase{"DoubleQuote", "/tmp/dq\"; touch /tmp/injected; \"", {}},
        HostileHomeCase{"LineEnds", "/tmp/nl\ntouch /tmp/injected\nx", {}},
        HostileHomeCase{"Variable", "/tmp/var$HOME", {"/tmp/var/tmp/var$HOME/.valdrane/EPC/file"}},
        HostileHomeCase{"Glob", "/tmp/glob*", {"/tmp/globOther/.valdrane/EPC/file"}},
        HostileHomeCase{"VeryLong", kLongHome, {kLongHome.substr(0, 120) + "/file"}}),
    CaseName<HostileHomeCase>);

}  // namespace
