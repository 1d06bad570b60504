#include "command_line.h"

#include "byte_stream.h"

namespace uninstall {

size_t join_arguments(int fd, char* out, size_t cap) {
    ByteStream in(fd);
    size_t len = 0;
    while (len < cap - 1) {
        const auto c = in.next();
        if (!c) break;
        if (*c != '\0') out[len++] = static_cast<char>(*c);  // NULs end arguments
    }
    out[len] = '\0';
    return len;
}

}  // namespace uninstall
