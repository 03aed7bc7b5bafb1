#!/usr/bin/env bash
# The main job: the service in the console against the reference aggregation receiver, with the
# simulated automation system playing the shipped studio hour, for a bounded time.
#
#   scripts/run.sh [--short] [--no-build] [--build-dir DIR]
#   scripts/run.sh --windows|--windows32 [--short] [--no-build]
#
# Installs what is missing (scripts/install-deps.sh), builds the default configuration, then
# runs `KriAtmnSvc -debug -config build/demo/KriAtmnSvc.xml` for KRI_DEMO_SECONDS seconds
# (30 by default, 8 with --short) and shows each transaction as the receiver gets it. Ctrl+C
# ends the run sooner. At the end it stops the service, then the receiver, and prints a summary:
# transactions by action, reconnections, errors.
#
#   --short          8 seconds unless KRI_DEMO_SECONDS says otherwise (the CI run)
#   --no-build       skip installing and building; run what DIR already holds
#   --build-dir DIR  the build tree to run from (default build/; with --no-build only)
#   --windows        the 64-bit Windows service and simulator under Wine instead, against the
#                    same receiver (scripts/windows-demo.sh; --windows32: the 32-bit ones)
#
# Everything the run makes stays in DIR/demo/: certificates (made once), a registry root with
# the simulator registered (KRI_REGISTRY_ROOT), the configuration file, the service's trace
# (service.log) and console output (service.out), the receiver's lines (receiver.log) and every
# transaction received (transactions.txt). The receiver listens on a free port of 127.0.0.1 and
# serves its live page on another (KRI_DEMO_HTTP=ADDR:PORT picks one); the address is printed.
#
# Exit status: 0 when transactions arrived, every process ended and no error showed; 1
# otherwise; 2 for a bad command line.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

usage() {
    sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"
}

short=false
build_steps=true
build=$source_dir/build
windows_bits=
windows_options=()
while [ $# -gt 0 ]; do
    case $1 in
    --windows) windows_bits=64 ;;
    --windows32) windows_bits=32 ;;
    --short) short=true; windows_options+=(--short) ;;
    --no-build) build_steps=false; windows_options+=(--no-build) ;;
    --build-dir)
        [ $# -ge 2 ] || { echo "run.sh: --build-dir needs a directory" >&2; exit 2; }
        build=$(realpath -m "$2")
        shift
        ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ -n "$windows_bits" ]; then
    exec scripts/windows-demo.sh --bits "$windows_bits" "${windows_options[@]}"
fi
if $short; then
    seconds=${KRI_DEMO_SECONDS:-8}
else
    seconds=${KRI_DEMO_SECONDS:-30}
fi
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "run.sh: KRI_DEMO_SECONDS must be a whole number of seconds above 0" >&2
    exit 2
fi
if $build_steps && [ "$build" != "$source_dir/build" ]; then
    echo "run.sh: --build-dir goes with --no-build (the build steps build build/)" >&2
    exit 2
fi

if $build_steps; then
    scripts/install-deps.sh
    cmake --preset default
    cmake --build --preset default -j "$(nproc)"
fi

service_program=$build/Tools/RovazoRiva/Playlist/KriAtmnSvc/KriAtmnSvc
receiver_program=$build/Tools/AggrReceiver/KriAggrReceiver
simulator_plugin=$build/Tools/AtmnSimulator/libKriAtmnSimulator.so
register_program=$build/Tools/AtmnSimulator/KriAtmnRegister
for program in "$service_program" "$receiver_program" "$simulator_plugin" "$register_program"; do
    if [ ! -f "$program" ]; then
        echo "run.sh: $program is missing; build first (scripts/run.sh without --no-build)" >&2
        exit 1
    fi
done

demo=$build/demo
mkdir -p "$demo"
# Two runs in one build tree would overwrite each other's files.
exec 8> "$demo/.lock"
if ! flock -n 8; then
    echo "run.sh: another run is using $demo" >&2
    exit 1
fi

Tests/certs/make-test-certs.sh "$demo/certs"
rm -rf "$demo/registry"
export KRI_REGISTRY_ROOT=$demo/registry
"$register_program" "$simulator_plugin" > /dev/null

