// The log writer on any message, priority and category, writing the real
// log file: each call appends exactly one entry, the prefix in its fixed
// layout with the names the values map to, then the message, then a line
// end unless the message already ends with one. Runs only inside ks_sandbox,
// where "/tmp/kestRun.log" and the log file under HOME are private.
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "kslog.h"

namespace {

std::string g_log;  // the log file kslogInit chose

std::string ReadFrom(const std::string& path, off_t offset) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return text;
    if (std::fseek(f, offset, SEEK_SET) == 0) {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    }
    std::fclose(f);
    return text;
}

off_t SizeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string Padded(const char* name, size_t width) {
    std::string s(name);
    s.resize(width, ' ');
    return s;
}

bool Digits(const std::string& s, size_t at, size_t n) {
    for (size_t i = at; i < at + n; ++i)
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    struct statfs fs {};
    const char* sandbox = std::getenv("KS_SANDBOX");
    if (!sandbox || std::strcmp(sandbox, "1") != 0 || statfs("/tmp", &fs) != 0 ||
        fs.f_type != TMPFS_MAGIC || getppid() != 1) {
        std::fprintf(stderr, "fuzz_log_writer runs only under ks_sandbox\n");
        std::exit(1);
    }
    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    setenv("KSLOGPRIORITY", "trace", 1);
    kslogInit();
    const char* home = std::getenv("HOME");
    g_log = std::string(home ? home : "/tmp") + "/.kestRun.log";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int priority =
        in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 6) : in.ConsumeIntegral<int>();
    const int category =
        in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 10) : in.ConsumeIntegral<int>();
    const std::string raw = in.ConsumeRemainingBytesAsString();
    const std::string message(raw.c_str());  // what "%s" takes of it

    if (SizeOf(g_log) > (4 << 20)) (void)truncate(g_log.c_str(), 0);  // never near the roll size
    const off_t before = SizeOf(g_log);
    kslogWrite_private(priority, category, "%s", raw.c_str());
    const std::string entry = ReadFrom(g_log, before);

    const char* category_name =
        category < 0 || category > 10 ? "general" : kslogCategoryNames[category];
    const char* priority_name =
        priority < 0 ? "trace" : kslogPriorityNames[priority > 6 ? 6 : priority];
    char pid[32];
    std::snprintf(pid, sizeof pid, "%6u", static_cast<unsigned>(getpid()));
    const std::string tail =
        Padded(category_name, 7) + " " + Padded(priority_name, 6) + " " + pid + "] ";
    std::string expected_rest = tail + message;
    if (message.empty() || message.back() != '\n') expected_rest += '\n';

    // "MM/DD/YYYY hh:mm:ss.mmm [": 25 bytes of fixed layout.
    if (entry.size() != 25 + expected_rest.size()) ksfuzz::Mismatch("entry length");
    if (!Digits(entry, 0, 2) || entry[2] != '/' || !Digits(entry, 3, 2) || entry[5] != '/' ||
        !Digits(entry, 6, 4) || entry[10] != ' ' || !Digits(entry, 11, 2) || entry[13] != ':' ||
        !Digits(entry, 14, 2) || entry[16] != ':' || !Digits(entry, 17, 2) || entry[19] != '.' ||
        !Digits(entry, 20, 3) || entry.compare(23, 2, " [") != 0)
        ksfuzz::Mismatch("time stamp layout");
    if (entry.compare(25, std::string::npos, expected_rest) != 0) ksfuzz::Mismatch("entry text");
    return 0;
}
