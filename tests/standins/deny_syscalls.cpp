// deny_syscalls fork|pidfd|close_range|flock|openat2|unshare PROGRAM [ARG...]
//
// Runs PROGRAM with a seccomp filter that makes one family of system calls
// fail, to show how ksMonitor meets a kernel or a moment where they fail:
//   fork   clone, clone3, fork and vfork fail with EAGAIN (no process left)
//   pidfd  pidfd_open and pidfd_send_signal fail with ENOSYS (an old kernel)
//   close_range  close_range fails with ENOSYS (a kernel before 5.9)
//   flock  flock fails with ENOLCK (a home on NFS without a lock manager)
//   openat2  openat2 fails with ENOSYS (a kernel before 5.6)
//   unshare  unshare fails with EPERM (a container's default profile, where
//            no namespace can be made)
// The filter is inherited across exec and by every child.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#define KS_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define KS_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "deny_syscalls: unknown architecture"
#endif

namespace {

struct Denial {
    long nr;
    int error;
};

std::vector<Denial> denials_for(const char* family) {
    if (std::strcmp(family, "fork") == 0) {
        return {
            {SYS_clone, EAGAIN},
            {SYS_clone3, EAGAIN},
#ifdef SYS_fork
            {SYS_fork, EAGAIN},
#endif
#ifdef SYS_vfork
            {SYS_vfork, EAGAIN},
#endif
        };
    }
    if (std::strcmp(family, "pidfd") == 0)
        return {{SYS_pidfd_open, ENOSYS}, {SYS_pidfd_send_signal, ENOSYS}};
    if (std::strcmp(family, "close_range") == 0) return {{SYS_close_range, ENOSYS}};
    if (std::strcmp(family, "flock") == 0) return {{SYS_flock, ENOLCK}};
    if (std::strcmp(family, "openat2") == 0) return {{SYS_openat2, ENOSYS}};
    if (std::strcmp(family, "unshare") == 0) return {{SYS_unshare, EPERM}};
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    const auto denials = argc >= 3 ? denials_for(argv[1]) : std::vector<Denial>{};
    if (denials.empty()) {
        std::fprintf(stderr,
                     "usage: deny_syscalls fork|pidfd|close_range|flock|openat2|unshare PROGRAM "
                     "[ARG...]\n");
        return 2;
    }
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, KS_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (const auto& d : denials) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(d.nr), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K,
                                   SECCOMP_RET_ERRNO | (static_cast<unsigned>(d.error) & 0xffff)));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog fprog = {static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0) {
        std::perror("deny_syscalls: seccomp");
        return 125;
    }
    execv(argv[2], argv + 2);
    std::perror("deny_syscalls: exec");
    return 127;
}
