#!/usr/bin/env bash
# Runs the installed package under a live systemd on a machine whose PID 1 is not systemd:
#   1. a new cgroup, then unshare --pid --fork --mount-proc --mount --uts --ipc --cgroup;
#   2. inside, an overlay root (the host's / below a tmpfs) with proc, a read-only sys with
#      cgroup2 mounted afresh, /dev with a private /dev/shm, and tmpfs on /run, /tmp, /var/tmp
#      (scripts/sandbox-root.sh);
#   3. timers.target, the tmpfiles units and whatever could reach the host (clock, network,
#      swap, file system checks, gettys) masked;
#   4. pivot_root, then /lib/systemd/systemd --system --unit=basic.target, driven with
#      nsenter -t <pid> -a systemctl ...
# Inside it installs the package made from build/ (built first unless --no-build), the test
# certificates, the simulator, and the reference receiver as the transient unit kri-receiver,
# then checks: a configuration the service cannot read fails -check and ends the start in
# "failed" with the reason, and so does a start without certificates, which stays failed; the
# documented remedy for the configuration leaves a working service; the service starts and the
# receiver gets the studio; a console run beside it refuses and names the service's process;
# -remove names the package's way; -status works for a member of the group kriatmn and says
# "cannot read" to others; kill -9 is followed by a restart; a lost link shows in journalctl -p
# warning; the link comes back with the server; reload picks up a changed studio name and a
# renewed certificate; the Prometheus file is written at the documented place, readable by
# others; the key warning's documented remedy leaves a working service; the watchdog fires on a
# stopped process; stop takes under 5 s; removing the package says how many transactions the
# spool still holds. Where the service reports its link in STATUS=, also:
# STATUS shows the link going down and coming back.
#
# It never starts a systemd without the overlay and the tmpfs on /tmp (the systemd's boot-time
# clean-up would otherwise empty the host's /tmp). Where the machine cannot make them it prints
# "systemd-test: SKIPPED: <why>" and exits 0. Otherwise it exits 0 when every check passed and
# 1 when any failed; each check prints one line. Takes about a minute.
#
#   scripts/systemd-test.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sandbox-root.sh

# The part that runs in the new namespaces: the overlay root, the masks, pivot_root, systemd.
boot() {
    local base=$1 root=$1/root unit
    sandbox_make_root "$base"
    : >"$root/etc/fstab"
    for unit in timers.target systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service \
        systemd-tmpfiles-setup-dev-early.service systemd-tmpfiles-clean.service \
        systemd-tmpfiles-clean.timer systemd-timesyncd.service systemd-networkd.service \
        networking.service NetworkManager.service systemd-networkd-wait-online.service \
        ifupdown-wait-online.service swap.target systemd-remount-fs.service \
        systemd-fsck-root.service systemd-pstore.service getty.target console-getty.service \
        systemd-modules-load.service systemd-sysctl.service systemd-udevd.service \
        systemd-udev-trigger.service postgresql.service; do
        ln -sf /dev/null "$root/etc/systemd/system/$unit"
    done
    hostname kri-systemd-test
    cd "$root"
    mkdir -p .old-root
    pivot_root . .old-root
    cd /
    umount -l /.old-root
    rmdir /.old-root
    exec env -i container=kri-systemd-test /lib/systemd/systemd --system --unit=basic.target
}

if [ "${1:-}" = --boot ]; then
    boot "$2"
fi
if [ "${1:-}" = --help ]; then
    sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
if reason=$(sandbox_unavailable systemd); then
    echo "systemd-test: SKIPPED: $reason"
    exit 0
fi

