// Main of the benchmark programs. They write "/tmp/kestRun.log" and read
// "/etc/resolv.conf" and the pid and flag files for real, so they refuse to
// run outside ks_sandbox's private namespace, where those paths are private.
#include <benchmark/benchmark.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef OVERLAYFS_SUPER_MAGIC
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#endif

namespace {

bool has_type(const char* path, long type) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && static_cast<long>(fs.f_type) == type;
}

bool in_sandbox() {
    const char* flag = std::getenv("KS_SANDBOX");
    return flag && std::strcmp(flag, "1") == 0 && has_type("/tmp", TMPFS_MAGIC) &&
           has_type("/run", TMPFS_MAGIC) && has_type("/etc", OVERLAYFS_SUPER_MAGIC) &&
           getppid() == 1;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!in_sandbox()) {
        std::fprintf(stderr, "the benchmarks run only under ks_sandbox (tools/bench runs them)\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
