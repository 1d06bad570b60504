// A small program of the product as the log facility sees one: it sets the
// facility up, writes a number of entries and exits through exit(), so its
// exit handlers run. The log tests start it as a separate process.
//
// Usage: kslog_writer [-n COUNT] [-t TAG] [-p PRIORITY] [-c CATEGORY]
//                     [-s PAD] [-d DIR] [-r]
//   writes COUNT entries "TAG <i> <PAD x's>" (default 1, "entry", info,
//   general, 0), after changing to DIR when given; -r rolls the log file
//   after writing.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kslog.h"

int main(int argc, char** argv) {
    int count = 1;
    const char* tag = "entry";
    int priority = KSLOG_INFO;
    int category = KSLOG_GENERAL;
    std::string pad;
    const char* dir = nullptr;
    bool roll = false;
    for (int opt; (opt = getopt(argc, argv, "n:t:p:c:s:d:r")) != -1;) {
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
            case 'c':
                category = std::atoi(optarg);
                break;
            case 's':
                pad.assign(static_cast<size_t>(std::atoi(optarg)), 'x');
                break;
            case 'd':
                dir = optarg;
                break;
            case 'r':
                roll = true;
                break;
            default:
                return 2;
        }
    }
    kslogInit();
    if (dir != nullptr && chdir(dir) != 0) return 3;
    for (int i = 0; i < count; ++i)
        KSLOG_IF_ENABLED(priority, category, "%s %d %s", tag, i, pad.c_str());
    if (roll) kslogRotate();
    return 0;
}
