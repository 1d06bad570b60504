#include "monitor_kit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

namespace kstest::monitor {

namespace {
constexpr int kBodyReturned = 86;  // the exit status that says the child's body came back
}

std::vector<std::string> LogLines(const std::vector<LogEntry>& entries) {
    std::vector<std::string> lines;
    for (const auto& e : entries) lines.push_back(e.category + " " + e.priority + " " + e.message);
    return lines;
}

std::vector<std::string> LogLines() {
    return LogLines(ReadLog());
}

std::vector<std::string> CallerLogLines() {
    static const std::regex changed(R"(Changed \w+ log priority to \w+)");
    std::vector<LogEntry> own;
    for (const auto& e : ReadLog()) {
        if (e.message.starts_with("kslog initialized (") || std::regex_match(e.message, changed))
            continue;
        own.push_back(e);
    }
    return LogLines(own);
}

int CountEntries(const std::string& message_start) {
    int count = 0;
    for (const auto& e : ReadLog()) count += e.message.rfind(message_start, 0) == 0 ? 1 : 0;
    return count;
}

bool LogHas(const std::string& message) {
    for (const auto& e : ReadLog())
        if (e.message == message) return true;
    return false;
}

void InstallRepairStandin() {
    const auto script = ReadFile(KS_STANDIN_KESTRUN);
    if (!script || !WriteFile("/usr/sbin/kestRun", *script, 0755)) {
        std::fprintf(stderr, "cannot install the kestRun stand-in\n");
        std::abort();
    }
}

std::string Record(const std::string& path) {
    return ReadFile(path).value_or("");
}

int RecordLines(const std::string& path) {
    int lines = 0;
    for (const char c : Record(path)) lines += c == '\n' ? 1 : 0;
    return lines;
}

namespace {

pid_t StartStandin(const std::vector<std::string>& argv, const std::string& pid_file) {
    const pid_t pid = Spawn(argv);
    const std::string expected = std::to_string(pid) + "\n";
    if (pid <= 0 || !WaitFor([&] { return ReadFile(pid_file) == expected; })) {
        std::fprintf(stderr, "stand-in %s did not start\n", argv[0].c_str());
        std::abort();
    }
    return pid;
}

}  // namespace

pid_t StartPppd(const std::string& ifname, const std::string& record) {
    return StartStandin({KS_STANDIN_PPPD, ifname, record}, "/var/run/" + ifname + ".pid");
}

pid_t StartClient(const std::string& record) {
    return StartStandin({KS_STANDIN_CLIENT, record}, "/etc/ppp/kestrun.pid");
}

bool ChildOutcome::exited_with(int code) const {
    return !returned && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

ChildOutcome RunInChild(const std::function<void()>& body, std::chrono::milliseconds timeout) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(kBodyReturned);
    }
    ChildOutcome outcome;
    if (pid < 0) return outcome;
    outcome.status = WaitForChild(pid, timeout);
    if (outcome.status == -1) KillAndReap(pid);
    outcome.returned = outcome.status != -1 && WIFEXITED(outcome.status) &&
                       WEXITSTATUS(outcome.status) == kBodyReturned;
    return outcome;
}

std::vector<pid_t> MonitorChildren() {
    return ChildrenNamed("ksMonitor");
}

}  // namespace kstest::monitor
