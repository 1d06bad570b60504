#include "setgroups_stub.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <fstream>
#include <string>

#include "sandbox_exit.h"

#if defined(__x86_64__)
#define KS_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define KS_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "ks_sandbox: unknown architecture"
#endif

namespace kssandbox {

namespace {

bool setgroups_denied() {
    std::ifstream state("/proc/self/setgroups");
    std::string word;
    return state >> word && word == "deny";
}

}  // namespace

void stub_denied_setgroups() {
    if (!setgroups_denied()) return;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, KS_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_setgroups, 0, 1),
        // An error number of 0: the call is not made and returns 0.
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog fprog = {sizeof program / sizeof program[0], program};
    // The namespace's root may filter without no_new_privs, so setuid
    // programs in the sandbox keep working as they did.
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0)
        fail_step("stub setgroups(2) for its program");
}

}  // namespace kssandbox
