// Stand-in for the programs uninstallKestrun starts: "rpm" (linked as rpm in
// a directory put first on PATH) and the client program (linked as
// /usr/sbin/kestRun). A compiled program, not a script, so that the argv[0]
// it was given is recorded as given.
//
// Every run appends one line to /tmp/uninstall-standin.log: each argument in
// brackets, "[rpm] [-q] [Kestrun]". Then:
//   with -q   writes noise to stdout and stderr (the query must hide it) and
//             ends as KS_STANDIN_QUERY says: a number is its exit status
//             (default 1, not installed); "signal" kills the shell that ran
//             it with SIGKILL, so that the query's wait status is a signal;
//             "vanish" removes the path in KS_STANDIN_REMOVE and exits 0, so
//             that the erase command that follows cannot be found;
//   otherwise exits with KS_STANDIN_EXIT (default 0).

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

void record(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) line += std::string(i ? " [" : "[") + argv[i] + "]";
    line += '\n';
    const int fd =
        open("/tmp/uninstall-standin.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) std::_Exit(99);
    const bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!ok) std::_Exit(99);
}

int env_number(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : fallback;
}

// The query runs as "sh -c 'rpm -q ...'": the shell forks for the
// redirections, so the wait status the uninstaller sees is the shell's. If a
// shell ever ran us in its own place, killing ourselves has that effect.
[[noreturn]] void kill_the_query() {
    std::string parent;
    std::ifstream comm("/proc/" + std::to_string(getppid()) + "/comm");
    std::getline(comm, parent);
    if (parent == "sh" || parent == "dash" || parent == "bash") {
        kill(getppid(), SIGKILL);
        std::_Exit(0);
    }
    kill(getpid(), SIGKILL);
    std::_Exit(98);
}

}  // namespace

int main(int argc, char** argv) {
    record(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "-q") == 0) {
        const char noise[] = "standin query noise\n";
        (void)!write(1, noise, sizeof noise - 1);
        (void)!write(2, noise, sizeof noise - 1);
        const char* how = std::getenv("KS_STANDIN_QUERY");
        if (how && std::strcmp(how, "signal") == 0) kill_the_query();
        if (how && std::strcmp(how, "vanish") == 0) {
            const char* path = std::getenv("KS_STANDIN_REMOVE");
            return path && unlink(path) == 0 ? 0 : 97;
        }
        return env_number("KS_STANDIN_QUERY", 1);
    }
    return env_number("KS_STANDIN_EXIT", 0);
}
