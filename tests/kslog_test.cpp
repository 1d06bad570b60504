// The log facility inside one process: entry text, levels, the shared link,
// owners and rotation. Each case runs alone in a fresh sandbox process, so
// the facility's process-wide state starts untouched every time.
#include "kslog.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "kslog_internal.h"
#include "kslog_kit.h"
#include "kslog_trust.h"
#include "testkit.h"

using namespace kstest;
using namespace kstest::kslog;
using ::testing::ElementsAre;

namespace {

uid_t OwnerOf(const std::string& path) {
    return Lstat(path).st_uid;
}
gid_t GroupOf(const std::string& path) {
    return Lstat(path).st_gid;
}

void SetEnv(const char* name, const char* value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// ---------------------------------------------------------------- entries

TEST(KslogEntry, Entry_MatchesPatternWithTimeAndPid) {
    kslogInit();
    const time_t before = time(nullptr);
    kslogWrite_private(KSLOG_WARN, KSLOG_DNS, "hello %d", 42);
    const time_t after = time(nullptr);

    const auto lines = Lines(ReadFile(DefaultLog()).value_or(""));
    ASSERT_EQ(lines.size(), 1u);
    static const std::regex pattern(
        R"(^(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\.\d{3} \[dns     warn   ( *\d+)\] hello 42$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, pattern)) << lines[0];
    EXPECT_EQ(std::stol(m[7]), getpid());
    EXPECT_GE(m[7].length(), 6);
    struct tm local {};
    local.tm_mon = std::stoi(m[1]) - 1;
    local.tm_mday = std::stoi(m[2]);
    local.tm_year = std::stoi(m[3]) - 1900;
    local.tm_hour = std::stoi(m[4]);
    local.tm_min = std::stoi(m[5]);
    local.tm_sec = std::stoi(m[6]);
    local.tm_isdst = -1;
    const time_t written = mktime(&local);
    EXPECT_GE(written, before - 1);
    EXPECT_LE(written, after + 1);
}

TEST(KslogEntry, LineEnd_AddedOnlyWhenMissing) {
    kslogInit();
    const struct {
        const char* message;
        const char* expected;
    } cases[] = {
        {"abc\n", "abc\n"}, {"a\nb", "a\nb\n"}, {"", "\n"}, {"\n", "\n"}, {"a\n\n", "a\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ASSERT_TRUE(WriteFile(DefaultLog(), ""));
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "%s", c.message);
        const std::string text = ReadFile(DefaultLog()).value_or("");
        const size_t end = text.find("] ");
        ASSERT_NE(end, std::string::npos) << text;
        EXPECT_EQ(text.substr(end + 2), c.expected);
    }
}

TEST(KslogEntry, OutOfTableValues_WrittenAsNearestName) {
    kslogInit();
    const struct {
        int priority, category;
        const char* names;
    } cases[] = {
        {9, 42, "[general fatal "},
        {-1, -5, "[general trace "},
        {INT_MIN, INT_MAX, "[general trace "},
        {INT_MAX, INT_MIN, "[general fatal "},
        {KSLOG_FATAL, KSLOG_EPC, "[epc     fatal "},
        {KSLOG_TRACE, KSLOG_GENERAL, "[general trace "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names);
        ASSERT_TRUE(WriteFile(DefaultLog(), ""));
        kslogWrite_private(c.priority, c.category, "x");
        EXPECT_EQ(ReadFile(DefaultLog()).value_or("").substr(24, 15), c.names);
    }
}

TEST(KslogEntry, LongMessage_WrittenWhole) {
    kslogInit();
    const std::string message(100000, 'm');
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "%s|end", message.c_str());
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre(message + "|end"));
}

TEST(KslogEntry, UnformattableMessage_EntryStillEndsTheLine) {
    // In the C locale a non-ASCII wide character cannot be converted, so the
    // message cannot be formatted at all.
    char probe[16];
    if (std::snprintf(probe, sizeof probe, "%ls", L"\u00e9") >= 0)
        GTEST_SKIP() << "this C library formats the probe";
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "before %ls after", L"\u00e9");
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "next");
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("", "next"));
}

// ---------------------------------------------------------------- levels

TEST(KslogLevels, BeforeInit_TraceAndNothingWritten) {
    for (int category = 0; category < KSLOG_CATEGORY_COUNT; ++category)
        EXPECT_EQ(kslogGetPriority(category), KSLOG_TRACE);
    kslogWrite_private(KSLOG_FATAL, KSLOG_GENERAL, "dropped");
    kslogSetPriority(KSLOG_DNS, KSLOG_WARN);  // changes the level, logs nowhere
    kslogRotate();
    EXPECT_EQ(kslogGetPriority(KSLOG_DNS), KSLOG_WARN);
    EXPECT_FALSE(Exists(DefaultLog()));
    EXPECT_FALSE(Exists(kLink));
}

TEST(KslogLevels, KslogPriority_SetsEveryLevelIgnoringCase) {
    const struct {
        const char* value;
        int level;
    } cases[] = {
        {nullptr, KSLOG_INFO},  {"Debug", KSLOG_DEBUG},   {"verbose", KSLOG_INFO},
        {"FATAL", KSLOG_FATAL}, {"trace", KSLOG_TRACE},   {"", KSLOG_INFO},
        {"warn ", KSLOG_INFO},  {"nOtIcE", KSLOG_NOTICE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        kslogSetPriority(KSLOG_DNS, KSLOG_ERROR);  // something for kslogInit to reset
        SetEnv("KSLOGPRIORITY", c.value);
        kslogInit();
        for (int category = 0; category < KSLOG_CATEGORY_COUNT; ++category)
            EXPECT_EQ(kslogGetPriority(category), c.level) << kslogCategoryNames[category];
        kslogCleanup();
    }
}

TEST(KslogLevels, SetPriority_LogsEachChangeOnce) {
    kslogInit();
    kslogSetPriority(KSLOG_DNS, KSLOG_WARN);
    kslogSetPriority(KSLOG_DNS, KSLOG_WARN);
    EXPECT_EQ(kslogGetPriority(KSLOG_DNS), KSLOG_WARN);
    const auto lines = Lines(ReadFile(DefaultLog()).value_or(""));
    ASSERT_EQ(lines.size(), 1u);
    const auto entry = ParseEntry(lines[0]);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->category, "dns    ");
    EXPECT_EQ(entry->priority, "warn  ");
    EXPECT_EQ(entry->message, "Changed dns log priority to warn");
}

