// Threads of a client writing while its main thread calls exit(): the
// facility's names stay readable through kslogCleanup, so every run ends
// with status 0, clean under the sanitizers, and the log holds whole
// entries. The one exception is the kernel's: exit kills the other threads,
// and a write cut by that kill between two pages of the file leaves the
// front of its entry behind (no library can finish a write for a thread
// that is gone). Such a fragment may stand only where a run ended: right
// before the next run's first entry on the same line, or at the file's end. kslog_exit_threads is
// built plain (or with the address and undefined-behaviour sanitizers, in that build) and, where
// the compiler has it, with the thread sanitizer as well (KS_EXIT_THREADS_TSAN).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "kslog_kit.h"
#include "testkit.h"

using namespace kstest;
using namespace kstest::kslog;

namespace {

constexpr int kRuns = 60;

// Where an entry's time stamp begins in a line, after its first byte.
size_t LaterEntryStart(const std::string& line) {
    static const std::regex stamp(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \[)");
    std::smatch found;
    const std::string rest = line.substr(1);
    if (!std::regex_search(rest, found, stamp)) return std::string::npos;
    return static_cast<size_t>(found.position(0)) + 1;
}

void RunManyTimes(const std::string& program) {
    int entries = 0;
    for (int run = 0; run < kRuns; ++run) {
        const auto result = RunProgram(
            {program, "4"},
            {"TSAN_OPTIONS=halt_on_error=1 exitcode=66", "ASAN_OPTIONS=detect_leaks=0"}, 20000ms);
        ASSERT_EQ(result.exit_code(), 0) << "run " << run << ":\n" << result.err;
    }
    const auto lines = Lines(ReadFile(DefaultLog()).value_or(""));
    int fragments = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (ParseEntry(line).has_value()) {
            ++entries;
            continue;
        }
        // A cut entry: the next run's first entry follows it, or nothing does.
        ++fragments;
        const size_t next = LaterEntryStart(line);
        if (next == std::string::npos) {
            EXPECT_EQ(i + 1, lines.size()) << "a fragment inside the log: " << line;
            continue;
        }
        ASSERT_TRUE(ParseEntry(line.substr(next)).has_value()) << line;
        ++entries;
    }
    testing::Test::RecordProperty("fragments", std::to_string(fragments));
    EXPECT_LE(fragments, kRuns);  // one kill at most cuts a write per exit
    EXPECT_GE(entries, kRuns * 8);
    EXPECT_FALSE(Exists(kLink));
}

TEST(KslogThreads, ExitWhileThreadsWrite_EveryRunCleanEntriesWhole) {
    RunManyTimes(KS_EXIT_THREADS);
}

TEST(KslogThreads, ExitWhileThreadsWrite_CleanUnderThreadSanitizer) {
#ifdef KS_EXIT_THREADS_TSAN
    RunManyTimes(KS_EXIT_THREADS_TSAN);
#else
    GTEST_SKIP() << "skipped: the thread sanitizer build is made only in the unsanitized build";
#endif
}

}  // namespace
