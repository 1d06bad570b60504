#!/bin/sh
# Builds the Debian packages of debian/ as a packager would, with
# "dpkg-buildpackage -us -uc -b", from a copy of the tree in
# OUT_DIR/kestrun-VERSION (the packages, .buildinfo and .changes land in
# OUT_DIR, the copy's parent), and the source package with dpkg-source from the same copy, for
# lintian. The tests are not run again inside the build (nocheck): the
# suite this script belongs to is those tests.
#
# The copy holds the files git tracks plus untracked ones it does not
# ignore, as they are in the work tree (so an uncommitted change is built
# too). It is made a git repository of its own before the build, so that
# afterwards git shows whether the build left anything in the tree that
# .gitignore does not cover, or changed a file it should only read.
#
# Usage: deb.sh SOURCE_DIR OUT_DIR VERSION
# Exits 77 (skipped) when dpkg-buildpackage, debhelper or git is missing.
set -eu
src=$1 out=$2 version=$3
case $out in /*) ;; *) out=$PWD/$out ;; esac

# Nothing of an earlier run stays, so a skipped build leaves no packages.
rm -rf "$out"
for tool in dpkg-buildpackage:dpkg-dev dh:debhelper git:git; do
    command -v "${tool%%:*}" >/dev/null 2>&1 ||
        { echo "skipped: ${tool%%:*} is not installed (apt-get install ${tool#*:})"; exit 77; }
done
git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    { echo "skipped: $src is not a git checkout"; exit 77; }

copy=$out/kestrun-$version
mkdir -p "$copy"
# Names git lists that no longer exist (deleted, not yet committed) are left
# out.
# shellcheck disable=SC2016 # the inner shell expands $f
git -C "$src" ls-files -z --cached --others --exclude-standard |
    (cd "$src" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    tar -C "$src" --null -T - -cf - | tar -C "$copy" -xf -

# The compilers' and tools' scratch files stay in OUT_DIR too.
mkdir "$out/tmp"
export TMPDIR="$out/tmp"

git_quiet() { git -C "$copy" -c user.name=deb.sh -c user.email=deb.sh@localhost "$@" >/dev/null; }
git_quiet init -q
git_quiet add -A
git_quiet commit -q -m "as copied"

(cd "$out" && dpkg-source -b "kestrun-$version") >"$out/dpkg-source.log" 2>&1 ||
    { cat "$out/dpkg-source.log"; echo "deb.sh: dpkg-source failed" >&2; exit 1; }

(cd "$copy" && DEB_BUILD_OPTIONS="nocheck${DEB_BUILD_OPTIONS:+ $DEB_BUILD_OPTIONS}" \
    DEB_BUILD_PROFILES=nocheck dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 ||
    { cat "$out/build.log"; echo "deb.sh: dpkg-buildpackage failed" >&2; exit 1; }

fail=0
left=$(git -C "$copy" status --porcelain --untracked-files=all)
if [ -n "$left" ]; then
    echo "deb.sh: the build left files in the tree that git sees:"
    printf '%s\n' "$left"
    fail=1
fi
find "$out" -maxdepth 1 -name '*.deb' | sort >"$out/packages"
cat "$out/packages"
exit "$fail"
