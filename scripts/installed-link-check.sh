#!/usr/bin/env bash
# Runs an installed KriAtmnSvc against the installed reference receiver, with the installed
# simulated automation system registered in a throw-away registry, and checks what arrived.
#
#   scripts/installed-link-check.sh <bindir> <plugin.so> [<scenario.xml>]
#
# <bindir> holds KriAtmnSvc, KriAtmnRegister and KriAggrReceiver. Without a scenario file the
# simulator plays a short built-in one that makes the service send each of the eight
# transactions once; with one it plays that file once at full speed. Test certificates come from
# Tests/certs/make-test-certs.sh. Everything runs on 127.0.0.1 in a temporary directory, is
# bounded in time and is stopped at the end; the exit status is 0 only when the receiver counted
# transactions, at least one "AddStudio", the expected number of "RemoveSession" and no error.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
bindir=$1
plugin=$2
scenario=${3:-}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d)
receiver_pid=
service_pid=
cleanup() {
    for pid in $service_pid $receiver_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $service_pid $receiver_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "installed-link-check: $*" >&2
    for f in receiver.out service.out service.err; do
        [ -f "$work/$f" ] && { echo "--- $f" >&2; tail -n 20 "$work/$f" >&2; }
    done
    exit 1
}

"$source_dir/Tests/certs/make-test-certs.sh" "$work/certs" >/dev/null
export KRI_REGISTRY_ROOT=$work/registry
"$bindir/KriAtmnRegister" "$plugin" >/dev/null || fail "registering $plugin failed"

"$bindir/KriAggrReceiver" --cert "$work/certs/server.crt" --key "$work/certs/server.key" \
    --ca "$work/certs/ca.crt" --port 0 >"$work/receiver.out" 2>&1 &
receiver_pid=$!
for _ in $(seq 100); do
    grep -q '^listening on ' "$work/receiver.out" && break
    sleep 0.1
done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/receiver.out")
[ -n "$port" ] || fail "the receiver did not start"

if [ -n "$scenario" ]; then
    simulator="<Simulator speed=\"fast\" repeat=\"1\" scenario=\"$scenario\"/>"
    removals=$(grep -c '<RemovePlaylist ' "$scenario")
else
    simulator='<Simulator speed="fast" repeat="1"/>
    <Scenario houseDate="2024-03-09" houseTime="17:59:30:00">
      <Playlist id="1" name="Main">
        <Entry id="M-ID" name="Station Ident" status="Standby" time="18:00:00:00" duration="00:00:10:00"/>
      </Playlist>
      <Schedule>
        <Change at="30" playlist="Main" entry="M-ID" status="Running"/>
        <Segment at="31" playlist="Main" entry="M-ID" segment="2"/>
        <Time at="32" playlist="Main"/>
        <Remove at="40" playlist="Main" entry="M-ID"/>
        <RemovePlaylist at="41" playlist="Main"/>
      </Schedule>
    </Scenario>'
    removals=1
fi
cat >"$work/KriAtmnSvc.xml" <<EOF
<KriAtmnSvc>
  <Automation progid="Kri.AtmnSimulator">
    $simulator
  </Automation>
  <AggrServer ip="127.0.0.1" port="$port">
    <SslCfktFile>$work/certs/client.crt</SslCfktFile>
    <SslKeyFile>$work/certs/client.key</SslKeyFile>
    <SslCAFile>$work/certs/ca.crt</SslCAFile>
  </AggrServer>
  <Studio id="7" name="Studio A"/>
</KriAtmnSvc>
EOF

# Only one KriAtmnSvc at a time may hold the stop event "AtmnStop". Where we may (as root), the
# service gets a /dev/shm of its own, so that one running on the machine does not make it refuse.
service=("$bindir/KriAtmnSvc")
private_shm='mount -t tmpfs -o mode=1777 kri-check-shm /dev/shm && exec "$0" "$@"'
if unshare --mount --propagation private sh -c "$private_shm" true 2>/dev/null; then
    service=(unshare --mount --propagation private sh -c "$private_shm" "$bindir/KriAtmnSvc")
fi
(cd "$work" && exec "${service[@]}" -debug -config "$work/KriAtmnSvc.xml") \
    >"$work/service.out" 2>"$work/service.err" &
service_pid=$!
# The last playlist removal ends the scenario; 60 s bounds the wait.
for _ in $(seq 600); do
    [ "$(grep -c 'action=RemoveSession' "$work/receiver.out")" -ge "$removals" ] && break
    kill -0 "$service_pid" 2>/dev/null || fail "KriAtmnSvc ended by itself"
    sleep 0.1
done

kill -INT "$service_pid"
for _ in $(seq 100); do
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$service_pid" 2>/dev/null && fail "KriAtmnSvc did not stop within 10 s of Ctrl+C"
wait "$service_pid" || fail "KriAtmnSvc exited with status $?"
service_pid=
kill -TERM "$receiver_pid"
wait "$receiver_pid" || fail "the receiver exited with status $?"
receiver_pid=

summary=$(grep '^summary ' "$work/receiver.out") || fail "the receiver wrote no summary"
echo "$summary"
count() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" <<<"$summary"; }
[ "$(count transactions)" -gt 0 ] || fail "no transaction arrived"
[ "$(count AddStudio)" -ge 1 ] || fail "no AddStudio arrived"
[ "$(count RemoveSession)" -ge "$removals" ] || fail "fewer than $removals RemoveSession arrived"
[ "$(count errors)" -eq 0 ] || fail "the receiver counted errors"
if [ -z "$scenario" ]; then
    for action in AddStudio AddSession AddEntry UpdateEntry ChangeSegment UpdateTime RemoveEntry \
        RemoveSession; do
        [ "$(count "$action")" -ge 1 ] || fail "no $action arrived"
    done
fi
grep -q 'Conenction to Aggregation server complete' "$work/service.err" ||
    fail "the service's trace has no connection line"
