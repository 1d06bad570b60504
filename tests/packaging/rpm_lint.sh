#!/bin/sh
# Checks Kestrun.spec and the packages rpm.sh built with rpmlint, in its default
# configuration: every error left is one Kestrun.spec's comment explains under
# its heading of errors reported on purpose (which ends at its heading of
# warnings), and every warning left is one its comment explains (by its
# name), so that a new finding fails until it is mended or explained.
#
# Usage: rpm_lint.sh SPEC TOPDIR
# Exits 77 (skipped) when rpmlint is not installed or no package was built.
set -eu
spec=$1 top=$2
case $top in /*) ;; *) top=$PWD/$top ;; esac  # rpm needs an absolute HOME

command -v rpmlint >/dev/null 2>&1 ||
    { echo "skipped: rpmlint is not installed (apt-get install rpmlint)"; exit 77; }
# CTest runs this even when packaging_rpm was skipped.
[ -f "$top/packages" ] ||
    { echo "skipped: no packages to check (packaging_rpm was skipped)"; exit 77; }

out=$top/rpmlint.out
# The signing key is known to the rpm database under this HOME only.
status=0
# shellcheck disable=SC2046 # one word a package
HOME=$top/home rpmlint "$spec" $(cat "$top/packages") >"$out" 2>&1 || status=$?
cat "$out"

fail=0
# rpmlint's status is 64 when it reports errors; anything else is a failure
# of its own.
if [ "$status" -ne 0 ] && [ "$status" -ne 64 ]; then
    echo "rpm_lint: rpmlint failed (status $status)"
    fail=1
fi
errors_explained=$(sed -n '/^# The errors\{0,1\} rpmlint/,/^# Warnings rpmlint/p' "$spec")
for tag in $(sed -n 's/^[^ ]*: E: \([^ ]*\).*/\1/p' "$out" | sort -u); do
    printf '%s\n' "$errors_explained" | grep -Eq "^#.*(^|[^a-z-])$tag([^a-z-]|$)" ||
        { echo "rpm_lint: error $tag is not explained in $spec"; fail=1; }
done
tags=$(sed -n 's/^[^ ]*: W: \([^ ]*\).*/\1/p' "$out" | sort -u)
for tag in $tags; do
    grep -Eq "^#.*(^|[^a-z-])$tag([^a-z-]|$)" "$spec" ||
        { echo "rpm_lint: warning $tag is not explained in $spec"; fail=1; }
done
[ "$fail" -eq 0 ] && echo "rpm_lint ok: every error and warning explained"
exit "$fail"
