// The text of one log entry.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kslog_internal.h"

namespace kestrun::kslog {

namespace {

// The longest prefix the fast path below writes, its '\0' included.
constexpr size_t kFastPrefixMax = 64;

bool within(int value, int low, int high) {
    return value >= low && value <= high;
}

char* put_digits(char* at, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
    return at + width;
}

// A name cut or padded with blanks to exactly `width` columns ("%-7.7s").
char* put_column(char* at, const char* name, size_t width) {
    const size_t len = strnlen(name, width);
    std::memcpy(at, name, len);
    std::memset(at + len, ' ', width - len);
    return at + width;
}

}  // namespace

int format_prefix(char* out, size_t cap, const struct tm& local, unsigned long millis,
                  const char* category, const char* priority, unsigned pid) {
    const int year = local.tm_year + 1900;
    const bool usual =
        cap >= kFastPrefixMax && within(local.tm_mon + 1, 0, 99) && within(local.tm_mday, 0, 99) &&
        within(year, 0, 9999) && within(local.tm_hour, 0, 99) && within(local.tm_min, 0, 99) &&
        within(local.tm_sec, 0, 99) && millis <= 999 && category != nullptr && priority != nullptr;
    if (!usual) {
        return std::snprintf(out, cap, "%02d/%02d/%04d %02d:%02d:%02d.%03lu [%-7.7s %-6.6s %6u] ",
                             local.tm_mon + 1, local.tm_mday, year, local.tm_hour, local.tm_min,
                             local.tm_sec, millis, category, priority, pid);
    }
    // Every entry is written with its file locked, and snprintf took most
    // of the time the lock is held beyond the system calls: the usual
    // prefix, every field within its columns, is put together by hand,
    // byte for byte what the format above gives.
    char* at = out;
    at = put_digits(at, static_cast<unsigned>(local.tm_mon + 1), 2);
    *at++ = '/';
    at = put_digits(at, static_cast<unsigned>(local.tm_mday), 2);
    *at++ = '/';
    at = put_digits(at, static_cast<unsigned>(year), 4);
    *at++ = ' ';
    at = put_digits(at, static_cast<unsigned>(local.tm_hour), 2);
    *at++ = ':';
    at = put_digits(at, static_cast<unsigned>(local.tm_min), 2);
    *at++ = ':';
    at = put_digits(at, static_cast<unsigned>(local.tm_sec), 2);
    *at++ = '.';
    at = put_digits(at, static_cast<unsigned>(millis), 3);
    *at++ = ' ';
    *at++ = '[';
    at = put_column(at, category, 7);
    *at++ = ' ';
    at = put_column(at, priority, 6);
    *at++ = ' ';
    int pid_digits = 1;
    for (unsigned rest = pid / 10; rest != 0; rest /= 10) ++pid_digits;
    for (int i = pid_digits; i < 6; ++i) *at++ = ' ';  // "%6u": a longer pid widens the field
    at = put_digits(at, pid, pid_digits);
    *at++ = ']';
    *at++ = ' ';
    *at = '\0';
    return static_cast<int>(at - out);
}

Entry::~Entry() {
    std::free(heap_);
}

void Entry::build(const char* prefix, size_t prefix_len, int caller_errno, const char* format,
                  va_list args) {
    // The prefix is far shorter than the inline buffer; the reserve keeps
    // room for the line end behind whatever the message leaves.
    if (prefix_len > sizeof inline_ - 2) prefix_len = sizeof inline_ - 2;
    std::memcpy(inline_, prefix, prefix_len);
    char* text = inline_;
    size_t room = sizeof inline_ - prefix_len - 1;  // for the message and its '\0'

    va_list again;
    va_copy(again, args);
    // "%m" must show the caller's error, not what opening and locking the
    // file left behind.
    errno = caller_errno;
    const int wanted = std::vsnprintf(inline_ + prefix_len, room, format, args);
    size_t message = 0;
    if (wanted < 0) {
        message = 0;  // cannot be formatted: the entry is the prefix alone
    } else if (static_cast<size_t>(wanted) < room) {
        message = static_cast<size_t>(wanted);
    } else if (char* big = static_cast<char*>(std::malloc(prefix_len + wanted + 2))) {
        std::memcpy(big, prefix, prefix_len);
        const auto measured = static_cast<size_t>(wanted);
        errno = caller_errno;  // malloc may have set it
        const int got = std::vsnprintf(big + prefix_len, measured + 1, format, again);
        heap_ = big;
        text = big;
        // The second pass may come out longer than the first (an argument
        // another thread changed, a conversion of the caller's own):
        // vsnprintf kept to the room given, and so does the length.
        message = got < 0 ? 0 : std::min(static_cast<size_t>(got), measured);
    } else {
        message = room - 1;  // no memory for the whole message: keep what fits
    }
    va_end(again);

    size_ = prefix_len + message;
    if (message == 0 || text[size_ - 1] != '\n') text[size_++] = '\n';
}

}  // namespace kestrun::kslog