TEST(KslogLevels, SetPriority_OutOfRangeIgnored) {
    kslogInit();
    const struct {
        int category, priority;
    } cases[] = {
        {-1, KSLOG_WARN}, {11, KSLOG_WARN}, {KSLOG_DNS, -1}, {KSLOG_DNS, 7}, {INT_MIN, INT_MAX}};
    for (const auto& c : cases) kslogSetPriority(c.category, c.priority);
    for (int category = 0; category < KSLOG_CATEGORY_COUNT; ++category)
        EXPECT_EQ(kslogGetPriority(category), KSLOG_INFO);
    EXPECT_EQ(ReadFile(DefaultLog()), "");  // made by kslogInit, nothing in it
}

TEST(KslogLevels, GetPriority_OutOfRangeAnswersForGeneral) {
    kslogInit();
    kslogSetPriority(KSLOG_GENERAL, KSLOG_ERROR);
    for (int category : {-1, 11, 42, INT_MIN, INT_MAX})
        EXPECT_EQ(kslogGetPriority(category), KSLOG_ERROR);
    EXPECT_EQ(kslogGetPriority(KSLOG_DNS), KSLOG_INFO);
}

TEST(KslogLevels, NameLookups_ExactMatchOnly) {
    const struct {
        const char* name;
        int category, priority;
    } cases[] = {
        {"dns", 5, -1},  {"DNS", -1, -1},   {"general", 0, -1}, {"epc", 10, -1},
        {"warn", -1, 4}, {"Warn", -1, -1},  {"fatal", -1, 6},   {"trace", -1, 0},
        {"", -1, -1},    {nullptr, -1, -1}, {"dns ", -1, -1},   {"KSLOG_DNS", -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(kslogCategoryWithName(c.name), c.category);
        EXPECT_EQ(kslogPriorityWithName(c.name), c.priority);
    }
}

TEST(KslogLevels, SetPriorityStr_ExactConstantNamesOnly) {
    const struct {
        const char* category;
        const char* priority;
        int dns_level;
    } cases[] = {
        {"KSLOG_DNS", "KSLOG_WARN", KSLOG_WARN}, {"KSLOG_dns", "KSLOG_WARN", KSLOG_INFO},
        {"KSLOG_DNS", "warn", KSLOG_INFO},       {"dns", "KSLOG_WARN", KSLOG_INFO},
        {nullptr, "KSLOG_WARN", KSLOG_INFO},     {"KSLOG_DNS", nullptr, KSLOG_INFO},
    };
    kslogInit();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.category ? c.category : "(null)") + " " +
                     (c.priority ? c.priority : "(null)"));
        kslogSetPriority(KSLOG_DNS, KSLOG_INFO);
        kslogSetPriorityStr(c.category, c.priority);
        EXPECT_EQ(kslogGetPriority(KSLOG_DNS), c.dns_level);
        EXPECT_EQ(kslogGetPriority(KSLOG_GENERAL), KSLOG_INFO);
    }
}

TEST(KslogLevels, DisabledEntry_ArgumentsNotEvaluated) {
    kslogInit();
    int evaluated = 0;
    KSLOG_IF_ENABLED(KSLOG_DEBUG, KSLOG_DNS, "%d", ++evaluated);
    KSLOG_DEBUG_FN(KSLOG_DNS, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(ReadFile(DefaultLog()), "");
    KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_DNS, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
}

void NamedCaller() {
    KSLOG_DEBUG_FN(KSLOG_GENERAL, "Testing processes:  ks=%d, pppd=%d", 1, 2);
}

TEST(KslogLevels, DebugFn_StartsWithTheCallersName) {
    kslogInit();
    kslogSetPriority(KSLOG_GENERAL, KSLOG_DEBUG);
    NamedCaller();
    EXPECT_THAT(Messages(DefaultLog()),
                ElementsAre("Changed general log priority to debug",
                            "NamedCaller:Testing processes:  ks=1, pppd=2"));
}

TEST(KslogLevels, Cleanup_LogsTheResetThenDropsEntries) {
    setenv("KSLOGPRIORITY", "error", 1);
    kslogInit();
    kslogSetPriority(KSLOG_EPC, KSLOG_INFO);  // already at the level cleanup restores
    ASSERT_TRUE(WriteFile(DefaultLog(), ""));
    kslogCleanup();
    kslogWrite_private(KSLOG_FATAL, KSLOG_GENERAL, "after cleanup");
    std::vector<std::string> expected;
    for (int category = 0; category < KSLOG_EPC; ++category)
        expected.push_back(std::string("Changed ") + kslogCategoryNames[category] +
                           " log priority to info");
    EXPECT_EQ(Messages(DefaultLog()), expected);
    for (int category = 0; category < KSLOG_CATEGORY_COUNT; ++category)
        EXPECT_EQ(kslogGetPriority(category), KSLOG_INFO);
}

TEST(KslogApi, Errno_PreservedAcrossEveryCall) {
    // Every file operation fails here (HOME does not exist), and errno must
    // still be the caller's afterwards.
    setenv("HOME", "/tmp/missing/home", 1);
    setenv("SUDO_UID", "1000", 1);
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"kslogInit", [] { kslogInit(); }},
        {"kslogWrite_private", [] { kslogWrite_private(KSLOG_FATAL, KSLOG_DNS, "x"); }},
        {"kslogSetPriority", [] { kslogSetPriority(KSLOG_DNS, KSLOG_WARN); }},
        {"kslogSetPriorityStr", [] { kslogSetPriorityStr("KSLOG_DNS", "KSLOG_ERROR"); }},
        {"kslogGetPriority", [] { (void)kslogGetPriority(99); }},
        {"kslogCategoryWithName", [] { (void)kslogCategoryWithName("dns"); }},
        {"kslogPriorityWithName", [] { (void)kslogPriorityWithName(nullptr); }},
        {"kslogRotate", [] { kslogRotate(); }},
        {"kslogCleanup", [] { kslogCleanup(); }},
    };
    for (const auto& [name, call] : calls) {
        errno = EBADMSG;
        call();
        EXPECT_EQ(errno, EBADMSG) << name;
    }
}

// ---------------------------------------------------------------- the shared link

TEST(KslogLink, NoLink_DefaultFileAndOwnLink) {
    kslogInit();
    EXPECT_EQ(LinkTarget(kLink), DefaultLog());
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "through the default");
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("through the default"));
    kslogCleanup();
    EXPECT_FALSE(Exists(kLink));
    EXPECT_TRUE(Exists(DefaultLog()));
}

