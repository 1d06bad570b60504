#include "testkit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "unique_fd.h"

extern char** environ;

namespace kstest {

TempDir::TempDir(const std::string& prefix) {
    std::string templ = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    path_ = templ;
}

TempDir::~TempDir() {
    RemoveAll(path_);
}

bool WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    const kestrun::unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.ok()) return false;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done == content.size() && fchmod(fd.get(), mode) == 0;
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void RemoveAll(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool RunResult::exited() const {
    return status != -1 && WIFEXITED(status);
}
int RunResult::exit_code() const {
    return exited() ? WEXITSTATUS(status) : -1;
}

namespace {

void apply_env(const EnvEdits& env) {
    for (const auto& edit : env) {
        const auto eq = edit.find('=');
        if (eq == std::string::npos)
            unsetenv(edit.c_str());
        else
            setenv(edit.substr(0, eq).c_str(), edit.c_str() + eq + 1, 1);
    }
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const EnvEdits& env) {
    apply_env(env);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::_Exit(127);
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const EnvEdits& env,
                     std::chrono::milliseconds timeout) {
    RunResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    kestrun::unique_fd out_read(out_pipe[0]), out_write(out_pipe[1]);
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return result;
    kestrun::unique_fd err_read(err_pipe[0]), err_write(err_pipe[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_write.get(), 1);
        dup2(err_write.get(), 2);
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        exec_child(argv, env);
    }
    // Only the child writes: our ends would keep the pipes from ending.
    out_write.reset();
    err_write.reset();
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    kestrun::unique_fd* pipes[2] = {&out_read, &err_read};
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    bool killed = false;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (!killed) kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                pipes[i]->reset();
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    // A child still writing gets EPIPE or SIGPIPE rather than block.
    out_read.reset();
    err_read.reset();
    // Output is closed; a program that detached may still hold it, but the
    // one we started is what we wait for, within the same deadline.
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            result.status = status;
            break;
        }
        if (r < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            (void)kill(pid, SIGKILL);
            result.status = Reap(pid);
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const EnvEdits& env) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
        }
        exec_child(argv, env);
    }
    return pid;
}

}  // namespace kstest
