// The log facility's C interface: tables, levels and the names of the files.
//
// Used from exit handlers (kslogCleanup runs as one, and programs log on
// their way out), so the state below is plain data with no destructor, and
// every public call leaves errno as the caller had it: callers log right
// after a failing call and report errno afterwards.
#include "kslog.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
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
// kslogInit sets them. Atomic: a client thread may ask while another sets.
std::atomic<int> kslogPriorityLevels[KSLOG_CATEGORY_COUNT];
// Canonical name of the log file, and that name followed by ".0": fixed
// storage, so that setting them up allocates nothing and releasing them
// frees nothing. They are only written by kslogInit, before
// kslogNamesPresent says they may be read.
char kslogFile[PATH_MAX];
char kslogRoll[PATH_MAX + 2];
// Whether the names above are set: false before kslogInit and after
// kslogCleanup, when entries are dropped. Released by clearing this flag
// only, so a thread that writes while another cleans up (at exit) reads
// names that stay intact: its entry is written or dropped, never torn.
std::atomic<bool> kslogNamesPresent{false};
// Whose links and files this process trusts, as kslogInit found it.
Trust kslogTrust;
// The user whose links led to the log's name, as kslogInit found it.
uid_t kslogNameOwner = kNoUid;
// The log file whose lock this process could not take within the bound.
RememberedFile kslogStalledLock;
// The file at the log name the owner fix refused: it gets no entry.
RememberedFile kslogRefusedFile;

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

bool names_present() {
    return kslogNamesPresent.load(std::memory_order_acquire);
}

Files files() {
    return Files{kslogFile,      kslogRoll,         kslogTrust,
                 kslogNameOwner, &kslogStalledLock, &kslogRefusedFile};
}

// Takes the names over; when they do not fit, entries are dropped.
void set_names(const char* log) {
    kslogNamesPresent.store(false, std::memory_order_release);
    const size_t len = std::strlen(log);
    // An empty name (a HOME too long for a name) would make the roll file
    // ".0" in the working directory.
    if (len == 0 || len + 2 >= sizeof kslogFile) return;
    std::memcpy(kslogFile, log, len + 1);
    // Fits: checked above.
    ignore_result(std::snprintf(kslogRoll, sizeof kslogRoll, "%s.0", log));
    kslogStalledLock.forget();
    kslogRefusedFile.forget();
    kslogNamesPresent.store(true, std::memory_order_release);
}

// "%s/.kestRun.log" under HOME (or /tmp), made canonical so that a process
// that changes directory later (the monitor detaches to /) keeps the file
// and each entry's open can follow no link. A link at that name is
// followed when its owner is trusted; otherwise, or where the directory
// is missing, the name is kept as given (and its opens fail).
void default_log_file(const Trust& trust, PathBuffer& out, uid_t& owner) {
    owner = kNoUid;
    const char* home = std::getenv("HOME");
    PathBuffer name;
    const int n =
        std::snprintf(name.text, sizeof name.text, "%s/.kestRun.log", home ? home : "/tmp");
    if (n < 0 || static_cast<size_t>(n) >= sizeof name.text) {
        out.text[0] = '\0';
        return;
    }
    if (resolve_trusted(name.text, trust, out, owner)) return;
    owner = kNoUid;
    out = name;
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

    kslogTrust = current_trust();
    PathBuffer log;
    if (follow_shared_link(kslogTrust, log, kslogNameOwner)) {
        set_names(log.text);
    } else {
        // No usable shared link: this process offers its own file and takes
        // the link away again at exit. A name already taken, by a file or by
        // a link this process does not trust, is left as it is.
        default_log_file(kslogTrust, log, kslogNameOwner);
        set_names(log.text);
        // A link of ours to a name another user's links led to would hand
        // that name to processes that follow our link without knowing
        // whose it is (root's link: no owner to hold them to): such a name
        // gets no shared link.
        if (kslogNameOwner == kNoUid)
            ignore_result(symlink(log.text, kSharedLink));  // taken: leave it, log anyway
        ignore_result(std::atexit(kslogCleanup));           // without it the link merely stays
    }

    if (names_present()) kslogFixLogFileOwner(files());

    if (kslogGetPriority(KSLOG_GENERAL) <= KSLOG_DEBUG) {
        const char* file = names_present() ? kslogFile : "(null)";
        const char* roll = names_present() ? kslogRoll : "(null)";
        std::printf("kslog initialized (kslogFile = %s; kslogRoll = %s)\n", file, roll);
        ignore_result(std::fflush(stdout));  // the entry below says the same
        kslogWrite_private(KSLOG_DEBUG, KSLOG_GENERAL,
                           "kslog initialized (kslogFile = %s; kslogRoll = %s)", file, roll);
    }
}

extern "C" void kslogCleanup(void) {
    const KeepErrno keep;
    // Logged while the file is still known.
    kslogSetAllPriorityLevels(KSLOG_INFO);
    // Only the link this process made goes: a file, a link to another file
    // or another user's link standing at the name belongs to someone else.
    const bool own_link = names_present() && own_shared_link_to(kslogFile);
    // Marked absent, never cleared or freed: a thread in the middle of an
    // entry still reads intact names.
    kslogNamesPresent.store(false, std::memory_order_release);
    if (own_link) ignore_result(unlink(kSharedLink));  // already gone is just as good
}

extern "C" void kslogWrite_private(int priority, int category, const char* format, ...) {
    const KeepErrno keep;
    if (!names_present() || format == nullptr) return;
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
    return kslogPriorityLevels[category].load(std::memory_order_relaxed);
}

extern "C" void kslogSetPriority(int category, int priority) {
    const KeepErrno keep;
    if (!indexes(category, KSLOG_CATEGORY_COUNT) || !indexes(priority, KSLOG_PRIORITY_COUNT))
        return;
    const int old = kslogPriorityLevels[category].exchange(priority, std::memory_order_relaxed);
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
    if (names_present()) rotate_now(files());
}
