#!/bin/sh
# Runs the installed pppd ip-up hook example the way pppd and Debian's
# /etc/ppp/ip-up run it: from /etc/ppp/ip-up.d through run-parts with
# pppd's six arguments, or called directly, always with an environment as
# bare as pppd's. A recording stand-in sits at the monitor's installed path
# and writes down its arguments, environment and standard streams.
#
# Runs inside ks_sandbox. The monitor's path (under the install prefix) is
# outside the sandbox's private mounts, so its nearest existing directory
# gets a private overlay first; the check that the overlay is in place comes
# before anything is written there.
#
# Usage: hook.sh HOOK MONITOR_PATH
set -eu
export LC_ALL=C
hook=$1 monitor=$2

[ "${KS_SANDBOX-}" = 1 ] || { echo "hook.sh: run under ks_sandbox" >&2; exit 1; }

top=$(dirname "$monitor")
while [ ! -d "$top" ]; do top=$(dirname "$top"); done
case $top in
    /tmp | /tmp/*) ;;  # the sandbox's own tmpfs
    /) echo "hook.sh: no directory to overlay for $monitor" >&2; exit 1 ;;
    *)
        before=$(stat -c %d "$top")
        mkdir -p /tmp/overlay/upper /tmp/overlay/work
        mount -t overlay overlay \
            -o "lowerdir=$top,upperdir=/tmp/overlay/upper,workdir=/tmp/overlay/work" "$top"
        [ "$(stat -c %d "$top")" != "$before" ] ||
            { echo "hook.sh: overlay on $top not in place" >&2; exit 1; }
        ;;
esac

record=/tmp/hook-record
mkdir -p "$(dirname "$monitor")"
cat >"$monitor" <<EOF
#!/bin/sh
# Stand-in for ksMonitor: records how it was started, then outlives the hook.
# Its streams, read before the redirection below replaces standard output.
streams=\$(for fd in 0 1 2; do echo "fd\$fd=\$(/usr/bin/readlink /proc/\$\$/fd/\$fd)"; done)
{
    echo "pid=\$\$"
    echo "argc=\$#"
    echo "\$streams"
    /usr/bin/env | /usr/bin/grep -E '^(IFNAME|DNS1|DNS2|DNSSUFFIX[0-9]+)='
} >$record.tmp
/bin/mv $record.tmp $record
exec /bin/sleep 60
EOF
chmod 755 "$monitor"

mkdir -p /etc/ppp/ip-up.d
cp "$hook" /etc/ppp/ip-up.d/kestrun-monitor
suffixes=/etc/ppp/kestrun.dns-suffixes
fail=0

# pppd's environment for ip-up hooks, with a PATH that finds nothing: the
# hook must name every command by its absolute path.
pppd_env() {
    /usr/bin/env -i PATH=/nonexistent PPPD_PID=4711 PPPLOGNAME=root ORIG_UID=0 \
        DEVICE=/dev/pts/3 SPEED=38400 IPLOCAL=192.0.2.2 IPREMOTE=192.0.2.1 "$@"
}

# Runs one case. Arguments after the case name: how the hook is run (via
# run-parts with pppd's six arguments, or directly), then environment
# words, then --, then the ip-up arguments. The hook must end with status 0
# at once, even though the stand-in outlives it holding nothing of its
# output: run-parts reads its scripts' output to the end.
run_hook() {
    name=$1 how=$2
    shift 2
    env_words=
    while [ "$1" != -- ]; do env_words="$env_words $1"; shift; done
    shift
    rm -f "$record"
    if [ "$how" = run-parts ]; then
        set -- --arg="$1" --arg="$2" --arg="$3" --arg="$4" --arg="$5" --arg="$6"
        # shellcheck disable=SC2086 # environment words
        pppd_env $env_words /usr/bin/timeout 10 /bin/run-parts "$@" /etc/ppp/ip-up.d \
            >/tmp/hook-out 2>&1 && status=0 || status=$?
    else
        # shellcheck disable=SC2086
        pppd_env $env_words /usr/bin/timeout 10 /etc/ppp/ip-up.d/kestrun-monitor "$@" \
            >/tmp/hook-out 2>&1 && status=0 || status=$?
    fi
    if [ "$status" -ne 0 ] || [ -s /tmp/hook-out ]; then
        echo "$name: hook ended with status $status (124: it waited for the monitor)"
        cat /tmp/hook-out
        fail=1
    fi
}

wait_for_record() {
    i=0
    while [ ! -f "$record" ] && [ "$i" -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
    [ -f "$record" ]
}

# Expects the stand-in to have started with exactly these variables (name=value
# lines, in any order), no arguments, and all three streams on /dev/null.
expect_started() {
    name=$1 want=$2
    if ! wait_for_record; then
        echo "$name: monitor not started"
        fail=1
        return
    fi
    pid=$(sed -n 's/^pid=//p' "$record")
    got=$(grep -Ev '^(pid|argc|fd[0-9])=' "$record" | sort)
    want=$(printf '%s\n' "$want" | sort)
    if [ "$got" != "$want" ]; then
        printf '%s: monitor environment\n%s\nexpected\n%s\n' "$name" "$got" "$want"
        fail=1
    fi
    for line in argc=0 fd0=/dev/null fd1=/dev/null fd2=/dev/null; do
        grep -qx "$line" "$record" || { echo "$name: expected $line"; cat "$record"; fail=1; }
    done
    kill -0 "$pid" 2>/dev/null || { echo "$name: monitor did not outlive the hook"; fail=1; }
    kill "$pid"
}

# A hook that starts nothing starts it right away; half a second is ample.
expect_not_started() {
    sleep 0.5
    if [ -f "$record" ]; then
        echo "$1: monitor started for a link that is not the tunnel's"
        fail=1
    fi
}

ppp_args='ppp7 /dev/pts/3 38400 192.0.2.2 192.0.2.1'

# The tunnel's link, from run-parts: pppd's names, the client's suffixes
# (blank and comment lines skipped, blanks trimmed, a last line without a
# line end kept).
printf 'corp.example.com\n\n# comment\n  lab.example.net  \nlast.example' >"$suffixes"
run_hook tunnel run-parts IFNAME=ppp7 DNS1=10.1.1.1 DNS2=10.1.1.2 -- $ppp_args kestrun
expect_started tunnel "$(printf '%s\n' DNS1=10.1.1.1 DNS2=10.1.1.2 \
    DNSSUFFIX0=corp.example.com DNSSUFFIX1=lab.example.net DNSSUFFIX2=last.example IFNAME=ppp7)"

# Another link, or one started without ipparam: nothing.
run_hook other-link run-parts IFNAME=ppp8 DNS1=10.9.9.9 -- ppp8 /dev/ttyS0 115200 198.51.100.2 198.51.100.1 isp
expect_not_started other-link
run_hook no-ipparam direct IFNAME=ppp8 -- ppp8 /dev/ttyS0 115200 198.51.100.2 198.51.100.1
expect_not_started no-ipparam

# Called by a script that passes no arguments but exports Debian's
# PPP_IPPARAM. No servers from the peer: DNS1 and DNS2 stay unset rather
# than empty. No suffix file: suffixes inherited from elsewhere are dropped.
rm -f "$suffixes"
run_hook no-dns direct IFNAME=ppp7 PPP_IPPARAM=kestrun DNSSUFFIX4=stale.example --
expect_started no-dns IFNAME=ppp7

# No IFNAME in the environment: the interface argument names the link.
# Only 32 suffixes are passed on.
i=0
while [ "$i" -lt 40 ]; do echo "s$i.example"; i=$((i + 1)); done >"$suffixes"
run_hook many-suffixes direct DNS1=10.1.1.1 -- $ppp_args kestrun
want="DNS1=10.1.1.1
IFNAME=ppp7"
i=0
while [ "$i" -lt 32 ]; do want="$want
DNSSUFFIX$i=s$i.example"; i=$((i + 1)); done
expect_started many-suffixes "$want"

[ "$fail" -eq 0 ] && echo "hook ok"
exit "$fail"