# Every child is a job of its own, in a process group of its own: Ctrl+C reaches only this
# script, which then stops the children in order (the service before the receiver, so that the
# service never sees its link drop).
set -m
problems=()
children=() # process group ids, each the pid of a job's first process
interrupted=
timer=
on_signal() {
    interrupted=$1
    [ -z "$timer" ] || kill "$timer" 2> /dev/null || true
}
trap 'on_signal SIGINT' INT
trap 'on_signal SIGTERM' TERM
trap 'on_signal SIGHUP' HUP

# await_end <pid> <seconds>: true once <pid> has ended, false if it still runs after <seconds>.
await_end() {
    local tenths=$(($2 * 10))
    while kill -0 "$1" 2> /dev/null; do
        ((tenths-- > 0)) || return 1
        sleep 0.1
    done
}

# stop_job <name> <pid> <seconds>: SIGINT, as Ctrl+C would, then at most <seconds> to end;
# records what went wrong.
stop_job() {
    local name=$1 pid=$2 status=0
    kill -INT "$pid" 2> /dev/null || true
    if ! await_end "$pid" "$3"; then
        problems+=("$name did not end within $3 s of SIGINT and was killed")
        kill -KILL -- "-$pid" 2> /dev/null || true
    fi
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || problems+=("$name ended with exit status $status")
}

# A run cut short by a failure of this script leaves nothing behind either.
kill_children() {
    local group
    for group in "${children[@]}"; do
        kill -KILL -- "-$group" 2> /dev/null || true
    done
}
trap kill_children EXIT

# Emptied first, so that the port is never read from the last run's lines.
: > "$demo/receiver.log"
"$receiver_program" --cert "$demo/certs/server.crt" --key "$demo/certs/server.key" \
    --ca "$demo/certs/ca.crt" --address 127.0.0.1 --port 0 \
    --transactions "$demo/transactions.txt" --http "${KRI_DEMO_HTTP:-127.0.0.1:0}" \
    < /dev/null > "$demo/receiver.log" 2>&1 8>&- &
receiver=$!
children+=("$receiver")
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$demo/receiver.log")
    page=$(sed -n 's/^live page on //p' "$demo/receiver.log")
    [ -n "$port" ] && [ -n "$page" ] && break
    kill -0 "$receiver" 2> /dev/null || break
    [ -z "$interrupted" ] || { echo "run.sh: $interrupted before the service started" >&2; exit 1; }
    sleep 0.1
done
if [ -z "$port" ] || [ -z "$page" ]; then
    cat "$demo/receiver.log" >&2
    echo "run.sh: the receiver did not start" >&2
    exit 1
fi

# The hour of the scenario played at 200 times its speed: about 18 seconds.
cat > "$demo/KriAtmnSvc.xml" << EOF
<KriAtmnSvc>
  <Automation progid="Kri.AtmnSimulator">
    <Simulator speed="200" scenario="$source_dir/Tools/AtmnSimulator/scenarios/studio-hour.xml"/>
  </Automation>
  <AggrServer ip="127.0.0.1" port="$port">
    <SslCAFile>$demo/certs/ca.crt</SslCAFile>
    <SslKeyFile>$demo/certs/client.key</SslKeyFile>
    <SslCfktFile>$demo/certs/client.crt</SslCfktFile>
  </AggrServer>
  <Studio id="1" name="Studio 1"/>
</KriAtmnSvc>
EOF

