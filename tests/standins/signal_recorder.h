// Shared by the stand-ins for pppd and the client: the process announces
// itself in its pid file, then records every signal it receives, one line
// "<signal> <sender pid>" each, and ends with status 0 on SIGTERM, as both
// real programs do.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace standin {

inline bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

inline bool append_line(const std::string& path, const std::string& line) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write_all(fd, line);
    close(fd);
    return ok;
}

// Written under a temporary name and renamed, so a reader never sees a
// half-written pid.
inline bool write_pid_file(const std::string& path) {
    const std::string temp = path + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write_all(fd, std::to_string(getpid()) + "\n");
    close(fd);
    return ok && rename(temp.c_str(), path.c_str()) == 0;
}

inline int record_signals(const std::string& pid_file, const std::string& record) {
    // Blocked before the pid file appears: whoever waits for that file may
    // signal at once, and every signal must be seen, none acted on by default.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    if (!write_pid_file(pid_file)) {
        std::perror(pid_file.c_str());
        return 1;
    }
    for (;;) {
        siginfo_t info{};
        const int signal = sigwaitinfo(&all, &info);
        if (signal < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        append_line(record, std::to_string(signal) + " " + std::to_string(info.si_pid) + "\n");
        if (signal == SIGTERM) return 0;
    }
}

}  // namespace standin
