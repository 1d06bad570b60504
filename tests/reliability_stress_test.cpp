// Stress across rotation, the short variant: six writers (two of them an
// ordinary user, the rest root with SUDO_UID set) cross the roll limit once;
// every entry is in the log or the roll file exactly once, whole and in
// order, and the roll file is the whole older generation; the same over 40
// rotations of a log shared by root and the user. Then the proof
// that the checker can fail: writers that roll the naive way (size checked
// and the file renamed before any lock) lose a generation, and the checker
// says so. The long variant is tools/stress.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "in_sandbox.h"
#include "testkit.h"

using namespace kstest;

namespace {

struct Verdict {
    long lost = -1, duplicated = -1, torn = -1, out_of_order = -1, short_generations = -1;
    long entries = -1;
};

Verdict Stress(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {KS_STRESS_BIN, "run"};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto run = RunProgram(argv, {}, 120000ms);
    EXPECT_TRUE(run.exited()) << run.err;
    Verdict v;
    std::smatch m;
    static const std::regex line(
        R"(entries=(\d+) expected=\d+ lost=(\d+) duplicated=(\d+) torn=(\d+) )"
        R"(out_of_order=(\d+) generations=\d+ short_generations=(\d+) failed_writers=0)");
    EXPECT_TRUE(std::regex_search(run.out, m, line)) << run.out << run.err;
    if (m.empty()) return v;
    v.entries = std::stol(m[1]);
    v.lost = std::stol(m[2]);
    v.duplicated = std::stol(m[3]);
    v.torn = std::stol(m[4]);
    v.out_of_order = std::stol(m[5]);
    v.short_generations = std::stol(m[6]);
    return v;
}

TEST(KslogStress, OneRotation_EveryEntryOnceWholeAndInOrder) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const auto v = Stress({"--writers", "6", "--entries", "400", "--prefill"});
    EXPECT_EQ(v.entries, 6 * 400);
    EXPECT_EQ(v.lost, 0);
    EXPECT_EQ(v.duplicated, 0);
    EXPECT_EQ(v.torn, 0);
    EXPECT_EQ(v.out_of_order, 0);
    EXPECT_EQ(v.short_generations, 0);
}

// Root writers (SUDO_UID naming the user) and the user's own writers start
// together on a log just over the limit, round after round: whoever rolls
// it, and whoever finds it missing and makes it, no entry of either kind is
// lost, and the new log is the user's after every rotation.
TEST(KslogStress, RootAndUserWritersAcrossRotations_NoneLostLogStaysTheUsers) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const auto run = RunProgram(
        {KS_STRESS_BIN, "run", "--writers", "6", "--entries", "60", "--over", "--rounds", "40"}, {},
        120000ms);
    EXPECT_EQ(run.exit_code(), 0) << run.out << run.err;
    std::smatch m;
    static const std::regex line(
        R"(entries=(\d+) expected=(\d+) lost=0 duplicated=0 torn=0 out_of_order=0 )"
        R"(generations=40 short_generations=0 failed_writers=0 rounds=40 foreign_logs=0)");
    ASSERT_TRUE(std::regex_search(run.out, m, line)) << run.out << run.err;
    EXPECT_EQ(m[1], m[2]);
}

// A single round may by chance roll only once; rounds go on until the loss
// shows, within a bound.
TEST(KslogStress, NaiveRotation_CheckerCatchesTheLoss) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int rounds = 0;
    bool caught = false;
    while (!caught && std::chrono::steady_clock::now() < deadline) {
        ++rounds;
        const auto v = Stress({"--writers", "6", "--entries", "400", "--prefill", "--naive"});
        caught = v.lost > 0 && v.short_generations > 0;
    }
    EXPECT_TRUE(caught) << "no loss in " << rounds << " rounds";
    RecordProperty("rounds", rounds);
}

}  // namespace
