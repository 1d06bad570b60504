// A small program of the product as the log facility sees one: it sets the
// facility up, writes a number of entries and exits through exit(), so its
// exit handlers run. The log tests start it as a separate process.
//
// Usage: kslog_writer [-n COUNT] [-t TAG] [-p PRIORITY] [-s PAD] [-r] [-c PID]
//   writes COUNT entries "TAG <i> <PAD x's>" in category general through
//   the log-if-enabled rule (default 1, "entry", info, 0); -r rolls the log
//   file after writing; -c names the tunnel's client process before
//   kslogInit, as the monitor does.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kslog.h"
#include "kslog_trust.h"

int main(int argc, char** argv) {
    int count = 1;
    const char* tag = "entry";
    int priority = KSLOG_INFO;
    std::string pad;
    bool roll = false;
    unsigned client = 0;
    for (int opt; (opt = getopt(argc, argv, "n:t:p:s:rc:")) != -1;) {
        switch (opt) {
            case 'n':
                count = std::atoi(optarg);
                break;
            case 't':
                tag = optarg;
                break;
            case 'p':
                priority = std::atoi(optarg);
                break;
            case 's':
                pad.assign(static_cast<size_t>(std::atoi(optarg)), 'x');
                break;
            case 'r':
                roll = true;
                break;
            case 'c':
                client = static_cast<unsigned>(std::atoi(optarg));
                break;
            default:
                return 2;
        }
    }
    kestrun::kslog::kslogTrustClientProcess(client);
    kslogInit();
    for (int i = 0; i < count; ++i)
        KSLOG_IF_ENABLED(priority, KSLOG_GENERAL, "%s %d %s", tag, i, pad.c_str());
    if (roll) kslogRotate();
    return 0;
}
