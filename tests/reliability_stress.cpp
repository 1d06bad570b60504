// Stress across rotation: writer processes of several users append numbered,
// checksummed entries through the log facility while the file rolls over;
// a checker then proves every entry is present exactly once, whole, in
// order, and that no roll file was replaced before it was full. Runs inside
// ks_sandbox only (it uses the real shared link "/tmp/kestRun.log").
//
//   reliability_stress writer ID COUNT [naive]
//       one writer: COUNT entries "S <ID> <seq> <len> <sum> <payload>";
//       "naive" rotates without the facility: size checked and the file
//       renamed before any lock (test-only, to show the checker catches it)
//   reliability_stress run [--writers N] [--entries N] [--prefill | --over]
//                          [--archive] [--naive] [--rounds N]
//       a whole run in DIR=/tmp/stress: the shared link, N writers (a third
//       as uid 65534 through setpriv, the rest root with SUDO_UID=65534),
//       started together, optionally the log prefilled to just under the
//       limit (one crossing with few entries) or just over it (the first
//       entry rolls it), optionally an inotify watcher that hard-links each
//       new roll file into DIR/archive; then the check, and whether the log
//       left standing is still the user's. --rounds repeats all that. Prints
//       one line "entries=... lost=... duplicated=... torn=... out_of_order=...
//       generations=... short_generations=... failed_writers=... rounds=...
//       foreign_logs=..." (summed over the rounds) and exits 0 when all are
//       0 (and, with --naive, 0 too: the line tells).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kslog.h"

namespace {

constexpr const char* kDir = "/tmp/stress";
constexpr const char* kLink = "/tmp/kestRun.log";
constexpr off_t kRollSize = 10485760;
constexpr uid_t kUser = 65534;

std::string LogName() {
    return std::string(kDir) + "/.kestRun.log";
}

uint32_t Fnv1a(const char* data, size_t len) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 16777619u;
    return h;
}

// Entry seq of writer id: mostly short, every 13th far longer than 4 KiB.
std::string Message(int id, long seq) {
    const size_t len = seq % 13 == 0 ? 4097 + static_cast<size_t>(seq * 7919 % 6000)
                                     : 40 + static_cast<size_t>(seq * 31 % 700);
    std::string payload(len, ' ');
    uint32_t x = static_cast<uint32_t>(id * 1000003 + seq);
    for (auto& c : payload) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>('a' + (x >> 16) % 26);
    }
    char head[96];
    std::snprintf(head, sizeof head, "S %d %ld %zu %08" PRIx32 " ", id, seq, len,
                  Fnv1a(payload.data(), len));
    return head + payload;
}

// The test-only naive writer: the rotation checks the size and renames the
// file before taking any lock, so two writers can both roll, the second
// moving the fresh file over the full roll file.
void NaiveWrite(const std::string& message) {
    const std::string log = LogName(), roll = log + ".0";
    struct stat st {};
    if (stat(log.c_str(), &st) == 0 && st.st_size > kRollSize) {
        // The preemption a loaded machine brings between the two steps, so
        // that a run of a few hundred entries shows the race reliably.
        usleep(200);
        (void)rename(log.c_str(), roll.c_str());
    }
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const std::string entry = "01/01/2026 00:00:00.000 [general info   " +
                              std::to_string(getpid()) + "] " + message + "\n";
    (void)!write(fd, entry.data(), entry.size());
    close(fd);
}