TEST(KslogLink, DefaultFile_FromHomeMadeAbsolute) {
    TempDir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const struct {
        const char* home;
        std::string log;
    } cases[] = {
        {nullptr, "/tmp/.kestRun.log"},
        {"rel", dir / "rel/.kestRun.log"},
    };
    ASSERT_EQ(mkdir((dir / "rel").c_str(), 0755), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        SetEnv("HOME", c.home);
        kslogInit();
        EXPECT_EQ(LinkTarget(kLink), c.log);
        ASSERT_EQ(chdir("/"), 0);  // the monitor detaches to /
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "here");
        EXPECT_THAT(Messages(c.log), ElementsAre("here"));
        kslogCleanup();
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
}

TEST(KslogLink, LinkToAFile_UsedAndLeftInPlace) {
    TempDir dir;
    const struct {
        const char* what;
        bool exists;
        const char* sudo_uid;
    } cases[] = {
        {"existing target", true, nullptr},
        {"missing target, created by the owner fix", false, nullptr},
        {"missing target, created by the first entry", false, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string log = dir / "shared.log";
        RemoveAll(log);
        if (c.exists) {
            ASSERT_TRUE(WriteFile(log, ""));
        }
        ASSERT_TRUE(MakeLink(log, kLink));
        SetEnv("SUDO_UID", c.sudo_uid);
        SetEnv("SUDO_GID", c.sudo_uid);
        kslogInit();
        EXPECT_EQ(Exists(log), c.exists || !c.sudo_uid);
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "shared");
        EXPECT_THAT(Messages(log), ElementsAre("shared"));
        EXPECT_EQ(LinkTarget(kLink), log);
        EXPECT_FALSE(Exists(DefaultLog()));
        ASSERT_EQ(unlink(kLink.c_str()), 0);
    }
}

TEST(KslogLink, RelativeTarget_FixedAtInit) {
    TempDir dir;
    TempDir elsewhere;  // a later working directory; never "/", which is the host's
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_TRUE(MakeLink("rel.log", kLink));
    kslogInit();
    ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "after chdir");
    ASSERT_EQ(chdir("/tmp"), 0);
    EXPECT_THAT(Messages(dir / "rel.log"), ElementsAre("after chdir"));
    EXPECT_FALSE(Exists(elsewhere / "rel.log"));
    EXPECT_FALSE(Exists("/tmp/rel.log"));
}

TEST(KslogLink, Chain_FollowedUpTo32Links) {
    const struct {
        const char* what;
        int links;  // the shared link included
        bool cycle;
        bool followed;
    } cases[] = {
        {"one link", 1, false, true},
        {"32 links", 32, false, true},
        {"33 links", 33, false, false},
        {"a cycle", 3, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string log = dir / "end.log";
        // kestRun.log -> dir/l1 -> ... -> dir/l<links-1> -> end.log (or back to l1)
        std::string next = log;
        for (int i = c.links - 1; i >= 1; --i) {
            const std::string name = dir / ("l" + std::to_string(i));
            ASSERT_TRUE(MakeLink(c.cycle && i == c.links - 1 ? dir / "l1" : next, name));
            next = name;
        }
        ASSERT_TRUE(MakeLink(next, kLink));
        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "chain");
        EXPECT_EQ(Exists(log), c.followed);
        EXPECT_EQ(Exists(DefaultLog()), !c.followed);
        EXPECT_EQ(LinkTarget(kLink), next);  // neither replaced nor deleted
        ASSERT_EQ(unlink(kLink.c_str()), 0);
        RemoveAll(DefaultLog());
    }
}

TEST(KslogLink, TargetOf1024Bytes_Refused) {
    for (const size_t length : {1023u, 1024u}) {
        SCOPED_TRACE(length);
        TempDir dir;
        // dir/aaa.../aaa.../log.xxx: directories that exist, a name of the
        // exact length.
        std::string path = dir.path();
        while (path.size() + 200 < length - 20) {
            path += "/" + std::string(150, 'a');
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        }
        path += "/";
        path += std::string(length - path.size(), 'l');
        ASSERT_EQ(path.size(), length);
        ASSERT_TRUE(MakeLink(path, kLink));
        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "long");
        EXPECT_EQ(Exists(path), length < 1024);
        EXPECT_EQ(Exists(DefaultLog()), length >= 1024);
        EXPECT_EQ(LinkTarget(kLink), path);
        ASSERT_EQ(unlink(kLink.c_str()), 0);
        RemoveAll(DefaultLog());
    }
}

// The shared link, and every link after it, is followed only when its owner
// is trusted: root, this process's user, and (in a root process) the
// SUDO_UID user. A stranger's link anywhere on the way (at the shared name,
// in the chain, or on a directory of the target) is left alone: entries go
// to the default file, and the link and its target stay as they were.
// Behind a link of the SUDO_UID user, only that user's file is written:
// root's file there gets nothing (the entry is dropped).
TEST(KslogLink, Links_FollowedOnlyWhenEveryLinkIsTrusted) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kSudoUser = 1000, kStranger = 65534, kNone = static_cast<uid_t>(-1);
    enum Outcome { kFollowed, kDefault, kDropped };
    const struct {
        const char* what;
        uid_t shared;     // owner of the shared link
        uid_t middle;     // owner of a second link in the chain, or kNone
        uid_t directory;  // owner of a link standing for the target's directory, or kNone
        uid_t target;     // owner of the target file
        const char* sudo_uid;
        Outcome outcome;
    } cases[] = {
        {"root's link", 0, kNone, kNone, 0, nullptr, kFollowed},
        {"the SUDO_UID user's link to their file", kSudoUser, kNone, kNone, kSudoUser, "1000",
         kFollowed},
        {"the SUDO_UID user's link to root's file", kSudoUser, kNone, kNone, 0, "1000", kDropped},
        {"the same user's link without SUDO_UID", kSudoUser, kNone, kNone, kSudoUser, nullptr,
         kDefault},
        {"a stranger's link", kStranger, kNone, kNone, 0, "1000", kDefault},
        {"root's link, then the SUDO_UID user's, to their file", 0, kSudoUser, kNone, kSudoUser,
         "1000", kFollowed},
        {"root's link, then the SUDO_UID user's, to root's file", 0, kSudoUser, kNone, 0, "1000",
         kDropped},
        {"root's link through the SUDO_UID user's directory link to root's file", 0, kNone,
         kSudoUser, 0, "1000", kDropped},
        {"root's link, then a stranger's", 0, kStranger, kNone, 0, "1000", kDefault},
        {"root's link through a stranger's directory link", 0, kNone, kStranger, 0, nullptr,
         kDefault},
        {"root's link through root's directory link", 0, kNone, 0, 0, nullptr, kFollowed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
        const std::string target = dir / "real/target.log";
        ASSERT_TRUE(WriteFile(target, ""));
        ASSERT_EQ(chown(target.c_str(), c.target, c.target), 0);
        std::string linked = target;
        if (c.directory != kNone) {
            ASSERT_TRUE(MakeLink(dir / "real", dir / "dirlink", c.directory));
            linked = dir / "dirlink/target.log";
        }
        if (c.middle != kNone) {
            ASSERT_TRUE(MakeLink(linked, dir / "middle", c.middle));
            linked = dir / "middle";
        }
        ASSERT_TRUE(MakeLink(linked, kLink, c.shared));
        SetEnv("SUDO_UID", c.sudo_uid);
        SetEnv("SUDO_GID", c.sudo_uid);
        const struct stat before = Lstat(target);

        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry");

        EXPECT_EQ(Lstat(target).st_ino, before.st_ino);  // never replaced
        EXPECT_EQ(OwnerOf(target), c.target);
        if (c.outcome == kFollowed) {
            EXPECT_THAT(Messages(target), ElementsAre("entry"));
            EXPECT_FALSE(Exists(DefaultLog()));
        } else {
            EXPECT_EQ(ReadFile(target), "");
            if (c.outcome == kDefault)
                EXPECT_THAT(Messages(DefaultLog()), ElementsAre("entry"));
            else
                EXPECT_FALSE(Exists(DefaultLog()));
        }
        // Neither replaced nor deleted, whether followed or refused.
        EXPECT_EQ(LinkTarget(kLink), linked);
        EXPECT_EQ(OwnerOf(kLink), c.shared);
        ASSERT_EQ(unlink(kLink.c_str()), 0);
        RemoveAll(DefaultLog());
    }
}

