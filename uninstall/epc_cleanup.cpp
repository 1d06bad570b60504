#include "epc_cleanup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "epc_removal.h"
#include "epc_setting.h"
#include "fd_io.h"
#include "judged_open.h"

int uninstallEpcIfNeed() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return 1;

    // The home directory is looked up once: the settings read and the
    // removal both go through this descriptor, so a HOME that another user
    // flips between two directories cannot have the settings of one decide
    // a removal in the other. A home that is itself a link is followed.
    // An empty HOME names "/.kestrun" and "/.valdrane/EPC".
    const kestrun::unique_fd home_fd(
        ::open(home[0] != '\0' ? home : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!home_fd.ok()) return 1;
    struct stat home_st {};
    if (::fstat(home_fd.get(), &home_st) != 0) return 1;

    // The settings file may be a link, followed; what it leads to is read
    // only when it is a regular file of root's, ours or the home owner's,
    // judged before it is opened (a FIFO, socket or device there counts as
    // a file that cannot be opened, and is never opened).
    auto fd = uninstall::open_judged_for_reading(
        home_fd.get(), ".kestrun", {.follow_link = true, .dir_owner = home_st.st_uid});
    if (!fd.ok()) return 1;
    // A read error, or a file that goes on past the limit, counts as a file
    // that cannot be opened.
    const auto requested = uninstall::epc_removal_requested(fd.get());
    fd.reset();
    if (!requested) return 1;

    if (*requested) uninstall::remove_epc_data(home_fd.get());
    return 0;
}
