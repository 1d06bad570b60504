// The cost of a log entry, beside the floor it stands on.
//
// The floor is a loop that makes the very system calls an entry needs, with
// the same bytes: open for appending, the lock, the descriptor's check, the
// name's check, the process id, one write of a ready-made entry, close.
// tools/bench divides the entry's rate by the floor's, for one writer and
// for several writer processes sharing the file as the product's do. The
// floor waits for the lock with the blocking flock; the entry, whose wait is
// bounded, polls a taken lock instead, and the writer processes show what
// that costs under contention.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "kslog.h"
#include "log_entries.h"
#include "processes.h"

namespace {

// Entries per writer process and iteration in the concurrent runs.
constexpr int kEntriesPerWriter = 1000;
// The file is emptied (outside the timing) this often, so neither loop
// reaches the size at which the facility rolls it.
constexpr long kTruncateEvery = 20000;

// Made once: the floor's loop must not pay for building the name.
const std::string& LogFile() {
    static const std::string name = kstest::DefaultLog();
    return name;
}

void InitLog() {
    static const bool done = [] {
        unsetenv("KSLOGPRIORITY");  // every category at info
        kslogInit();
        return true;
    }();
    (void)done;
}

void Empty() {
    if (truncate(LogFile().c_str(), 0) != 0 && errno != ENOENT) std::perror("truncate");
}

// The entry the benchmarks write: an info entry of the monitor's.
void WriteEntry() {
    KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "Monitoring processes:  ks=%d, pppd=%d", 1234,
                     5678);
}

// The same entry's bytes as the facility writes them, made once.
std::string EntryBytes() {
    struct timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    (void)localtime_r(&now.tv_sec, &local);
    char text[256];
    const int n = std::snprintf(
        text, sizeof text,
        "%02d/%02d/%04d %02d:%02d:%02d.%03lu [%-7.7s %-6.6s %6u] Monitoring processes:  ks=%d, "
        "pppd=%d\n",
        local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min,
        local.tm_sec, static_cast<unsigned long>(now.tv_nsec / 1000000), "general", "info",
        static_cast<unsigned>(getpid()), 1234, 5678);
    return std::string(text, static_cast<size_t>(n));
}

// The floor: the entry's system calls and nothing else.
void WriteFloor(const std::string& bytes) {
    const char* name = LogFile().c_str();
    const int fd = open(
        name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) return;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat opened {
    }, named{};
    (void)fstat(fd, &opened);
    (void)lstat(name, &named);
    benchmark::DoNotOptimize(getpid());
    benchmark::DoNotOptimize(write(fd, bytes.data(), bytes.size()));
    (void)close(fd);
}

// The entry and its floor run in the very same loop, so the ratio of the
// two compares only what one iteration does. The file is emptied now and
// then, untimed, so that it never grows to the size at which it is rolled.
template <typename WriteOne>
void RunEmptyingTheLog(benchmark::State& state, WriteOne write_one) {
    InitLog();
    Empty();
    long done = 0;
    for (auto _ : state) {
        write_one();
        if (++done % kTruncateEvery == 0) {
            state.PauseTiming();
            Empty();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_LogEntryEnabled(benchmark::State& state) {
    RunEmptyingTheLog(state, [] { WriteEntry(); });
}
BENCHMARK(BM_LogEntryEnabled);

void BM_LogFloor(benchmark::State& state) {
    const std::string bytes = EntryBytes();
    RunEmptyingTheLog(state, [&bytes] { WriteFloor(bytes); });
}
BENCHMARK(BM_LogFloor);

// Below the category's level: one look-up of the level, nothing formatted.
void BM_LogEntryDisabled(benchmark::State& state) {
    InitLog();
    int i = 0;
    for (auto _ : state) {
        KSLOG_DEBUG_FN(KSLOG_GENERAL, "Testing processes:  ks=%d, pppd=%d", i, i + 1);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogEntryDisabled);

// state.range(0) writer processes, each writing kEntriesPerWriter entries
// per iteration (the facility's, or the floor's when `floor` is set).
void RunWriters(benchmark::State& state, bool floor) {
    InitLog();
    const std::string bytes = EntryBytes();
    const int writers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        Empty();
        state.ResumeTiming();
        std::vector<pid_t> children;
        for (int w = 0; w < writers; ++w) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (int i = 0; i < kEntriesPerWriter; ++i)
                    floor ? WriteFloor(bytes) : WriteEntry();
                _exit(0);  // no exit handlers: the parent's log link stays
            }
            if (pid > 0) children.push_back(pid);
        }
        for (const pid_t pid : children) (void)kstest::Reap(pid);
        if (static_cast<int>(children.size()) != writers) state.SkipWithError("fork failed");
    }
    state.SetItemsProcessed(state.iterations() * writers * kEntriesPerWriter);
}

void BM_LogWriters(benchmark::State& state) {
    RunWriters(state, false);
}
void BM_LogWritersFloor(benchmark::State& state) {
    RunWriters(state, true);
}
BENCHMARK(BM_LogWriters)->Arg(1)->Arg(4)->Arg(8)->UseRealTime();
BENCHMARK(BM_LogWritersFloor)->Arg(1)->Arg(4)->Arg(8)->UseRealTime();

}  // namespace
