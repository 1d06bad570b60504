// How ks_sandbox ends when it cannot give its program the namespace it
// promised: nothing of the program has run at any of these points.
#pragma once

#include <string>

namespace kssandbox {

inline constexpr int kSetupFailed = 125;
inline constexpr int kSkipped = 77;  // CTest's SKIP_RETURN_CODE for the sandboxed suites

// A step that should have worked failed: the system error, status 125.
[[noreturn]] void die(const std::string& what);
// A check found the namespace unsafe to run in: status 125.
[[noreturn]] void refuse(const std::string& what);
// This user or this kernel cannot have the namespace at all: one line
// "ks_sandbox: skipped: WHY" on standard output, status 77.
[[noreturn]] void skip(const std::string& why);

// Where the sandbox is built in a user namespace, a mount or a step that
// the kernel refuses there means this user cannot have the sandbox (skip);
// as root it means something is broken (die). Set once, before the first
// mount.
void set_refusals_skip(bool skip_them);
[[noreturn]] void fail_step(const std::string& what);

}  // namespace kssandbox
