#!/bin/sh
# Checks the staged install tree file by file: each expected file is there
# with its mode, and nothing else was installed.
# Usage: layout.sh STAGE_DIR MODE:PATH...   (PATH absolute, as installed)
set -eu
stage=$1
shift

fail=0
expected=$(mktemp)
trap 'rm -f "$expected"' EXIT

for entry in "$@"; do
    mode=${entry%%:*}
    path=${entry#*:}
    printf '%s\n' "$path" >>"$expected"
    if [ ! -f "$stage$path" ] || [ -L "$stage$path" ]; then
        echo "missing: $path"
        fail=1
        continue
    fi
    actual=$(stat -c %a "$stage$path")
    if [ "$actual" != "$mode" ]; then
        echo "mode $actual, expected $mode: $path"
        fail=1
    fi
done

# Everything installed that is not a directory must be expected.
sort -o "$expected" "$expected"
extra=$(cd "$stage" && find . ! -type d | sed 's|^\.||' | sort | comm -23 - "$expected")
if [ -n "$extra" ]; then
    echo "installed but not expected:"
    echo "$extra"
    fail=1
fi

[ "$fail" -eq 0 ] && echo "layout ok: $# files"
exit "$fail"
