// The pid and value file readers on any file content: never a crash, and
// exactly the number a plain reading of the rules gives (white space
// skipped, one '+' before a digit, a '-' only for the signed reader, no
// value on overflow or when the digits run to the end of a full 4 KiB head;
// the pid reader takes nothing above 2147483647). The uninstaller's reader
// of /tmp/kestrun.pid shares their grammar and head, up to 4294967295.
#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_input.h"
#include "ksProcUtils.h"
#include "running_client.h"

namespace {

constexpr size_t kHead = 4096;

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The reference reading, written from the rules rather than from the code;
// the text is a head of at most kHead bytes of a possibly longer file.
std::optional<int64_t> Reference(std::string_view head, bool is_signed) {
    size_t i = 0;
    while (i < head.size() && IsSpace(head[i])) ++i;
    bool negative = false;
    if (i + 1 < head.size() && head[i] == '+' && IsDigit(head[i + 1])) {
        ++i;
    } else if (is_signed && i < head.size() && head[i] == '-') {
        negative = true;
        ++i;
    }
    if (i >= head.size() || !IsDigit(head[i])) return std::nullopt;
    const int64_t limit = is_signed ? (negative ? int64_t{1} << 31 : INT32_MAX) : UINT32_MAX;
    int64_t value = 0;
    bool overflow = false;
    for (; i < head.size() && IsDigit(head[i]); ++i) {
        if (!overflow) value = value * 10 + (head[i] - '0');
        if (value > limit) overflow = true;
    }
    if (overflow) return std::nullopt;
    if (i == head.size() && head.size() == kHead) return std::nullopt;
    return negative ? -value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = ksfuzz::MemFile(data, size);
    const std::string path = ksfuzz::PathOf(file);
    const std::string_view head(reinterpret_cast<const char*>(data), size < kHead ? size : kHead);

    const unsigned pid = get_pid_from_file(path.c_str());
    const auto want_pid = Reference(head, false);
    const unsigned expected_pid =
        want_pid && *want_pid <= INT_MAX ? static_cast<unsigned>(*want_pid) : 0;
    if (pid != expected_pid) ksfuzz::Mismatch("get_pid_from_file");
    if (pid > static_cast<unsigned>(INT_MAX)) ksfuzz::Mismatch("pid beyond the pid range");

    const int value = get_int_from_file(path.c_str());
    const auto want_value = Reference(head, true);
    if (value != static_cast<int>(want_value.value_or(0))) ksfuzz::Mismatch("get_int_from_file");

    const auto client_pid = uninstall::read_client_pid(file.get());
    const auto want_client_pid = Reference(head, false);
    if (client_pid.has_value() != want_client_pid.has_value() ||
        (client_pid && *client_pid != *want_client_pid))
        ksfuzz::Mismatch("read_client_pid");
    return 0;
}
