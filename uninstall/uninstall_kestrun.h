// The uninstaller's steps, in the order main runs them:
//
//   running_client_pid   refuse while a client process is running
//   installed_by_rpm     ask the package manager whether it owns the product
//   uninstallEpcIfNeed   remove the endpoint-control data when asked to
//   uninstallRpm /       hand over to the package manager's erase command or
//   uninstallBasic       to the client program's own uninstall mode
#pragma once

#include <optional>

// The refusal written to standard error while a client runs; %u is its pid.
inline constexpr const char kRunningClientMessage[] =
    "\nCannot uninstall Kestrun. There is an active Kestrun process running (PID:%u). "
    "Please terminate it and try uninstalling again.\n";

// The pid named by "/tmp/kestrun.pid" when that process's command line
// contains "kestRun" or "Kestrun"; nothing when the file is missing, not a
// regular file, holds no number, or names a process that has ended or runs
// another program.
std::optional<unsigned> running_client_pid();

// True when "rpm -q Kestrun" run through the shell leaves 0 in the exit-code
// byte of its wait status. A query ended by a signal leaves that byte 0 too
// and so counts as installed; a missing rpm (127) or a shell that cannot be
// started (-1) count as not installed.
bool installed_by_rpm();

// Removes $HOME/.valdrane/EPC when the last line of $HOME/.kestrun that
// begins with "uninstallEpcOnUninstall=" has exactly the value "true".
// Returns 1 when HOME is unset or the settings file cannot be opened or read,
// or goes on past 1 MiB (nothing is removed then), otherwise 0. The removal
// runs with the rights of the user who could swap .valdrane
// (epc_removal.h), and its own outcome is not examined: the hand-off
// follows whatever it did.
int uninstallEpcIfNeed();

// Replace this process with "rpm -e Kestrun" (rpm found through PATH), or
// with "/usr/sbin/kestRun --uninstall". They return only when the
// replacement failed: the error is on standard error as perror("execl")
// writes it, and the result is 1.
int uninstallRpm();
int uninstallBasic();
