/* A C program of the product, built against the installed kslog.h and
 * libkssupport.a: it logs one entry and prints a name look-up. */
#include <ksProcUtils.h>
#include <kslog.h>
#include <stdio.h>

int main(void) {
    kslogInit();
    KSLOG_IF_ENABLED(KSLOG_NOTICE, KSLOG_CONNECT, "C consumer %d", 42);
    KSLOG_DEBUG_FN(KSLOG_CONNECT, "below the level %d", 1);
    printf("%d %u\n", kslogCategoryWithName("dns"), get_pid_from_file("/nonexistent"));
    return 0;
}
