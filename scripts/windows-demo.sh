#!/usr/bin/env bash
# The demo with the Windows service under Wine (what `scripts/run.sh --windows` runs): the
# reference receiver on Linux, the service in the console under Wine sending to it on loopback,
# the simulator registered by regsvr32 in a throw-away Wine prefix, playing the shipped studio
# hour at 200 times its speed.
#
#   scripts/windows-demo.sh [--bits 64|32] [--short] [--no-build]
#
#   --bits 64|32   the service and simulator of that bitness (default 64: preset windows;
#                  32: preset windows32)
#   --short        8 seconds unless KRI_DEMO_SECONDS says otherwise (default 30)
#   --no-build     run what build/ and build-windows*/ hold
#
# KRI_DEMO_THREADING_MODEL registers the simulator with that ThreadingModel ("Both", "Free")
# instead of its own "Apartment". Files stay in build-windows*/demo/ as run.sh's stay in
# build/demo/; the Wine prefix goes at the end. Prints run.sh's summary; with the full time it
# also checks that the hour arrived whole and in order: the studio first, the last entry of
# the hour after the promos playlist was removed, every house time of the hour in order.
# Before the service starts, -check -connect must pass against the receiver and fail, naming the
# refusal, on a port where nothing listens (check.txt, check-refused.txt).
# Exit status: 0 when all arrived and no error showed, 1 otherwise, 2 for a bad command line.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

bits=64
short=false
build_steps=true
while [ $# -gt 0 ]; do
    case $1 in
    --bits)
        [[ ${2:-} == 64 || ${2:-} == 32 ]] || { echo "windows-demo: --bits 64 or 32" >&2; exit 2; }
        bits=$2
        shift
        ;;
    --short) short=true ;;
    --no-build) build_steps=false ;;
    *) echo "windows-demo: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
if $short; then
    seconds=${KRI_DEMO_SECONDS:-8}
else
    seconds=${KRI_DEMO_SECONDS:-30}
fi
preset=windows
arch=x86_64
if [ "$bits" = 32 ]; then
    preset=windows32
    arch=i686
fi
build=$source_dir/build
windows_build=$source_dir/build-$preset

if $build_steps; then
    scripts/install-deps.sh
    scripts/install-windows-tools.sh
    scripts/windows-deps.sh "$arch"
    cmake --preset default > /dev/null
    cmake --build --preset default -j "$(nproc)" --target KriAggrReceiver
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target KriAtmnSvc KriAtmnSimulator
fi

receiver_program=$build/Tools/AggrReceiver/KriAggrReceiver
service_program=$windows_build/Tools/RovazoRiva/Playlist/KriAtmnSvc/KriAtmnSvc.exe
simulator=$windows_build/Tools/AtmnSimulator/KriAtmnSimulator.dll
for program in "$receiver_program" "$service_program" "$simulator"; do
    if [ ! -f "$program" ]; then
        echo "windows-demo: $program is missing; build first (without --no-build)" >&2
        exit 1
    fi
done

demo=$windows_build/demo
mkdir -p "$demo"
exec 8> "$demo/.lock"
if ! flock -n 8; then
    echo "windows-demo: another run is using $demo" >&2
    exit 1
fi
export WINEPREFIX=$demo/wine WINEDEBUG=-all
rm -rf "$WINEPREFIX" "$WINEPREFIX.lock" "$WINEPREFIX.log"

set -m
children=()
cleanup() {
    local group
    for group in "${children[@]}"; do
        kill -KILL -- "-$group" 2> /dev/null || true
    done
    wineserver -k 2> /dev/null || true
    rm -rf "$WINEPREFIX" "$WINEPREFIX.lock" "$WINEPREFIX.log"
}
trap cleanup EXIT

windows_path() { winepath -w "$1" 2> /dev/null; }
scripts/wine-run.sh "$WINEPREFIX" cmd /c echo ready > /dev/null 8>&-
wine regsvr32 /s "$(windows_path "$simulator")" 8>&-
if [ -n "${KRI_DEMO_THREADING_MODEL:-}" ]; then
    wine reg add 'HKCR\CLSID\{D35472C6-3643-4749-B8DA-E8ACFCC6FDC6}\InprocServer32' \
        /v ThreadingModel /d "$KRI_DEMO_THREADING_MODEL" /f "/reg:$bits" > /dev/null 8>&-
fi
Tests/certs/make-test-certs.sh "$demo/certs"
# The status files' folder, which the installer makes (KriAtmnSvc -setup).
mkdir -p "$WINEPREFIX/drive_c/ProgramData/KriAtmnSvc/status"

: > "$demo/receiver.log"
"$receiver_program" --cert "$demo/certs/server.crt" --key "$demo/certs/server.key" \
    --ca "$demo/certs/ca.crt" --address 127.0.0.1 --port 0 \
    --transactions "$demo/transactions.txt" < /dev/null > "$demo/receiver.log" 2>&1 8>&- &
receiver=$!
children+=("$receiver")
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$demo/receiver.log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$demo/receiver.log" >&2; echo "windows-demo: no receiver" >&2; exit 1; }

