// uninstallKestrun: removes the product. Refuses while a client runs,
// removes the endpoint-control data when the user's settings ask for it,
// then becomes the package manager's erase command or the client's own
// uninstall mode. Takes no arguments; writes only to standard error.

#include <cstdio>

#include "uninstall_kestrun.h"

int main() {
    if (const auto pid = running_client_pid()) {
        (void)std::fprintf(stderr, kRunningClientMessage, *pid);
        return -1;
    }
    const bool rpm = installed_by_rpm();
    // Before the hand-off in both branches: the data goes even when the
    // hand-off then fails. A missing settings file just means no clean-up.
    (void)uninstallEpcIfNeed();
    return rpm ? uninstallRpm() : uninstallBasic();
}
