// In-process tests of the monitor's steps, run on the real paths inside the
// sandbox: the shutdown flag, the process watch, the DNS watch with its
// counters, and one tick of the main loop. Steps that may end the process,
// and the DNS watch whose counters live as long as the process, run in a
// forked child each; the log and the stand-ins' records tell what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dns_watch.h"
#include "in_sandbox.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "main_loop.h"
#include "monitor_config.h"
#include "monitor_kit.h"
#include "process_watch.h"
#include "unique_fd.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

const std::string kShutdownEntry =
    "general info ksMonitor received shutdown command; ksMonitor exiting";

// In the child: the log facility as the monitor sets it up.
void StartLog(const char* level) {
    setenv("KSLOGPRIORITY", level, 1);
    kslogInit();
}

void ResetLog() {
    RemoveAll(DefaultLog());
}

// ---- shutdown flag --------------------------------------------------------

TEST(KsMonitorFlag, Init_WritesOneForEveryoneWhateverTheUmask) {
    // Fresh, and over an older longer file of narrow mode.
    for (const std::optional<std::string>& before :
         {std::optional<std::string>{}, std::optional<std::string>{"0\n12345"}}) {
        SCOPED_TRACE(before.value_or("(no file)"));
        RemoveAll(kKsMonitorFlagPath);
        if (before) {
            ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, *before, 0600));
        }
        const mode_t old_umask = umask(077);
        init_ks_monitor_flag();
        umask(old_umask);
        EXPECT_EQ(ReadFile(kKsMonitorFlagPath), "1");
        struct stat st {};
        ASSERT_EQ(stat(kKsMonitorFlagPath, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u);
    }
}

