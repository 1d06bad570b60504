// Test main for suites that use the product's fixed paths. It refuses to run
// any test unless it is inside ks_sandbox's private namespace, so a suite
// started by hand can never write the host's /etc, /run, /tmp or /usr/sbin.

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef OVERLAYFS_SUPER_MAGIC
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#endif

namespace {

bool has_type(const char* path, long type) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && static_cast<long>(fs.f_type) == type;
}

bool in_sandbox() {
    const char* flag = std::getenv("KS_SANDBOX");
    return flag && std::strcmp(flag, "1") == 0 && has_type("/tmp", TMPFS_MAGIC) &&
           has_type("/run", TMPFS_MAGIC) && has_type("/etc", OVERLAYFS_SUPER_MAGIC) &&
           has_type("/usr/sbin", OVERLAYFS_SUPER_MAGIC) && getppid() == 1;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!in_sandbox()) {
        std::fprintf(stderr, "these tests run only under ks_sandbox (private namespaces)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
