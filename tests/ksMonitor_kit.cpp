#include "ksMonitor_kit.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace kstest::monitor {

namespace {
constexpr int kBodyReturned = 86;  // the exit status that says the child's body came back
}

std::string LogFilePath() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.kestRun.log";
}

std::vector<LogEntry> ReadLog() {
    static const std::regex prefix(
        R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \[(.{7}) (.{6}) +(\d+)\] (.*)$)");
    std::vector<LogEntry> entries;
    const auto text = ReadFile(LogFilePath());
    if (!text) return entries;
    std::istringstream in(*text);
    std::string line;
    std::smatch m;
    auto trimmed = [](std::string s) { return s.substr(0, s.find_last_not_of(' ') + 1); };
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, prefix)) {
            entries.push_back({trimmed(m[1]), trimmed(m[2]), std::stol(m[3]), m[4]});
        } else if (!entries.empty()) {
            entries.back().message += "\n" + line;
        } else {
            entries.push_back({"?", "?", 0, line});
        }
    }
    return entries;
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

void KillAndReap(pid_t pid) {
    (void)kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

int WaitForChild(pid_t pid, std::chrono::milliseconds timeout) {
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

char ProcessState(pid_t pid) {
    const auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return 0;
    const auto close_paren = stat->rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= stat->size()) return 0;
    return (*stat)[close_paren + 2];
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
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        const auto comm = ReadFile("/proc/" + std::to_string(pid) + "/comm");
        const auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        if (!comm || !stat || *comm != "ksMonitor\n") continue;
        // The fields after the name, which may itself hold ") ".
        const auto close = stat->rfind(')');
        int ppid = 0;
        char state = 0;
        if (close != std::string::npos &&
            std::sscanf(stat->c_str() + close + 2, "%c %d", &state, &ppid) == 2 && ppid == getpid())
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

}  // namespace kstest::monitor
