// The monitor's heap over a long run, in process: a million ticks' worth of
// the tick functions (the flag check, the probes of two live processes, the
// DNS check on every fifth) allocate nothing and leave the heap as it was;
// a DNS check of a large resolver file allocates a few times, not per line.
//
// Allocations are counted by standing in for malloc and its kin in this
// program (glibc lets a program replace them) and handing each call on to
// glibc's own allocator; libstdc++'s operator new comes through malloc.
// The sanitized build has an allocator of its own, so it skips these.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "dns_watch.h"
#include "ks_monitor_flag.h"
#include "kslog.h"
#include "main_loop.h"
#include "monitor_config.h"
#include "process_watch.h"
#include "testkit.h"

namespace {
// Heap calls since the program started.
unsigned long allocations = 0;
}  // namespace

#if !KS_SANITIZED
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* old, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);

void* malloc(size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}
void* realloc(void* old, size_t size) {
    ++allocations;
    return __libc_realloc(old, size);
}
void* memalign(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    ++allocations;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}
void free(void* block) {
    __libc_free(block);
}
}
#endif

namespace {

using namespace kstest;

// What the heap holds: bytes in use, from the main arena and from mmap.
struct HeapUse {
    size_t in_use = 0;
    size_t mapped = 0;
    size_t arena = 0;
    bool operator==(const HeapUse&) const = default;
};

HeapUse Heap() {
    const struct mallinfo2 info = mallinfo2();
    return {info.uordblks, info.hblkhd, info.arena};
}

std::ostream& operator<<(std::ostream& out, const HeapUse& heap) {
    return out << heap.in_use << " in use, " << heap.mapped << " mapped, arena " << heap.arena;
}

// A resolver file mentioning every watched item, the items at the end after
// `filler` bytes of other lines, so each check reads the whole file.
std::string ResolverFile(size_t filler) {
    std::string text;
    for (int i = 0; text.size() < filler; ++i)
        text += i % 2 ? "nameserver 198.51.100." + std::to_string(i % 250) + "\n"
                      : "search other" + std::to_string(i) + ".example unrelated.example\n";
    text += "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch";
    for (int i = 0; i < 8; ++i) text += " s" + std::to_string(i) + ".corp.example";
    return text + "\n";
}

class KsMonitorHeap : public ::testing::Test {
  protected:
    void SetUp() override {
        if (KS_SANITIZED) GTEST_SKIP() << "the sanitizers replace the allocator counted here";
        // The count must see allocations made inside libc too (strdup).
        const unsigned long seen = allocations;
        free(strdup(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        ASSERT_GT(allocations, seen) << "the allocation counter is not in place";
        kslogInit();  // levels at info: the checks' debug entries are not written
        init_ks_monitor_flag();
        ks_pid_ = StartSleeper();
        pppd_pid_ = StartSleeper();
        ASSERT_GT(ks_pid_, 0);
        ASSERT_GT(pppd_pid_, 0);
        config_.ks_pid = static_cast<unsigned>(ks_pid_);
        config_.pppd_pid = static_cast<unsigned>(pppd_pid_);
        config_.dns1 = "10.0.0.1";
        config_.dns2 = "10.0.0.2";
        for (int i = 0; i < 8; ++i) {
            suffixes_[i] = "s" + std::to_string(i) + ".corp.example";
            config_.suffixes[i] = suffixes_[i].c_str();
        }
    }

    void TearDown() override {
        for (const pid_t pid : {ks_pid_, pppd_pid_}) KillAndReap(pid);
    }

    pid_t ks_pid_ = 0;
    pid_t pppd_pid_ = 0;
    std::string suffixes_[8];
    monitor_config config_;
};

TEST_F(KsMonitorHeap, MillionTicks_AllocateNothingAndLeaveTheHeapAsItWas) {
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", ResolverFile(200)));
    const watched_process ks = watch_process(ks_pid_);
    const watched_process pppd = watch_process(pppd_pid_);
    loop_counters counters;
    // A first round pays for what is set up once.
    for (int i = 0; i < 10; ++i) monitor_tick(counters, ks, pppd, config_);

    const unsigned long allocations_before = allocations;
    const HeapUse before = Heap();
    for (int i = 0; i < 1000000; ++i) monitor_tick(counters, ks, pppd, config_);
    const HeapUse after = Heap();
    EXPECT_EQ(allocations - allocations_before, 0u);
    EXPECT_EQ(after, before);
}

TEST_F(KsMonitorHeap, DnsCheckOfLargeFile_AllocatesAFewTimesNotPerLine) {
    // About 30,000 lines in 8 KiB chunks: a line cut by a chunk's end is
    // kept whole in a buffer whose capacity the check keeps.
    const std::string text = ResolverFile(1 << 20);
    ASSERT_TRUE(WriteFile("/etc/resolv.conf", text));
    test_dns(config_.dns1, config_.dns2, config_.suffixes);

    constexpr int kChecks = 20;
    const unsigned long allocations_before = allocations;
    const HeapUse before = Heap();
    for (int i = 0; i < kChecks; ++i) test_dns(config_.dns1, config_.dns2, config_.suffixes);
    EXPECT_EQ(Heap(), before);
    EXPECT_LE((allocations - allocations_before) / kChecks, 8u);
}

}  // namespace
