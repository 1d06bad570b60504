// The text of one entry when formatting it twice does not give the same
// result: a message longer than the inline buffer is measured, given memory
// and formatted again, and the second pass must stay within what the first
// measured; "%m" shows the caller's error however the facility's own calls
// and the allocation change errno in between. Meant to run under
// AddressSanitizer, which reports any byte read or written past the heap
// buffer; the plain build checks the bytes in the file.
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <printf.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kslog.h"
#include "kslog_kit.h"
#include "testkit.h"

#if defined(__SANITIZE_ADDRESS__)
#define KS_HAVE_MALLOC_HOOKS 1
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// The sanitizers' runtime has it; g++ does not always ship its header.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));
#endif
#endif

using namespace kstest;
using namespace kstest::kslog;
using ::testing::ElementsAre;

namespace {

// Longer than the inline buffer, so every message below takes the heap path.
const std::string kLong(3000, 'm');

// "%Y": a conversion that takes no argument and prints more on its second
// call than on its first, as an argument another thread changes between
// the two passes would.
int growing_calls = 0;

int PrintGrowing(FILE* stream, const struct printf_info*, const void* const*) {
    const std::string out = ++growing_calls == 1 ? "ab" : std::string(500, 'X');
    return std::fputs(out.c_str(), stream) < 0 ? -1 : static_cast<int>(out.size());
}

int GrowingArgs(const struct printf_info*, size_t, int*, int*) {
    return 0;
}

TEST(KslogEntryOverflow, SecondPassLonger_CappedAtWhatWasMeasured) {
    ASSERT_EQ(register_printf_specifier('Y', PrintGrowing, GrowingArgs), 0);
    kslogInit();
    // Not literals: the compiler's format check does not know "%Y". With the
    // line end, the cut also takes the message's own line end away.
    for (const char* format : {"%s%Y|", "%s%Y\n"}) {
        SCOPED_TRACE(format);
        ASSERT_TRUE(WriteFile(DefaultLog(), ""));
        growing_calls = 0;
        kslogWrite_private(KSLOG_INFO, KSLOG_GENERAL, format, kLong.c_str());
        ASSERT_EQ(growing_calls, 2);  // measured, then formatted again
        // The first pass measured the text, "ab" and one more byte: the
        // second keeps that many bytes of its longer output, and the entry
        // still ends its line, once.
        EXPECT_THAT(Messages(DefaultLog()), ElementsAre(kLong + "XXX"));
    }
}

// %m in short and long messages alike: the caller's error, and errno as
// the caller left it afterwards.
TEST(KslogEntryOverflow, PercentM_ShowsTheCallersError) {
    kslogInit();
    for (const std::string& text : {std::string("short"), kLong}) {
        SCOPED_TRACE(text.size());
        ASSERT_TRUE(WriteFile(DefaultLog(), ""));
        errno = EACCES;
        kslogWrite_private(KSLOG_ERROR, KSLOG_GENERAL, "%s: %m", text.c_str());
        EXPECT_EQ(errno, EACCES);
        EXPECT_THAT(Messages(DefaultLog()), ElementsAre(text + ": " + std::strerror(EACCES)));
    }
}

#if KS_HAVE_MALLOC_HOOKS
// While armed, every allocation leaves errno at a value whose text is longer
// than the caller's: a second pass that formatted with it would overrun.
bool hook_armed = false;
int hook_calls = 0;

void ClobberErrno(const volatile void*, size_t) {
    if (!hook_armed) return;
    ++hook_calls;
    errno = ENOTRECOVERABLE;
}

void IgnoreFree(const volatile void*) {}
#endif

TEST(KslogEntryOverflow, PercentM_CallersErrorAfterAllocationChangedErrno) {
#if KS_HAVE_MALLOC_HOOKS
    ASSERT_NE(__sanitizer_install_malloc_and_free_hooks(ClobberErrno, IgnoreFree), 0);
    kslogInit();
    ASSERT_TRUE(WriteFile(DefaultLog(), ""));
    ASSERT_GT(std::strlen(std::strerror(ENOTRECOVERABLE)), std::strlen(std::strerror(EIO)));
    errno = EIO;
    hook_armed = true;
    kslogWrite_private(KSLOG_ERROR, KSLOG_GENERAL, "%s: %m", kLong.c_str());
    hook_armed = false;
    EXPECT_EQ(errno, EIO);
    EXPECT_GE(hook_calls, 1);  // the message's memory came through the hook
    EXPECT_THAT(Messages(DefaultLog()), ElementsAre(kLong + ": " + std::strerror(EIO)));
#else
    GTEST_SKIP() << "allocation hooks come with the sanitizers' runtime (build with KS_SANITIZE)";
#endif
}

}  // namespace
