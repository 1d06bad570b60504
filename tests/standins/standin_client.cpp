// Stand-in for the VPN client process: standin_client RECORD
// Keeps its pid in "/etc/ppp/kestrun.pid" like the client, records the
// signals it receives in RECORD and ends on SIGTERM.
#include <sys/stat.h>

#include <cstdio>

#include "signal_recorder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: standin_client RECORD\n");
        return 2;
    }
    (void)mkdir("/etc/ppp", 0755);  // usually there already
    return standin::record_signals("/etc/ppp/kestrun.pid", argv[1]);
}
