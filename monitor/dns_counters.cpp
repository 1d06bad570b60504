#include "dns_counters.h"

dns_call_start dns_begin_call(dns_counters& counters) {
    dns_call_start start;
    if (counters.resume_countdown > 0) {
        --counters.resume_countdown;
        start.resumes = counters.resume_countdown == 0;
        start.skipped = counters.resume_countdown > 0;
    }
    return start;
}

void dns_judged(dns_counters& counters, dns_verdict verdict) {
    if (verdict == dns_verdict::all_present) counters.times_fixed = 0;
}

dns_repair_outcome dns_repaired(dns_counters& counters) {
    ++counters.times_fixed;
    dns_repair_outcome outcome;
    outcome.times_fixed = counters.times_fixed;
    if (counters.times_fixed >= kDnsRepairsBeforePause) {
        // The count is not reset: a pause that ends with the settings still
        // missing leads to one repair and at once another pause.
        outcome.gives_up = true;
        counters.resume_countdown = kDnsPauseCalls;
    }
    return outcome;
}
