// uninstallKestrun: removes the product. Refuses while a client runs,
// removes the endpoint-control data when the user's settings ask for it,
// then becomes the package manager's erase command or the client's own
// uninstall mode. It is run bare; an argument only ever asks for the usage
// or the version, so a mistyped command line removes nothing. Otherwise it
// writes only to standard error.
//
// The steps, in the order main runs them:
//
//   running_client_pid   refuse while a client process is running
//   installed_by_rpm     ask the package manager whether it owns the product
//   uninstallEpcIfNeed   remove the endpoint-control data when asked to
//   uninstallRpm /       hand over to the package manager's erase command or
//   uninstallBasic       to the client program's own uninstall mode

#include <cstdio>
#include <cstring>
#include <optional>

#include "epc_cleanup.h"
#include "hand_off.h"
#include "ignore_result.h"
#include "package_query.h"
#include "running_client.h"

namespace {

constexpr int kUsageError = 64;  // EX_USAGE

constexpr const char kUsage[] =
    "Usage: uninstallKestrun\n"
    "Removes the Kestrun VPN client; run it as root, with no arguments.\n"
    "It refuses while a client runs (/tmp/kestrun.pid), removes\n"
    "$HOME/.valdrane/EPC when $HOME/.kestrun has uninstallEpcOnUninstall=true,\n"
    "then runs \"rpm -e Kestrun\" or \"/usr/sbin/kestRun --uninstall\".\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "See uninstallKestrun(8).\n";

// Answers a command line that has arguments, before anything of the job is
// done: no file read, nothing removed, nothing started. Nothing when there
// are none and the uninstall goes ahead.
std::optional<int> answer_arguments(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        kestrun::ignore_result(std::fputs(kUsage, stdout));  // main's flush judges the output
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        kestrun::ignore_result(std::puts("uninstallKestrun " KS_PROJECT_VERSION));
        return 0;
    }
    kestrun::ignore_result(std::fputs(kUsage, stderr));  // the status says it all
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = answer_arguments(argc, argv)) {
        // A full disk behind standard output is a failed answer too.
        if (std::fflush(stdout) != 0 && *status == 0) return 1;
        return *status;
    }
    if (const auto pid = running_client_pid()) {
        // Refused whether or not the message could be written.
        kestrun::ignore_result(std::fprintf(stderr, kRunningClientMessage, *pid));
        return -1;
    }
    const bool rpm = installed_by_rpm();
    // Before the hand-off in both branches: the data goes even when the
    // hand-off then fails. A missing settings file just means no clean-up.
    kestrun::ignore_result(uninstallEpcIfNeed());
    return rpm ? uninstallRpm() : uninstallBasic();
}
