#!/bin/sh
# Installs the build tree into a temporary prefix, builds a C program with
# gcc against the installed kslog.h and libkssupport.a (with the C library
# alone: no -lstdc++, the archive needs no C++ runtime), runs it and checks
# that it logged. Runs inside ks_sandbox: the program writes /tmp/kestRun.log
# and the log file under HOME.
# Usage: check.sh BUILD_DIR MAIN_C SANITIZE(0|1)
set -eu
build=$1
main=$2
sanitize=$3

prefix=$(mktemp -d /tmp/ks-prefix.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

header=$(find "$prefix" -name kslog.h)
library=$(find "$prefix" -name libkssupport.a)
[ -n "$header" ] && [ -n "$library" ] || { echo "kslog.h or libkssupport.a not installed"; exit 1; }
[ -f "$(dirname "$header")/ksProcUtils.h" ] || { echo "ksProcUtils.h not installed"; exit 1; }

flags=
[ "$sanitize" = 1 ] && flags="-fsanitize=address,undefined"
# shellcheck disable=SC2086
gcc -std=gnu11 -Wall -Wextra -Werror $flags -I "$(dirname "$header")" "$main" "$library" \
    -o "$prefix/consumer"

out=$("$prefix/consumer")
[ "$out" = "5 0" ] || { echo "unexpected output: $out"; exit 1; }

log="$HOME/.kestRun.log"
grep -Eq '^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9:.]{12} \[connect notice +[0-9]+\] C consumer 42$' "$log" ||
    { echo "no entry in $log:"; cat "$log" 2>/dev/null; exit 1; }
if grep -q 'below the level' "$log"; then
    echo "a disabled entry was written"
    exit 1
fi
[ ! -e /tmp/kestRun.log ] || { echo "the shared link outlived the program"; exit 1; }
echo "C consumer logged through the installed library"
