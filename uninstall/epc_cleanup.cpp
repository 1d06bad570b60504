#include "epc_cleanup.h"

#include <cstdlib>
#include <string>

#include "epc_removal.h"
#include "epc_setting.h"
#include "fd_io.h"

int uninstallEpcIfNeed() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return 1;

    // Paths are built at full length: a cut path could name another file.
    const std::string settings = std::string(home) + "/.kestrun";
    // The settings file may be a link, of any owner's; a FIFO, device or
    // directory at the name counts as a file that cannot be opened.
    auto fd = kestrun::open_checked(settings.c_str(), {.follow_link = true});
    if (!fd.ok()) return 1;
    // A read error, or a file that goes on past the limit, counts as a file
    // that cannot be opened.
    const auto requested = uninstall::epc_removal_requested(fd.get());
    fd.reset();
    if (!requested) return 1;

    if (*requested) uninstall::remove_epc_data(home);
    return 0;
}
