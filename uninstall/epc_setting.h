// The user's choice, in the client's settings file, to remove the
// endpoint-control data on uninstall.
#pragma once

#include <optional>

namespace uninstall {

// Scans the settings text on fd to its end. Only lines that begin with
// "uninstallEpcOnUninstall=" count; the value is what follows up to the line
// end, and the setting is on only for exactly "true" (a trailing blank or
// carriage return turns it off). The last such line decides. Lines of any
// length are scanned in fixed memory. Returns nothing on a read error: a
// half-read file cannot say what its last line wants.
std::optional<bool> epc_removal_requested(int fd);

}  // namespace uninstall