// Writers started for one round wait at the gate (the read end of a pipe
// named by STRESS_GATE) until the last of them has been started.
void WaitAtGate() {
    const char* gate = std::getenv("STRESS_GATE");
    if (gate == nullptr) return;
    const int fd = std::atoi(gate);
    char byte;
    while (read(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    close(fd);
}

int Writer(int id, long count, bool naive) {
    WaitAtGate();
    if (!naive) kslogInit();
    for (long seq = 0; seq < count; ++seq) {
        const std::string message = Message(id, seq);
        if (naive)
            NaiveWrite(message);
        else
            KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "%s", message.c_str());
    }
    return 0;
}

// ---- the checker

struct Report {
    size_t entries = 0, lost = 0, duplicated = 0, torn = 0, out_of_order = 0;
    size_t generations = 0, short_generations = 0;
    bool clean() const { return lost + duplicated + torn + out_of_order + short_generations == 0; }
};

// Reads the files in generation order (oldest first). Lines that are no
// entry of a writer must be the prefill's filler.
Report Check(const std::vector<std::string>& files, int writers, long count) {
    Report r;
    std::map<std::pair<int, long>, int> seen;
    std::vector<long> last(static_cast<size_t>(writers), -1);
    for (const auto& path : files) {
        FILE* f = std::fopen(path.c_str(), "re");
        if (!f) continue;
        char* line = nullptr;
        size_t cap = 0;
        ssize_t n;
        while ((n = getline(&line, &cap, f)) > 0) {
            std::string text(line, static_cast<size_t>(n));
            if (text.back() != '\n') {
                ++r.torn;  // the file ends inside a line
                continue;
            }
            text.pop_back();
            if (text.find_first_not_of('F') == std::string::npos) continue;  // filler
            const size_t at = text.find("] S ");
            int id = -1;
            long seq = -1;
            size_t len = 0;
            uint32_t sum = 0;
            int used = 0;
            if (at == std::string::npos ||
                std::sscanf(text.c_str() + at + 2, "S %d %ld %zu %" SCNx32 " %n", &id, &seq, &len,
                            &sum, &used) != 4 ||
                id < 0 || id >= writers || seq < 0 || seq >= count) {
                ++r.torn;
                continue;
            }
            const char* payload = text.c_str() + at + 2 + used;
            const size_t have = text.size() - (at + 2 + static_cast<size_t>(used));
            if (have != len || Fnv1a(payload, len) != sum ||
                text.compare(at + 2, std::string::npos, Message(id, seq)) != 0) {
                ++r.torn;
                continue;
            }
            ++r.entries;
            if (++seen[{id, seq}] > 1) ++r.duplicated;
            if (seq <= last[static_cast<size_t>(id)]) ++r.out_of_order;
            last[static_cast<size_t>(id)] = seq;
        }
        std::free(line);
        std::fclose(f);
    }
    for (int id = 0; id < writers; ++id)
        for (long seq = 0; seq < count; ++seq)
            if (seen.find({id, seq}) == seen.end()) ++r.lost;
    return r;
}

// ---- the watcher: every roll file, hard-linked the moment it appears

class Watcher {
  public:
    explicit Watcher(const std::string& archive) : archive_(archive) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ < 0 || inotify_add_watch(fd_, kDir, IN_MOVED_TO) < 0) {
            std::perror("inotify");
            std::exit(2);
        }
        thread_ = std::thread([this] { Loop(); });
    }
    ~Watcher() {
        stop_ = true;
        thread_.join();
        Drain();
        close(fd_);
    }

  private:
    void Loop() {
        while (!stop_) {
            Drain();
            usleep(200);
        }
    }
    void Drain() {
        alignas(inotify_event) char buf[8192];
        for (;;) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                if (ev->len > 0 && std::strcmp(ev->name, ".kestRun.log.0") == 0) Archive();
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
    }
    void Archive() {
        const std::string roll = LogName() + ".0";
        struct stat st {};
        if (stat(roll.c_str(), &st) != 0 || !inodes_.insert(st.st_ino).second) return;
        char name[32];
        std::snprintf(name, sizeof name, "/gen-%05zu", archived_.size());
        if (link(roll.c_str(), (archive_ + name).c_str()) == 0)
            archived_.push_back(archive_ + name);
    }

    std::string archive_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::set<ino_t> inodes_;
    std::vector<std::string> archived_;
};

std::string Self() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) std::exit(2);
    return std::string(path, static_cast<size_t>(n));
}

// Everything the child needs is built before the fork: the watcher thread
// may hold an allocator lock at that moment, and the child must not wait
// on it between fork and exec.
pid_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> vars;
    for (char** e = environ; *e; ++e) {
        const std::string_view var(*e);
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& mine) {
            return var.substr(0, var.find('=') + 1) == mine.substr(0, mine.find('=') + 1);
        });
        if (!replaced) vars.push_back(*e);
    }
    for (const auto& e : env) vars.push_back(const_cast<char*>(e.c_str()));
    vars.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    execvpe(args[0], args.data(), vars.data());
    _exit(127);
}

struct Options {
    int writers = 6;
    long entries = 400;
    bool prefill = false;  // the log starts just under the limit
    bool over = false;     // ... or just over it, so the first entry rolls it
    bool archive = false;
    bool naive = false;
    int rounds = 1;
};

// What one round found: the checker's report, the writers that failed, and
// whether the log standing at the end is still the user's.
struct Round {
    Report report;
    int failed = 0;
    bool log_the_users = true;
};

