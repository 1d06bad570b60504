#!/bin/sh
# Checks, through man(1) on the installed manual tree, that every name in
# kslog(3)'s NAME section is a page of section 3 of its own that shows
# kslog(3), and that section 3 holds nothing else.
#
# Usage: man_aliases.sh MANDIR   (the staged tree's share/man)
set -eu
export LC_ALL=C MANWIDTH=80 MANPAGER=cat PAGER=cat
mandir=$1
page=$mandir/man3/kslog.3
fail=0

[ -f "$page" ] || { echo "man_aliases.sh: no $page" >&2; exit 1; }

# The names before the " \-" that ends the NAME section's list.
names=$(sed -n '/^\.SH NAME/,/^\.SH/{/^\.SH/d;p;}' "$page" |
    sed 's/\\%//g' | tr '\n' ' ' | sed 's/ \\-.*//' | tr -s ', ' '\n' | sed '/^$/d')
[ -n "$names" ] || { echo "no names in the NAME section of $page"; exit 1; }

want=$(man -M "$mandir" 3 kslog)
for name in $names; do
    if ! got=$(man -M "$mandir" 3 "$name" 2>&1); then
        echo "man 3 $name: $got"
        fail=1
    elif [ "$got" != "$want" ]; then
        echo "man 3 $name does not show kslog(3):"
        printf '%s\n' "$got" | head -5
        fail=1
    fi
done

# Every other page of section 3 is one of those names.
for file in "$mandir"/man3/*; do
    base=${file##*/}
    base=${base%.3}
    [ "$base" = kslog ] && continue
    printf '%s\n' "$names" | grep -qxF -e "$base" ||
        { echo "unexpected page: $file"; fail=1; }
done

[ "$fail" -eq 0 ] && echo "$(printf '%s\n' "$names" | wc -l) names find kslog(3)"
exit "$fail"