// A root process through sudo whose default log is the SUDO_UID user's link
// (to a missing name in root's directory) makes nothing there, and makes
// no shared link to it either: root's link would carry the name to root
// processes that do not know whose link led there (the monitor), and they
// would make the file as root.
TEST(KslogLink, TrustedUsersLinkAtTheDefaultLog_NoSharedLinkToIt) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kUser = 1000;
    TempDir home, root_dir;
    ASSERT_EQ(chown(home.path().c_str(), kUser, kUser), 0);
    const std::string target = root_dir / "preload";
    ASSERT_TRUE(MakeLink(target, home / ".kestRun.log", kUser));
    setenv("HOME", home.path().c_str(), 1);
    setenv("SUDO_UID", "1000", 1);
    setenv("SUDO_GID", "1000", 1);

    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry");

    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(Lstat(kLink).st_ino, 0u);
    kslogCleanup();
}

// A log the process trusts is rolled wherever its names led: a root
// process with SUDO_UID rolls the user's own log, in the user's own
// directory, through the user's link, and the new log is the user's.
TEST(KslogLink, TrustedUsersLog_RolledThroughTheirLink) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kUser = 1000;
    TempDir dir;
    ASSERT_EQ(chown(dir.path().c_str(), kUser, kUser), 0);
    const std::string log = dir / "their.log";
    ASSERT_TRUE(WriteFile(log, LogFiller(kRollSize + 1)));
    ASSERT_EQ(chown(log.c_str(), kUser, kUser), 0);
    ASSERT_TRUE(MakeLink(log, kLink, kUser));
    setenv("SUDO_UID", "1000", 1);
    setenv("SUDO_GID", "1000", 1);
    kslogInit();

    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "after the limit");
    EXPECT_EQ(Lstat(log + ".0").st_size, kRollSize + 1);
    EXPECT_THAT(Messages(log), ElementsAre("after the limit"));
    kslogRotate();
    EXPECT_THAT(Messages(log + ".0"), ElementsAre("after the limit"));
    for (const auto& path : {log, log + ".0"}) {
        EXPECT_EQ(OwnerOf(path), kUser) << path;
        EXPECT_EQ(GroupOf(path), kUser) << path;
    }
    kslogCleanup();
}

TEST(KslogLink, Cleanup_RemovesOnlyItsOwnLink) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    enum Standing { kOwnLink, kGone, kRegularFile, kLinkElsewhere, kOtherUsersLinkToOurFile };
    const struct {
        const char* what;
        Standing standing;
    } cases[] = {
        {"its own link", kOwnLink},
        {"nothing", kGone},
        {"a regular file", kRegularFile},
        {"a link to another file", kLinkElsewhere},
        {"another user's link to the same file", kOtherUsersLinkToOurFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kslogInit();
        ASSERT_EQ(LinkTarget(kLink), DefaultLog());
        if (c.standing != kOwnLink) {
            ASSERT_EQ(unlink(kLink.c_str()), 0);
        }
        if (c.standing == kRegularFile) {
            ASSERT_TRUE(WriteFile(kLink, "someone's\n"));
        }
        if (c.standing == kLinkElsewhere) {
            ASSERT_TRUE(MakeLink("/tmp/elsewhere.log", kLink));
        }
        if (c.standing == kOtherUsersLinkToOurFile) {
            ASSERT_TRUE(MakeLink(DefaultLog(), kLink, 65534));
        }
        const struct stat before = Lstat(kLink);
        kslogCleanup();
        if (c.standing == kOwnLink || c.standing == kGone) {
            EXPECT_FALSE(Exists(kLink));
        } else {
            EXPECT_EQ(Lstat(kLink).st_ino, before.st_ino);
            if (c.standing == kRegularFile) {
                EXPECT_EQ(ReadFile(kLink), "someone's\n");
            }
        }
        RemoveAll(kLink);
    }
}

