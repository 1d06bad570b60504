#!/bin/sh
# Checks the packages deb.sh built, and the source package, with
# "lintian --pedantic": no tag of any level may be left, and every
# override in debian/ has a comment line just above it that gives its
# reason, so that a new finding fails until it is mended or explained.
#
# Usage: deb_lint.sh SOURCE_DIR OUT_DIR
# Exits 77 (skipped) when lintian is not installed or nothing was built.
set -eu
src=$1 out=$2

command -v lintian >/dev/null 2>&1 ||
    { echo "skipped: lintian is not installed (apt-get install lintian)"; exit 77; }
# CTest runs this even when packaging_deb was skipped.
[ -f "$out/packages" ] ||
    { echo "skipped: no packages to check (packaging_deb was skipped)"; exit 77; }

fail=0
for file in "$src"/debian/*lintian-overrides "$src"/debian/source/lintian-overrides; do
    [ -f "$file" ] || continue
    awk -v file="$file" '
        /^[[:space:]]*$/ { previous = ""; next }
        /^#/ { previous = $0; next }
        previous == "" { print file ": no reason given above: " $0; bad = 1 }
        { previous = "" }
        END { exit bad }' "$file" || fail=1
done

# lintian refuses nothing as root, but says so on standard error. Its
# scratch files (which it leaves behind) go to OUT_DIR/tmp, not /tmp.
set -- "$out"/*.changes "$out"/*.dsc
rm -rf "$out/tmp"
mkdir "$out/tmp"
export TMPDIR="$out/tmp"
report=$out/lintian.out
status=0
lintian --pedantic "$@" >"$report" 2>"$out/lintian.err" || status=$?
cat "$report"
if [ "$status" -ne 0 ] || [ -s "$report" ]; then
    echo "deb_lint: lintian --pedantic reports the findings above (status $status)"
    grep -v 'running with root privileges' "$out/lintian.err" || :
    fail=1
fi
[ "$fail" -eq 0 ] && echo "deb_lint ok: no finding of lintian --pedantic, every override explained"
exit "$fail"
