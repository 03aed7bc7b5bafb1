#!/usr/bin/env bash
# Installs what is missing, builds the default configuration and runs the main job: the service
# in the console against the reference aggregation receiver, with the simulated automation
# system playing the shipped studio hour, for a bounded time (KRI_DEMO_SECONDS, default 25).
#
# Everything the run needs is made inside the build tree (build/demo/): test certificates, a
# registry root with the simulator registered, the configuration file, and the logs. Nothing
# outside the build tree is touched; the receiver listens on a free port of 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"

seconds=${KRI_DEMO_SECONDS:-25}
build=$PWD/build
demo=$build/demo
mkdir -p "$demo"
rm -rf "$demo/registry"
export KRI_REGISTRY_ROOT=$demo/registry

Tests/certs/make-test-certs.sh "$demo/certs"
"$build/Tools/AtmnSimulator/KriAtmnRegister" "$build/Tools/AtmnSimulator/libKriAtmnSimulator.so"

# Started in this order, stopped in the reverse one.
pids=()
stop_all() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -INT "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    pids=()
}
tailer=
trap 'stop_all; [ -z "$tailer" ] || kill "$tailer" 2>/dev/null' EXIT

: > "$demo/receiver.log"
"$build/Tools/AggrReceiver/KriAggrReceiver" --cert "$demo/certs/server.crt" \
    --key "$demo/certs/server.key" --ca "$demo/certs/ca.crt" --address 127.0.0.1 --port 0 \
    --transactions "$demo/transactions.txt" > "$demo/receiver.log" 2>&1 &
pids+=($!)
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$demo/receiver.log")
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    cat "$demo/receiver.log" >&2
    echo "the receiver did not start" >&2
    exit 1
fi

# The hour of the scenario played at 200 times its speed: about 18 seconds.
cat > "$demo/KriAtmnSvc.xml" <<EOF
<KriAtmnSvc>
  <Automation progid="Kri.AtmnSimulator">
    <Simulator speed="200" scenario="$PWD/Tools/AtmnSimulator/scenarios/studio-hour.xml"/>
  </Automation>
  <AggrServer ip="127.0.0.1" port="$port">
    <SslCAFile>$demo/certs/ca.crt</SslCAFile>
    <SslKeyFile>$demo/certs/client.key</SslKeyFile>
    <SslCfktFile>$demo/certs/client.crt</SslCfktFile>
  </AggrServer>
  <Studio id="1" name="Studio 1"/>
</KriAtmnSvc>
EOF

echo "Receiver on 127.0.0.1:$port; running KriAtmnSvc for $seconds s (trace: $demo/service.log)"
"$build/Tools/RovazoRiva/Playlist/KriAtmnSvc/KriAtmnSvc" -debug -config "$demo/KriAtmnSvc.xml" \
    2> "$demo/service.log" &
pids+=($!)
tail -n +2 -f "$demo/receiver.log" &
tailer=$!
sleep "$seconds"
stop_all
# Let the receiver's last lines through before the tail goes.
sleep 0.5
echo "Transactions as received: $demo/transactions.txt"
