// The DNS watch's pause rules, step by step, without a resolver file, a
// repair command or root: each call's verdict goes in, and what the call
// did comes out as a transcript.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns_counters.h"

namespace {

// Runs one call per step: 'B' a check that finds something missing, 'C' one
// that finds everything, 'M' one with no verdict (unreadable file, or cut
// short by a death). Each call writes, space-separated: '-' skipped while
// pausing; 'r' the resumption, then what its check did: 'R' a repair, with
// "G<n>" when it gave up at count n, '.' a clean check, 'u' no verdict.
std::string Transcript(const std::string& steps, dns_counters counters = {}) {
    std::string out;
    for (const char step : steps) {
        if (!out.empty()) out += ' ';
        const dns_call_start start = dns_begin_call(counters);
        if (start.resumes) out += 'r';
        if (start.skipped) {
            out += '-';
            continue;
        }
        const dns_verdict verdict = step == 'B'   ? dns_verdict::something_missing
                                    : step == 'C' ? dns_verdict::all_present
                                                  : dns_verdict::no_verdict;
        dns_judged(counters, verdict);
        if (verdict == dns_verdict::something_missing) {
            out += 'R';
            const dns_repair_outcome repaired = dns_repaired(counters);
            if (repaired.gives_up) out += "G" + std::to_string(repaired.times_fixed);
        } else {
            out += verdict == dns_verdict::all_present ? '.' : 'u';
        }
    }
    return out;
}

TEST(KsMonitorDnsCounters, PauseRules_TableOfCalls) {
    const std::string paused_11 = "- - - - - - - - - - -";
    const std::string b11(11, 'B');
    struct Case {
        const char* name;
        std::string steps;
        std::string transcript;
    };
    const std::vector<Case> cases = {
        {"clean checks never pause", "CCCC", ". . . ."},
        {"three repairs in a row, 11 skipped calls, then a resuming call that checks",
         "BBB" + b11 + "C", "R R RG3 " + paused_11 + " r."},
        {"a pause that ends still missing: one repair, and at once another pause",
         "BBB" + b11 + "B" + b11 + "B", "R R RG3 " + paused_11 + " rRG4 " + paused_11 + " rRG5"},
        {"a clean check resets the count", "BBCBBB", "R R . R R RG3"},
        {"a clean resuming check resets it too", "BBB" + b11 + "CB",
         "R R RG3 " + paused_11 + " r. R"},
        {"no verdict keeps the count", "BBMB", "R R u RG3"},
        {"no verdict keeps it at zero", "MMM", "u u u"},
        {"a pause ended by a call with no verdict stays ended", "BBB" + b11 + "MB",
         "R R RG3 " + paused_11 + " ru RG4"},
        {"steps during a pause do not matter", "BBB" + std::string(11, 'C') + "B",
         "R R RG3 " + paused_11 + " rRG4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Transcript(c.steps), c.transcript);
    }
}

}  // namespace