cat > "$demo/KriAtmnSvc.xml" << EOF
<KriAtmnSvc>
  <Automation progid="Kri.AtmnSimulator">
    <Simulator speed="200" scenario="$(windows_path "$source_dir/Tools/AtmnSimulator/scenarios/studio-hour.xml")"/>
  </Automation>
  <AggrServer ip="127.0.0.1" port="$port">
    <SslCAFile>$(windows_path "$demo/certs/ca.crt")</SslCAFile>
    <SslKeyFile>$(windows_path "$demo/certs/client.key")</SslKeyFile>
    <SslCfktFile>$(windows_path "$demo/certs/client.crt")</SslCfktFile>
  </AggrServer>
  <Studio id="1" name="Studio 1"/>
</KriAtmnSvc>
EOF
problems=()
# -check -connect: the configuration, the component and a handshake with the receiver pass; the
# same configuration with a port where nothing listens fails, naming the refusal.
check_output=$(wine "$service_program" -check -connect -config "$(windows_path "$demo/KriAtmnSvc.xml")" \
    2>&1 8>&- | tr -d '\r') || problems+=("-check -connect failed against the receiver: $check_output")
printf '%s\n' "$check_output" > "$demo/check.txt"
sed "s/port=\"$port\"/port=\"1\"/" "$demo/KriAtmnSvc.xml" > "$demo/refused.xml"
if check_output=$(wine "$service_program" -check -connect -config "$(windows_path "$demo/refused.xml")" \
    2>&1 8>&- | tr -d '\r'); then
    problems+=("-check -connect passed with nothing listening: $check_output")
elif [[ $check_output != *refused* ]]; then
    problems+=("-check -connect with nothing listening did not name the refusal: $check_output")
fi
printf '%s\n' "$check_output" > "$demo/check-refused.txt"
echo "Receiver on 127.0.0.1:$port. The $bits-bit KriAtmnSvc.exe -debug runs under Wine for" \
    "$seconds s; its trace goes to $demo/service.log."
wine "$service_program" -debug -config "$(windows_path "$demo/KriAtmnSvc.xml")" < /dev/null \
    > "$demo/service.raw" 2> "$demo/service.log" 8>&- &
service=$!
children+=("$service")
rest=$seconds
# Halfway through a full run the link is up: -status reads the running service's status file.
if ! $short; then
    sleep $((seconds / 2))
    rest=$((seconds - seconds / 2))
    if ! wine "$service_program" -status > "$demo/status.txt" 2>&1 8>&-; then
        problems+=("-status of the running service failed: $(tr -d '\r' < "$demo/status.txt")")
    fi
fi
sleep "$rest"

# stop_job <name> <process group> <seconds>: SIGINT, as Ctrl+C would, then at most <seconds>.
stop_job() {
    local tenths=$(($3 * 10)) status=0
    kill -INT -- "-$2" 2> /dev/null || true
    while kill -0 "$2" 2> /dev/null && ((tenths-- > 0)); do
        sleep 0.1
    done
    if kill -0 "$2" 2> /dev/null; then
        problems+=("$1 did not end within $3 s of SIGINT and was killed")
        kill -KILL -- "-$2" 2> /dev/null || true
    fi
    wait "$2" || status=$?
    [ "$status" -eq 0 ] || problems+=("$1 ended with exit status $status")
}
if ! kill -0 "$service" 2> /dev/null; then
    problems+=("KriAtmnSvc ended by itself; see service.log")
fi
stop_job KriAtmnSvc "$service" 15
stop_job KriAggrReceiver "$receiver" 5
children=()
# The console's line ends are Windows' own.
tr -d '\r' < "$demo/service.raw" > "$demo/service.out"

# The hour whole and in order: each landmark's first line comes after the one before, and the
# house times never go back and reach the hour's last minute.
if ! $short; then
    landmarks=(' action=AddStudio ' 'id="M-1800-ID"' ' action=RemoveSession ' 'id="M-1900-ID"')
    last=0
    for landmark in "${landmarks[@]}"; do
        line=$(grep -n ' transaction ' "$demo/receiver.log" | grep -F -- "$landmark" |
            head -n 1 | cut -d: -f1 || true)
        if [ -z "$line" ] || [ "$line" -le "$last" ]; then
            problems+=("the hour did not arrive whole and in order: \"$landmark\" missing or early")
            break
        fi
        last=$line
    done
    house_times=$(grep -o '<Action name="UpdateTime">.*' "$demo/transactions.txt" |
        sed -n 's/.*<Time hh="\([0-9]*\)" mm="\([0-9]*\)" ss="\([0-9]*\)".*/\1 \2 \3/p' || true)
    if ! awk '{ t = $1 * 3600 + $2 * 60 + $3; if (t < last) exit 1; last = t }
              END { exit last >= 18 * 3600 + 59 * 60 ? 0 : 1 }' <<< "$house_times"; then
        problems+=("the house times went back or stopped before 18:59: $(tr '\n' ',' <<< "$house_times")")
    fi
fi

scripts/demo-summary.sh "$demo" "${problems[@]}"
