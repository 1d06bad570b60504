// A small program of the product as the log facility sees one, for counting
// the system calls of a log entry under strace. It writes its entries
// between marker calls, access("/ks-marker/<name>"), that fail harmlessly
// and stand out in the trace:
//
//   enabled-begin   one entry per message shape below   enabled-end
//   disabled-begin  1000 entries below the level        disabled-end
//
// The first entry is written before any marker: it pays for what a process
// does once (loading the time zone), which is not part of an entry's cost.
#include <unistd.h>

#include <string>

#include "kslog.h"

namespace {

void marker(const char* name) {
    const std::string path = std::string("/ks-marker/") + name;
    (void)access(path.c_str(), F_OK);  // fails: only its trace line matters
}

}  // namespace

int main() {
    kslogInit();
    KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "%s", "warm-up");

    marker("enabled-begin");
    KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "Monitoring processes:  ks=%d, pppd=%d", 1234,
                     5678);
    KSLOG_IF_ENABLED(KSLOG_WARN, KSLOG_DNS, "%s", "ends with its own line end\n");
    KSLOG_IF_ENABLED(KSLOG_ERROR, KSLOG_DNS, "%s", "two\nlines");
    KSLOG_IF_ENABLED(KSLOG_NOTICE, KSLOG_EPC, "%s", "");
    marker("enabled-end");

    marker("disabled-begin");
    for (int i = 0; i < 1000; ++i)
        KSLOG_DEBUG_FN(KSLOG_GENERAL, "Testing processes:  ks=%d, pppd=%d", i, i + 1);
    marker("disabled-end");
    return 0;
}
