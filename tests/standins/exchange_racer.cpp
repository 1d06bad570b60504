// An ordinary user racing a root program over a name in a directory it may
// rename in: swaps DIR/A and DIR/B with renameat2(RENAME_EXCHANGE) in a tight
// loop until SIGTERM, so that a name root checked may name the other entry a
// moment later. A is a real directory; whenever its EPC has been removed
// (by whoever got through), the racer makes it again, through a descriptor
// that follows the directory under either name.
//
// Usage: exchange_racer DIR A B COUNT_FILE
// On SIGTERM it writes "<swaps> <recreated>\n" to COUNT_FILE and exits 0.

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

volatile sig_atomic_t stop = 0;

void on_term(int) {
    stop = 1;
}

int exchange(int dir, const char* a, const char* b) {
    return static_cast<int>(::syscall(SYS_renameat2, dir, a, dir, b, RENAME_EXCHANGE));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: exchange_racer DIR A B COUNT_FILE\n");
        return 2;
    }
    struct sigaction term {};
    term.sa_handler = on_term;
    sigemptyset(&term.sa_mask);
    if (sigaction(SIGTERM, &term, nullptr) != 0) return 1;

    const int dir = open(argv[1], O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return 1;
    const int real = openat(dir, argv[2], O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (real < 0) return 1;

    unsigned long swaps = 0;
    unsigned long recreated = 0;
    while (!stop) {
        if (exchange(dir, argv[2], argv[3]) == 0) ++swaps;
        if (mkdirat(real, "EPC", 0755) == 0) ++recreated;
    }

    FILE* out = std::fopen(argv[4], "we");
    if (out == nullptr) return 1;
    std::fprintf(out, "%lu %lu\n", swaps, recreated);
    return std::fclose(out) == 0 ? 0 : 1;
}
