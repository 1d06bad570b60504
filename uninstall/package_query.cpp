#include "package_query.h"

#include <cstdlib>

bool installed_by_rpm() {
    // NOLINTNEXTLINE(cert-env33-c): the query's status is judged as the shell reports it
    const int status = std::system("rpm -q Kestrun >/dev/null 2>&1 ");
    // Only the exit-code byte (bits 8 to 15) is judged: -1 (no shell) has all
    // bits set, and a query killed by a signal leaves the byte 0.
    return ((static_cast<unsigned>(status) >> 8) & 0xffu) == 0;
}
