#!/bin/sh
# Runs the installed pppd ip-up hook example the ways pppd's callers run it:
# from /etc/ppp/ip-up.d through run-parts with pppd's six arguments (as
# Debian's /etc/ppp/ip-up does), from /etc/ppp/ip-up.local (as the ip-up of
# RPM-based distributions does), or called bare, always with an environment
# as bare as pppd's.
#
# At the monitor's installed path sits a recording stand-in (HOOK_MONITOR,
# a real executable, so that /proc/<pid>/exe names that path) and, for the
# start-up failures, the installed monitor itself (REAL_MONITOR). A
# recording stand-in for logger(1) sits in /usr/sbin, first in the
# directories the hook searches; for the cases without logger, every logger
# there is hidden.
#
# Runs inside ks_sandbox. Directories outside the sandbox's private mounts
# get a private overlay first, checked before anything is written there.
#
# Usage: hook.sh HOOK MONITOR_PATH HOOK_MONITOR REAL_MONITOR
set -eu
export LC_ALL=C
hook=$1 monitor=$2 standin=$3 real_monitor=$4

[ "${KS_SANDBOX-}" = 1 ] || { echo "hook.sh: run under ks_sandbox" >&2; exit 1; }

# A private overlay on DIR, whose writes land in the sandbox's /tmp.
overlays=0
overlay() {
    dir=$1
    before=$(stat -c %d "$dir")
    overlays=$((overlays + 1))
    layer=/tmp/overlay$overlays
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
    [ "$(stat -c %d "$dir")" != "$before" ] ||
        { echo "hook.sh: overlay on $dir not in place" >&2; exit 1; }
}

