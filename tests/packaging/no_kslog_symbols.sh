#!/bin/sh
# Checks that the uninstaller holds nothing of the log facility: it shares
# only headers with the support library (kestrun::base), so no symbol of
# its binary may name kslog, in any case. The binary's own step
# running_client_pid must be listed, so that a binary without a symbol
# table cannot pass.
#
# Usage: no_kslog_symbols.sh NM PROGRAM
set -eu
export LC_ALL=C
nm=$1
program=$2

symbols=$("$nm" -a "$program")
if ! printf '%s\n' "$symbols" | grep -q 'running_client_pid'; then
    echo "no symbol table in $program (running_client_pid is not listed)" >&2
    exit 1
fi
if found=$(printf '%s\n' "$symbols" | grep -i 'kslog'); then
    echo "$program holds symbols of the log facility:" >&2
    printf '%s\n' "$found" >&2
    exit 1
fi
echo "no kslog symbol in $program"
