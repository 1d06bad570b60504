/* A C program built against the installed support library, the way a
 * client integrator builds one: it logs one entry through the shared log
 * and reads a pid file, so both modules (and the C++ runtime under them)
 * must link and run from C. */
#include <ksProcUtils.h>
#include <kslog.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    const char* tag = argc > 1 ? argv[1] : "consumer";
    const char* pid_file = argc > 2 ? argv[2] : "/nonexistent";

    kslogInit();
    KSLOG_IF_ENABLED(KSLOG_WARN, KSLOG_DNS, "%s consumer logged", tag);

    if (strcmp(kslogCategoryNames[KSLOG_DNS], "dns") != 0) {
        fprintf(stderr, "unexpected category name %s\n", kslogCategoryNames[KSLOG_DNS]);
        return 1;
    }
    printf("%s pid=%u\n", tag, get_pid_from_file(pid_file));
    return 0;
}
