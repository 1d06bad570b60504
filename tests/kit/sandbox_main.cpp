// Test main for suites that use the product's fixed paths. It refuses to run
// any test unless it is inside ks_sandbox's private namespace, so a suite
// started by hand can never write the host's /etc, /run, /tmp or /usr/sbin.
// Listing the tests runs none, so it needs no sandbox: CTest's discovery
// lists them as any user.

#include <gtest/gtest.h>

#include <cstdio>

#include "in_sandbox.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests) && !kstest::InSandbox()) {
        std::fprintf(stderr, "these tests run only under ks_sandbox (private namespaces)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
