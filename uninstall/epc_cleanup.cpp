// The endpoint-control clean-up: the client's settings file under HOME says
// whether its per-user data under HOME goes with the product.

#include <cstdlib>
#include <string>

#include "epc_setting.h"
#include "regular_file.h"
#include "shell_quote.h"
#include "uninstall_kestrun.h"

int uninstallEpcIfNeed() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return 1;

    // Paths are built at full length: a cut path could name another file.
    const std::string settings = std::string(home) + "/.kestrun";
    auto fd = uninstall::open_regular_file(settings.c_str());
    if (!fd.ok()) return 1;
    const auto requested = uninstall::epc_removal_requested(fd.get());
    fd.reset();
    if (!requested) return 1;

    if (*requested) {
        // HOME is quoted so that whatever it holds, rm gets one path ending
        // in /.valdrane/EPC and the shell runs nothing else.
        const std::string command = "rm -rf " + uninstall::shell_quote(home) + "/.valdrane/EPC";
        // NOLINTNEXTLINE(cert-env33-c): the removal is a shell command, HOME quoted above
        const int status = std::system(command.c_str());
        (void)status;  // not examined: the hand-off follows either way
    }
    return 0;
}
