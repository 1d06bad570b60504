#!/bin/sh
# Checks, through man(1) on the installed manual tree, that every name in
# the NAME section of each given section-3 page is a page of section 3 of
# its own that shows that page, and that section 3 holds nothing else.
#
# Usage: man_aliases.sh MANDIR PAGE...   (MANDIR: the staged tree's
# share/man; PAGE: a page name of section 3, such as kslog)
set -eu
export LC_ALL=C MANWIDTH=80 MANPAGER=cat PAGER=cat
mandir=$1
shift
fail=0
known=$(mktemp)
trap 'rm -f "$known"' EXIT

for page_name; do
    page=$mandir/man3/$page_name.3
    [ -f "$page" ] || { echo "man_aliases.sh: no $page" >&2; exit 1; }
    echo "$page_name" >>"$known"

    # The names before the " \-" that ends the NAME section's list.
    names=$(sed -n '/^\.SH NAME/,/^\.SH/{/^\.SH/d;p;}' "$page" |
        sed 's/\\%//g' | tr '\n' ' ' | sed 's/ \\-.*//' | tr -s ', ' '\n' | sed '/^$/d')
    [ -n "$names" ] || { echo "no names in the NAME section of $page"; exit 1; }
    printf '%s\n' "$names" >>"$known"

    want=$(man -M "$mandir" 3 "$page_name")
    for name in $names; do
        if ! got=$(man -M "$mandir" 3 "$name" 2>&1); then
            echo "man 3 $name: $got"
            fail=1
        elif [ "$got" != "$want" ]; then
            echo "man 3 $name does not show $page_name(3):"
            printf '%s\n' "$got" | head -5
            fail=1
        fi
    done
    echo "$(printf '%s\n' "$names" | wc -l) names find $page_name(3)"
done

# Every other page of section 3 is one of those pages or names.
for file in "$mandir"/man3/*; do
    base=${file##*/}
    base=${base%.3}
    grep -qxF -e "$base" "$known" || { echo "unexpected page: $file"; fail=1; }
done

exit "$fail"