TEST(KsMonitorFlag, LinkPlantedAtItsName_NeverFollowed) {
    ASSERT_TRUE(WriteFile("/tmp/victim", "secret", 0600));
    ASSERT_EQ(symlink("/tmp/victim", kKsMonitorFlagPath), 0);
    init_ks_monitor_flag();
    EXPECT_EQ(ReadFile("/tmp/victim"), "secret");
    struct stat st {};
    ASSERT_EQ(stat("/tmp/victim", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// What a look at a name shows: its kind, mode, owner, links, size, device
// and time of change, and a regular file's content.
struct Snapshot {
    struct stat st {};
    std::optional<std::string> content;

    static Snapshot Of(const std::string& path) {
        Snapshot shot;
        EXPECT_EQ(lstat(path.c_str(), &shot.st), 0) << path;
        if (S_ISREG(shot.st.st_mode)) shot.content = ReadFile(path);
        return shot;
    }
    bool operator==(const Snapshot& other) const {
        return st.st_mode == other.st.st_mode && st.st_uid == other.st.st_uid &&
               st.st_gid == other.st.st_gid && st.st_nlink == other.st.st_nlink &&
               st.st_size == other.st.st_size && st.st_rdev == other.st.st_rdev &&
               st.st_ino == other.st.st_ino && st.st_ctim.tv_sec == other.st.st_ctim.tv_sec &&
               st.st_ctim.tv_nsec == other.st.st_ctim.tv_nsec && content == other.content;
    }
};

// Anything but a regular file of the monitor's own with one link at the
// flag's name is left exactly as it was (not written, not emptied, not
// opened to everyone), and start-up goes on at once: a FIFO must not hang it.
TEST(KsMonitorFlag, AnythingButItsOwnSingleFile_LeftAsItWas) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_DEVICE_NODES " and " KS_NEEDS_OTHER_USERS);
    // A /run of this test's own that allows device nodes, unlike the
    // sandbox's.
    ASSERT_EQ(RunProgram({"mount", "-t", "tmpfs", "-o", "nosuid,mode=0755", "ks_flag_run", "/run"})
                  .exit_code(),
              0);
    const std::string flag = kKsMonitorFlagPath;
    struct Case {
        const char* name;
        std::function<void()> plant;
        std::string watched;  // the name whose file must stay as it was
    };
    kestrun::unique_fd reader;
    const std::vector<Case> cases = {
        {"hard link to a root-only file",
         [&] {
             ASSERT_TRUE(WriteFile("/run/canary", "secret\n", 0600));
             ASSERT_EQ(link("/run/canary", flag.c_str()), 0);
         },
         "/run/canary"},
        {"FIFO nobody reads", [&] { ASSERT_EQ(mkfifo(flag.c_str(), 0600), 0); }, flag},
        {"FIFO with a reader",
         [&] {
             ASSERT_EQ(mkfifo(flag.c_str(), 0600), 0);
             reader.reset(open(flag.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
             ASSERT_TRUE(reader.ok());
         },
         flag},
        {"device like /dev/null",
         [&] {
             ASSERT_EQ(RunProgram({"mknod", "-m", "0600", flag, "c", "1", "3"}).exit_code(), 0);
         },
         flag},
        {"another user's file",
         [&] {
             ASSERT_TRUE(WriteFile(flag, "0", 0600));
             ASSERT_EQ(chown(flag.c_str(), 65534, 65534), 0);
         },
         flag},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveAll(flag);
        RemoveAll("/run/canary");
        reader.reset();
        c.plant();
        const Snapshot before = Snapshot::Of(c.watched);
        const auto outcome = RunInChild([] { init_ks_monitor_flag(); }, 3000ms);
        EXPECT_TRUE(outcome.returned);
        EXPECT_TRUE(Snapshot::Of(c.watched) == before);
        if (reader.ok()) {
            char byte = 0;
            EXPECT_LE(read(reader.get(), &byte, 1), 0);  // nothing was written into it
        }
    }
}

TEST(KsMonitorFlag, UncreatableFlag_SilentThenStopsTheFirstCheck) {
    ASSERT_EQ(mkdir(kKsMonitorFlagPath, 0755), 0);  // takes the name: the open fails
    const auto outcome = RunInChild([] {
        StartLog("info");
        init_ks_monitor_flag();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "%s", "created");
        assert_ks_monitor_flag();
    });
    EXPECT_TRUE(outcome.exited_with(0));
    // Nothing reported when creating failed; the first check then stops.
    EXPECT_EQ(CallerLogLines(), (std::vector<std::string>{"general info created", kShutdownEntry}));
}

TEST(KsMonitorFlag, OnlyTheValueOne_KeepsTheMonitorRunning) {
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {"1", true},   {" 1", true},  {"1\n", true}, {"\n\t1 junk", true},
        {"+1", true},  {"0", false},  {"", false},   {"2", false},
        {"-1", false}, {"x1", false}, {"11", false}, {std::nullopt, false},
    };
    for (const auto& [content, keeps_running] : cases) {
        SCOPED_TRACE("flag: " + (content ? "'" + *content + "'" : "deleted"));
        ResetLog();
        RemoveAll(kKsMonitorFlagPath);
        if (content) {
            ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, *content));
        }
        const auto outcome = RunInChild([] {
            StartLog("info");
            assert_ks_monitor_flag();
        });
        if (keeps_running) {
            EXPECT_TRUE(outcome.returned);
            EXPECT_EQ(CallerLogLines(), std::vector<std::string>{});
        } else {
            EXPECT_TRUE(outcome.exited_with(0));
            EXPECT_EQ(CallerLogLines(), std::vector<std::string>{kShutdownEntry});
            // The message carries its own line end; the writer adds none.
            EXPECT_EQ(ReadFile(DefaultLog()).value_or("").find("\n\n"), std::string::npos);
        }
    }
}

// ---- start-up: pppd's pid file -----------------------------------------------

