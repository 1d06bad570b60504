// Helpers shared by the fuzz targets: the input as a file the code under
// test can open or read, without touching any path of the product's own.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "unique_fd.h"

namespace ksfuzz {

// An anonymous in-memory file holding the bytes, read position at 0.
inline kestrun::unique_fd MemFile(const void* data, size_t size) {
    kestrun::unique_fd fd(memfd_create("ksfuzz", MFD_CLOEXEC));
    if (!fd.ok()) {
        std::perror("memfd_create");
        std::abort();
    }
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd.get(), bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::perror("write memfd");
            std::abort();
        }
        done += static_cast<size_t>(n);
    }
    if (lseek(fd.get(), 0, SEEK_SET) != 0) std::abort();
    return fd;
}

// A name that opens the same file afresh, for readers that take a path.
inline std::string PathOf(const kestrun::unique_fd& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

// Stops a fuzz run at once with a message, as a crash libFuzzer records.
[[noreturn]] inline void Mismatch(const char* what) {
    std::fprintf(stderr, "fuzz oracle mismatch: %s\n", what);
    std::abort();
}

}  // namespace ksfuzz
