// The uninstaller's pid file reading, settings scan and shell quoting, in
// process. The program as a whole is tested in uninstallKestrun_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <thread>

#include "epc_setting.h"
#include "running_client.h"
#include "shell_quote.h"
#include "terminal_text.h"
#include "testkit.h"
#include "unique_fd.h"

using namespace kstest;

namespace {

// The scan on text that arrives through a pipe in pieces of `piece` bytes,
// so that reads end at every kind of place in a line.
std::optional<bool> ScanThroughPipe(const std::string& text, size_t piece) {
    (void)signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    kestrun::unique_fd reader(fds[0]);
    std::thread writer([fd = kestrun::unique_fd(fds[1]), &text, piece] {
        for (size_t at = 0; at < text.size(); at += piece) {
            const size_t n = std::min(piece, text.size() - at);
            if (write(fd.get(), text.data() + at, n) != static_cast<ssize_t>(n)) return;
        }
    });
    const auto result = uninstall::epc_removal_requested(reader.get());
    // A scan that stops early leaves the writer blocked: closing our end
    // ends its writes (EPIPE; SIGPIPE is ignored in this process for that).
    reader.reset();
    writer.join();
    return result;
}

// The pid file's number for text as the file's content.
std::optional<unsigned> PidOf(const std::string& text) {
    const kestrun::unique_fd fd(memfd_create("pid", MFD_CLOEXEC));
    EXPECT_TRUE(fd.ok());
    EXPECT_EQ(write(fd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
    return uninstall::read_client_pid(fd.get());
}

TEST(UninstallSteps, PidFileRead_UnsignedDecimalWithOptionalPlus) {
    const std::optional<unsigned> none;
    const struct {
        std::string text;
        std::optional<unsigned> pid;
    } cases[] = {
        {"1234\n", 1234u},
        {"1234", 1234u},
        {" \t\n\v\f\r1234kestRun trailing junk\n", 1234u},
        {"+1234\n", 1234u},
        {"  +1234\n", 1234u},
        {"0\n", 0u},
        {"4294967295\n", UINT_MAX},
        {"+4294967295\n", UINT_MAX},
        {"0000000000000000000004294967295\n", UINT_MAX},
        // The number stands within the first 4 KiB, or there is none.
        {std::string(4093, ' ') + "42\n", 42u},
        // Digits up to the end of the head may go on beyond it.
        {std::string(4094, ' ') + "42", none},
        {std::string(4094, ' ') + "42\n", none},
        {std::string(4096, ' ') + "42\n", none},
        {std::string(1 << 20, ' ') + "42\n", none},
        {"", none},
        {" \n\t ", none},
        {"-1234\n", none},
        {"-0\n", none},
        {"+\n", none},
        {"++1234\n", none},
        {"+-1234\n", none},
        {"-+1234\n", none},
        {"+ 1234\n", none},
        {"4294967296\n", none},
        {"+4294967296\n", none},
        {"99999999999999999999999\n", none},
        {std::string(4 << 20, '7'), none},
        {"kestRun 1234\n", none},
        {std::string(1, '\0') + "1234", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        EXPECT_EQ(PidOf(c.text), c.pid);
    }
}

TEST(UninstallSteps, PidFileRead_ReadsNoMoreThanTheHead) {
    // White space with no end in sight: the reading stops at 4 KiB.
    const std::string text(size_t{1} << 20, ' ');
    const kestrun::unique_fd fd(memfd_create("pid", MFD_CLOEXEC));
    ASSERT_TRUE(fd.ok());
    ASSERT_EQ(write(fd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(uninstall::read_client_pid(fd.get()), std::nullopt);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), static_cast<off_t>(uninstall::kPidFileLimit));
}

TEST(UninstallSteps, SettingsScan_SameVerdictWhereverReadsEnd) {
    const std::string key = "uninstallEpcOnUninstall=";
    const struct {
        std::string text;
        bool on;
    } cases[] = {
        {key + "true\n", true},
        {key + "true\n" + key + "false\n", false},
        {"junk\n" + key + "tru", false},
        {"junk\n" + key + "true", true},
        {"x" + key + "true\n", false},
        {std::string(5000, 'x') + key + "true\n", false},
        {std::string(5000, 'x') + "\n" + key + "true\n", true},
    };
    for (const auto& c : cases) {
        for (const size_t piece : {size_t{1}, size_t{3}, size_t{4096}, size_t{1} << 20}) {
            SCOPED_TRACE(c.text.substr(0, 60) + " in pieces of " + std::to_string(piece));
            EXPECT_EQ(ScanThroughPipe(c.text, piece), std::optional<bool>(c.on));
        }
    }
}

TEST(UninstallSteps, SettingsScan_NoVerdictPastOneMiB) {
    // The setting on as the last line of a file of exactly `size` bytes.
    const auto text_of = [](size_t size) {
        const std::string last = "uninstallEpcOnUninstall=true\n";
        return std::string(size - last.size() - 1, 'x') + "\n" + last;
    };
    const size_t limit = uninstall::kSettingsFileLimit;
    ASSERT_EQ(limit, size_t{1} << 20);
    for (const size_t size : {limit - 1, limit, limit + 1, 2 * limit}) {
        // Reads that end on, before and after the limit.
        for (const size_t piece : {size_t{4095}, size_t{4096}, limit}) {
            SCOPED_TRACE(std::to_string(size) + " bytes in pieces of " + std::to_string(piece));
            const auto expected = size <= limit ? std::optional<bool>(true) : std::nullopt;
            EXPECT_EQ(ScanThroughPipe(text_of(size), piece), expected);
        }
    }
}

TEST(UninstallSteps, SettingsScan_ReadErrorGivesNoVerdict) {
    // Reading a directory fails (EISDIR) once the scan starts.
    const kestrun::unique_fd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.ok());
    EXPECT_EQ(uninstall::epc_removal_requested(dir.get()), std::nullopt);
}

// The relay's mask over text that arrives in pieces of `piece` bytes (at
// most kMaxPiece).
constexpr size_t kMaxPiece = 64;
std::string Masked(const std::string& text, size_t piece) {
    uninstall::TerminalText mask;
    std::string out;
    char buf[kMaxPiece + uninstall::TerminalText::kMaxHeld];
    for (size_t at = 0; at < text.size(); at += piece) {
        const size_t n = std::min(piece, text.size() - at);
        out.append(buf, mask.mask({text.data() + at, n}, buf));
    }
    out.append(buf, mask.finish(buf));
    return out;
}

TEST(UninstallSteps, TerminalText_ControlsAndInvalidUtf8Masked) {
    const struct {
        std::string name;
        std::string text;
        std::string shown;
    } cases[] = {
        {"Plain", "rm: cannot remove 'x'\n", "rm: cannot remove 'x'\n"},
        {"TabAndLineEndKept", "a\tb\n", "a\tb\n"},
        {"C0Controls", "\x1b]0;t\x07\r\b\x01", "?]0;t????"},
        {"Nul", std::string("a\0b", 3), "a?b"},
        {"Del", "a\x7f", "a?"},
        {"SingleByteCsi",
         "\x9b"
         "2J",
         "?2J"},
        {"EverySingleByteC1", "\x80\x85\x8d\x90\x9b\x9c\x9d\x9f", "????????"},
        {"C1AsUtf8",
         "\xc2\x9b"
         "2J\xc2\x80\xc2\x9f",
         "?2J??"},
        {"Utf8Kept", "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
         "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
        {"NeverLeadBytes", "\xc0\xc1\xf5\xfe\xff", "?????"},
        {"OverlongForms", "\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf", "?????????"},
        {"Surrogate",
         "\xed\xa0\x80"
         "a",
         "???a"},
        {"PastU10FFFF", "\xf4\x90\x80\x80", "????"},
        {"CutShortThenAscii",
         "\xe2\x82"
         "A",
         "??A"},
        {"CutShortThenEscape", "\xc2\x1b[m", "??[m"},
        {"CutShortThenNewLead", "\xe2\xc3\xa9", "?\xc3\xa9"},
        {"CutShortAtTheEnd", "ok\xf0\x9f\x98", "ok???"},
        {"ContinuationAfterComplete", "\xc3\xa9\xa9", "\xc3\xa9?"},
    };
    for (const auto& c : cases) {
        for (const size_t piece : {size_t{1}, size_t{2}, size_t{3}, kMaxPiece}) {
            SCOPED_TRACE(c.name + " in pieces of " + std::to_string(piece));
            EXPECT_EQ(Masked(c.text, piece), c.shown);
        }
    }
}

TEST(UninstallSteps, ShellQuote_ShellReadsBackTheSameBytes) {
    std::string every_byte;
    for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
    for (const std::string& text :
         {std::string(""), std::string("/home/plain"), std::string("with blank"),
          std::string("it's"), std::string("''"), std::string("'\\''"), std::string("a\"b"),
          std::string("$(echo injected)"), std::string("`echo injected`"),
          std::string("${HOME}$HOME"), std::string("a;b|c&d>e<f"), std::string("line\nend\n"),
          std::string("glob*?[a]"), std::string("back\\slash\\"), std::string("-rf"), every_byte}) {
        SCOPED_TRACE(text);
        const auto r = RunProgram({"/bin/sh", "-c", "printf '%s' " + uninstall::shell_quote(text)});
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.out, text);
    }
}

}  // namespace