// Whether any process opened the FIFO for writing since this reader
// opened it: Linux reports POLLHUP to a FIFO's reader only once a writer
// has come (and gone).
class FifoWatch {
  public:
    explicit FifoWatch(const std::string& path)
        : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    bool ok() const { return fd_.ok(); }
    bool opened_by_a_writer() const {
        struct pollfd p = {fd_.get(), POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
    }

  private:
    kestrun::unique_fd fd_;
};

// Nothing but a regular file is ever opened at the log's names: a FIFO at
// the log or roll name, or behind a directory of the log's path swapped
// for a link after kslogInit, is judged before any open and left alone.
// (kslog_process_test shows the same for a device under strace.)
TEST(KslogLink, FifoOrSwappedDirectory_NeverOpened) {
    enum Where { kAtLog, kAtRoll, kBehindSwappedDirectory };
    const struct {
        const char* what;
        Where where;
    } cases[] = {
        {"a FIFO at the log name", kAtLog},
        {"a FIFO at the roll name", kAtRoll},
        {"a directory swapped for a link to one holding a FIFO", kBehindSwappedDirectory},
    };
    setenv("SUDO_UID", "1000", 1);  // the owner fix looks at both names
    setenv("SUDO_GID", "1000", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string home = dir / "home", elsewhere = dir / "elsewhere";
        ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
        setenv("HOME", home.c_str(), 1);
        std::string fifo = home + "/.kestRun.log";
        if (c.where == kAtRoll) fifo += ".0";
        if (c.where == kBehindSwappedDirectory) fifo = elsewhere + "/.kestRun.log";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
        FifoWatch watch(fifo);
        ASSERT_TRUE(watch.ok());

        kslogInit();
        if (c.where == kBehindSwappedDirectory) {
            ASSERT_EQ(rename(home.c_str(), (dir / "moved").c_str()), 0);
            ASSERT_EQ(symlink(elsewhere.c_str(), home.c_str()), 0);
        }
        for (int i = 0; i < 3; ++i) kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry %d", i);
        kslogRotate();
        kslogCleanup();

        EXPECT_FALSE(watch.opened_by_a_writer());
        // Rolling may put the log at the roll name in its place, never open it.
        EXPECT_TRUE(S_ISFIFO(Lstat(fifo).st_mode) || c.where == kAtRoll);
        if (c.where == kBehindSwappedDirectory) {
            EXPECT_FALSE(Exists(elsewhere + "/.kestRun.log.0"));
        }
    }
}

// ---------------------------------------------------------------- owners

TEST(KslogOwner, SudoIds_GiveTheFilesAway) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kKeep = static_cast<uid_t>(-1);
    const struct {
        const char* uid;
        const char* gid;
        bool touched;  // the log file exists after kslogInit
        uid_t owner;   // kKeep: root's, as created
        gid_t group;
    } cases[] = {
        {nullptr, nullptr, true, kKeep, kKeep},
        {"1234", "2345", true, 1234, 2345},
        {"1234", nullptr, true, 1234, kKeep},
        {nullptr, "2345", true, kKeep, 2345},
        {"0", "0", false, kKeep, kKeep},
        {"abc", "", false, kKeep, kKeep},        // no digits: 0 and 0
        {"1234x", "-5", true, 1234, 0},          // leading digits; a sign is no digit
        {"99999999999", "77", true, kKeep, 77},  // too large: unset, never wrapped
        {"4294967296", "4294967297", true, kKeep, kKeep},
        {"4294967295", "12", true, kKeep, 12},  // the id that means "unchanged"
        {"0", "12", true, 0, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.uid ? c.uid : "(unset)") + " " + (c.gid ? c.gid : "(unset)"));
        RemoveAll(DefaultLog());
        // A roll file of the product (no other file is given away).
        ASSERT_TRUE(WriteFile(DefaultLog() + ".0", LogFiller(80)));
        ASSERT_EQ(chown((DefaultLog() + ".0").c_str(), 0, 0), 0);
        SetEnv("SUDO_UID", c.uid);
        SetEnv("SUDO_GID", c.gid);
        kslogInit();
        ASSERT_EQ(Exists(DefaultLog()), c.touched);
        for (const auto& path : {DefaultLog(), DefaultLog() + ".0"}) {
            if (!Exists(path)) continue;
            SCOPED_TRACE(path);
            EXPECT_EQ(OwnerOf(path), c.owner == kKeep ? 0u : c.owner);
            EXPECT_EQ(GroupOf(path), c.group == kKeep ? 0u : c.group);
        }
        kslogCleanup();
    }
}

// The owner fix gives a file to the SUDO_UID user only when this process
// made it, when it is that user's already, or when it is a log of the
// product (empty, or starting with an entry). Any other file at the log's
// name (a root file the user moved there, say) keeps its owner and gets no
// entry; at the roll name it keeps its owner.
TEST(KslogOwner, OwnerFix_GivesOnlyProductLogsAndItsOwnFiles) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kUser = 1234;
    const std::string kEntryLine = "01/02/2026 03:04:05.006 [general info        1] older\n";
    const struct {
        const char* what;
        const char* content;  // nullptr: no file at the name
        uid_t owner;
        bool given;
        bool written;
    } cases[] = {
        {"no file: made for the user", nullptr, 0, true, true},
        {"root's empty file", "", 0, true, true},
        {"root's log of the product", kEntryLine.c_str(), 0, true, true},
        {"root's other file", "root:secret\n", 0, false, false},
        {"root's file that only looks like a log", "01/02/2026 not an entry\n", 0, false, false},
        {"the user's own other file", "their notes\n", kUser, true, true},
    };
    setenv("SUDO_UID", "1234", 1);
    setenv("SUDO_GID", "1234", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& path : {DefaultLog(), DefaultLog() + ".0"}) {
            RemoveAll(path);
            if (c.content == nullptr) continue;
            ASSERT_TRUE(WriteFile(path, c.content, 0600));
            ASSERT_EQ(chown(path.c_str(), c.owner, c.owner), 0);
        }
        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry");
        kslogCleanup();
        EXPECT_EQ(OwnerOf(DefaultLog()), c.given ? kUser : c.owner);
        EXPECT_EQ(GroupOf(DefaultLog()), c.given ? kUser : c.owner);
        const std::string text = ReadFile(DefaultLog()).value_or("");
        EXPECT_EQ(text.find("] entry") != std::string::npos, c.written) << text;
        if (!c.written) {
            EXPECT_EQ(text, c.content);
        }
        if (c.content != nullptr) {
            EXPECT_EQ(OwnerOf(DefaultLog() + ".0"), c.given ? kUser : c.owner);
            EXPECT_EQ(ReadFile(DefaultLog() + ".0"), c.content);
        }
    }
}

// What stands at the log or roll name may not be ours: a link to another
// file, or a second name of one. Nothing is written to it or given away.
TEST(KslogOwner, LinksAtItsNames_NothingWrittenOrGivenAway) {
    enum Kind { kSymlink, kHardLink };
    for (const Kind kind : {kSymlink, kHardLink}) {
        SCOPED_TRACE(kind == kSymlink ? "symbolic link" : "hard link");
        TempDir dir;
        const std::string victim = dir / "victim", victim_roll = dir / "victim.0";
        ASSERT_TRUE(WriteFile(victim, "precious\n"));
        ASSERT_TRUE(WriteFile(victim_roll, "precious too\n"));
        const auto plant = kind == kSymlink ? symlink : link;
        ASSERT_EQ(plant(victim.c_str(), DefaultLog().c_str()), 0);
        ASSERT_EQ(plant(victim_roll.c_str(), (DefaultLog() + ".0").c_str()), 0);
        setenv("SUDO_UID", "1234", 1);
        setenv("SUDO_GID", "1234", 1);

        kslogInit();
        kslogWrite_private(KSLOG_FATAL, KSLOG_GENERAL, "must not land");
        kslogCleanup();

        EXPECT_EQ(ReadFile(victim), "precious\n");
        EXPECT_EQ(ReadFile(victim_roll), "precious too\n");
        EXPECT_EQ(OwnerOf(victim), 0u);
        EXPECT_EQ(OwnerOf(victim_roll), 0u);
        RemoveAll(DefaultLog());
        RemoveAll(DefaultLog() + ".0");
    }
}