// Each layout pppd has used, alone and together: /var/run/<if>.pid first,
// then /var/run/pppd/<if>.pid (2.5.1 on), then /var/run/pppd<if>.pid (2.5.0).
// The first that yields a pid wins; no other place is read.
TEST(KsMonitorConfig, PppdPid_FromTheFirstLayoutThatYieldsOne) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* name;
        const char* ifname;
        Files files;
        unsigned int pid;
    };
    const std::vector<Case> cases = {
        {"before 2.5", "ppp0", {{"/var/run/ppp0.pid", "4201\n"}}, 4201},
        {"2.5.1 and later", "ppp0", {{"/var/run/pppd/ppp0.pid", "4202\n"}}, 4202},
        {"2.5.0", "ppp0", {{"/var/run/pppdppp0.pid", "4203\n"}}, 4203},
        {"first over second",
         "ppp0",
         {{"/var/run/ppp0.pid", "4201\n"}, {"/var/run/pppd/ppp0.pid", "4202\n"}},
         4201},
        {"first over third",
         "ppp0",
         {{"/var/run/ppp0.pid", "4201\n"}, {"/var/run/pppdppp0.pid", "4203\n"}},
         4201},
        {"second over third",
         "ppp0",
         {{"/var/run/pppd/ppp0.pid", "4202\n"}, {"/var/run/pppdppp0.pid", "4203\n"}},
         4202},
        {"first without a number",
         "ppp0",
         {{"/var/run/ppp0.pid", "pppd\n"}, {"/var/run/pppdppp0.pid", "4203\n"}},
         4203},
        {"first naming init",
         "ppp0",
         {{"/var/run/ppp0.pid", "1\n"}, {"/var/run/pppd/ppp0.pid", "4202\n"}},
         4202},
        {"none", "ppp0", {}, 0},
        {"only other places",
         "ppp0",
         {{"/var/run/ppp/ppp0.pid", "4204\n"},
          {"/var/run/pppd/ppp-ppp0.pid", "4205\nppp0\n"},
          {"/var/run/pppd/ppp0.pid.0", "4206\n"}},
         0},
        {"a slash in the name", "pppd/ppp0", {{"/var/run/pppd/ppp0.pid", "4202\n"}}, 0},
        {"an empty name", "", {{"/var/run/pppd/.pid", "4202\n"}}, 4202},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* dir : {"/var/run/pppd", "/var/run/ppp"}) RemoveAll(dir);
        for (const char* file : {"/var/run/ppp0.pid", "/var/run/pppdppp0.pid"}) RemoveAll(file);
        ASSERT_EQ(mkdir("/var/run/pppd", 0755), 0);
        ASSERT_EQ(mkdir("/var/run/ppp", 0755), 0);
        for (const auto& [path, content] : c.files) ASSERT_TRUE(WriteFile(path, content));
        EXPECT_EQ(read_pppd_pid(c.ifname), c.pid);
    }
}

// ---- process watch --------------------------------------------------------

class KsMonitorProcessWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        pppd_ = StartPppd();
        client_ = StartClient();
    }

    // The entries a test_processes call leaves, as "category priority message".
    std::string Testing() const {
        return "general debug test_processes:Testing processes:  ks=" + std::to_string(client_) +
               ", pppd=" + std::to_string(pppd_);
    }

    pid_t pppd_ = 0;
    pid_t client_ = 0;
};

TEST_F(KsMonitorProcessWatch, BothAlive_ReturnsAndLogsOnlyAtDebug) {
    const auto ks = watch_process(client_);
    const auto pppd = watch_process(pppd_);
    for (const char* level : {"debug", "info"}) {
        SCOPED_TRACE(level);
        ResetLog();
        const auto outcome = RunInChild([&] {
            StartLog(level);
            test_processes(ks, pppd);
        });
        EXPECT_TRUE(outcome.returned);
        const auto expected = std::string(level) == "debug" ? std::vector<std::string>{Testing()}
                                                            : std::vector<std::string>{};
        EXPECT_EQ(CallerLogLines(), expected);
    }
    EXPECT_EQ(Record(kPppdRecord), "");
    EXPECT_EQ(Record(kClientRecord), "");
}

