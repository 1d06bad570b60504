# Debian packages the build and the tests need, and a helper that installs
# the missing ones. Sourced by the tools/ scripts.

KS_BUILD_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev googletest)

# tools/demo: what builds ksMonitor, ks_sandbox and the stand-ins (the
# tests' directory, which holds them, needs GoogleTest to configure), and
# pgrep, which the story uses. Nothing of the test suites' own tools.
KS_DEMO_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest procps)
KS_TEST_PACKAGES=("${KS_BUILD_PACKAGES[@]}" util-linux procps rpm strace)

# The RPM packages of packaging/rpm/Kestrun.spec: rpmbuild and rpmsign come
# with rpm, the throwaway signing key from gpg, and rpmlint checks them.
KS_TEST_PACKAGES+=(rpmlint gnupg)

# The Debian packages of debian/: dpkg-buildpackage (dpkg-dev) with
# debhelper builds them, lintian checks them. No fakeroot: debian/control
# says Rules-Requires-Root: no, so the build never asks for it.
KS_TEST_PACKAGES+=(dpkg-dev debhelper lintian)

# Packaging and static analysis checks: man page lint, the library's
# pkg-config consumer, clang-tidy, cppcheck and clang-format.
KS_TEST_PACKAGES+=(mandoc pkgconf clang-tidy cppcheck clang-format)
# The man pages as man(1) shows them: groff's rendering and the alias pages.
KS_TEST_PACKAGES+=(groff-base man-db)

# Reliability checks: the fuzz targets (clang with its libFuzzer and
# sanitizer runtimes) and valgrind's leak check.
KS_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
KS_TEST_PACKAGES+=("${KS_FUZZ_PACKAGES[@]}" valgrind)

# Performance: the syscall budget tests (strace, above) and the benchmarks
# (Google Benchmark, built with the tests); tools/bench reads their results
# with jq.
KS_TEST_PACKAGES+=(libbenchmark-dev)
KS_BENCH_PACKAGES=("${KS_TEST_PACKAGES[@]}" jq)

# Prints those of the named packages that are not installed, one a line.
missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$pkg"
    done
}

# ensure_packages PACKAGE...: installs those that are missing with apt-get,
# after saying which. The caller runs as root.
ensure_packages() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== ${ks_tool:-tools}: installing ${#missing[@]} missing Debian package(s) it needs," \
        "with apt-get install --no-install-recommends: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
