#!/bin/sh
# Builds a small C program against the staged install of the support
# library both ways a client project would, with pkg-config and with the
# CMake package, runs both, and checks that their entries reached the
# shared log. Runs inside ks_sandbox: the programs log to /tmp/kestRun.log.
#
# Usage: consumer.sh STAGE_DIR PREFIX LIBDIR SOURCE_DIR CMAKE CC [EXTRA_CFLAGS]
# LIBDIR is absolute, as installed. EXTRA_CFLAGS carries the sanitizer
# flags when the library was built with them.
set -eu
stage=$1 prefix=$2 libdir=$3 src=$4 cmake=$5 cc=$6 extra=${7-}

[ "${KS_SANDBOX-}" = 1 ] || { echo "consumer.sh: run under ks_sandbox" >&2; exit 1; }

work=$(mktemp -d /tmp/consumer.XXXXXX)
# Both consumers append to one log file through the shared link, which then
# outlives each of them.
log=$work/shared.log
ln -s "$log" /tmp/kestRun.log
echo 4242 >"$work/pid"

# pkg-config, pointed at the staged tree only: the sysroot prefixes the
# absolute directories that the .pc file names.
flags=$(PKG_CONFIG_LIBDIR=$stage$libdir/pkgconfig PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=$stage \
    pkg-config --cflags --libs kssupport)
# shellcheck disable=SC2086 # flags are words
"$cc" $extra -o "$work/consumer-pc" "$src/consumer.c" $flags
"$work/consumer-pc" pkg-config "$work/pid" >"$work/out-pc"

# find_package(kestrun) from a C-only project.
"$cmake" -S "$src/consumer" -B "$work/cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$stage$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
"$cmake" --build "$work/cmake" >/dev/null
"$work/cmake/consumer" find_package "$work/pid" >"$work/out-cmake"

fail=0
for way in pc:pkg-config cmake:find_package; do
    file=$work/out-${way%%:*} tag=${way#*:}
    if [ "$(cat "$file")" != "$tag pid=4242" ]; then
        echo "$tag consumer printed: $(cat "$file")"
        fail=1
    fi
    if ! grep -Eqs "^[0-9/]{10} [0-9:.]{12} \[dns +warn +[0-9]+\] $tag consumer logged$" "$log"; then
        echo "$tag consumer entry missing from the shared log:"
        cat "$log" 2>/dev/null || echo "(no log file)"
        fail=1
    fi
done
[ "$fail" -eq 0 ] && echo "consumers ok: pkg-config and find_package"
exit "$fail"