// A file at the log's name may be anyone's (planted before the first entry,
// or in the gap of a rotation): it is written to and given away only when
// it belongs to a trusted user (this process's, root, the SUDO_UID user)
// or to the owner of the directory that holds it (a home its group may
// write is still its owner's). The planted files are logs of the product,
// so the owner rule alone decides. Only a log whose owner and directory
// are trusted is rolled from here.
TEST(KslogOwner, StrangersFile_NeitherWrittenNorGivenAway) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kSudoUser = 1234, kStranger = 4321;
    const std::string kPlanted = "01/02/2026 03:04:05.006 [general info        1] planted\n";
    const struct {
        const char* what;
        mode_t dir_mode;
        uid_t dir_owner;
        uid_t file_owner;
        bool used;
        bool rolled;
    } cases[] = {
        {"sticky, others write: root's file", 01777, 0, 0, true, true},
        {"sticky, others write: the sudo user's file", 01777, 0, kSudoUser, true, true},
        {"sticky, others write: a stranger's file", 01777, 0, kStranger, false, false},
        {"sticky, group writes: a stranger's file", 01770, 0, kStranger, false, false},
        {"others write, not sticky: a stranger's file", 0777, 0, kStranger, false, false},
        {"only root writes: a stranger's file", 0755, 0, kStranger, false, false},
        {"group writes: the directory owner's file", 0775, kStranger, kStranger, true, false},
        {"group writes, setgid: the directory owner's file", 02775, kStranger, kStranger, true,
         false},
    };
    setenv("SUDO_UID", "1234", 1);
    setenv("SUDO_GID", "1234", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ASSERT_EQ(chown(dir.path().c_str(), c.dir_owner, c.dir_owner), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), c.dir_mode), 0);
        const std::string log = dir / ".kestRun.log", roll = log + ".0";
        for (const auto& path : {log, roll}) {
            ASSERT_TRUE(WriteFile(path, kPlanted, 0666));
            ASSERT_EQ(chown(path.c_str(), c.file_owner, c.file_owner), 0);
        }
        setenv("HOME", dir.path().c_str(), 1);
        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry");
        kslogRotate();
        kslogCleanup();
        if (c.used) {
            EXPECT_THAT(Messages(c.rolled ? roll : log), ElementsAre("planted", "entry"));
            EXPECT_EQ(OwnerOf(roll), kSudoUser);
            EXPECT_EQ(OwnerOf(log), kSudoUser);
        } else {
            for (const auto& path : {log, roll}) {
                EXPECT_EQ(ReadFile(path), kPlanted) << path;
                EXPECT_EQ(OwnerOf(path), kStranger) << path;
                EXPECT_EQ(GroupOf(path), kStranger) << path;
                EXPECT_EQ(Lstat(path).st_mode & 07777, 0666u) << path;
            }
        }
    }
}

// New files are the owner fix's user's and mode 0600 from the moment they
// have a name, whatever the umask; files that exist keep their mode.
TEST(KslogOwner, NewFiles_Mode0600ExistingKeepTheirs) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const struct {
        const char* what;
        const char* sudo_ids;
        mode_t umask;
        bool gone_before_entry;  // another process rolled it: the entry makes it
        uid_t owner;
    } cases[] = {
        {"no sudo ids", nullptr, 022, false, 0},
        {"sudo ids", "1234", 022, false, 1234},
        {"a umask that takes the owner's write", "1234", 0277, false, 1234},
        {"both ids 0: made by the entry", "0", 0, false, 0},
        {"sudo ids, made by the entry", "1234", 022, true, 1234},
        {"no sudo ids, made by the entry", nullptr, 022, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveAll(DefaultLog());
        RemoveAll(DefaultLog() + ".0");
        SetEnv("SUDO_UID", c.sudo_ids);
        SetEnv("SUDO_GID", c.sudo_ids);
        const mode_t old_umask = umask(c.umask);
        kslogInit();
        if (c.gone_before_entry) RemoveAll(DefaultLog());
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "first");
        umask(old_umask);
        EXPECT_EQ(Lstat(DefaultLog()).st_mode & 07777, 0600u);
        EXPECT_EQ(OwnerOf(DefaultLog()), c.owner);
        EXPECT_THAT(Messages(DefaultLog()), ElementsAre("first"));
        kslogCleanup();
    }
    // An existing file keeps its mode, and passes it on to the roll file.
    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    ASSERT_TRUE(WriteFile(DefaultLog(), "", 0644));
    ASSERT_EQ(chmod(DefaultLog().c_str(), 0644), 0);
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "kept");
    EXPECT_EQ(Lstat(DefaultLog()).st_mode & 07777, 0644u);
    kslogRotate();
    EXPECT_EQ(Lstat(DefaultLog() + ".0").st_mode & 07777, 0644u);
    EXPECT_EQ(Lstat(DefaultLog()).st_mode & 07777, 0600u);
}

// ---------------------------------------------------------------- rotation

TEST(KslogRotation, Log_RolledOnlyAboveTenMebibytes) {
    for (const off_t size : {kRollSize - 1, kRollSize, kRollSize + 1}) {
        SCOPED_TRACE(size);
        const std::string old = Filler(static_cast<size_t>(size));
        ASSERT_TRUE(WriteFile(DefaultLog(), old));
        ASSERT_TRUE(WriteFile(DefaultLog() + ".0", "older generation\n"));
        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "next");
        const std::string log = ReadFile(DefaultLog()).value_or("");
        if (size > kRollSize) {
            EXPECT_TRUE(ReadFile(DefaultLog() + ".0") == old);
            EXPECT_THAT(Messages(DefaultLog()), ElementsAre("next"));
        } else {
            EXPECT_EQ(ReadFile(DefaultLog() + ".0"), "older generation\n");
            EXPECT_TRUE(log.compare(0, old.size(), old) == 0);
            EXPECT_EQ(Lines(log.substr(old.size())).size(), 1u);
        }
        kslogCleanup();
    }
}