TEST(KsMonitorProcessGone, PppdOrClient_EndsTheWatch) {
    struct Case {
        const char* name;
        bool pppd_gone, client_gone;
        bool gone_before_watching;  // its process descriptor can no longer be taken
        bool client_warning;        // otherwise "pppd closed"
    };
    const std::vector<Case> cases = {
        {"pppd gone", true, false, false, false},
        {"pppd gone before it was watched", true, false, true, false},
        {"client gone", false, true, false, true},
        {"client gone before it was watched", false, true, true, true},
        {"both gone: pppd is probed first", true, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetLog();
        RemoveAll(kPppdRecord);
        RemoveAll(kClientRecord);
        const pid_t pppd_pid = StartPppd();
        const pid_t client_pid = StartClient();
        std::optional<watched_process> ks, pppd;
        auto watch = [&] {
            ks = watch_process(client_pid);
            pppd = watch_process(pppd_pid);
        };
        if (!c.gone_before_watching) watch();
        if (c.pppd_gone) KillAndReap(pppd_pid);
        if (c.client_gone) KillAndReap(client_pid);
        if (c.gone_before_watching) watch();

        const auto outcome = RunInChild([&] {
            StartLog("info");
            test_processes(*ks, *pppd);
        });
        EXPECT_TRUE(outcome.exited_with(0));
        const std::string entry = c.client_warning
                                      ? "general warn Kestrun " + std::to_string(client_pid) +
                                            " closed unexpectedly; attempting to cleanup pppd " +
                                            std::to_string(pppd_pid)
                                      : "general info pppd closed; terminating monitor";
        EXPECT_EQ(CallerLogLines(), std::vector<std::string>{entry});
        if (c.client_warning) {
            // Exactly one SIGTERM, which ends the stand-in.
            EXPECT_EQ(WaitForChild(pppd_pid), 0);
            EXPECT_EQ(RecordLines(kPppdRecord), 1);
            EXPECT_EQ(Record(kPppdRecord).rfind(std::to_string(SIGTERM) + " ", 0), 0u);
        } else {
            EXPECT_EQ(Record(kPppdRecord), "");
        }
        EXPECT_EQ(Record(kClientRecord), "");
        for (const pid_t p : {pppd_pid, client_pid})
            if (ProcessState(p) != 0) KillAndReap(p);
    }
}

TEST_F(KsMonitorProcessWatch, EndedButUnreapedProcess_StillProbesAlive) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    const auto zombie = watch_process(child);
    ASSERT_TRUE(WaitFor([&] { return ProcessState(child) == 'Z'; }));
    EXPECT_TRUE(process_alive(zombie));
    const auto outcome = RunInChild([&] {
        StartLog("info");
        test_processes(zombie, watch_process(pppd_));
    });
    EXPECT_TRUE(outcome.returned);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(process_alive(zombie));
}

TEST_F(KsMonitorProcessWatch, ProbeRefusedForPermission_CountsAsGone) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    // The log file must stay writable for the unprivileged watcher.
    ASSERT_TRUE(WriteFile(DefaultLog(), "", 0666));
    const auto ks = watch_process(client_);
    const auto pppd = watch_process(pppd_);
    const auto outcome = RunInChild([&] {
        StartLog("info");
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        test_processes(ks, pppd);
    });
    EXPECT_TRUE(outcome.exited_with(0));
    EXPECT_EQ(CallerLogLines(),
              std::vector<std::string>{"general info pppd closed; terminating monitor"});
    EXPECT_EQ(Record(kPppdRecord), "");
    EXPECT_TRUE(ProcessRunning(pppd_));
}

TEST(KsMonitorProcessPids, BelowOne_NeverSignalled) {
    // 0 would address our own process group, -1 every process we may signal.
    for (const int pid : {0, -1}) {
        SCOPED_TRACE(pid);
        const auto process = watch_process(pid);
        EXPECT_FALSE(process_alive(process));
        const auto outcome = RunInChild([&] { terminate_process(process); });
        EXPECT_TRUE(outcome.returned);
    }
}

// ---- DNS watch ------------------------------------------------------------

struct DnsConfig {
    const char* dns1 = "10.0.0.1";
    const char* dns2 = "10.0.0.2";
    std::vector<std::pair<int, const char*>> suffixes = {{0, "corp.example.com"},
                                                         {1, "lab.example"}};

    dns_suffix_list List() const {
        dns_suffix_list list{};
        for (const auto& [slot, value] : suffixes) list[slot] = value;
        return list;
    }
};

class KsMonitorDnsWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallRepairStandin();
        ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "1"));
    }

    static void SetResolver(const std::optional<std::string>& content) {
        if (content) {
            ASSERT_TRUE(WriteFile("/etc/resolv.conf", *content));
        } else {
            RemoveAll("/etc/resolv.conf");
        }
    }
};

TEST_F(KsMonitorDnsWatch, ResolverFiles_JudgedInOneCheck) {
    const std::string kAll =
        "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch corp.example.com lab.example\n";
    const std::string kTesting = "dns debug test_dns:Testing DNS servers: ";
    const std::string kResult = "general debug test_dns:DNS result: ";
    const std::string kServerGone = "dns warn DNS server ";
    const std::string kGoneTail = " is no longer configured locally";
    const std::string padding(100000, '#');
    struct Case {
        const char* name;
        DnsConfig config;
        std::optional<std::string> resolver;
        std::vector<std::string> entries;
        bool repaired;
    };
    DnsConfig only_dns2;
    only_dns2.dns1 = nullptr;
    DnsConfig gap;
    gap.suffixes = {{0, "corp.example.com"}, {5, "after.gap"}};
    DnsConfig empty_values;
    empty_values.dns1 = "";
    empty_values.dns2 = nullptr;
    empty_values.suffixes = {{0, ""}};
    DnsConfig nothing;
    nothing.dns1 = nothing.dns2 = nullptr;
    nothing.suffixes = {};
    const std::vector<Case> cases = {
        {"everything in place",
         {},
         kAll,
         {kTesting + "10.0.0.1 / 10.0.0.2", kResult + "1/1/2"},
         false},
        {"comment lines and longer addresses count",
         {},
         "#nameserver 10.0.0.1\n; nameserver 10.0.0.20\nsearch corp.example.com lab.example\n",
         {kTesting + "10.0.0.1 / 10.0.0.2", kResult + "1/1/2"},
         false},
        {"a tab or two blanks after the keyword do not",
         {},
         "nameserver\t10.0.0.1\nnameserver  10.0.0.2\nsearch corp.example.com lab.example\n",
         {kTesting + "10.0.0.1 / 10.0.0.2", kResult + "0/0/2", kServerGone + "10.0.0.1" + kGoneTail,
          kServerGone + "10.0.0.2" + kGoneTail},
         true},
        {"suffixes on a domain line do not count",
         {},
         "nameserver 10.0.0.1\nnameserver 10.0.0.2\ndomain corp.example.com lab.example\n",
         {kTesting + "10.0.0.1 / 10.0.0.2", kResult + "1/1/0",
          "dns warn DNS suffix \"corp.example.com\"" + kGoneTail,
          "dns warn DNS suffix \"lab.example\"" + kGoneTail},
         true},
        {"a suffix after a gap is still checked",
         gap,
         kAll,
         {kTesting + "10.0.0.1 / 10.0.0.2", kResult + "1/1/1",
          "dns warn DNS suffix \"after.gap\"" + kGoneTail},
         true},
        {"empty values: server found by its blank, suffix needs a search line",
         empty_values,
         "nameserver 10.9.9.9\n",
         {kTesting + " / <NULL>", kResult + "1/0/0", "dns warn DNS suffix \"\"" + kGoneTail},
         true},
        {"only the second server configured",
         only_dns2,
         "nameserver 10.0.0.1\nsearch corp.example.com lab.example\n",
         {kTesting + "<NULL> / 10.0.0.2", kResult + "0/0/2", kServerGone + "10.0.0.2" + kGoneTail},
         true},
        {"nothing configured: the file is still read",
         nothing,
         "",
         {kTesting + "<NULL> / <NULL>", kResult + "0/0/0"},
         false},
        {"very long lines are read whole",
         {},
         padding + " nameserver 10.0.0.1\nsearch " + padding +
             " corp.example.com lab.example\nnameserver 10.0.0.2",
         {kTesting + "10.0.0.1 / 10.0.0.2", kResult + "1/1/2"},
         false},
        {"no resolver file: nothing judged, nothing repaired",
         {},
         std::nullopt,
         {kTesting + "10.0.0.1 / 10.0.0.2"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetLog();
        RemoveAll(kRepairRecord);
        SetResolver(c.resolver);
        const auto outcome = RunInChild([&] {
            StartLog("debug");
            test_dns(c.config.dns1, c.config.dns2, c.config.List());
        });
        EXPECT_TRUE(outcome.returned);
        EXPECT_EQ(CallerLogLines(), c.entries);
        EXPECT_EQ(Record(kRepairRecord), c.repaired ? "--setup-dns\n" : "");
    }
}

TEST_F(KsMonitorDnsWatch, ClearedFlag_StopsTheMonitorBeforeTheRepair) {
    SetResolver("nameserver 10.9.9.9\n");
    ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "0"));
    const auto outcome = RunInChild([] {
        StartLog("info");
        const DnsConfig config;
        test_dns(config.dns1, config.dns2, config.List());
    });
    EXPECT_TRUE(outcome.exited_with(0));
    const auto lines = CallerLogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kShutdownEntry);  // after the warnings
    EXPECT_EQ(lines.size(), 5u);              // two servers, two suffixes, shutdown
    EXPECT_EQ(Record(kRepairRecord), "");
}

