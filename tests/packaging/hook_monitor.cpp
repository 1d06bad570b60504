// Stand-in for the installed ksMonitor, as the pppd hook starts it. A real
// executable rather than a script, so that /proc/<pid>/exe names the
// monitor's installed path, which is how the hook recognises a running one.
//
// It records how it was started in /tmp/hook-starts/<pid> (pid, argument
// count, where its three standard streams lead, then its whole environment,
// one entry a line), writes one line to standard error and holds that
// stream open, as a starting monitor does, until SIGUSR1 "detaches" it:
// its standard streams then move to /dev/null. SIGTERM ends it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

std::string stream_target(int fd) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string("closed") : std::string(target, static_cast<size_t>(n));
}

bool write_record(int argc) {
    if (mkdir("/tmp/hook-starts", 0755) != 0 && errno != EEXIST) return false;
    const std::string path = "/tmp/hook-starts/" + std::to_string(getpid());
    const std::string tmp = "/tmp/hook-starts/." + std::to_string(getpid());
    std::FILE* out = std::fopen(tmp.c_str(), "we");
    if (out == nullptr) return false;
    std::fprintf(out, "pid=%d\nargc=%d\n", static_cast<int>(getpid()), argc - 1);
    for (int fd = 0; fd <= 2; ++fd) std::fprintf(out, "fd%d=%s\n", fd, stream_target(fd).c_str());
    for (char** entry = environ; *entry != nullptr; ++entry) std::fprintf(out, "%s\n", *entry);
    return std::fclose(out) == 0 && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char**) {
    // Blocked before the record exists, so a SIGUSR1 sent as soon as the
    // test sees it stays pending rather than killing the process.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    alarm(120);  // never outlives a test that lost track of it

    if (!write_record(argc)) return 1;
    const char* ifname = std::getenv("IFNAME");
    std::fprintf(stderr, "stand-in monitor for %s starting\n", ifname ? ifname : "(none)");
    std::fflush(stderr);

    int sig = 0;
    while (sigwait(&usr1, &sig) != 0) {
    }
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return 1;
    for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
    close(null);
    for (;;) pause();
}