TEST(KslogRotation, RotateNow_MovesTheFileAndRecreatesIt) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const struct {
        const char* sudo_ids;
        bool recreated;
        uid_t owner;
    } cases[] = {{nullptr, true, 0}, {"1234", true, 1234}, {"0", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sudo_ids ? c.sudo_ids : "(unset)");
        SetEnv("SUDO_UID", c.sudo_ids);
        SetEnv("SUDO_GID", c.sudo_ids);
        kslogInit();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "before");
        kslogRotate();
        EXPECT_THAT(Messages(DefaultLog() + ".0"), ElementsAre("before"));
        EXPECT_EQ(OwnerOf(DefaultLog() + ".0"), c.owner);
        EXPECT_EQ(Exists(DefaultLog()), c.recreated);
        if (c.recreated) {
            EXPECT_EQ(ReadFile(DefaultLog()), "");
            EXPECT_EQ(OwnerOf(DefaultLog()), c.owner);
        }
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "after");
        EXPECT_THAT(Messages(DefaultLog()), ElementsAre("after"));
        kslogCleanup();
        RemoveAll(DefaultLog());
    }
}

TEST(KslogRotation, RotateNow_MissingLogKeepsTheRoll) {
    kslogInit();
    ASSERT_TRUE(WriteFile(DefaultLog() + ".0", "older generation\n"));
    RemoveAll(DefaultLog());
    kslogRotate();
    EXPECT_EQ(ReadFile(DefaultLog() + ".0"), "older generation\n");
}

TEST(KslogRotation, RolledLog_RecreatedForTheSudoUser) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    setenv("SUDO_UID", "1234", 1);
    setenv("SUDO_GID", "2345", 1);
    ASSERT_TRUE(WriteFile(DefaultLog(), LogFiller(kRollSize + 1)));
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "fresh");
    for (const auto& path : {DefaultLog(), DefaultLog() + ".0"}) {
        EXPECT_EQ(OwnerOf(path), 1234u) << path;
        EXPECT_EQ(GroupOf(path), 2345u) << path;
    }
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("fresh"));
}

// A writer that opened the file and waits for its lock while another
// process rolls it must write to the new file, not to the roll file.
TEST(KslogRotation, WaitingWriter_WritesToTheNewFile) {
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "first");
    kestrun::unique_fd held(open(DefaultLog().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held.ok());
    ASSERT_EQ(flock(held.get(), LOCK_EX), 0);

    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        held.reset();  // the lock stays with the parent's descriptor
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "late");
        _exit(0);
    }
    // The writer waits for the lock of the file it opened.
    EXPECT_TRUE(WaitFor([&] { return PollsLockOn(writer, DefaultLog()); }));

    // Roll it as another process would, then let the writer go.
    ASSERT_EQ(rename(DefaultLog().c_str(), (DefaultLog() + ".0").c_str()), 0);
    ASSERT_TRUE(WriteFile(DefaultLog(), ""));
    held.reset();
    EXPECT_EQ(Join(writer), 0);

    EXPECT_THAT(Messages(DefaultLog() + ".0"), ElementsAre("first"));
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("late"));
}

// ---------------------------------------------------------------- the lock

// Another process holding the log's lock: for a while (hold_for), or until
// it is killed. It tells, as it lets go, how large the file was then.
class LockHolder {
  public:
    LockHolder(const std::string& path, std::chrono::milliseconds hold_for) {
        int ready[2], report[2];
        if (pipe(ready) != 0 || pipe(report) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(2);
            if (write(ready[1], "r", 1) != 1) _exit(2);
            if (hold_for.count() == 0) pause();  // for good
            usleep(static_cast<useconds_t>(hold_for.count() * 1000));
            struct stat st {};
            (void)fstat(fd, &st);
            const long long size = st.st_size;
            if (write(report[1], &size, sizeof size) != sizeof size) _exit(2);
            _exit(0);
        }
        close(ready[1]);
        close(report[1]);
        char byte;
        held_ = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        report_ = report[0];
    }
    ~LockHolder() {
        KillAndReap(pid_);
        if (report_ >= 0) close(report_);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    // The file's size as the holder let go; -1 when it did not say.
    long long SizeAtRelease() {
        long long size = -1;
        if (read(report_, &size, sizeof size) != sizeof size) size = -1;
        return size;
    }

  private:
    pid_t pid_ = -1;
    int report_ = -1;
    bool held_ = false;
};

off_t SizeOf(const std::string& path) {
    return Lstat(path).st_size;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A lock held for a moment is waited for: the entry follows its release.
// One held for good costs one second of waiting, once: the entry goes
// without it, and so do the next ones at once, until an entry takes the
// lock again, after which a short hold is waited for as before.
TEST(KslogLock, HeldLock_WaitedForUpToASecondOnce) {
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "first");
    {
        LockHolder holder(DefaultLog(), 300ms);
        ASSERT_TRUE(holder.held());
        const off_t before = SizeOf(DefaultLog());
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "after the hold");
        EXPECT_EQ(holder.SizeAtRelease(), before);  // nothing written during the hold
    }
    {
        LockHolder holder(DefaultLog(), 0ms);
        ASSERT_TRUE(holder.held());
        const auto start = std::chrono::steady_clock::now();
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "unlocked 0");
        const double first = SecondsSince(start);
        for (int i = 1; i < 5; ++i) kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "unlocked %d", i);
        EXPECT_GE(first, 0.9);
        // Five full waits would take five seconds.
        EXPECT_LT(SecondsSince(start), 3.0);
    }
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "locked again");
    {
        LockHolder holder(DefaultLog(), 300ms);
        ASSERT_TRUE(holder.held());
        const off_t before = SizeOf(DefaultLog());
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "waited again");
        EXPECT_EQ(holder.SizeAtRelease(), before);
    }
    EXPECT_THAT(Messages(DefaultLog()),
                ElementsAre("first", "after the hold", "unlocked 0", "unlocked 1", "unlocked 2",
                            "unlocked 3", "unlocked 4", "locked again", "waited again"));
}

