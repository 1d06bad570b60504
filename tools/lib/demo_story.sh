#!/usr/bin/env bash
# The story tools/demo tells, played inside ks_sandbox (private /etc, /run,
# /tmp, /usr/sbin and pids). Arguments: the source tree and the build tree.
set -uo pipefail

root=$1
build=$2
monitor_bin=$build/monitor/ksMonitor
log=$HOME/.kestRun.log
flag=/var/run/com.valdrane.kestrun.ksMonitor

if [ "${KS_SANDBOX:-}" != 1 ] || [ "$$" -eq 1 ] || [ "$(stat -f -c %T /etc)" != overlayfs ]; then
    echo "demo_story.sh: runs only inside ks_sandbox (see tools/demo)" >&2
    exit 1
fi

if [ -t 1 ]; then
    step() { printf '\n\033[1m%s\033[0m\n' "$*"; }
else
    step() { printf '\n%s\n' "$*"; }
fi
say() { printf '   %s\n' "$*"; }
show() { sed 's/^/      | /' "$@"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*" >&2
    [ -f "$log" ] && { echo "The log so far:" >&2; show "$log" >&2; }
    exit 1
}
# wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
wait_for() {
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
in_log() { grep -qF -- "$1" "$log" 2>/dev/null; }
count_in_log() { grep -cF -- "$1" "$log" 2>/dev/null || true; }
pid_file_names() { [ "$(cat "$1" 2>/dev/null)" = "$2" ]; }
ticks_at_least() { [ "$(count_in_log "Testing processes")" -ge "$1" ]; }

step "Setting the scene: a tunnel on ppp0"
tunnel_resolver="nameserver 10.8.0.1
nameserver 10.8.0.2
search corp.example.com"
printf '%s\n' "$tunnel_resolver" >/etc/resolv.conf
install -m 0755 "$root/tests/standins/kestRun_setup_dns.sh" /usr/sbin/kestRun
"$build/tests/standin_pppd" ppp0 /tmp/pppd.signals &
pppd=$!
"$build/tests/standin_client" /tmp/client.signals &
client=$!
wait_for 5 pid_file_names /var/run/ppp0.pid "$pppd" || fail "the pppd stand-in did not start"
wait_for 5 pid_file_names /etc/ppp/kestrun.pid "$client" || fail "the client stand-in did not start"
say "pppd (a stand-in) runs as pid $pppd and keeps it in /var/run/ppp0.pid;"
say "the client (a stand-in) runs as pid $client and keeps it in /etc/ppp/kestrun.pid;"
say "/usr/sbin/kestRun is a stand-in whose --setup-dns rewrites /etc/resolv.conf:"
show /etc/resolv.conf

step "1. The client starts ksMonitor, and the tunnel is watched"
export IFNAME=ppp0 DNS1=10.8.0.1 DNS2=10.8.0.2 DNSSUFFIX0=corp.example.com KSLOGPRIORITY=debug
"$monitor_bin" >/dev/null || fail "ksMonitor did not start (status $?)"
wait_for 5 in_log "Monitoring processes:" || fail "ksMonitor logged nothing"
monitor=$(pgrep -x ksMonitor) || fail "no ksMonitor process after start-up"
say "It detached into the background (pid $monitor), wrote its shutdown flag"
say "$flag (holding '$(cat "$flag")'), and logged what it watches:"
grep -F "Monitoring" "$log" | show
ticks=$(count_in_log "Testing processes")
wait_for 5 ticks_at_least $((ticks + 2)) ||
    fail "ksMonitor does not tick"
say "Once a second it probes pppd and the client:"
grep -F "Testing processes" "$log" | tail -n 1 | show

step "2. Something removes the tunnel's first nameserver"
sed -i '/^nameserver 10\.8\.0\.1$/d' /etc/resolv.conf
show /etc/resolv.conf
say "Every fifth tick the monitor checks /etc/resolv.conf ..."
wait_for 10 in_log "DNS server 10.8.0.1 is no longer configured locally" ||
    fail "the lost nameserver was not noticed"
wait_for 5 grep -qx -- "--setup-dns" /tmp/kestRun.calls 2>/dev/null ||
    fail "the repair command did not run"
[ "$(cat /etc/resolv.conf)" = "$tunnel_resolver" ] || fail "/etc/resolv.conf was not repaired"
say "... noticed the loss, and had the client repair it (/usr/sbin/kestRun --setup-dns):"
grep -F -e "DNS result" -e "no longer configured" "$log" | show
show /etc/resolv.conf

step "3. The client crashes"
kill -KILL "$client"
wait "$client" 2>/dev/null
say "Client pid $client killed. Within a second the monitor notices, terminates pppd"
say "to take the link down, and exits:"
wait_for 5 in_log "Kestrun $client closed unexpectedly; attempting to cleanup pppd $pppd" ||
    fail "the client's death was not noticed"
wait_for 5 grep -qx "15 $monitor" /tmp/pppd.signals || fail "pppd got no SIGTERM from the monitor"
wait "$pppd"
pppd_status=$?
wait_for 5 test ! -e "/proc/$monitor" || fail "ksMonitor is still running"
[ "$pppd_status" -eq 0 ] || fail "pppd stand-in ended with status $pppd_status"
[ "$(wc -l </tmp/pppd.signals)" -eq 1 ] || fail "pppd received more than one signal"
[ ! -e "$flag" ] || fail "the shutdown flag file was left behind"
grep -F "closed unexpectedly" "$log" | show
say "pppd received exactly one signal, SIGTERM (15) from pid $monitor, and ended;"
say "ksMonitor is gone, and so is its shutdown flag file."

step "The log file, $log:"
show "$log"

step "Every step was seen to happen."
