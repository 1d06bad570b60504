#!/bin/sh
# Installs the packages deb.sh built (kestrun and libkssupport-dev) with
# dpkg, runs what they installed (the smoke tests of debian/tests: both
# programs' --version, a C client built with pkg-config, and the installed
# ksMonitor against stand-ins), purges them, and checks that nothing of
# them is left: no file under /usr or /etc, no record in dpkg's database.
#
# Runs inside "ks_sandbox --usr": /usr and /etc are private overlays. dpkg's
# database (/var/lib/dpkg) and the manual page index that man-db's trigger
# rebuilds (/var/cache/man) get private overlays here, checked before
# anything is written, and dpkg logs nowhere. The host's packages stay
# visible below the overlays, so the packages' dependencies are met as on
# the host.
#
# Usage: deb_install.sh SOURCE_DIR OUT_DIR
# Exits 77 (skipped) when no package was built.
set -eu
export LC_ALL=C
src=$1 out=$2

[ "${KS_SANDBOX-}" = 1 ] || { echo "deb_install.sh: run under ks_sandbox --usr" >&2; exit 1; }
[ -f "$out/packages" ] ||
    { echo "skipped: no packages to install (packaging_deb was skipped)"; exit 77; }
# dpkg installs files owned by root among the host's own and locks its
# database as root: in a user namespace that maps only the caller, that
# cannot be done as on a host.
read -r inside outside count <"/proc/self/uid_map"
[ "$inside $outside $count" = "0 0 4294967295" ] ||
    { echo "skipped: installing with dpkg needs the host's root user (not mapped here)"; exit 77; }
for dir in /usr /etc; do
    [ "$(stat -f -c %T "$dir")" = overlayfs ] ||
        { echo "deb_install.sh: $dir is not the sandbox's overlay" >&2; exit 1; }
done

# A private overlay on DIR, whose writes land in the sandbox's /tmp.
layers=0
overlay() {
    dir=$1
    before=$(stat -c %d "$dir")
    layers=$((layers + 1))
    layer=/tmp/deb-overlay$layers
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
    [ "$(stat -c %d "$dir")" != "$before" ] ||
        { echo "deb_install.sh: overlay on $dir not in place" >&2; exit 1; }
}
overlay /var/lib/dpkg
[ -d /var/cache/man ] && overlay /var/cache/man

runtime=$(grep '/kestrun_[^/]*\.deb$' "$out/packages")
devel=$(grep '/libkssupport-dev_[^/]*\.deb$' "$out/packages")
packages="kestrun libkssupport-dev"
dpkg_quiet() { dpkg --log=/dev/null "$@" >/tmp/dpkg.out 2>&1 || { cat /tmp/dpkg.out; return 1; }; }

# Everything under /usr and /etc, and dpkg's records of the packages: after
# the purge it must be as it was before the install.
snapshot() {
    {
        find /usr /etc -xdev -printf '%p %y %m\n'
        ls /var/lib/dpkg/info
        for package in $packages; do
            dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "$package" 2>/dev/null || :
        done
    } | sort
}
snapshot >/tmp/before
fail=0

dpkg_quiet -i "$runtime" "$devel"
for package in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$package")
    [ "$status" = "install ok installed" ] || { echo "$package: $status"; fail=1; }
done

# The hook: a conffile, where Debian's /etc/ppp/ip-up has run-parts run it.
hook=/etc/ppp/ip-up.d/kestrun-monitor
dpkg-query -W -f='${Conffiles}\n' kestrun | grep -q "^ $hook " ||
    { echo "$hook is not a conffile of kestrun"; fail=1; }
run-parts --test /etc/ppp/ip-up.d | grep -qx "$hook" ||
    { echo "run-parts would not run $hook"; fail=1; }
# Every name of the section-3 pages finds its page.
for name in get_pid_from_file sslvpn_get_kestrun_pid kslogInit; do
    man -w 3 "$name" >/dev/null 2>&1 || { echo "man 3 $name finds nothing"; fail=1; }
done

# The smoke tests of debian/tests, on the installed packages.
for test in versions c-client monitor; do
    tmp=$(mktemp -d /tmp/autopkgtest.XXXXXX)
    status=0
    AUTOPKGTEST_TMP=$tmp "$src/debian/tests/$test" >/tmp/test.out 2>&1 || status=$?
    sed "s/^/$test: /" /tmp/test.out
    [ "$status" -eq 0 ] || { echo "debian/tests/$test failed (status $status)"; fail=1; }
    rm -rf "$tmp"
done

# shellcheck disable=SC2086 # package names
dpkg_quiet --purge $packages
snapshot >/tmp/after
if ! diff -u /tmp/before /tmp/after >/tmp/left; then
    echo "left behind or changed by install and purge:"
    cat /tmp/left
    fail=1
fi
[ "$fail" -eq 0 ] && echo "deb_install ok: installed, run, purged, nothing left"
exit "$fail"
