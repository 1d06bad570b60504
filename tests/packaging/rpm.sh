#!/bin/sh
# Builds the RPM packages of packaging/rpm/Kestrun.spec as a packager would
# from a release: a source tarball of the tree, then rpmbuild on it. The
# packages land in TOPDIR/RPMS; rpm_lint and uninstall_rpm_test read them.
# Debian's rpm has an empty database that cannot satisfy BuildRequires
# (--nodeps), and the tests run here rather than in %check.
#
# The tarball holds the files git tracks plus untracked ones it does not
# ignore, as they are in the work tree (so an uncommitted change is built
# too); outside a git checkout, the whole source tree but .git and build*.
#
# The packages are signed, as a release is, with a throwaway key made here
# (gpg's home is TOPDIR/gnupg; its agent is stopped at the end), and its
# public key is imported into the rpm database of HOME=TOPDIR/home, which
# is where rpm_lint checks the signatures.
#
# Usage: rpm.sh SOURCE_DIR TOPDIR VERSION
# Exits 77 (skipped) when rpmbuild, rpmsign or gpg is not installed.
set -eu
src=$1 top=$2 version=$3
case $top in /*) ;; *) top=$PWD/$top ;; esac  # rpm needs an absolute HOME
spec=$src/packaging/rpm/Kestrun.spec

# Nothing of an earlier run stays, so a skipped build leaves no packages.
rm -rf "$top"
for tool in rpmbuild:rpm rpmsign:rpm gpg:gnupg; do
    command -v "${tool%%:*}" >/dev/null 2>&1 ||
        { echo "skipped: ${tool%%:*} is not installed (apt-get install ${tool#*:})"; exit 77; }
done

spec_version=$(sed -n 's/^Version:[[:space:]]*//p' "$spec")
[ "$spec_version" = "$version" ] ||
    { echo "rpm.sh: $spec says Version $spec_version, the project is $version" >&2; exit 1; }

mkdir -p "$top/SOURCES" "$top/tmp"
name=Kestrun-$version
list=$top/tmp/files
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" ls-files --cached --others --exclude-standard |
        while IFS= read -r file; do [ -e "$src/$file" ] && printf '%s\n' "$file"; done >"$list"
else
    (cd "$src" && find . -path ./.git -prune -o -path './build*' -prune -o ! -type d -print |
        sed 's|^\./||') >"$list"
fi
tar -C "$src" --transform "s|^|$name/|" --owner=0 --group=0 --numeric-owner \
    -czf "$top/SOURCES/$name.tar.gz" -T "$list"

packager='Kestrun developers <kestrun@localhost>'
rpmbuild -bb --nodeps --nocheck --without check \
    --define "_topdir $top" --define "_tmppath $top/tmp" \
    --define "packager $packager" \
    "$spec" >"$top/rpmbuild.log" 2>&1 ||
    { cat "$top/rpmbuild.log"; echo "rpm.sh: rpmbuild failed" >&2; exit 1; }

export GNUPGHOME="$top/gnupg"
mkdir -m 700 "$GNUPGHOME"
trap 'gpgconf --kill gpg-agent 2>/dev/null || true' EXIT
gpg --batch --quiet --passphrase '' --quick-generate-key "$packager" ed25519 sign never 2>/dev/null
find "$top/RPMS" -name '*.rpm' | sort >"$top/packages"
# shellcheck disable=SC2046 # one word a package
rpmsign --addsign --define "__gpg $(command -v gpg)" --define "_gpg_name kestrun@localhost" \
    $(cat "$top/packages") >"$top/rpmsign.log" 2>&1 ||
    { cat "$top/rpmsign.log"; echo "rpm.sh: rpmsign failed" >&2; exit 1; }
gpg --armor --export >"$top/signing-key.asc"
mkdir "$top/home"
HOME=$top/home rpm --initdb
HOME=$top/home rpm --import "$top/signing-key.asc"
cat "$top/packages"