// The DNS watch's counters over a run of calls. Each scenario runs in a fresh
// child, so both counters start at 0. Steps: B the tunnel's first server is
// missing, C everything in place, M no resolver file. Each call leaves one
// token: "-" skipped (paused), otherwise "r" when it logged the resumption,
// then "." clean, "u" file unreadable, "R" repaired, "G<n>" gave up at count n.
std::string Transcript(const std::string& steps) {
    RemoveAll("/tmp/transcript");
    ResetLog();
    RemoveAll(kRepairRecord);
    const auto outcome = RunInChild(
        [&] {
            StartLog("debug");
            const DnsConfig config;
            const auto suffixes = config.List();
            std::string transcript;
            for (const char step : steps) {
                if (step == 'M') RemoveAll("/etc/resolv.conf");
                const std::string clean =
                    "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch corp.example.com "
                    "lab.example\n";
                if (step == 'C') WriteFile("/etc/resolv.conf", clean);
                if (step == 'B')
                    WriteFile("/etc/resolv.conf",
                              "nameserver 10.0.0.2\nsearch corp.example.com lab.example\n");
                const size_t seen = ReadLog().size();
                const int repairs = RecordLines(kRepairRecord);
                test_dns(config.dns1, config.dns2, suffixes);
                const auto entries = ReadLog();
                std::string token;
                bool tested = false, judged = false;
                for (size_t i = seen; i < entries.size(); ++i) {
                    const auto& m = entries[i].message;
                    if (m == "Resuming DNS monitoring") token += "r";
                    if (m.rfind("test_dns:Testing DNS servers:", 0) == 0) tested = true;
                    if (m.rfind("test_dns:DNS result:", 0) == 0) judged = true;
                }
                if (!tested)
                    token = "-";
                else if (!judged)
                    token += "u";
                else if (RecordLines(kRepairRecord) == repairs)
                    token += ".";
                else
                    token += "R";
                for (size_t i = seen; i < entries.size(); ++i) {
                    const std::string give_up = "Fixed DNS settings ";
                    const auto& m = entries[i].message;
                    if (m.rfind(give_up, 0) == 0 &&
                        m.ends_with(" times in a row; giving up for 1 minute"))
                        token += "G" + m.substr(give_up.size(),
                                                m.find(' ', give_up.size()) - give_up.size());
                }
                transcript += (transcript.empty() ? "" : " ") + token;
            }
            WriteFile("/tmp/transcript", transcript);
        },
        30000ms);
    EXPECT_TRUE(outcome.returned);
    return ReadFile("/tmp/transcript").value_or("(no transcript)");
}

