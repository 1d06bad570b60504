// Small helpers shared by the test suites and the benchmarks: temporary
// directories, whole-file reads and writes, bounded waiting, running
// programs, and (processes.h) the processes they start.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "processes.h"

namespace kstest {

using namespace std::chrono_literals;

// A directory under /tmp, removed with everything in it on destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "kstest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes (creating or truncating) a file; returns false on any failure.
bool WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// Removes a path and everything below it; absent paths are fine.
void RemoveAll(const std::string& path);
// Whether anything stands at the name (a dangling link does).
bool Exists(const std::string& path);

// Polls every few milliseconds until the predicate holds or the time is up.
bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 5000ms);

struct RunResult {
    int status = -1;  // as from waitpid; -1 when the program could not be waited for
    std::string out;  // what it wrote to standard output
    std::string err;  // what it wrote to standard error
    bool exited() const;
    int exit_code() const;  // -1 unless it exited normally
};

// Environment changes for a child: "NAME=value" sets, "NAME" (no '=') unsets.
using EnvEdits = std::vector<std::string>;

// Runs argv[0] (searched on PATH) with the edits applied to this process's
// environment, waits up to the timeout (then kills it), and captures output.
RunResult RunProgram(const std::vector<std::string>& argv, const EnvEdits& env = {},
                     std::chrono::milliseconds timeout = 10000ms);

// Starts a program in the background with its streams on /dev/null.
pid_t Spawn(const std::vector<std::string>& argv, const EnvEdits& env = {});

}  // namespace kstest
