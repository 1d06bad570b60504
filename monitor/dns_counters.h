// The DNS watch's pause rules as an explicit state and pure steps, so that
// they can be checked by a table of calls without a resolver file, a
// repair command or root.
#pragma once

inline constexpr int kDnsRepairsBeforePause = 3;
inline constexpr int kDnsPauseCalls = 12;

struct dns_counters {
    // Calls left in the current pause, the one that ends it included; above
    // 0 only during a pause.
    int resume_countdown = 0;
    // Repairs since the last check that found everything in place.
    int times_fixed = 0;
};

// What a call does before it looks at the resolver file.
struct dns_call_start {
    bool resumes = false;  // this call ends a pause: "Resuming DNS monitoring"
    bool skipped = false;  // still pausing: the call ends here
};

// Counts down a pause. A call that brings the countdown to 0 resumes and
// checks in that same call.
dns_call_start dns_begin_call(dns_counters& counters);

// What a finished check found.
enum class dns_verdict {
    no_verdict,  // the file could not be read, or the check was cut short
    all_present,
    something_missing,  // warned about; a repair is due
};

// What follows a verdict of something missing, once the repair ran.
struct dns_repair_outcome {
    bool gives_up = false;  // "Fixed DNS settings %d times in a row; ..."
    int times_fixed = 0;    // the count that entry names
};

// A check with no verdict leaves both counts; one that found everything
// clears the repair count.
void dns_judged(dns_counters& counters, dns_verdict verdict);

// Counts a repair that was run; the third in a row, and every later one
// while the count stays above 2, starts a pause of 12 calls.
dns_repair_outcome dns_repaired(dns_counters& counters);
