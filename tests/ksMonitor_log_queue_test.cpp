// The monitor's log queue and its writer thread: entries reach the file
// with the very bytes a direct write gives, in the order they were made;
// while the file is held, the ring keeps its bound, drops and counts what
// does not fit, and says so once the file answers again. In forked children
// (the writer thread and the log facility's state stay there), inside
// ks_sandbox.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "inode_hold.h"
#include "kslog.h"
#include "log_queue.h"
#include "monitor_kit.h"

using namespace kstest;
using namespace kstest::monitor;

namespace {

// Entries of every shape the monitor makes: plain, with arguments, ending
// in their own line end, holding one, empty, longer than a slot.
void MakeEntries(const std::string& tag) {
    MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "%s plain", tag.c_str());
    MONITOR_LOG(KSLOG_WARN, KSLOG_DNS,
                "%s Kestrun %d closed unexpectedly; attempting to cleanup pppd %d", tag.c_str(), 12,
                34);
    MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL,
                "%s ksMonitor received shutdown command; ksMonitor exiting\n", tag.c_str());
    MONITOR_LOG(KSLOG_ERROR, KSLOG_DNS, "%s two\nlines", tag.c_str());
    MONITOR_LOG(KSLOG_NOTICE, KSLOG_GENERAL, "%s", "");
    MONITOR_DEBUG_FN(KSLOG_DNS, "%s long %s", tag.c_str(), std::string(5000, 'z').c_str());
    MONITOR_LOG(KSLOG_DEBUG, KSLOG_GENERAL, "%s below the level: not written", tag.c_str());
}

// The lines of the default log with their time stamps cut off.
std::vector<std::string> UnstampedLines() {
    std::vector<std::string> lines;
    for (const auto& line : Lines(ReadFile(DefaultLog()).value_or("")))
        lines.push_back(line.size() > 24 && line[2] == '/' ? line.substr(24) : line);
    return lines;
}

TEST(KsMonitorLogQueue, ThroughTheWriter_SameBytesAsADirectWrite) {
    RemoveAll(DefaultLog());
    const auto outcome = RunInChild([] {
        setenv("KSLOGPRIORITY", "debug", 1);
        kslogInit();
        kslogSetPriority(KSLOG_GENERAL, KSLOG_INFO);
        MakeEntries("A");  // no writer yet: written at once
        if (!start_log_writer()) std::abort();
        MakeEntries("A");
        finish_log_writer();
    });
    ASSERT_TRUE(outcome.returned);
    // Two runs of the same entries; the second one through the queue.
    std::vector<std::string> own;
    for (const auto& l : UnstampedLines())
        if (l.find("log priority") == std::string::npos &&
            l.find("kslog initialized") == std::string::npos)
            own.push_back(l);
    ASSERT_EQ(own.size() % 2, 0u);
    ASSERT_GE(own.size(), 12u);
    const std::vector<std::string> direct(own.begin(), own.begin() + own.size() / 2);
    const std::vector<std::string> queued(own.begin() + own.size() / 2, own.end());
    EXPECT_EQ(queued, direct);
}

// The writer stuck for good on the held file: the ring fills up to its
// bound, what comes after is dropped and counted, and the first entry that
// gets through afterwards is preceded by the count.
TEST(KsMonitorLogQueue, FullWhileHeld_DropsCountsAndSaysSo) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_KERNEL_FAULT_HOLD);
    RemoveAll(DefaultLog());
    RemoveAll("/tmp/queued");
    RemoveAll("/tmp/go");
    InodeHold hold(DefaultLog());
    ASSERT_TRUE(hold.held());
    constexpr int kMade = static_cast<int>(kLogQueueEntries) + 76;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("KSLOGPRIORITY", "info", 1);
        kslogInit();
        if (!start_log_writer()) _exit(2);
        for (int i = 0; i < kMade; ++i) MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "entry %d", i);
        if (!WriteFile("/tmp/queued", "")) _exit(3);
        while (!Exists("/tmp/go")) usleep(5000);
        MONITOR_LOG(KSLOG_INFO, KSLOG_GENERAL, "%s", "after");
        finish_log_writer();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(WaitFor([] { return Exists("/tmp/queued"); }));
    hold.Release();
    // The queue drains before the next entry is made, so that one fits.
    EXPECT_TRUE(
        WaitFor([] { return CountEntries("entry ") == static_cast<int>(kLogQueueEntries); }));
    ASSERT_TRUE(WriteFile("/tmp/go", ""));
    EXPECT_EQ(WaitForChild(child), 0);

    std::vector<std::string> expected;
    for (size_t i = 0; i < kLogQueueEntries; ++i)
        expected.push_back("general info entry " + std::to_string(i));
    expected.push_back(
        "general warn 76 log entries were lost while the log file could not be written");
    expected.push_back("general info after");
    EXPECT_EQ(CallerLogLines(), expected);
}

}  // namespace
