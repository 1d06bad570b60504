#include "processes.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <memory>

#include "testkit.h"

namespace kstest {

std::optional<ProcStat> ReadProcStat(pid_t pid) {
    const auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // "pid (name) S ppid ...": the name may itself hold ") ", so the fields
    // start after the last parenthesis.
    const auto open = stat->find('(');
    const auto close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 4 >= stat->size())
        return std::nullopt;
    ProcStat fields;
    fields.name = stat->substr(open + 1, close - open - 1);
    fields.state = (*stat)[close + 2];
    const char* ppid = stat->data() + close + 4;
    if (std::from_chars(ppid, stat->data() + stat->size(), fields.ppid).ec != std::errc())
        return std::nullopt;
    return fields;
}

char ProcessState(pid_t pid) {
    const auto stat = ReadProcStat(pid);
    return stat ? stat->state : 0;
}

bool ProcessRunning(pid_t pid) {
    const char state = ProcessState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

std::vector<pid_t> ChildrenNamed(const std::string& name) {
    std::vector<pid_t> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return found;
    while (const dirent* entry = readdir(proc.get())) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        const auto stat = ReadProcStat(pid);
        if (stat && stat->name == name && stat->ppid == getpid()) found.push_back(pid);
    }
    return found;
}

pid_t StartSleeper() {
    const pid_t pid = fork();
    if (pid == 0) {
        for (;;) pause();
    }
    return pid;
}

int Reap(pid_t pid) {
    if (pid <= 0) return -1;  // waitpid would take any child for these
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return -1;
    }
}

int WaitForChild(pid_t pid, std::chrono::milliseconds timeout) {
    if (pid <= 0) return -1;  // as in Reap
    int status = -1;
    const bool ended = WaitFor(
        [&] {
            int s = 0;
            if (waitpid(pid, &s, WNOHANG) != pid) return false;
            status = s;
            return true;
        },
        timeout);
    return ended ? status : -1;
}

int Join(pid_t pid) {
    const int status = Reap(pid);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void KillAndReap(pid_t pid) {
    if (pid <= 0) return;
    (void)kill(pid, SIGKILL);
    (void)Reap(pid);  // a child already reaped elsewhere is no longer ours to wait for
}

}  // namespace kstest
