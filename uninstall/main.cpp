// uninstallKestrun: removes the product. Refuses while a client runs,
// removes the endpoint-control data when the user's settings ask for it,
// then becomes the package manager's erase command or the client's own
// uninstall mode. It is run bare; an argument only ever asks for the usage
// or the version, so a mistyped command line removes nothing. Otherwise it
// writes only to standard error.

#include <cstdio>
#include <cstring>
#include <optional>

#include "uninstall_kestrun.h"

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
        (void)std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        (void)std::puts("uninstallKestrun " KS_PROJECT_VERSION);
        return 0;
    }
    (void)std::fputs(kUsage, stderr);
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
        (void)std::fprintf(stderr, kRunningClientMessage, *pid);
        return -1;
    }
    const bool rpm = installed_by_rpm();
    // Before the hand-off in both branches: the data goes even when the
    // hand-off then fails. A missing settings file just means no clean-up.
    (void)uninstallEpcIfNeed();
    return rpm ? uninstallRpm() : uninstallBasic();
}
