#!/bin/sh
# Checks that man(1) output never splits a path, an identifier or a command
# across lines with a hyphen, at any width from 30 to 100 columns: copied
# from a terminal, such a split breaks the name. Ordinary words may be
# hyphenated.
#
# Each page is rendered with groff as man(1) renders it for a terminal (tbl,
# the man macros, hyphenation on), on the ascii device with overstriking,
# which marks bold and italic text (X^HX, _^HX). At every line that ends in
# a hyphen after a word, the word's two parts are joined again; the split is
# a fault when either part is set in bold or italic (the man pages' own
# convention for names to type) or the joined word looks like a name: it
# holds one of / _ . $ = @ < > \ or a digit, starts with -, has a capital
# after a small letter, or is split between capitals (DNSSUF-FIX).
#
# Usage: man_hyphens.sh GROFF PAGE...
set -eu
export LC_ALL=C
groff=$1
shift
fail=0

for page; do
    width=30
    while [ "$width" -le 100 ]; do
        splits=$("$groff" -t -man -Tascii -P-c -rLL="$width"n "$page" 2>/dev/null |
            awk -v page="$page" -v width="$width" '
            # Splits an overstruck line into its plain text P (np
            # characters) and E[i], 1 where character i is bold or italic.
            function parse(line,    i, n) {
                P = ""; np = 0; n = length(line); i = 1
                while (i <= n) {
                    if (i + 2 <= n && substr(line, i + 1, 1) == "\b") {
                        P = P substr(line, i + 2, 1); E[++np] = 1; i += 3
                        while (i + 1 <= n && substr(line, i, 1) == "\b") i += 2
                    } else {
                        P = P substr(line, i, 1); E[++np] = 0; i++
                    }
                }
            }
            function trim(w) {
                sub(/^[("`\[{]+/, "", w)
                sub(/[.,;:!?)"`\]}]+$/, "", w)
                return w
            }
            function looks_like_name(w, l, r) {
                return w ~ /[\/_.$=@<>\\0-9]/ || w ~ /^-/ || w ~ /[a-z][A-Z]/ ||
                    (l ~ /[A-Z][A-Z]$/ && r ~ /^[A-Z]/)
            }
            {
                parse($0)
                if (pending) {
                    match(P, /^ */)
                    start = RLENGTH + 1
                    right = substr(P, start)
                    sub(/ .*/, "", right)
                    if (right != "") {
                        word = trim(left "-" right)
                        if (left_emph || E[start] || looks_like_name(word, left, right))
                            printf "%s at %d columns, line %d: %s-|%s\n", page, width, NR - 1, left, right
                    }
                }
                pending = 0
                # A word that ends the line with a hyphen, not a lone dash.
                if (np >= 2 && substr(P, np, 1) == "-" && substr(P, np - 1, 1) !~ /[ -]/) {
                    head = substr(P, 1, np - 1)
                    match(head, /[^ ]*$/)
                    left = substr(head, RSTART)
                    left_emph = E[np - 1] || E[np]
                    pending = 1
                }
            }')
        if [ -n "$splits" ]; then
            printf '%s\n' "$splits"
            fail=1
        fi
        width=$((width + 1))
    done
done

[ "$fail" -eq 0 ] && echo "no name split by a hyphen"
exit "$fail"