top=$(dirname "$monitor")
while [ ! -d "$top" ]; do top=$(dirname "$top"); done
case $top in
    /tmp | /tmp/*) ;;  # the sandbox's own tmpfs
    /) echo "hook.sh: no directory to overlay for $monitor" >&2; exit 1 ;;
    *) overlay "$top" ;;
esac
[ "$(stat -f -c %T /usr/sbin)" = overlayfs ] ||
    { echo "hook.sh: /usr/sbin is not the sandbox's overlay" >&2; exit 1; }

# The monitor's path holds the stand-in or the real monitor. A running
# stand-in keeps its file busy: replace the name rather than the file.
mkdir -p "$(dirname "$monitor")"
install_monitor() {
    rm -f "$monitor"
    cp "$1" "$monitor"
    chmod 755 "$monitor"
}
install_monitor "$standin"

starts=/tmp/hook-starts
loggers=/tmp/logger-records
mkdir -p "$starts" "$loggers"
chmod 1777 "$starts"  # the stand-in also runs as another user
cat >/usr/sbin/logger <<EOF
#!/bin/sh
# Stand-in for logger(1): records its arguments and streams as soon as it
# starts (PID.head), then, once its input ends, all of it with each line
# read (PID.log).
streams=\$(for fd in 0 1 2; do echo "fd\$fd=\$(/usr/bin/readlink /proc/\$\$/fd/\$fd)"; done)
{ echo "args=\$*"; echo "\$streams"; } >$loggers/\$\$.head
/usr/bin/sed 's/^/line=/' >$loggers/\$\$.lines
/usr/bin/cat $loggers/\$\$.head $loggers/\$\$.lines >$loggers/.\$\$
/usr/bin/mv $loggers/.\$\$ $loggers/\$\$.log
EOF
chmod 755 /usr/sbin/logger

# Debian's layout, and the RPM-based one: a copy of the hook called from
# an executable ip-up.local.
mkdir -p /etc/ppp/ip-up.d
cp "$hook" /etc/ppp/ip-up.d/kestrun-monitor
cp "$hook" /etc/ppp/kestrun-monitor
printf '#!/bin/sh\n/etc/ppp/kestrun-monitor "$@"\n' >/etc/ppp/ip-up.local
chmod 755 /etc/ppp/ip-up.local
suffixes=/etc/ppp/kestrun.dns-suffixes
fail=0

# pppd's environment for ip-up hooks, with a PATH that finds nothing: the
# hook must not rely on one.
pppd_env() {
    /usr/bin/env -i PATH=/nonexistent PPPD_PID=4711 PPPLOGNAME=root ORIG_UID=0 \
        DEVICE=/dev/pts/3 SPEED=38400 IPLOCAL=192.0.2.2 IPREMOTE=192.0.2.1 "$@"
}

# What the ip-up of RPM-based distributions does with pppd's arguments.
rpm_ip_up='PATH=/sbin:/usr/sbin:/bin:/usr/bin
export PATH
[ -x /etc/ppp/ip-up.local ] && /etc/ppp/ip-up.local "$@"
exit 0'

# Runs one case. Arguments after the case name: how the hook is run
# (run-parts, ip-up.local or direct), then environment words, then --, then
# the ip-up arguments. The hook must end with status 0 and no output at
# once, and nothing it starts may hold its output, although what it starts
# outlives it: whoever reads the output of ip-up (or of run-parts) to its
# end would wait for them. The output goes through a pipe that is read to
# its end, for five seconds at most.
run_hook() {
    name=$1 how=$2
    shift 2
    env_words=
    while [ "$1" != -- ]; do env_words="$env_words $1"; shift; done
    shift
    rm -f "$starts"/* "$loggers"/*
    case $how in
        run-parts)
            set -- --arg="$1" --arg="$2" --arg="$3" --arg="$4" --arg="$5" --arg="$6"
            set -- /bin/run-parts "$@" /etc/ppp/ip-up.d
            ;;
        ip-up.local) set -- /bin/sh -c "$rpm_ip_up" ip-up "$@" ;;
        direct) set -- /etc/ppp/ip-up.d/kestrun-monitor "$@" ;;
    esac
    {
        # shellcheck disable=SC2086 # environment words
        pppd_env $env_words /usr/bin/timeout 10 "$@" && status=0 || status=$?
        echo "$status" >/tmp/hook-status
    } 2>&1 | {
        /usr/bin/timeout 5 /usr/bin/cat >/tmp/hook-out && status=0 || status=$?
        echo "$status" >/tmp/hook-read
    }
    status=$(cat /tmp/hook-status)
    if [ "$status" -ne 0 ] || [ -s /tmp/hook-out ]; then
        echo "$name: hook ended with status $status (124: it waited for what it started)"
        cat /tmp/hook-out
        fail=1
    fi
    if [ "$(cat /tmp/hook-read)" -ne 0 ]; then
        echo "$name: the hook's output was held open after it ended"
        fail=1
    fi
}

# Waits up to five seconds for a file matching the pattern.
wait_for() {
    i=0
    while [ "$i" -lt 500 ]; do
        for f in $1; do [ -f "$f" ] && return 0; done
        sleep 0.01
        i=$((i + 1))
    done
    return 1
}

# Expects the stand-in to have started once, with exactly these variables
# of pppd's and the client's (name=value lines, in any order), no
# arguments, standard input and output on /dev/null, and its standard error
# on a pipe to logger (LOG=logger) or on /dev/null (LOG=none). With logger,
# the hook has returned while logger still reads the monitor's standard
# error; once the stand-in detaches, logger has logged its line and ended.
# The stand-in is left running: its pid is in $monitor_pid.
expect_started() {
    name=$1 want=$2 log=$3
    monitor_pid=
    if ! wait_for "$starts/[0-9]*"; then
        echo "$name: monitor not started"
        fail=1
        return
    fi
    sleep 0.1  # a second start, if any, shows up here
    set -- "$starts"/[0-9]*
    [ $# -eq 1 ] || { echo "$name: $# monitors started"; fail=1; }
    record=$1
    monitor_pid=$(sed -n 's/^pid=//p' "$record")
    got=$(grep -E '^(IFNAME|DNS1|DNS2|DNSSUFFIX[0-9]+)=' "$record" | sort)
    want=$(printf '%s\n' "$want" | sort)
    if [ "$got" != "$want" ]; then
        printf '%s: monitor environment\n%s\nexpected\n%s\n' "$name" "$got" "$want"
        fail=1
    fi
    if [ "$log" = logger ]; then fd2='fd2=pipe:\[[0-9]*\]'; else fd2=fd2=/dev/null; fi
    for line in argc=0 fd0=/dev/null fd1=/dev/null "$fd2"; do
        grep -qx -e "$line" "$record" || { echo "$name: expected $line"; cat "$record"; fail=1; }
    done
    kill -0 "$monitor_pid" 2>/dev/null || { echo "$name: monitor did not outlive the hook"; fail=1; }

    if [ "$log" = logger ]; then
        if ! wait_for "$loggers/*.head"; then
            echo "$name: logger not started"
            fail=1
        elif [ -n "$(ls "$loggers"/*.log 2>/dev/null)" ]; then
            echo "$name: logger ended before the monitor detached"
            fail=1
        fi
    fi
    kill -USR1 "$monitor_pid"
    if [ "$log" = logger ]; then
        expect_logged "$name" "stand-in monitor for $(sed -n 's/^IFNAME=//p' "$record") starting"
    else
        sleep 0.2
        [ -z "$(ls "$loggers")" ] || { echo "$name: a logger ran"; fail=1; }
    fi
}

# Expects one logger run with the hook's tag and priority, its own output
# on /dev/null, and exactly the given lines read from the monitor.
expect_logged() {
    name=$1 lines=$2
    if ! wait_for "$loggers/*.log"; then
        echo "$name: logger did not end after the monitor detached"
        ls -l "$loggers"
        fail=1
        return
    fi
    set -- "$loggers"/*.log
    [ $# -eq 1 ] || { echo "$name: $# loggers ran"; fail=1; }
    got=$(sed 's/^fd0=pipe:\[[0-9]*\]$/fd0=PIPE/' "$1")
    want=$(printf 'args=-t ksMonitor -p daemon.err\nfd0=PIPE\nfd1=/dev/null\nfd2=/dev/null\n'
        printf '%s\n' "$lines" | sed 's/^/line=/')
    if [ "$got" != "$want" ]; then
        printf '%s: logger run\n%s\nexpected\n%s\n' "$name" "$got" "$want"
        fail=1
    fi
}

# A hook that starts nothing starts it right away; half a second is ample.
expect_not_started() {
    sleep 0.5
    if [ -n "$(ls "$starts")" ] || [ -n "$(ls "$loggers")" ]; then
        echo "$1: started"
        ls -l "$starts" "$loggers"
        fail=1
    fi
}

# Ends processes and waits until they are no longer live (a zombie's exe
# no longer resolves, which is all the hook looks at).
stop() {
    for pid; do kill "$pid" 2>/dev/null || :; done
    for pid; do
        i=0
        while [ -e "/proc/$pid/exe" ] && [ "$i" -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
    done
}

ppp_args='ppp7 /dev/pts/3 38400 192.0.2.2 192.0.2.1'

# ---- with logger ----

# The tunnel's link, from run-parts: pppd's names, the client's suffixes
# (blank and comment lines skipped, blanks trimmed, a last line without a
# line end kept); what the monitor says before it detaches is logged.
printf 'corp.example.com\n\n# comment\n  lab.example.net  \nlast.example' >"$suffixes"
tunnel_env="DNS1=10.1.1.1
DNS2=10.1.1.2
DNSSUFFIX0=corp.example.com
DNSSUFFIX1=lab.example.net
DNSSUFFIX2=last.example
IFNAME=ppp7"
# shellcheck disable=SC2086 # the ip-up arguments
run_hook tunnel run-parts IFNAME=ppp7 DNS1=10.1.1.1 DNS2=10.1.1.2 -- $ppp_args kestrun
expect_started tunnel "$tunnel_env" logger
first=$monitor_pid

# IPCP renegotiated with other nameservers: ip-up runs again for ppp7, by
# either route, and the running monitor stays the only one.
# shellcheck disable=SC2086
run_hook renegotiated run-parts IFNAME=ppp7 DNS1=10.2.2.2 -- $ppp_args kestrun
expect_not_started renegotiated
# shellcheck disable=SC2086
run_hook renegotiated-local ip-up.local IFNAME=ppp7 DNS1=10.2.2.2 -- $ppp_args kestrun
expect_not_started renegotiated-local

# Another tunnel link, from ip-up.local, gets its own monitor.
run_hook second-link ip-up.local IFNAME=ppp9 DNS1=10.3.3.3 -- \
    ppp9 /dev/pts/4 38400 192.0.2.6 192.0.2.5 kestrun
expect_started second-link "$(printf '%s\n' DNS1=10.3.3.3 DNSSUFFIX0=corp.example.com \
    DNSSUFFIX1=lab.example.net DNSSUFFIX2=last.example IFNAME=ppp9)" logger
stop "$monitor_pid" "$first"

# Processes that are not ppp7's monitor do not count: another program with
# ppp7's IFNAME, this monitor for links whose names extend or shorten
# ppp7's, and this monitor with ppp7's IFNAME run by another user, who may
# run it with any environment. With only those running, the hook starts
# ppp7's monitor.
# In a user namespace that maps only the caller (an unprivileged ks_sandbox)
# no other user exists: the other user's case is left out there.
run_as_list="root:ppp70 root:ppp 65534:ppp7"
if ! awk '$1 == 0 && $2 == 0 && $3 == 4294967295 { whole = 1 } END { exit !(whole && NR == 1) }' \
    /proc/self/uid_map; then
    echo "hook.sh: left out: another user's monitor (needs real root: other users to become)"
    run_as_list="root:ppp70 root:ppp"
fi
/usr/bin/env -i IFNAME=ppp7 /bin/sleep 60 &
others=$!
for run_as in $run_as_list; do
    uid=${run_as%%:*} name=${run_as#*:}
    rm -f "$starts"/*
    /usr/bin/setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        /usr/bin/env -i IFNAME="$name" "$monitor" </dev/null >/dev/null 2>&1 &
    others="$others $!"
    wait_for "$starts/[0-9]*" || { echo "monitor for $name as $uid not started"; fail=1; }
done
# shellcheck disable=SC2086
run_hook after-end ip-up.local IFNAME=ppp7 DNS1=10.1.1.1 DNS2=10.1.1.2 -- $ppp_args kestrun
expect_started after-end "$tunnel_env" logger
# shellcheck disable=SC2086 # pids
stop "$monitor_pid" $others

# Another link, or one started without ipparam: nothing.
run_hook other-link run-parts IFNAME=ppp8 DNS1=10.9.9.9 -- ppp8 /dev/ttyS0 115200 198.51.100.2 198.51.100.1 isp
expect_not_started other-link
run_hook no-ipparam ip-up.local IFNAME=ppp8 -- ppp8 /dev/ttyS0 115200 198.51.100.2 198.51.100.1
expect_not_started no-ipparam

# Called by a script that passes no arguments but exports Debian's
# PPP_IPPARAM. No servers from the peer: DNS1 and DNS2 stay unset rather
# than empty. No suffix file: suffixes inherited from elsewhere are dropped.
rm -f "$suffixes"
run_hook no-dns direct IFNAME=ppp7 PPP_IPPARAM=kestrun DNSSUFFIX4=stale.example --
expect_started no-dns IFNAME=ppp7 logger
stop "$monitor_pid"

# No IFNAME in the environment: the interface argument names the link.
# Only 32 suffixes are passed on.
i=0
while [ "$i" -lt 40 ]; do echo "s$i.example"; i=$((i + 1)); done >"$suffixes"
# shellcheck disable=SC2086
run_hook many-suffixes ip-up.local DNS1=10.1.1.1 -- $ppp_args kestrun
want="DNS1=10.1.1.1
IFNAME=ppp7"
i=0
while [ "$i" -lt 32 ]; do want="$want
DNSSUFFIX$i=s$i.example"; i=$((i + 1)); done
expect_started many-suffixes "$want" logger
stop "$monitor_pid"
rm -f "$suffixes"

# The installed monitor's own start-up failures reach the log: without the
# client's pid file, and without pppd's.
install_monitor "$real_monitor"
# shellcheck disable=SC2086
run_hook no-client-pid run-parts IFNAME=ppp7 -- $ppp_args kestrun
expect_logged no-client-pid "Couldn't find Kestrun pid; ksMonitor exiting"
echo $$ >/etc/ppp/kestrun.pid
# shellcheck disable=SC2086
run_hook no-pppd-pid ip-up.local IFNAME=ppp7 -- $ppp_args kestrun
expect_logged no-pppd-pid "Couldn't find pppd pid; ksMonitor exiting"
rm -f /etc/ppp/kestrun.pid
install_monitor "$standin"

# ---- without logger: the monitor's standard error goes to /dev/null ----

rm /usr/sbin/logger
for dir in /usr/sbin /usr/bin /sbin /bin; do
    [ -e "$dir/logger" ] || continue
    real=$(readlink -f "$dir")
    [ "$(stat -f -c %T "$real")" = overlayfs ] || overlay "$real"
    rm "$real/logger"
done
if found=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin && command -v logger); then
    echo "hook.sh: logger still found at $found" >&2
    exit 1
fi
# shellcheck disable=SC2086
run_hook no-logger run-parts IFNAME=ppp7 DNS1=10.1.1.1 -- $ppp_args kestrun
expect_started no-logger "$(printf '%s\n' DNS1=10.1.1.1 IFNAME=ppp7)" none
first=$monitor_pid
# shellcheck disable=SC2086
run_hook no-logger-renegotiated ip-up.local IFNAME=ppp7 -- $ppp_args kestrun
expect_not_started no-logger-renegotiated
stop "$first"

[ "$fail" -eq 0 ] && echo "hook ok"
exit "$fail"
