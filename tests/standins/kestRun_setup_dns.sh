#!/bin/sh
# Stand-in for the client program /usr/sbin/kestRun, as the monitor uses it.
# Every call is recorded, one line of its arguments, in /tmp/kestRun.calls
# once its work is done. "--setup-dns" rewrites /etc/resolv.conf from the
# environment as the client does: a "nameserver <value>" line for each of
# DNS1 and DNS2 that is set, and one "search" line holding every
# DNSSUFFIX<n> that is set.
record() { echo "$*" >>/tmp/kestRun.calls; }
if [ "$1" != "--setup-dns" ]; then
    record "$@"
    exit 0
fi

new=/etc/resolv.conf.kestRun.$$
{
    if [ -n "${DNS1+set}" ]; then printf 'nameserver %s\n' "$DNS1"; fi
    if [ -n "${DNS2+set}" ]; then printf 'nameserver %s\n' "$DNS2"; fi
    line=search
    found=
    i=0
    while [ "$i" -lt 32 ]; do
        eval "set_here=\${DNSSUFFIX$i+set} value=\${DNSSUFFIX$i}"
        if [ -n "$set_here" ]; then
            line="$line $value"
            found=1
        fi
        i=$((i + 1))
    done
    if [ -n "$found" ]; then printf '%s\n' "$line"; fi
} >"$new" && mv -f "$new" /etc/resolv.conf
record "$@"
