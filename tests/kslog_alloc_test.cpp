// An entry allocates nothing from the C++ heap on its way into the file:
// the client is C, and an allocation that failed would throw std::bad_alloc
// through the C interface and end it. The global operator new below counts
// the allocations made while an entry is written; the paths that do the
// most (creating a missing log complete, rolling a full one and handing the
// new file over) must make none. Messages stay short, so the entry itself
// needs no memory either.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "in_sandbox.h"
#include "kslog.h"
#include "kslog_kit.h"
#include "testkit.h"

// The replacement allocates with malloc and frees with free, which the
// compiler cannot see pairs up when it inlines the library's calls.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting.load()) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace kstest;
using namespace kstest::kslog;
using ::testing::ElementsAre;

namespace {

// Longer than a short string's inline room, so a name built as a string on
// the way would have to allocate.
const std::string kLongHome = "/tmp/home-of-a-user-with-a-long-name";

struct AllocCase {
    std::string name;
    off_t existing;  // size of the log before the entry; -1: no log
};

void PrintTo(const AllocCase& c, std::ostream* os) {
    *os << c.name;
}

class KslogAlloc : public testing::TestWithParam<AllocCase> {};

TEST_P(KslogAlloc, EntryAllocatesNothing_LogCreatedOrRolled) {
    KS_SKIP_UNLESS_REAL_ROOT(KS_NEEDS_OTHER_USERS);
    const auto& c = GetParam();
    ASSERT_EQ(mkdir(kLongHome.c_str(), 0755), 0);
    ASSERT_EQ(setenv("HOME", kLongHome.c_str(), 1), 0);
    // The owner fix hands the new file over: the roll path at its longest.
    ASSERT_EQ(setenv("SUDO_UID", "1000", 1), 0);
    ASSERT_EQ(setenv("SUDO_GID", "1000", 1), 0);
    if (c.existing >= 0) {
        ASSERT_TRUE(WriteFile(DefaultLog(), LogFiller(static_cast<size_t>(c.existing))));
    }
    kslogInit();
    if (c.existing < 0) {
        ASSERT_EQ(unlink(DefaultLog().c_str()), 0);  // the owner fix made it
    }

    counting = true;
    kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, "%s", "entry");
    counting = false;

    EXPECT_EQ(allocations.load(), 0);
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre("entry"));
    struct stat st {};
    ASSERT_EQ(stat(DefaultLog().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1000u);
    kslogCleanup();
}

INSTANTIATE_TEST_SUITE_P(Paths, KslogAlloc,
                         testing::Values(AllocCase{"LogMissing", -1},
                                         AllocCase{"LogOverTheLimit", kRollSize + 1}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
