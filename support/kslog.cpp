// The log facility's C interface: tables, levels and the names of the files.
//
// Used from exit handlers (kslogCleanup runs as one, and programs log on
// their way out), so the state below is plain data with no destructor, and
// every public call leaves errno as the caller had it: callers log right
// after a failing call and report errno afterwards.
#include "kslog.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kslog_internal.h"

using namespace kestrun::kslog;
using kestrun::ignore_result;

extern "C" {
const char* const kslogPriorityStrings[KSLOG_PRIORITY_COUNT] = {
    "KSLOG_TRACE", "KSLOG_DEBUG", "KSLOG_INFO", "KSLOG_NOTICE",
    "KSLOG_WARN",  "KSLOG_ERROR", "KSLOG_FATAL"};
const char* const kslogPriorityNames[KSLOG_PRIORITY_COUNT] = {"trace", "debug", "info", "notice",
                                                              "warn",  "error", "fatal"};
const char* const kslogCategoryStrings[KSLOG_CATEGORY_COUNT] = {
    "KSLOG_GENERAL", "KSLOG_CONNECT", "KSLOG_AUTH", "KSLOG_TRAFFIC", "KSLOG_ROUTING", "KSLOG_DNS",
    "KSLOG_HTTPS",   "KSLOG_JNI",     "KSLOG_GUI",  "KSLOG_CONFIG",  "KSLOG_EPC"};
const char* const kslogCategoryNames[KSLOG_CATEGORY_COUNT] = {
    "general", "connect", "auth", "traffic", "routing", "dns",
    "https",   "jni",     "gui",  "config",  "epc"};
const char* const kslogCategoryTitles[KSLOG_CATEGORY_COUNT] = {
    "General", "Connection", "Authentication", "Traffic",         "Routing", "DNS", "HTTPS",
    "JNI",     "GUI",        "Configuration",  "Endpoint Control"};
}

namespace {

// Level of each category: entries below it are not written. Trace until
// kslogInit sets them.
int kslogPriorityLevels[KSLOG_CATEGORY_COUNT];
// Absolute name of the log file (malloc'd); null before kslogInit and after
// kslogCleanup, when entries are dropped.
char* kslogFile;
// kslogFile followed by ".0" (malloc'd); null whenever kslogFile is.
char* kslogRoll;
// The other user whose shared link led to kslogFile, or kNoUid (see Files).
uid_t kslogFileOwner = kNoUid;
// The log file whose lock this process could not take within the bound.
StalledLock kslogStalledLock;
// This process's effective user, as kslogInit found it (asked once, not on
// every entry).
uid_t kslogEffectiveUser = kNoUid;

// Restores errno when the public call returns.
class KeepErrno {
  public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    int saved() const { return saved_; }
    KeepErrno(const KeepErrno&) = delete;
    KeepErrno& operator=(const KeepErrno&) = delete;

  private:
    int saved_;
};

Files files() {
    return Files{kslogFile, kslogRoll, kslogFileOwner, kslogEffectiveUser, &kslogStalledLock};
}

void forget_names() {
    std::free(kslogFile);
    std::free(kslogRoll);
    kslogFile = nullptr;
    kslogRoll = nullptr;
    kslogFileOwner = kNoUid;
}

// Takes the names over; on failure both stay absent and entries are dropped.
void set_names(const std::string& log, uid_t owner) {
    forget_names();
    const std::string roll = log + ".0";
    kslogFile = strdup(log.c_str());
    kslogRoll = strdup(roll.c_str());
    if (kslogFile == nullptr || kslogRoll == nullptr) {
        forget_names();
        return;
    }
    kslogFileOwner = owner;
}

// "%s/.kestRun.log" under HOME (or /tmp), made absolute so that a process
// that changes directory later (the monitor detaches to /) keeps the file.
std::string default_log_file() {
    const char* home = std::getenv("HOME");
    std::string name = std::string(home ? home : "/tmp") + "/.kestRun.log";
    return absolute(name.c_str()).value_or(name);
}

// The one bound check of the tables' indexes: a category or priority from
// a caller indexes its table only when this holds.
constexpr bool indexes(int value, int count) {
    return value >= 0 && value < count;
}

void kslogSetAllPriorityLevels(int priority) {
    if (!indexes(priority, KSLOG_PRIORITY_COUNT)) return;
    for (int category = 0; category < KSLOG_CATEGORY_COUNT; ++category)
        kslogSetPriority(category, priority);
}

}  // namespace

