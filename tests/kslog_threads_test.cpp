// Threads of a client writing while its main thread calls exit(): the
// facility's names stay readable through kslogCleanup, so every run ends
// with status 0, clean under the sanitizers, and the log holds only whole
// entries. kslog_exit_threads is built plain (or with the address and
// undefined-behaviour sanitizers, in that build) and, where the compiler
// has it, with the thread sanitizer as well (KS_EXIT_THREADS_TSAN).
#include <gtest/gtest.h>

#include <string>

#include "kslog_kit.h"
#include "testkit.h"

using namespace kstest;
using namespace kstest::kslog;

namespace {

constexpr int kRuns = 60;

void RunManyTimes(const std::string& program) {
    int entries = 0;
    for (int run = 0; run < kRuns; ++run) {
        const auto result = RunProgram(
            {program, "4"},
            {"TSAN_OPTIONS=halt_on_error=1 exitcode=66", "ASAN_OPTIONS=detect_leaks=0"}, 20000ms);
        ASSERT_EQ(result.exit_code(), 0) << "run " << run << ":\n" << result.err;
    }
    for (const auto& line : Lines(ReadFile(DefaultLog()).value_or(""))) {
        ASSERT_TRUE(ParseEntry(line).has_value()) << line;
        ++entries;
    }
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
