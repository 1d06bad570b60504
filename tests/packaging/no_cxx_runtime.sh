#!/bin/sh
# Checks that the support library's archive needs nothing of the C++
# runtime, so a C client links it with the C library alone: every symbol
# its objects leave undefined (nm -u) is either defined by another object
# of the archive or not a C++ one (no mangled name, no __cxa_, __gxx_ or
# _Unwind_ symbol). The sanitizers' own runtime symbols are allowed.
#
# Usage: no_cxx_runtime.sh NM ARCHIVE
set -eu
export LC_ALL=C
nm=$1
archive=$2

defined=$("$nm" --defined-only -g "$archive" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u)
undefined=$("$nm" -u "$archive" 2>/dev/null | awk 'NF >= 2 { print $NF }' | sort -u)
[ -n "$undefined" ] || { echo "nm -u listed nothing for $archive" >&2; exit 1; }
outside=$(printf '%s\n' "$undefined" | { [ -n "$defined" ] && grep -vxF "$defined" || cat; })
found=$(printf '%s\n' "$outside" |
    grep -E '^(_Z|__cxa_|__gxx_|_Unwind_|__cxx)' | grep -vE '^(__asan|__ubsan|__sanitizer|__lsan)' || true)
if [ -n "$found" ]; then
    echo "$archive needs the C++ runtime:" >&2
    printf '%s\n' "$found" >&2
    exit 1
fi
echo "no C++ runtime symbol needed by $archive"
