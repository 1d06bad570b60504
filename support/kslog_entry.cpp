// The text of one log entry.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kslog_internal.h"

namespace kestrun::kslog {

int format_prefix(char* out, size_t cap, const struct tm& local, unsigned long millis,
                  const char* category, const char* priority, unsigned pid) {
    return std::snprintf(out, cap, "%02d/%02d/%04d %02d:%02d:%02d.%03lu [%-7.7s %-6.6s %6u] ",
                         local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour,
                         local.tm_min, local.tm_sec, millis, category, priority, pid);
}

Entry::~Entry() {
    std::free(heap_);
}

void Entry::build(const char* prefix, size_t prefix_len, const char* format, va_list args) {
    // The prefix is far shorter than the inline buffer; the reserve keeps
    // room for the line end behind whatever the message leaves.
    if (prefix_len > sizeof inline_ - 2) prefix_len = sizeof inline_ - 2;
    std::memcpy(inline_, prefix, prefix_len);
    char* text = inline_;
    size_t room = sizeof inline_ - prefix_len - 1;  // for the message and its '\0'

    va_list again;
    va_copy(again, args);
    const int wanted = std::vsnprintf(inline_ + prefix_len, room, format, args);
    size_t message = 0;
    if (wanted < 0) {
        message = 0;  // cannot be formatted: the entry is the prefix alone
    } else if (static_cast<size_t>(wanted) < room) {
        message = static_cast<size_t>(wanted);
    } else if (char* big = static_cast<char*>(std::malloc(prefix_len + wanted + 2))) {
        std::memcpy(big, prefix, prefix_len);
        const int got =
            std::vsnprintf(big + prefix_len, static_cast<size_t>(wanted) + 1, format, again);
        heap_ = big;
        text = big;
        message = got < 0 ? 0 : static_cast<size_t>(got);
    } else {
        message = room - 1;  // no memory for the whole message: keep what fits
    }
    va_end(again);

    size_ = prefix_len + message;
    if (message == 0 || text[size_ - 1] != '\n') text[size_++] = '\n';
}

}  // namespace kestrun::kslog
