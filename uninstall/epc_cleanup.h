// The endpoint-control clean-up, the uninstaller's third step: the client's
// settings file under HOME says whether its per-user data under HOME goes
// with the product.
#pragma once

// Removes $HOME/.valdrane/EPC when the last line of $HOME/.kestrun that
// begins with "uninstallEpcOnUninstall=" has exactly the value "true".
// Returns 1 when HOME is unset or names no directory, or when the settings
// file cannot be opened or read, is no regular file, belongs to another
// user than root, the caller or the home's owner, has a second name that
// its owner did not make (judged_open.h), or goes on past 1 MiB (nothing
// is removed then); otherwise 0. HOME is looked up once, and the removal
// runs in what was found there (epc_removal.h), with the rights of the user
// who could swap .valdrane; its own outcome is not examined: the hand-off
// follows whatever it did.
int uninstallEpcIfNeed();
