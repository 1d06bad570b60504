// Processes as the suites and benchmarks see them: /proc/<pid>/stat read
// in one place, and the children a test starts, stops and reaps.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kstest {

using namespace std::chrono_literals;

// The fields of /proc/<pid>/stat the tests look at.
struct ProcStat {
    std::string name;  // the command name, as between the parentheses
    char state = 0;    // 'R', 'S', 'T', 'Z'...
    pid_t ppid = 0;
};
// Nothing when the process is gone or the file cannot be read as one.
std::optional<ProcStat> ReadProcStat(pid_t pid);

// The process's state letter, or 0 when it is gone.
char ProcessState(pid_t pid);
// True while a process exists and is not a zombie.
bool ProcessRunning(pid_t pid);
// Our children of that command name, zombies among them: a program after
// detaching, when we are a child subreaper.
std::vector<pid_t> ChildrenNamed(const std::string& name);

// A child that waits to be killed: a live process for the probes.
pid_t StartSleeper();
// Waits, however long it takes, for a child of ours to end; its wait
// status, or -1 when it is no child of ours (a pid of 0 or below, from a
// failed start, never is).
int Reap(pid_t pid);
// The same within a time; -1 also when it has not ended by then.
int WaitForChild(pid_t pid, std::chrono::milliseconds timeout = 5000ms);
// Reap's exit code, or -1 when it did not exit normally.
int Join(pid_t pid);
// SIGKILL and reap one of our children, so no zombie answers a probe;
// a pid of 0 or below (a failed start) is left alone.
void KillAndReap(pid_t pid);

}  // namespace kstest