Round RunRound(const Options& o) {
    Round result;
    const int writers = o.writers;
    const long count = o.entries;
    const bool prefill = o.prefill || o.over, archive = o.archive, naive = o.naive;
    std::filesystem::remove_all(kDir);
    std::filesystem::create_directories(std::string(kDir) + "/archive");
    (void)unlink(kLink);
    const std::string log = LogName();
    if (symlink(log.c_str(), kLink) != 0) std::exit(2);
    {
        // The log as the first process leaves it, given to the user the
        // root writers' SUDO_UID names, in a directory that user may write.
        std::string filler;
        if (prefill) {
            const size_t size = o.over ? static_cast<size_t>(kRollSize) + 64
                                       : static_cast<size_t>(kRollSize) - (512 << 10);
            filler.reserve(size);
            while (filler.size() + 64 <= size) filler.append(63, 'F').push_back('\n');
        }
        FILE* f = std::fopen(log.c_str(), "we");
        if (!f || std::fwrite(filler.data(), 1, filler.size(), f) != filler.size()) std::exit(2);
        std::fclose(f);
        if (chown(log.c_str(), kUser, kUser) != 0 || chown(kDir, kUser, kUser) != 0) std::exit(2);
    }
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0 || fcntl(gate[0], F_SETFD, 0) != 0) std::exit(2);
    const std::string gate_var = "STRESS_GATE=" + std::to_string(gate[0]);
    const Watcher* watcher = archive ? new Watcher(std::string(kDir) + "/archive") : nullptr;
    const std::string self = Self();
    std::vector<pid_t> pids;
    for (int id = 0; id < writers; ++id) {
        std::vector<std::string> argv = {self, "writer", std::to_string(id), std::to_string(count)};
        if (naive) argv.push_back("naive");
        // A third of the writers are an ordinary user; the rest root with
        // SUDO_UID naming that user (the naive writers all root).
        if (!naive && id % 3 == 2)
            argv.insert(argv.begin(),
                        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        pids.push_back(
            Start(argv, {"SUDO_UID=65534", "SUDO_GID=65534", "KSLOGPRIORITY=info", gate_var}));
    }
    // All started: they set out together.
    close(gate[0]);
    close(gate[1]);
    int failed = 0;
    for (const pid_t pid : pids) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    std::vector<std::string> files;
    size_t short_generations = 0;
    if (watcher) {
        delete watcher;  // after its last look for a new roll file
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(kDir) + "/archive"))
            files.push_back(entry.path());
        std::sort(files.begin(), files.end());  // gen-00000 first
        for (const auto& f : files)
            if (std::filesystem::file_size(f) <= static_cast<uintmax_t>(kRollSize))
                ++short_generations;
    } else {
        files.push_back(log + ".0");
        struct stat st {};
        if (stat(files.back().c_str(), &st) == 0 && st.st_size <= kRollSize) ++short_generations;
    }
    files.push_back(log);
    result.report = Check(files, writers, count);
    result.report.generations = files.size() - 1;
    result.report.short_generations = short_generations;
    result.failed = failed;
    struct stat st {};
    result.log_the_users =
        naive || (stat(log.c_str(), &st) == 0 && st.st_uid == kUser && st.st_gid == kUser);
    return result;
}

// Runs the rounds and prints the sums over them in one line (and, for more
// than one round, each round's line before it).
int Run(const Options& o) {
    Report total;
    int failed = 0, foreign_logs = 0;
    for (int round = 0; round < o.rounds; ++round) {
        const Round r = RunRound(o);
        if (o.rounds > 1)
            std::printf(
                "round %d: entries=%zu lost=%zu duplicated=%zu torn=%zu out_of_order=%zu "
                "log_the_users=%d\n",
                round, r.report.entries, r.report.lost, r.report.duplicated, r.report.torn,
                r.report.out_of_order, r.log_the_users ? 1 : 0);
        total.entries += r.report.entries;
        total.lost += r.report.lost;
        total.duplicated += r.report.duplicated;
        total.torn += r.report.torn;
        total.out_of_order += r.report.out_of_order;
        total.generations += r.report.generations;
        total.short_generations += r.report.short_generations;
        failed += r.failed;
        if (!r.log_the_users) ++foreign_logs;
    }
    std::printf(
        "entries=%zu expected=%ld lost=%zu duplicated=%zu torn=%zu out_of_order=%zu "
        "generations=%zu short_generations=%zu failed_writers=%d rounds=%d foreign_logs=%d\n",
        total.entries, o.writers * o.entries * o.rounds, total.lost, total.duplicated, total.torn,
        total.out_of_order, total.generations, total.short_generations, failed, o.rounds,
        foreign_logs);
    return total.clean() && failed == 0 && foreign_logs == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "writer") == 0)
        return Writer(std::atoi(argv[2]), std::atol(argv[3]),
                      argc > 4 && std::strcmp(argv[4], "naive") == 0);
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
        Options o;
        for (int i = 2; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--writers" && i + 1 < argc)
                o.writers = std::atoi(argv[++i]);
            else if (a == "--entries" && i + 1 < argc)
                o.entries = std::atol(argv[++i]);
            else if (a == "--rounds" && i + 1 < argc)
                o.rounds = std::max(1, std::atoi(argv[++i]));
            else if (a == "--prefill")
                o.prefill = true;
            else if (a == "--over")
                o.over = true;
            else if (a == "--archive")
                o.archive = true;
            else if (a == "--naive")
                o.naive = true;
            else
                return 2;
        }
        if (!std::getenv("KS_SANDBOX")) {
            std::fprintf(stderr, "reliability_stress runs only under ks_sandbox\n");
            return 2;
        }
        return Run(o);
    }
    std::fprintf(stderr, "usage: reliability_stress writer ID COUNT [naive] | run [options]\n");
    return 2;
}
