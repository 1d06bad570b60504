#!/bin/sh
# Checks that the installed programs were built the way a distribution
# builds a root daemon: reads their ELF headers and dynamic symbols with
# readelf, and the compile flags of the product's sources from
# compile_commands.json (stack clash protection and the format checks leave
# no mark in the binary).
#
# _FORTIFY_SOURCE is expected only in optimised builds without sanitizers
# (FORTIFY=1). There each program must import at least one fortified *_chk
# function: both programs format text with the printf family, which the
# fortified headers route through the checking variants.
#
# Usage: hardening.sh COMPILE_COMMANDS SOURCE_DIR FORTIFY BINARY...
set -eu
commands=$1 source_dir=$2 fortify=$3
shift 3

fail=0
bad() {
    echo "$1: $2"
    fail=1
}

for bin in "$@"; do
    [ -f "$bin" ] || { bad "$bin" "not installed"; continue; }
    readelf -hW "$bin" | grep -Eq '^ *Type: *DYN ' ||
        bad "$bin" "not a position-independent executable"
    segments=$(readelf -lW "$bin")
    printf '%s\n' "$segments" | grep -q '^ *GNU_RELRO ' ||
        bad "$bin" "no RELRO segment"
    stack=$(printf '%s\n' "$segments" | awk '$1 == "GNU_STACK" { print $7 }')
    case $stack in
        '') bad "$bin" "no GNU_STACK header (the stack defaults to executable)" ;;
        *E*) bad "$bin" "executable stack" ;;
    esac
    readelf -dW "$bin" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*[: ]NOW( |$)' ||
        bad "$bin" "no immediate binding (partial RELRO only)"
    symbols=$(readelf --dyn-syms -W "$bin")
    printf '%s\n' "$symbols" | grep -q ' __stack_chk_fail' ||
        bad "$bin" "no stack protector"
    if [ "$fortify" = 1 ]; then
        printf '%s\n' "$symbols" | grep -Eq ' __[a-z0-9_]+_chk(@| |$)' ||
            bad "$bin" "no fortified libc call"
    fi
done

# Each product source (support/, monitor/, uninstall/) was compiled with the
# hardening flags.
flags='-fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security'
[ "$fortify" = 1 ] && flags="$flags -D_FORTIFY_SOURCE=2"
report=$(awk -v src="$source_dir" -v flags="$flags" -v fortify="$fortify" '
    /"command":/ { command = $0 }
    /"file":/ {
        file = $0
        sub(/^[^:]*: *"/, "", file); sub(/",? *$/, "", file)
        if (index(file, src "/support/") != 1 && index(file, src "/monitor/") != 1 &&
            index(file, src "/uninstall/") != 1) next
        seen++
        n = split(flags, want, " ")
        for (i = 1; i <= n; i++)
            if (index(command " ", " " want[i] " ") == 0) print file ": missing " want[i]
        if (fortify == 1 && command !~ / -O[1-3s] /) print file ": not optimised"
    }
    END { if (seen == 0) print "no product source in the compile commands" }
' "$commands")
if [ -n "$report" ]; then
    echo "$report"
    fail=1
fi

[ "$fail" -eq 0 ] && echo "hardening ok: $*"
exit "$fail"