extern "C" void kslogInit(void) {
    const KeepErrno keep;
    kslogSetAllPriorityLevels(KSLOG_INFO);
    if (const char* wanted = std::getenv("KSLOGPRIORITY")) {
        for (int priority = 0; priority < KSLOG_PRIORITY_COUNT; ++priority) {
            if (strcasecmp(wanted, kslogPriorityNames[priority]) == 0) {
                kslogSetAllPriorityLevels(priority);
                break;
            }
        }
    }

    kslogEffectiveUser = geteuid();
    if (auto target = follow_shared_link()) {
        set_names(target->path, target->owner);
    } else {
        // No usable shared link: this process offers its own file and takes
        // the link away again at exit. A name already taken, by a file or by
        // a refused link, is left as it is.
        const std::string log = default_log_file();
        set_names(log, kNoUid);
        ignore_result(symlink(log.c_str(), kSharedLink));  // taken: leave it, log anyway
        ignore_result(std::atexit(kslogCleanup));          // without it the link merely stays
    }

    if (kslogFile != nullptr) kslogFixLogFileOwner(files());

    if (kslogPriorityLevels[KSLOG_GENERAL] <= KSLOG_DEBUG) {
        std::printf("kslog initialized (kslogFile = %s; kslogRoll = %s)\n",
                    kslogFile ? kslogFile : "(null)", kslogRoll ? kslogRoll : "(null)");
        ignore_result(std::fflush(stdout));  // the entry below says the same
        kslogWrite_private(KSLOG_DEBUG, KSLOG_GENERAL,
                           "kslog initialized (kslogFile = %s; kslogRoll = %s)",
                           kslogFile ? kslogFile : "(null)", kslogRoll ? kslogRoll : "(null)");
    }
}

extern "C" void kslogCleanup(void) {
    const KeepErrno keep;
    // Logged while the file is still known.
    kslogSetAllPriorityLevels(KSLOG_INFO);
    // Only the link this process made goes: a file, a link to another file
    // or another user's link standing at the name belongs to someone else.
    const bool own_link = kslogFile != nullptr && own_shared_link_to(kslogFile);
    forget_names();
    if (own_link) ignore_result(unlink(kSharedLink));  // already gone is just as good
}

extern "C" void kslogWrite_private(int priority, int category, const char* format, ...) {
    const KeepErrno keep;
    if (kslogFile == nullptr || format == nullptr) return;
    // Out of range, a priority goes to the nearest level, a category to general.
    if (!indexes(priority, KSLOG_PRIORITY_COUNT))
        priority = priority < 0 ? KSLOG_TRACE : KSLOG_PRIORITY_COUNT - 1;
    if (!indexes(category, KSLOG_CATEGORY_COUNT)) category = KSLOG_GENERAL;

    auto log = open_for_entry(files());
    if (!log) return;

    // Time and pid are read under the lock, so entries stand in the file in
    // the order of their timestamps.
    struct timespec now {};
    ignore_result(clock_gettime(CLOCK_REALTIME, &now));  // cannot fail for this clock
    struct tm local {};
    ignore_result(localtime_r(&now.tv_sec, &local));  // the current time always converts
    char prefix[128];
    int prefix_len = format_prefix(prefix, sizeof prefix, local,
                                   static_cast<unsigned long>(now.tv_nsec / 1000) / 1000,
                                   kslogCategoryNames[category], kslogPriorityNames[priority],
                                   static_cast<unsigned>(getpid()));
    if (prefix_len < 0) prefix_len = 0;
    if (static_cast<size_t>(prefix_len) >= sizeof prefix) prefix_len = sizeof prefix - 1;

    Entry entry;
    va_list args;
    va_start(args, format);
    entry.build(prefix, static_cast<size_t>(prefix_len), keep.saved(), format, args);
    va_end(args);
    append(*log, entry.data(), entry.size());
}

extern "C" int kslogGetPriority(int category) {
    if (!indexes(category, KSLOG_CATEGORY_COUNT)) category = KSLOG_GENERAL;
    return kslogPriorityLevels[category];
}

extern "C" void kslogSetPriority(int category, int priority) {
    const KeepErrno keep;
    if (!indexes(category, KSLOG_CATEGORY_COUNT) || !indexes(priority, KSLOG_PRIORITY_COUNT))
        return;
    const int old = kslogPriorityLevels[category];
    kslogPriorityLevels[category] = priority;
    if (old != priority)
        kslogWrite_private(priority, category, "Changed %s log priority to %s",
                           kslogCategoryNames[category], kslogPriorityNames[priority]);
}

extern "C" void kslogSetPriorityStr(const char* category, const char* priority) {
    const KeepErrno keep;
    if (category == nullptr || priority == nullptr) return;
    for (int c = 0; c < KSLOG_CATEGORY_COUNT; ++c) {
        if (std::strcmp(category, kslogCategoryStrings[c]) != 0) continue;
        for (int p = 0; p < KSLOG_PRIORITY_COUNT; ++p)
            if (std::strcmp(priority, kslogPriorityStrings[p]) == 0) kslogSetPriority(c, p);
    }
}

namespace {

int index_of(const char* name, const char* const* table, int count) {
    if (name == nullptr) return -1;
    for (int i = 0; i < count; ++i)
        if (std::strcmp(name, table[i]) == 0) return i;
    return -1;
}

}  // namespace

extern "C" int kslogCategoryWithName(const char* name) {
    return index_of(name, kslogCategoryNames, KSLOG_CATEGORY_COUNT);
}

extern "C" int kslogPriorityWithName(const char* name) {
    return index_of(name, kslogPriorityNames, KSLOG_PRIORITY_COUNT);
}

extern "C" void kslogRotate(void) {
    const KeepErrno keep;
    if (kslogFile != nullptr) rotate_now(files());
}
