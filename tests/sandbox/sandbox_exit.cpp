#include "sandbox_exit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kssandbox {

// Whether a refused step skips (inside a user namespace) or fails (as root).
static bool refusals_skip = false;

void die(const std::string& what) {
    std::fprintf(stderr, "ks_sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
    std::_Exit(kSetupFailed);
}

void refuse(const std::string& what) {
    std::fprintf(stderr, "ks_sandbox: refusing to run: %s\n", what.c_str());
    std::_Exit(kSetupFailed);
}

void skip(const std::string& why) {
    std::printf("ks_sandbox: skipped: %s\n", why.c_str());
    std::fflush(stdout);
    std::_Exit(kSkipped);
}

void set_refusals_skip(bool skip_them) {
    refusals_skip = skip_them;
}

void fail_step(const std::string& what) {
    if (!refusals_skip) die(what);
    skip("this user namespace cannot " + what + ": " + std::strerror(errno));
}

}  // namespace kssandbox
