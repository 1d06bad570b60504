// The endpoint-control clean-up: the client's settings file under HOME says
// whether its per-user data under HOME goes with the product.

#include <cstdlib>
#include <string>

#include "epc_removal.h"
#include "epc_setting.h"
#include "regular_file.h"
#include "uninstall_kestrun.h"

int uninstallEpcIfNeed() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return 1;

    // Paths are built at full length: a cut path could name another file.
    const std::string settings = std::string(home) + "/.kestrun";
    auto fd = uninstall::open_regular_file(settings.c_str());
    if (!fd.ok()) return 1;
    // A read error, or a file that goes on past the limit, counts as a file
    // that cannot be opened.
    const auto requested = uninstall::epc_removal_requested(fd.get());
    fd.reset();
    if (!requested) return 1;

    if (*requested) uninstall::remove_epc_data(home);
    return 0;
}
