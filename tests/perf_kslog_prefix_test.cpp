// The log entry's prefix: fixed examples, and, since it is put together by
// hand on the usual path (every field within its columns) to keep the time
// under the lock short, byte for byte what the printf format gives, on that
// path and on the fallback for values outside the columns.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "kslog_internal.h"

namespace {

struct Fields {
    int mon, mday, year, hour, min, sec;  // mon 1 to 12, year as written
    unsigned long millis;
    const char* category;
    const char* priority;
    unsigned pid;
};

std::string Reference(const Fields& f) {
    char out[256];
    std::snprintf(out, sizeof out, "%02d/%02d/%04d %02d:%02d:%02d.%03lu [%-7.7s %-6.6s %6u] ",
                  f.mon, f.mday, f.year, f.hour, f.min, f.sec, f.millis, f.category, f.priority,
                  f.pid);
    return out;
}

// What the log facility writes for the fields, checked to be as long as
// the length it reports.
std::string Prefix(const Fields& f) {
    struct tm local {};
    local.tm_mon = f.mon - 1;
    local.tm_mday = f.mday;
    local.tm_year = f.year - 1900;
    local.tm_hour = f.hour;
    local.tm_min = f.min;
    local.tm_sec = f.sec;
    char out[128];
    const int len = kestrun::kslog::format_prefix(out, sizeof out, local, f.millis, f.category,
                                                  f.priority, f.pid);
    EXPECT_EQ(len, static_cast<int>(std::strlen(out)));
    return out;
}

void ExpectSameAsFormat(const Fields& f) {
    EXPECT_EQ(Prefix(f), Reference(f));
}

TEST(KslogPrefix, FixedExamples_ExactBytes) {
    const struct {
        Fields fields;
        const char* expected;
    } cases[] = {
        {{3, 7, 2026, 14, 5, 9, 42, "dns", "warn", 12345},
         "03/07/2026 14:05:09.042 [dns     warn    12345] "},
        {{12, 31, 2025, 23, 59, 59, 999, "general", "notice", 7},
         "12/31/2025 23:59:59.999 [general notice      7] "},
        // A long pid widens its field; long names are cut to the columns.
        {{1, 1, 2030, 0, 0, 0, 0, "configuration", "noticeable", 4194304},
         "01/01/2030 00:00:00.000 [configu notice 4194304] "},
    };
    for (const auto& c : cases) EXPECT_EQ(Prefix(c.fields), c.expected);
}

TEST(KslogPrefix, HandMadePrefix_SameBytesAsTheFormat) {
    const Fields cases[] = {
        {1, 1, 2026, 0, 0, 0, 0, "general", "trace", 1},
        {12, 31, 9999, 23, 59, 60, 999, "epc", "fatal", 999999},      // leap second, widest usual
        {6, 15, 2026, 12, 30, 45, 7, "", "", 0},                      // empty names: all padding
        {6, 15, 2026, 12, 30, 45, 70, "routing", "notice", 1000000},  // 7 digits widen
        {6, 15, 2026, 12, 30, 45, 700, "Endpoint Control", "noticeable", 4294967295u},
        {6, 15, 985, 9, 5, 3, 1, "dns", "warn", 42},  // year below 1000: zero-padded
        // Outside the columns: the fallback's printf output.
        {6, 15, 12026, 12, 30, 45, 0, "dns", "warn", 42},
        {6, 15, -5, 12, 30, 45, 0, "dns", "warn", 42},
        {6, 15, 2026, 12, 30, 45, 1000, "dns", "warn", 42},
        {6, -1, 2026, 123, 30, 45, 0, "dns", "warn", 42},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Reference(c));
        ExpectSameAsFormat(c);
    }
}

TEST(KslogPrefix, HandMadePrefix_SameBytesOnRandomFields) {
    const char* const names[] = {"", "a", "dns", "general", "generals", "notice", "noticed"};
    std::mt19937 random(20260307);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    for (int i = 0; i < 20000; ++i) {
        const Fields f{pick(1, 12),
                       pick(1, 31),
                       pick(1970, 2200),
                       pick(0, 23),
                       pick(0, 59),
                       pick(0, 60),
                       static_cast<unsigned long>(pick(0, 999)),
                       names[pick(0, 6)],
                       names[pick(0, 6)],
                       static_cast<unsigned>(std::uniform_int_distribution<unsigned>()(random) >>
                                             pick(0, 31))};
        ExpectSameAsFormat(f);
        if (HasFailure()) {
            ADD_FAILURE() << "first difference at " << Reference(f);
            return;
        }
    }
}

TEST(KslogPrefix, ShortBuffer_CutAndTerminatedLikeTheFormat) {
    struct tm local {};
    local.tm_mon = 2;
    local.tm_mday = 7;
    local.tm_year = 126;
    char out[16];
    const int len = kestrun::kslog::format_prefix(out, sizeof out, local, 42, "dns", "warn", 12345);
    EXPECT_EQ(std::string(out), "03/07/2026 00:0");
    EXPECT_EQ(len, 48);
}

}  // namespace
