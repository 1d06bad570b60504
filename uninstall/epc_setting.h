// The user's choice, in the client's settings file, to remove the
// endpoint-control data on uninstall.
#pragma once

#include <cstddef>
#include <optional>

namespace uninstall {

// The longest settings file read: 1 MiB. The client writes a few lines; a
// file that goes on past this (a link to /proc/self/pagemap reads as
// hundreds of GiB) is no settings file the client wrote.
inline constexpr size_t kSettingsFileLimit = size_t{1} << 20;

// Scans the settings text on fd to its end. Only lines that begin with
// "uninstallEpcOnUninstall=" count; the value is what follows up to the line
// end, and the setting is on only for exactly "true" (a trailing blank or
// carriage return turns it off). The last such line decides. Lines of any
// length are scanned in fixed memory. Returns nothing on a read error (a
// half-read file cannot say what its last line wants) and as soon as the
// text goes on past kSettingsFileLimit bytes, so that at most one byte
// more than the limit is read.
std::optional<bool> epc_removal_requested(int fd);

}  // namespace uninstall
