# What every tools/ script starts with: where the tree is, the root check,
# the Debian packages it needs (packages.sh) and a configured build tree.
# Sourced by tools/test, tools/bench, tools/demo, tools/fuzz and tools/stress
# right after their `set -euo pipefail`.

ks_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=packages.sh
source "$ks_root/tools/lib/packages.sh"

# The calling script as its messages name it, "tools/bench" for example.
ks_tool="tools/$(basename "$0")"

# ks_require_root WHY: the private namespaces the tools run in need root;
# anyone else is told why and the script ends with status 1.
ks_require_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    echo "$ks_tool: run as root ($1)" >&2
    exit 1
}

# ks_build_dir [SUFFIX]: the build tree the tools share, build/ or
# $KS_BUILD_DIR under the root, with SUFFIX appended (-asan, -fuzz).
# KS_BUILD_DIR lets several checkouts' worth of work share one tree.
ks_build_dir() {
    echo "$ks_root/${KS_BUILD_DIR:-build}${1:-}"
}

# ks_configure DIR [CMAKE_OPTION...]: configures DIR for Ninja with the
# options given, and again on every call, since the caller needs them to
# hold (a re-run that changes nothing costs a second). Without options a
# tree that is already configured is left as it is, and a new one is
# optimised (RelWithDebInfo). CMake's report goes to standard output, for
# the caller to keep or drop.
ks_configure() {
    local dir=$1
    shift
    if [ $# -eq 0 ]; then
        [ -f "$dir/CMakeCache.txt" ] && return 0
        set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi
    cmake -S "$ks_root" -B "$dir" -G Ninja "$@"
}

# ks_build DIR [TARGET...]: builds the targets (all without any) on every core.
ks_build() {
    local dir=$1
    shift
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