# The package is made from the default build tree, which scripts/test.sh (and so CI) builds.
package_dir=build/systemd-test-package
if [ "${1:-}" != --no-build ]; then
    [ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
    nice -n 10 cmake --build build -j 2 >/dev/null
    rm -rf "$package_dir"
    (cd build && cpack -G DEB -B "$PWD/systemd-test-package" >/dev/null)
fi
deb=$(realpath "$package_dir"/kriatmnsvc_*.deb)
source_dir=$PWD

cgroup=$(sandbox_cgroup_parent)/kri-systemd-test-$$
base=$(mktemp -d)
log=$(mktemp)
mkdir "$cgroup"
unit_pid=
pid=

failures=0
pass() { echo "systemd-test: OK    $*"; }
fail() {
    echo "systemd-test: FAIL  $*"
    failures=$((failures + 1))
}
skip() { echo "systemd-test: SKIP  $*"; }

# Ends every process of the sandbox (all of them are in our cgroup; killing the namespace's
# PID 1 takes the rest with it where cgroup.kill is missing), then removes the cgroups the
# systemd made below ours, deepest first.
cleanup() {
    if [ -f "$cgroup/cgroup.kill" ]; then
        echo 1 >"$cgroup/cgroup.kill"
    elif [ -n "$pid" ]; then
        kill -9 "$pid" 2>/dev/null || true
    fi
    if [ -n "$unit_pid" ]; then
        wait "$unit_pid" 2>/dev/null || true
    fi
    local i
    for i in $(seq 50); do
        [ -z "$(find "$cgroup" -name cgroup.procs -exec cat {} + 2>/dev/null)" ] && break
        sleep 0.1
    done
    find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
    rmdir "$base" 2>/dev/null || true
    rm -f "$log"
}
trap cleanup EXIT

sh -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' sh "$cgroup" \
    unshare --pid --fork --mount-proc --mount --uts --ipc --cgroup \
    "$0" --boot "$base" >"$log" 2>&1 &
unit_pid=$!

# PID 1 of the new namespace is the one child of unshare.
pid=
for _ in $(seq 100); do
    pid=$(awk "{print \$1}" "/proc/$unit_pid/task/$unit_pid/children" 2>/dev/null || true)
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] && break
    pid=
    sleep 0.1
done
if [ -z "$pid" ]; then
    sed 's/^/    /' "$log"
    echo "systemd-test: FAIL  systemd did not start in the sandbox"
    exit 1
fi
in_ns() { nsenter -t "$pid" -a "$@"; }
state=
for _ in $(seq 120); do
    state=$(in_ns systemctl is-system-running 2>/dev/null || true)
    case $state in running | degraded) break ;; esac
    sleep 0.5
done
case $state in
    running | degraded) echo "systemd-test: systemd $state in the sandbox (PID $pid on the host)" ;;
    *)
        echo "systemd-test: FAIL  systemd did not finish booting: ${state:-no answer}"
        exit 1
        ;;
esac

# The package, the certificates, the simulator and the receiver.
in_ns env DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >/dev/null
in_ns "$source_dir/Tests/certs/make-test-certs.sh" /etc/kriatmnsvc/test-certs >/dev/null
in_ns KriAtmnRegister /usr/lib/kriatmnsvc/libKriAtmnSimulator.so >/dev/null
in_ns systemd-run --quiet --unit=kri-receiver /usr/bin/KriAggrReceiver \
    --cert /etc/kriatmnsvc/test-certs/server.crt --key /etc/kriatmnsvc/test-certs/server.key \
    --ca /etc/kriatmnsvc/test-certs/ca.crt --port 0
