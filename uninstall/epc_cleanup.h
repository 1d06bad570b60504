// The endpoint-control clean-up, the uninstaller's third step: the client's
// settings file under HOME says whether its per-user data under HOME goes
// with the product.
#pragma once

// Removes $HOME/.valdrane/EPC when the last line of $HOME/.kestrun that
// begins with "uninstallEpcOnUninstall=" has exactly the value "true".
// Returns 1 when HOME is unset or the settings file cannot be opened or read,
// or goes on past 1 MiB (nothing is removed then), otherwise 0. The removal
// runs with the rights of the user who could swap .valdrane
// (epc_removal.h), and its own outcome is not examined: the hand-off
// follows whatever it did.
int uninstallEpcIfNeed();