TEST_F(KsMonitorDnsWatch, Counters_PauseAfterThreeRepairsInARow) {
    const std::string paused_11 = "- - - - - - - - - - -";
    const std::string b11(11, 'B');
    struct Case {
        const char* name;
        std::string steps;
        std::string transcript;
    };
    const std::vector<Case> cases = {
        {"three repairs, 11 silent calls, then a resuming call that repairs at count 4",
         "BBB" + b11 + "B", "R R RG3 " + paused_11 + " rRG4"},
        {"a clean check resets the count", "BBCBBB", "R R . R R RG3"},
        {"a clean resuming check resets it too", "BBB" + b11 + "CB",
         "R R RG3 " + paused_11 + " r. R"},
        {"an unreadable file keeps the count", "BBMB", "R R u RG3"},
        {"a pause ended by an unreadable file stays ended", "BBB" + b11 + "MB",
         "R R RG3 " + paused_11 + " ru RG4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Transcript(c.steps), c.transcript);
    }
}

// ---- main loop ------------------------------------------------------------

TEST(KsMonitorMainLoop, Checks_ProcessesEveryTickDnsEveryFifthFlagFirst) {
    InstallRepairStandin();
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", "nameserver 10.0.0.1\n"));
    ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "1"));
    const pid_t pppd_pid = StartPppd();
    const pid_t client_pid = StartClient();
    const auto ks = watch_process(client_pid);
    const auto pppd = watch_process(pppd_pid);
    monitor_config config;
    config.dns1 = "10.0.0.1";
    const auto outcome = RunInChild([&] {
        StartLog("debug");
        loop_counters counters;
        for (int tick = 0; tick < 10; ++tick) monitor_tick(counters, ks, pppd, config);
    });
    EXPECT_TRUE(outcome.returned);
    std::string sequence;  // p: process watch, d: DNS watch
    for (const auto& e : ReadLog()) {
        if (e.message.rfind("test_processes:", 0) == 0) sequence += 'p';
        if (e.message.rfind("test_dns:Testing", 0) == 0) sequence += 'd';
    }
    EXPECT_EQ(sequence, "pppppdpppppd");

    ResetLog();
    ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "0"));
    const auto stopped = RunInChild([&] {
        StartLog("debug");
        loop_counters counters;
        monitor_tick(counters, ks, pppd, config);
    });
    EXPECT_TRUE(stopped.exited_with(0));
    // Nothing was watched before the check.
    EXPECT_EQ(CallerLogLines(), std::vector<std::string>{kShutdownEntry});
}

