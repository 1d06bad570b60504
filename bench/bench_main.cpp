// Main of the benchmark programs. They write "/tmp/kestRun.log" and read
// "/etc/resolv.conf" and the pid and flag files for real, so they refuse to
// run outside ks_sandbox's private namespace, where those paths are private.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "in_sandbox.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!kstest::InSandbox()) {
        std::fprintf(stderr, "the benchmarks run only under ks_sandbox (tools/bench runs them)\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
