// The monitor's work per tick: the readers of its pid and flag files, the
// flag check, the process watch's probes, the DNS check on resolver files
// from the typical few lines to 2 MiB (tools/bench takes the 2 MiB / 1 MiB
// ratio for linearity), the resolver scan alone, and whole ticks.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <string>

#include "bench_files.h"
#include "dns_watch.h"
#include "ksProcUtils.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "main_loop.h"
#include "monitor_config.h"
#include "process_watch.h"
#include "resolver_scan.h"
#include "testkit.h"

namespace {

using namespace ksbench;
using kstest::KillAndReap;
using kstest::StartSleeper;
using kstest::WriteFile;

// The tunnel's settings of the DNS workload (bench_files.h).
struct Settings {
    std::array<std::string, 8> suffix_text;
    dns_suffix_list suffixes{};
    Settings() {
        for (int i = 0; i < 8; ++i) {
            suffix_text[i] = Suffix(i);
            suffixes[i] = suffix_text[i].c_str();
        }
    }
};

const Settings& settings() {
    static const Settings s;
    return s;
}

// The log at info, the flag set, the pid files written: the monitor's
// state once it runs its loop.
void Setup() {
    static const bool done = [] {
        unsetenv("KSLOGPRIORITY");
        kslogInit();
        init_ks_monitor_flag();
        (void)mkdir("/etc/ppp", 0755);
        return WriteFile("/etc/ppp/kestrun.pid", std::to_string(getpid()) + "\n");
    }();
    if (!done) std::abort();
}

void BM_GetPidFromFile(benchmark::State& state) {
    Setup();
    for (auto _ : state) benchmark::DoNotOptimize(get_pid_from_file("/etc/ppp/kestrun.pid"));
}
BENCHMARK(BM_GetPidFromFile);

void BM_GetIntFromFile(benchmark::State& state) {
    Setup();
    for (auto _ : state)
        benchmark::DoNotOptimize(get_int_from_file("/var/run/com.valdrane.kestrun.ksMonitor"));
}
BENCHMARK(BM_GetIntFromFile);

void BM_GetIntFromMissingFile(benchmark::State& state) {
    Setup();
    for (auto _ : state) benchmark::DoNotOptimize(get_int_from_file("/var/run/no-such-file"));
}
BENCHMARK(BM_GetIntFromMissingFile);

void BM_AssertKsMonitorFlag(benchmark::State& state) {
    Setup();
    for (auto _ : state) assert_ks_monitor_flag();
}
BENCHMARK(BM_AssertKsMonitorFlag);

// Two live processes probed as the process watch does, through their
// process descriptors.
void BM_TestProcesses(benchmark::State& state) {
    Setup();
    const pid_t a = StartSleeper(), b = StartSleeper();
    {
        const watched_process ks = watch_process(a), pppd = watch_process(b);
        for (auto _ : state) test_processes(ks, pppd);
    }
    KillAndReap(a);
    KillAndReap(b);
}
BENCHMARK(BM_TestProcesses);

// test_dns on a resolver file of range(0) bytes (0: the typical file).
void BM_TestDns(benchmark::State& state) {
    Setup();
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string text = ResolverFile(size);
    if (!WriteFile("/etc/resolv.conf", text)) state.SkipWithError("cannot write /etc/resolv.conf");
    const Settings& s = settings();
    for (auto _ : state) test_dns(kServer1, kServer2, s.suffixes);
    state.SetBytesProcessed(state.iterations() * static_cast<long>(text.size()));
    state.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_TestDns)
    ->Arg(0)
    ->Arg(1 << 10)
    ->Arg(1 << 20)
    ->Arg(2 << 20)
    ->Unit(benchmark::kMicrosecond);

// The judging alone, on the same text in memory.
void BM_ResolverScan(benchmark::State& state) {
    const std::string text = ResolverFile(static_cast<size_t>(state.range(0)));
    const Settings& s = settings();
    for (auto _ : state)
        benchmark::DoNotOptimize(scan_resolver_text(text, kServer1, kServer2, s.suffixes));
    state.SetBytesProcessed(state.iterations() * static_cast<long>(text.size()));
}
BENCHMARK(BM_ResolverScan)->Arg(0)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// Whole ticks without their sleep: a steady tick (flag and probes), and the
// average over a cycle of five ticks, one of which checks the typical file.
void RunTicks(benchmark::State& state, bool with_dns) {
    Setup();
    if (!WriteFile("/etc/resolv.conf", ResolverFile(0)))
        state.SkipWithError("cannot write /etc/resolv.conf");
    const pid_t a = StartSleeper(), b = StartSleeper();
    {
        const watched_process ks = watch_process(a), pppd = watch_process(b);
        monitor_config config;
        config.ks_pid = static_cast<unsigned>(a);
        config.pppd_pid = static_cast<unsigned>(b);
        if (with_dns) {
            config.dns1 = kServer1;
            config.dns2 = kServer2;
            config.suffixes = settings().suffixes;
        }
        loop_counters counters;
        for (auto _ : state) {
            if (!with_dns) counters.dns = 0;  // never reaches the DNS check
            monitor_tick(counters, ks, pppd, config);
        }
    }
    KillAndReap(a);
    KillAndReap(b);
}

void BM_SteadyTick(benchmark::State& state) {
    RunTicks(state, false);
}
BENCHMARK(BM_SteadyTick);

void BM_TickCycleWithDnsCheck(benchmark::State& state) {
    RunTicks(state, true);
}
BENCHMARK(BM_TickCycleWithDnsCheck);

}  // namespace