// The wait between ticks ends when a watched process ends: the loop runs in
// a child, and each case acts just after a tick's process watch, so the
// next tick is a second away.
TEST(KsMonitorMainLoopWait, EndOfAWatchedProcess_MetWellBeforeTheNextTick) {
    struct Case {
        const char* name;
        // Acts on the stand-ins, which are our children.
        std::function<void(pid_t client, pid_t pppd)> act;
        // The entries after the tick's own process watch.
        std::vector<std::string> after_tick;
        bool pppd_terminated;
    };
    const auto kill_client = [](pid_t client, pid_t) { KillAndReap(client); };
    const std::vector<Case> cases = {
        {"client killed and reaped at once", kill_client, {"testing", "client warning"}, true},
        {"client reaped 200 ms after it ended: a zombie still probes alive",
         [](pid_t client, pid_t) {
             ASSERT_EQ(kill(client, SIGKILL), 0);
             ASSERT_TRUE(WaitFor([&] { return ProcessState(client) == 'Z'; }));
             std::this_thread::sleep_for(200ms);
             int status = 0;
             ASSERT_EQ(waitpid(client, &status, 0), client);
         },
         {"testing", "client warning"},
         true},
        {"pppd ended while the client lives",
         [](pid_t, pid_t pppd) { KillAndReap(pppd); },
         {"testing", "general info pppd closed; terminating monitor"},
         false},
        {"flag cleared, then the client killed within the same second",
         [&](pid_t client, pid_t pppd) {
             ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "0"));
             kill_client(client, pppd);
         },
         {kShutdownEntry},
         false},
    };
    InstallRepairStandin();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetLog();
        RemoveAll(kPppdRecord);
        RemoveAll(kClientRecord);
        ASSERT_TRUE(WriteFile(kKsMonitorFlagPath, "1"));
        const pid_t pppd_pid = StartPppd();
        const pid_t client_pid = StartClient();
        const auto ks = watch_process(client_pid);
        const auto pppd = watch_process(pppd_pid);
        std::fflush(nullptr);
        const pid_t loop = fork();
        if (loop == 0) {
            StartLog("debug");
            run_main_loop(ks, pppd, monitor_config{});
        }
        ASSERT_GT(loop, 0);
        const std::string testing = "test_processes:Testing processes:";
        ASSERT_TRUE(WaitFor([&] { return CountEntries(testing) == 1; }));

        c.act(client_pid, pppd_pid);
        // The next tick would come about a second after the first.
        const int status = WaitForChild(loop, 500ms);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        std::vector<std::string> expected = {"testing"};
        expected.insert(expected.end(), c.after_tick.begin(), c.after_tick.end());
        const std::string testing_entry =
            "general debug test_processes:Testing processes:  ks=" + std::to_string(client_pid) +
            ", pppd=" + std::to_string(pppd_pid);
        const std::string warning = "general warn Kestrun " + std::to_string(client_pid) +
                                    " closed unexpectedly; attempting to cleanup pppd " +
                                    std::to_string(pppd_pid);
        for (auto& e : expected) {
            if (e == "testing") e = testing_entry;
            if (e == "client warning") e = warning;
        }
        // A wake-up that found the zombie alive wrote nothing.
        EXPECT_EQ(CallerLogLines(), expected);
        if (c.pppd_terminated) {
            EXPECT_EQ(WaitForChild(pppd_pid), 0);
            EXPECT_EQ(Record(kPppdRecord),
                      std::to_string(SIGTERM) + " " + std::to_string(loop) + "\n");
        } else {
            EXPECT_EQ(Record(kPppdRecord), "");
        }
        EXPECT_EQ(Record(kClientRecord), "");
        for (const pid_t p : {loop, pppd_pid, client_pid})
            if (ProcessState(p) != 0) KillAndReap(p);
    }
}

// Where the kernel gives no process descriptors, the monitor watches by
// number and sleeps between ticks: the next tick still meets the death.
TEST(KsMonitorMainLoopWait, WithoutProcessDescriptors_TheNextTickReacts) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the detached monitor becomes our child
    InstallRepairStandin();
    ResetLog();
    const pid_t pppd_pid = StartPppd();
    const pid_t client_pid = StartClient();
    EnvEdits env = {"IFNAME=ppp0", "KSLOGPRIORITY=debug",        "DNS1", "DNS2", "SUDO_UID",
                    "SUDO_GID",    "ASAN_OPTIONS=detect_leaks=0"};
    for (int i = 0; i < 32; ++i) env.push_back("DNSSUFFIX" + std::to_string(i));
    const auto started = RunProgram({KS_DENY_SYSCALLS, "pidfd", KS_MONITOR_BIN}, env);
    ASSERT_EQ(started.exit_code(), 0) << started.err;
    const auto monitors = MonitorChildren();
    ASSERT_EQ(monitors.size(), 1u);
    const pid_t monitor = monitors.front();

    const std::string testing = "test_processes:Testing processes:";
    ASSERT_TRUE(WaitFor([&] { return CountEntries(testing) == 1; }));
    KillAndReap(client_pid);
    const int status = WaitForChild(monitor, 2500ms);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Met by the next tick's process watch, after the second's sleep.
    EXPECT_EQ(CountEntries(testing), 2);
    EXPECT_EQ(CallerLogLines().back(), "general warn Kestrun " + std::to_string(client_pid) +
                                           " closed unexpectedly; attempting to cleanup pppd " +
                                           std::to_string(pppd_pid));
    EXPECT_EQ(WaitForChild(pppd_pid), 0);
    EXPECT_EQ(Record(kPppdRecord), std::to_string(SIGTERM) + " " + std::to_string(monitor) + "\n");
}

}  // namespace
