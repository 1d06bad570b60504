// Joining the arguments of a process's command line as /proc shows them.
#pragma once

#include <cstddef>

namespace uninstall {

// Reads NUL-terminated arguments from fd (a "/proc/<pid>/cmdline" file) to
// its end and appends each to out with no separator, stopping once out
// holds cap - 1 characters; out is always terminated (cap must be at least
// 1). Returns the length of the joined text.
size_t join_arguments(int fd, char* out, size_t cap);

}  // namespace uninstall
