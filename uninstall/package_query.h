// The package query, the uninstaller's second step: whether the package
// manager owns the product, which decides the hand-off.
#pragma once

// True when "rpm -q Kestrun" run through the shell leaves 0 in the exit-code
// byte of its wait status. A query ended by a signal leaves that byte 0 too
// and so counts as installed; a missing rpm (127) or a shell that cannot be
// started (-1) count as not installed.
bool installed_by_rpm();
