// The pid and value file readers. Sandboxed: the files live under /tmp and
// the client pid file under /etc/ppp.
#include "ksProcUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "testkit.h"

using namespace kstest;

namespace {

TEST(KsProcUtils, FileContents_LeadingNumberOrNoValue) {
    const struct {
        const char* what;
        std::optional<std::string> content;  // nothing: no file
        unsigned pid;
        int value;
    } cases[] = {
        {"missing file", std::nullopt, 0, 0},
        {"empty file", "", 0, 0},
        {"letters", "abc 12\n", 0, 0},
        {"number and line end", "1234\n", 1234, 1234},
        {"leading blanks, trailing text", "  42 trailing", 42, 42},
        {"leading white space of every kind", "\t\n\v\f\r 17", 17, 17},
        {"digits then letters", "12abc", 12, 12},
        {"plus sign", "+7", 7, 7},
        {"minus sign", "-3", 0, -3},
        {"minus sign, line end", "-5\n", 0, -5},
        {"sign without digits", "- 3", 0, 0},
        {"two signs", "+-3", 0, 0},
        {"zero", "0\n", 0, 0},
        {"largest pid", "2147483647", 2147483647u, 2147483647},
        {"above the pid range", "2147483648", 0, 0},
        {"smallest int", "-2147483648", 0, -2147483647 - 1},
        {"below the int range", "-2147483649", 0, 0},
        {"unsigned overflow", "4294967296", 0, 0},
        {"far too long", "99999999999999999999999999", 0, 0},
        {"a number filling the whole read", std::string(4096, '7'), 0, 0},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir / "value";
        RemoveAll(path);
        if (c.content) {
            ASSERT_TRUE(WriteFile(path, *c.content));
        }
        EXPECT_EQ(get_pid_from_file(path.c_str()), c.pid);
        EXPECT_EQ(get_int_from_file(path.c_str()), c.value);
    }
}

TEST(KsProcUtils, NullPathAndDirectory_ReadAsNoValue) {
    TempDir dir;
    EXPECT_EQ(get_pid_from_file(nullptr), 0u);
    EXPECT_EQ(get_int_from_file(nullptr), 0);
    EXPECT_EQ(get_pid_from_file(dir.path().c_str()), 0u);
    EXPECT_EQ(get_int_from_file(dir.path().c_str()), 0);
}

// A FIFO planted at a pid file name reads as no value instead of hanging
// the reader until somebody writes to it.
TEST(KsProcUtils, Fifo_ReadsAsNoValueWithoutBlocking) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(get_pid_from_file(fifo.c_str()) == 0 && get_int_from_file(fifo.c_str()) == 0 ? 0 : 1);
    const int status = WaitForChild(child);
    const bool ended = status != -1;
    if (!ended) KillAndReap(child);
    ASSERT_TRUE(ended) << "the reader blocked on a FIFO";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(KsProcUtils, ClientPid_ReadFromEtcPpp) {
    EXPECT_EQ(sslvpn_get_kestrun_pid(), 0u);
    ASSERT_EQ(mkdir("/etc/ppp", 0755) == 0 || errno == EEXIST, true);
    ASSERT_TRUE(WriteFile("/etc/ppp/kestrun.pid", "4321\n"));
    EXPECT_EQ(sslvpn_get_kestrun_pid(), 4321u);
}

}  // namespace