// A stranger's file at the log's name in a directory others can write gets
// no entry, and its lock is not waited for either: otherwise whoever planted
// it could cost every entry the whole bound by putting a fresh locked file
// there each time (a new file is not the one remembered as held).
TEST(KslogLock, StrangersLockedFileInSharedDirectory_NotWaitedFor) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kStranger = 4321;
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    const std::string log = "/tmp/.kestRun.log", fresh = "/tmp/fresh";
    unsetenv("HOME");
    kslogInit();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WriteFile(fresh, "planted\n"));
        ASSERT_EQ(chown(fresh.c_str(), kStranger, kStranger), 0);
        LockHolder holder(fresh, 0ms);
        ASSERT_TRUE(holder.held());
        ASSERT_EQ(rename(fresh.c_str(), log.c_str()), 0);
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry %d", i);
        EXPECT_EQ(ReadFile(log), "planted\n");
        EXPECT_EQ(OwnerOf(log), kStranger);
    }
    // Three full waits would take three seconds.
    EXPECT_LT(SecondsSince(start), 1.0);
    kslogCleanup();
}

// Through the SUDO_UID user's link to a file of theirs, that user may put a
// fresh locked file at the name before each entry: once one wait has timed
// out, the others do not wait, or every entry would cost the whole bound.
TEST(KslogLock, OtherUsersFreshLockedFileEachEntry_WaitedForOnce) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    constexpr uid_t kUser = 4321;
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    setenv("SUDO_UID", "4321", 1);
    setenv("SUDO_GID", "4321", 1);
    const std::string theirs = "/tmp/theirs.log", fresh = "/tmp/fresh";
    ASSERT_TRUE(WriteFile(theirs, ""));
    ASSERT_EQ(chown(theirs.c_str(), kUser, kUser), 0);
    ASSERT_TRUE(MakeLink(theirs, kLink, kUser));
    kslogInit();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WriteFile(fresh, ""));
        ASSERT_EQ(chown(fresh.c_str(), kUser, kUser), 0);
        LockHolder holder(fresh, 0ms);
        ASSERT_TRUE(holder.held());
        ASSERT_EQ(rename(fresh.c_str(), theirs.c_str()), 0);
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "entry %d", i);
        EXPECT_THAT(Messages(theirs), ElementsAre("entry " + std::to_string(i)));
    }
    // One full wait, not three.
    EXPECT_LT(SecondsSince(start), 2.0);
}

// A write cut short (disk full, file size limit) is taken back whole.
TEST(KslogRotation, ShortWrite_CutBackToWholeEntries) {
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "whole");
    const std::string before = ReadFile(DefaultLog()).value_or("");

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlim_t limit = before.size() + 100;
        const struct rlimit fsize = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) _exit(2);
        // A process that leaves SIGXFSZ at its default is killed by the
        // write past the limit: the library cannot change that for its
        // callers. The monitor ignores it itself, and is run under a file
        // size limit as it is (reliability_hold_test: FileSizeLimit_...).
        signal(SIGXFSZ, SIG_IGN);  // the write comes back short instead
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "%s", std::string(1000, 'x').c_str());
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "fits");
        _exit(0);
    }
    ASSERT_EQ(Join(child), 0);
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("whole", "fits"));
}

// A short write takes back only its own bytes: what another writer
// appended without the lock after this entry took the file's size stays.
TEST(KslogRotation, ShortWrite_TakesBackOnlyItsOwnBytes) {
    ASSERT_TRUE(WriteFile(DefaultLog(), "whole\n"));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        using namespace kestrun::kslog;
        OpenLog log;
        log.fd = kestrun::unique_fd(open(DefaultLog().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (!log.fd.ok() || fstat(log.fd.get(), &log.st) != 0 || flock(log.fd.get(), LOCK_EX) != 0)
            _exit(2);
        log.lock = LockState::kTaken;
        // Another writer, without the lock, after the size was taken.
        const kestrun::unique_fd other(open(DefaultLog().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (write(other.get(), "theirs\n", 7) != 7) _exit(2);
        const rlim_t limit = static_cast<rlim_t>(log.st.st_size) + 7 + 10;
        const struct rlimit fsize = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) _exit(2);
        signal(SIGXFSZ, SIG_IGN);  // the write comes back short instead
        const std::string mine = std::string(100, 'x') + "\n";
        append(log, mine.data(), mine.size());
        _exit(0);
    }
    ASSERT_EQ(Join(child), 0);
    EXPECT_EQ(ReadFile(DefaultLog()), "whole\ntheirs\n");
}

// A log with a second name (a hard link someone made) is rolled, and a
// fresh file takes its name: entries go on, the other name keeps what was
// written before.
TEST(KslogRotation, SecondName_RolledAndAFreshFileTakesTheName) {
    TempDir dir;
    kslogInit();
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "before");
    ASSERT_EQ(link(DefaultLog().c_str(), (dir / "second").c_str()), 0);
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "after");
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "again");
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("after", "again"));
    EXPECT_EQ(Lstat(DefaultLog()).st_nlink, 1u);
    EXPECT_THAT(Messages(dir / "second"), ElementsAre("before"));
    EXPECT_EQ(Lstat(DefaultLog() + ".0").st_ino, Lstat(dir / "second").st_ino);
    kslogCleanup();
}

// The monitor trusts the user its client runs for: the client process's
// real user, or, for a client run as root through sudo, the SUDO_UID of
// the client's own environment.
TEST(KslogTrust, ClientProcess_ItsUserOrItsSudoUser) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    using kestrun::kslog::current_trust;
    using kestrun::kslog::kslogTrustClientProcess;
    constexpr uid_t kNone = static_cast<uid_t>(-1);
    const std::vector<std::string> as_user = {"setpriv", "--reuid=1000", "--regid=1000",
                                              "--clear-groups", "--"};
    const struct {
        const char* what;
        bool as_user;
        EnvEdits env;
        uid_t trusted;
    } cases[] = {
        {"a user's client", true, {"SUDO_UID=1234"}, 1000},
        {"root's client through sudo", false, {"SUDO_UID=1001", "SUDO_GID=1001"}, 1001},
        {"root's client, SUDO_UID not first", false, {"A=1", "XSUDO_UID=7", "SUDO_UID=1002"}, 1002},
        {"root's client without sudo", false, {"SUDO_UID"}, kNone},
        {"root's client with a SUDO_UID of no digits", false, {"SUDO_UID=x"}, kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = c.as_user ? as_user : std::vector<std::string>{};
        argv.insert(argv.end(), {"sleep", "100"});
        const pid_t client = Spawn(argv, c.env);
        ASSERT_TRUE(WaitFor(
            [&] { return ReadFile("/proc/" + std::to_string(client) + "/comm") == "sleep\n"; }));
        kslogTrustClientProcess(static_cast<unsigned>(client));
        EXPECT_EQ(current_trust().client, c.trusted);
        KillAndReap(client);
    }
    kslogTrustClientProcess(0);
    EXPECT_EQ(current_trust().client, kNone);
}

}  // namespace