port=
for _ in $(seq 50); do
    port=$(in_ns journalctl -u kri-receiver -o cat 2>/dev/null |
        sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' | head -1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { fail "the receiver did not start"; exit 1; }
config=/etc/kriatmnsvc/KriAtmnSvc.xml
in_ns sed -i -e "s/port=\"4433\"/port=\"$port\"/" -e 's/speed="1"/speed="20"/' "$config"

service_prop() { in_ns systemctl show -P "$1" KriAtmn.service; }
received() { in_ns journalctl -u kri-receiver -o cat | grep -c "action=$1" || true; }
has_received() { [ "$(received "$1")" -ge "$2" ]; }
wait_for() {  # seconds, then a command that succeeds when the awaited thing happened
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    while [ $SECONDS -lt $end ]; do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

# A configuration error ends the unit in "failed" at once, with exit status 78, and it stays so.
stays_failed() {  # what
    if [ "$(in_ns systemctl is-failed KriAtmn 2>/dev/null)" = failed ] &&
        [ "$(service_prop ExecMainStatus)" = 78 ] && sleep 5 &&
        [ "$(in_ns systemctl is-failed KriAtmn 2>/dev/null)" = failed ] &&
        [ "$(service_prop NRestarts)" = 0 ]; then
        pass "$1: failed with exit status 78 and stayed failed"
    else
        fail "$1: $(in_ns systemctl is-failed KriAtmn), exit status $(service_prop ExecMainStatus)," \
            "NRestarts $(service_prop NRestarts)"
    fi
    in_ns systemctl reset-failed KriAtmn 2>/dev/null || true
}

# 1. A copy of the configuration made with cp (0640 root:root): -check fails it as the service's
# account would, the start fails with the reason, and messages.md's remedy mends it.
copy=/etc/kriatmnsvc/copied.xml
in_ns cp "$config" "$copy"
in_ns chmod 640 "$copy"
in_ns mkdir -p /etc/systemd/system/KriAtmn.service.d
in_ns sh -c "printf '[Service]\nExecStart=\nExecStart=/usr/bin/KriAtmnSvc -config $copy\n' \
    >/etc/systemd/system/KriAtmn.service.d/copied.conf"
in_ns systemctl daemon-reload
check_output=$(in_ns KriAtmnSvc -check -config "$copy" 2>&1 || true)
if grep -q "^FAIL  configuration file access: .*the service's account kriatmn cannot read it" \
    <<<"$check_output"; then
    pass "-check fails a configuration the service cannot read"
else
    fail "-check on a 0640 root:root configuration:"
    sed 's/^/    /' <<<"$check_output"
fi
in_ns systemctl start KriAtmn 2>/dev/null || true
stays_failed "start with an unreadable configuration"
if in_ns journalctl -u KriAtmn -o cat | grep -q "configuration cannot be used: .*Permission denied"; then
    pass "the start names the reason: Permission denied"
else
    fail "no \"Permission denied\" in the journal after the start with an unreadable configuration"
fi
remedy='chgrp kriatmn <file> && chmod 640 <file>'
grep -qF "$remedy" docs/messages.md || fail "messages.md no longer gives the remedy: $remedy"
in_ns sh -c "${remedy//<file>/$copy}"
if [ "$(in_ns KriAtmnSvc -check -config "$copy" 2>&1 | grep -c '^FAIL  configuration file access')" = 0 ]; then
    pass "messages.md's remedy \"$remedy\" makes the configuration readable to the service"
else
    fail "the configuration is still unreadable after \"$remedy\""
fi
in_ns rm -f /etc/systemd/system/KriAtmn.service.d/copied.conf "$copy"
in_ns systemctl daemon-reload

# 2. No certificates yet: the start fails, and systemd records the failure and keeps it.
if in_ns systemctl start KriAtmn 2>/dev/null; then
    fail "start without certificates: systemctl start returned 0 (Result=$(service_prop Result))"
else
    stays_failed "start without certificates"
fi

# 3. With them, it starts and the receiver gets the studio.
in_ns sh -c 'cp /etc/kriatmnsvc/test-certs/ca.crt /etc/kriatmnsvc/test-certs/client.crt \
    /etc/kriatmnsvc/test-certs/client.key /etc/kriatmnsvc/certs/ &&
    chgrp kriatmn /etc/kriatmnsvc/certs/* && chmod 640 /etc/kriatmnsvc/certs/*'
if in_ns systemctl start KriAtmn && wait_for 15 has_received AddStudio 1; then
    pass "started as $(service_prop User); the receiver got AddStudio"
else
    fail "no AddStudio at the receiver; $(service_prop ActiveState) $(service_prop Result)"
    in_ns journalctl -u KriAtmn --no-pager -n 20 | sed 's/^/    /'
fi

# A console run beside the service refuses and names the service's process; the receiver gets
# no second studio.
announced=$(received AddStudio)
console=$(in_ns timeout 20 KriAtmnSvc -debug -config "$config" 2>&1) && console_status=0 ||
    console_status=$?
main=$(service_prop MainPID)
if [ "$console_status" != 0 ] && [ "$console_status" != 124 ] &&
    grep -q "the service KriAtmn runs (process $main holds /run/kriatmnsvc/AtmnStop); stop it first" \
        <<<"$console" && [ "$(received AddStudio)" = "$announced" ]; then
    pass "a console run beside the service refuses: it names process $main and says to stop it"
else
    fail "console run beside the service (exit status $console_status):"
    sed 's/^/    /' <<<"$console" | tail -5
fi

# -remove on a package installation names the package's way and leaves the service running.
remove=$(in_ns KriAtmnSvc -remove 2>&1) && remove_status=0 || remove_status=$?
if [ "$remove_status" != 0 ] && grep -q "installed by a package" <<<"$remove" &&
    grep -q "systemctl disable --now KriAtmn" <<<"$remove" &&
    [ "$(service_prop ActiveState)" = active ]; then
    pass "-remove on the package's unit: $(head -1 <<<"$remove")"
else
    fail "-remove on the package's unit (exit status $remove_status): $remove"
fi

# -status: a member of the group kriatmn reads it; another user is told it cannot read it.
in_ns useradd --no-create-home --groups kriatmn kri-monitor
monitor_status=$(in_ns runuser -u kri-monitor -- KriAtmnSvc -status 2>&1) && monitor_rc=0 || monitor_rc=$?
other_status=$(in_ns runuser -u nobody -- KriAtmnSvc -status 2>&1) && other_rc=0 || other_rc=$?
if [ "$monitor_rc" = 0 ] && grep -q "^Link up" <<<"$monitor_status" && [ "$other_rc" = 4 ] &&
    grep -q "cannot read the status" <<<"$other_status"; then
    pass "-status for a member of kriatmn: $monitor_status; for nobody: exit status 4, cannot read"
else
    fail "-status: member ($monitor_rc) \"$monitor_status\", nobody ($other_rc) \"$other_status\""
fi

# 3. kill -9: systemd starts it again, and it announces the studio again.
main=$(service_prop MainPID)
restarts=$(service_prop NRestarts)
in_ns kill -9 "$main"
restarted() {
    [ "$(service_prop ActiveState)" = active ] && [ "$(service_prop MainPID)" != "$main" ] &&
        [ "$(service_prop NRestarts)" -gt "$restarts" ]
}
if wait_for 10 restarted && wait_for 10 has_received AddStudio 2; then
    pass "kill -9 of PID $main: restarted as PID $(service_prop MainPID), studio announced again"
else
    fail "kill -9: $(service_prop ActiveState), MainPID $(service_prop MainPID), NRestarts $(service_prop NRestarts)"
fi

# Whether the service reports its link in STATUS=; the STATUS checks need that.
link_status=false
status_shows() { [[ "$(service_prop StatusText)" == $1 ]]; }
if wait_for 5 status_shows 'Link up*'; then
    link_status=true
    pass "STATUS: $(service_prop StatusText)"
else
    skip "STATUS: the service does not report its link in STATUS= (\"$(service_prop StatusText)\")"
fi

receiver() {
    in_ns systemd-run --quiet --unit=kri-receiver /usr/bin/KriAggrReceiver \
        --cert /etc/kriatmnsvc/test-certs/server.crt --key /etc/kriatmnsvc/test-certs/server.key \
        --ca /etc/kriatmnsvc/test-certs/ca.crt --port "$port"
}
warnings_since() { in_ns journalctl -u KriAtmn -p warning -o cat --since "@$1" 2>/dev/null; }
has_warning() { [ -n "$(warnings_since "$1")" ]; }

# 4. The server goes away: a warning in the journal, and the link shows down.
lost=$(date +%s)
in_ns systemctl stop kri-receiver
if wait_for 10 has_warning "$lost"; then
    pass "journalctl -p warning after the server went away: $(warnings_since "$lost" | head -1)"
else
    fail "journalctl -p warning shows nothing after the server went away; what it logged:"
    in_ns journalctl -u KriAtmn --since "@$lost" -o verbose --no-pager |
        grep -E '^ *(PRIORITY|MESSAGE)=' | tail -8 | sed 's/^ */    /'
fi
if $link_status; then
    if wait_for 5 status_shows 'Link down*'; then
        pass "STATUS: $(service_prop StatusText)"
    else
        fail "STATUS after the server went away: $(service_prop StatusText)"
    fi
fi

# 5. The server comes back: the supervision thread reconnects and announces the studio.
announced=$(received AddStudio)
receiver
if wait_for 15 has_received AddStudio $((announced + 1)); then
    pass "reconnected after the server came back; studio announced again"
else
    fail "no new AddStudio within 15 s of the server coming back"
fi
if $link_status; then
    if wait_for 5 status_shows 'Link up*'; then
        pass "STATUS: $(service_prop StatusText)"
    else
        fail "STATUS after the server came back: $(service_prop StatusText)"
    fi
fi

# 6. Reload with a changed studio name and a renewed client certificate: same process, the new
# name reaches the receiver, which sees the new certificate.
{
    main=$(service_prop MainPID)
    in_ns sed -i 's/name="Studio A"/name="Studio Reloaded"/' "$config"
    in_ns sh -c 'cd /etc/kriatmnsvc/test-certs &&
        printf "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n" >renewed.ext &&
        openssl req -new -key client.key -passin pass:wexol -out renewed.csr \
            -subj "/O=Kri Test/CN=Kri Test Client Renewed" &&
        openssl x509 -req -in renewed.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 \
            -out renewed.crt -extfile renewed.ext 2>/dev/null &&
        install -m 640 -g kriatmn renewed.crt /etc/kriatmnsvc/certs/client.crt'
    renamed() { in_ns journalctl -u kri-receiver -o cat | grep 'action=AddStudio' | grep -q 'Studio Reloaded'; }
    renewed() { in_ns journalctl -u kri-receiver -o cat | grep -q 'accepted client subject=.*Kri Test Client Renewed'; }
    if in_ns systemctl reload KriAtmn && wait_for 15 renamed && [ "$(service_prop MainPID)" = "$main" ]; then
        pass "reload: the receiver got AddStudio with the new name from the same process"
    else
        fail "reload: $(service_prop ActiveState), MainPID $(service_prop MainPID) (was $main)"
    fi
    if renewed; then
        pass "reload: the receiver saw the renewed client certificate"
    else
        fail "reload: the receiver did not see the renewed certificate:" \
            "$(in_ns journalctl -u kri-receiver -o cat | grep 'accepted client' | tail -1)"
    fi
}

# The Prometheus file at the documented place, set up as install.md says, readable by others;
# and the key warning's remedy from messages.md leaves a working service.
{
    prom=/var/lib/prometheus/node-exporter/kriatmnsvc.prom
    in_ns install -d -m 0755 -o kriatmn -g kriatmn /var/lib/prometheus/node-exporter
    in_ns sed -i "s|</KriAtmnSvc>|  <Status prometheusFile=\"$prom\"/>\n</KriAtmnSvc>|" "$config"
    check_output=$(in_ns KriAtmnSvc -check -config "$config" 2>&1 || true)
    grep -q "^OK    Status/prometheusFile: $prom" <<<"$check_output" ||
        fail "-check on the documented Prometheus file: $(grep prometheus <<<"$check_output")"
    key=/etc/kriatmnsvc/certs/client.key
    in_ns chmod 644 "$key"
    announced=$(received AddStudio)
    in_ns systemctl restart KriAtmn || true
    prom_written() { in_ns runuser -u nobody -- grep -q '^kriatmnsvc_link_up ' "$prom"; }
    if wait_for 15 prom_written; then
        pass "the Prometheus file is written at $prom, readable by another user"
    else
        fail "no Prometheus file at $prom: $(in_ns ls -l "$prom" 2>&1)," \
            "$(in_ns journalctl -u KriAtmn -o cat | grep -m1 'status files')"
    fi
    remedy='chgrp kriatmn <key file> && chmod 640 <key file>'
    grep -qF "$remedy" docs/messages.md || fail "messages.md no longer gives the remedy: $remedy"
    warned=$(in_ns journalctl -u KriAtmn -o cat | grep -c "key file $key can be read by other users" || true)
    in_ns sh -c "${remedy//<key file>/$key}"
    in_ns systemctl restart KriAtmn || true
    if [ "$warned" -ge 1 ] && wait_for 15 has_received AddStudio $((announced + 2)) &&
        [ "$(in_ns journalctl -u KriAtmn -o cat | grep -c "key file $key can be read by other users")" = "$warned" ]; then
        pass "messages.md's remedy \"$remedy\" ends the key warning and the service works"
    else
        fail "key remedy: warned $warned times; $(service_prop ActiveState)"
    fi
}

# From here on the service keeps its pending transactions in the package's spool.
in_ns sed -i 's|</AggrServer>|  <Delivery spoolDir="/var/spool/kriatmnsvc"/>\n  </AggrServer>|' "$config"

# 7. The watchdog: a stopped process is killed and started again.
{
    in_ns mkdir -p /etc/systemd/system/KriAtmn.service.d
    in_ns sh -c 'printf "[Service]\nWatchdogSec=3\nTimeoutAbortSec=2\n" \
        >/etc/systemd/system/KriAtmn.service.d/watchdog-test.conf'
    in_ns systemctl daemon-reload
    in_ns systemctl restart KriAtmn
    main=$(service_prop MainPID)
    restarts=$(service_prop NRestarts)
    in_ns kill -STOP "$main"
    if wait_for 20 restarted; then
        pass "watchdog: stopped PID $main was killed and restarted ($(in_ns journalctl -u KriAtmn -o cat | grep -m1 -i watchdog))"
    else
        fail "watchdog: $(service_prop ActiveState), MainPID $(service_prop MainPID), NRestarts $(service_prop NRestarts)"
    fi
    in_ns rm /etc/systemd/system/KriAtmn.service.d/watchdog-test.conf
    in_ns systemctl daemon-reload
}

# 8. Stop within 5 s, while the link is down and the service is trying to reconnect.
in_ns systemctl stop kri-receiver
sleep 3
started=$(date +%s%N)
in_ns systemctl stop KriAtmn
elapsed=$((($(date +%s%N) - started) / 1000000))
if [ "$elapsed" -lt 5000 ] && [ "$(service_prop ActiveState)" = inactive ]; then
    pass "stop with the link down took $elapsed ms; Result=$(service_prop Result)"
else
    fail "stop with the link down took $elapsed ms, now $(service_prop ActiveState)"
fi

# Removing the package says how many transactions the spool still holds (a purge deletes them).
removal=$(in_ns env DEBIAN_FRONTEND=noninteractive dpkg -r kriatmnsvc 2>&1 || true)
if grep -q "the spool /var/spool/kriatmnsvc still holds [1-9][0-9]* transactions not sent" <<<"$removal"; then
    pass "dpkg -r: $(grep -o 'still holds [0-9]* transactions not sent' <<<"$removal")"
else
    fail "dpkg -r did not say what the spool holds ($(in_ns KriAtmnSvc -spool-check /var/spool/kriatmnsvc 2>&1 | grep 'to send')):"
    sed 's/^/    /' <<<"$removal" | tail -5
fi

if [ "$failures" -gt 0 ]; then
    echo "systemd-test: $failures check(s) failed"
    exit 1
fi
echo "systemd-test: passed"
