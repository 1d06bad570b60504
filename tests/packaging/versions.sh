#!/bin/sh
# Checks that the version the project builds is the one its manual pages
# show in their footers (.TH's fourth argument, "Kestrun VERSION") and the
# one the packages record: the RPM spec's Version and the newest entry of
# debian/changelog. A release changes all of them or fails here.
#
# Usage: versions.sh VERSION SOURCE_DIR PAGE...
set -eu
version=$1 src=$2
shift 2
fail=0

for page; do
    footer=$(sed -n 's/^\.TH [^ ]* [^ ]* [^ ]* "\([^"]*\)".*/\1/p' "$page")
    [ "$footer" = "Kestrun $version" ] ||
        { echo "$page: footer \"$footer\", expected \"Kestrun $version\""; fail=1; }
done

spec=$(sed -n 's/^Version:[[:space:]]*//p' "$src/packaging/rpm/Kestrun.spec")
[ "$spec" = "$version" ] || { echo "Kestrun.spec: Version $spec, expected $version"; fail=1; }

# The newest entry's version, without a Debian revision.
deb=$(sed -n '1s/^[^ ]* (\([^)-]*\).*/\1/p' "$src/debian/changelog")
[ "$deb" = "$version" ] || { echo "debian/changelog: version $deb, expected $version"; fail=1; }

[ "$fail" -eq 0 ] && echo "versions ok: $version in $# pages, Kestrun.spec and debian/changelog"
exit "$fail"
