// Stand-in for the PPP daemon: standin_pppd IFNAME RECORD
// Keeps its pid in "/var/run/<IFNAME>.pid" like pppd, records the signals it
// receives in RECORD and ends the "link" on SIGTERM.
#include <cstdio>
#include <string>

#include "signal_recorder.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: standin_pppd IFNAME RECORD\n");
        return 2;
    }
    return standin::record_signals(std::string("/var/run/") + argv[1] + ".pid", argv[2]);
}