# The receiver's lines as they come, shortened to the time of day and what happened. tail ends
# by itself once the receiver has ended.
show_receiver_lines() {
    local line time rest params
    local peer='^[^ ]+:[0-9]+ (.*)$'
    local transaction='^transaction session=([^ ]*) action=([^ ]*) (.*) payload=[0-9]+'
    transaction+=' frame=[0-9]+$'
    while IFS= read -r line; do
        [[ $line != summary\ * ]] || continue
        time=${line:11:12}
        rest=${line#* }
        [[ ! $rest =~ $peer ]] || rest=${BASH_REMATCH[1]}
        if [[ $rest =~ $transaction ]]; then
            params=${BASH_REMATCH[3]//id=\"\"/}
            params=${params//name=\"\"/}
            params=${params%"${params##*[! ]}"}
            printf '%s  %-13s session %-3s %s\n' "$time" "${BASH_REMATCH[2]}" "${BASH_REMATCH[1]}" \
                "$params"
        else
            printf '%s  %s\n' "$time" "$rest"
        fi
    done
}
tail --pid="$receiver" -s 0.2 -n +3 -f "$demo/receiver.log" 8>&- | show_receiver_lines 8>&- &
viewer=$!
viewer_group=$(jobs -p %%)
children+=("$viewer_group")

# Only one KriAtmnSvc at a time may hold the stop event "AtmnStop"; a second refuses to start.
# Where we may (as root), the service gets a /dev/shm of its own, so that one running on the
# machine does not stop the demo.
service_command=("$service_program")
private_shm='mount -t tmpfs -o mode=1777 kri-demo-shm /dev/shm && exec "$0" "$@"'
if unshare --mount --propagation private sh -c "$private_shm" true 2> /dev/null; then
    service_command=(unshare --mount --propagation private sh -c "$private_shm" "$service_program")
else
    others=$(pgrep -x KriAtmnSvc -d ' ' || true)
    if [ -n "$others" ]; then
        echo "Note: KriAtmnSvc already runs here (pid $others) and holds \"AtmnStop\";" \
            "the demo's service will refuse to start."
    fi
fi
echo "The receiver's live page: $page (open it in a browser)"
echo "Receiver on 127.0.0.1:$port. KriAtmnSvc -debug -config $demo/KriAtmnSvc.xml runs for" \
    "$seconds s (Ctrl+C stops it sooner); its trace goes to $demo/service.log."
# The trace (standard error) and the console texts (standard output) apart: on standard output
# anything but "Debugging ..." and "Stopping ..." is a failure record of the network loop.
# Built with AddressSanitizer, its leak check at exit must not scan thread-local storage: the
# sanitizer runtime of g++ 12 misreads the dynamic TLS of this process on glibc 2.36 and its leak
# checker crashes ("Tracer caught signal 11"). Without the scan it reports more leaks, not fewer.
LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}use_tls=0 \
    "${service_command[@]}" -debug -config "$demo/KriAtmnSvc.xml" < /dev/null \
    > "$demo/service.out" 2> "$demo/service.log" 8>&- &
service=$!
children+=("$service")
started=$SECONDS

# Until the time is up, a signal arrives, or the service ends by itself.
sleep "$seconds" 8>&- &
timer=$!
children+=("$timer")
[ -z "$interrupted" ] || kill "$timer"
wait -n "$timer" "$service" 2> /dev/null || true
ran=$((SECONDS - started))
if [ -n "$interrupted" ]; then
    echo "$interrupted after $ran s: stopping."
elif kill -0 "$service" 2> /dev/null; then
    echo "$seconds s are up: stopping."
else
    cause='a failure (see service.log) or the stop event "AtmnStop" set by another process'
    problems+=("KriAtmnSvc ended by itself after $ran s: $cause")
fi
# A second Ctrl+C must not cut the stopping short.
trap '' INT TERM HUP
kill "$timer" 2> /dev/null || true
wait "$timer" 2> /dev/null || true

# Ctrl+C never reaches the service itself, so a "Stopping" line now means a stop from outside.
if grep -q '^Stopping ' "$demo/service.out"; then
    problems+=("KriAtmnSvc was stopped from outside during the run")
fi
stop_job KriAtmnSvc "$service" 15
stop_job KriAggrReceiver "$receiver" 5
if ! await_end "$viewer" 5; then
    kill -KILL -- "-$viewer_group" 2> /dev/null || true
fi
wait "$viewer" 2> /dev/null || true

for group in "${children[@]}"; do
    if pgrep -g "$group" > /dev/null; then
        problems+=("processes left in group $group: $(pgrep -g "$group" -d ' ' -l)")
    fi
done
kill_children
trap - EXIT

"$source_dir/scripts/demo-summary.sh" "$demo" "${problems[@]}"
