#include "command_line.h"

#include <span>

#include "fd_io.h"

namespace uninstall {

size_t join_arguments(int fd, char* out, size_t cap) {
    size_t len = 0;
    // Read only while there is room; a read error ends the command line.
    if (cap > 1) {
        char buf[4096];
        kestrun::ignore_result(kestrun::read_chunks(fd, buf, [&](std::span<char> bytes) {
            for (const char c : bytes) {
                if (c != '\0') out[len++] = c;  // NULs end arguments
                if (len == cap - 1) return false;
            }
            return true;
        }));
    }
    out[len] = '\0';
    return len;
}

}  // namespace uninstall
