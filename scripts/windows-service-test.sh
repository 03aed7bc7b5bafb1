#!/usr/bin/env bash
# The Windows service under Wine's service control manager, end to end, for one build tree:
#
#   scripts/windows-service-test.sh <build directory> <64|32>
#
# In a Wine prefix of its own (<build>/service-test/wine, made afresh and removed at the end) it
# registers the simulator with regsvr32 and shows, in the console, that -debug traces the
# component's DLL, bitness and threading model and stops on Ctrl+C, and that a component DLL of
# the other bitness and one in a folder every user may write to are refused. It then installs
# KriAtmnSvc.exe from a folder whose path has spaces and shows through `sc`:
#   - -install: the quoted program path, the event source with the program as message file;
#   - starts that fail end in STOPPED with a failure code, never held in START_PENDING: no
#     configuration file, a component whose Connect fails, an unregistered ProgId;
#   - a good start passes START_PENDING to RUNNING; the parameter-change control keeps it
#     running; `sc stop` stops it, and so does the named
#     event "AtmnStop"; -spool-check reads a spool;
#   - -remove leaves no service, no service key (with its Parameters) and no event source;
#   - the watchdog: a test service (W32ServiceTestService -watchdogstall) that stops sending
#     "WATCHDOG=1" ends STOPPED with ERROR_TIMEOUT (1460), the failure that the recovery actions
#     answer; and so does the service itself when its event loop stalls (KriSuspendThread
#     suspends its thread "reactor").
# The server named in the configuration does not listen: the service keeps trying, as it must.
# Prints one line per check; exits 0 when all passed, 1 otherwise, 2 for a bad command line.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 2 ] || [[ $2 != 64 && $2 != 32 ]]; then
    echo "usage: windows-service-test.sh <build directory> <64|32>" >&2
    exit 2
fi
build=$(realpath "$1")
bits=$2
other_bits=$((bits == 64 ? 32 : 64))
work=$build/service-test
export WINEPREFIX=$work/wine WINEDEBUG=-all
view=/reg:$bits

program=$build/Tools/RovazoRiva/Playlist/KriAtmnSvc/KriAtmnSvc.exe
simulator=$build/Tools/AtmnSimulator/KriAtmnSimulator.dll
post_event=$build/Tests/KriPostEvent.exe
test_service=$build/Tests/W32ServiceTestService.exe
suspend_thread=$build/Tests/KriSuspendThread.exe
for file in "$program" "$simulator" "$post_event" "$test_service" "$suspend_thread"; do
    [ -f "$file" ] || { echo "windows-service-test: $file is missing; build first" >&2; exit 2; }
done

failures=0
pass() { echo "PASS: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

finish() {
    wine sc stop KriAtmn > /dev/null 2>&1 || true
    wine sc stop KriAtmnTest > /dev/null 2>&1 || true
    wineserver -k 2> /dev/null || true
    rm -rf "$work"
}
rm -rf "$work"
mkdir -p "$work"
trap finish EXIT

"$source_dir/scripts/wine-run.sh" "$WINEPREFIX" cmd /c echo ready > /dev/null
windows_path() { winepath -w "$1" 2> /dev/null; }

# The program in a folder with spaces, as under "Program Files".
install_dir="$work/Program Files/Kri Atmn"
mkdir -p "$install_dir"
cp "$program" "$install_dir/"
service_exe="$install_dir/KriAtmnSvc.exe"

"$source_dir/Tests/certs/make-test-certs.sh" "$work/certs" > /dev/null
wine regsvr32 /s "$(windows_path "$simulator")"

# write_config <file> <component attributes> <scenario>
write_config() {
    cat > "$1" << EOF
<KriAtmnSvc>
  <Automation $2>
    <Simulator speed="200" scenario="$(windows_path "$3")"/>
  </Automation>
  <AggrServer ip="127.0.0.1" port="1">
    <SslCAFile>$(windows_path "$work/certs/ca.crt")</SslCAFile>
    <SslKeyFile>$(windows_path "$work/certs/client.key")</SslKeyFile>
    <SslCfktFile>$(windows_path "$work/certs/client.crt")</SslCfktFile>
  </AggrServer>
  <Studio id="1" name="Studio 1"/>
</KriAtmnSvc>
EOF
}
scenario=$source_dir/Tools/AtmnSimulator/scenarios/studio-hour.xml
mkdir -p "$work/config"
write_config "$work/config/good.xml" 'progid="Kri.AtmnSimulator"' "$scenario"
write_config "$work/config/unregistered.xml" 'progid="Kri.NoSuchComponent"' "$scenario"
write_config "$work/config/connect-fails.xml" 'progid="Kri.AtmnSimulator"' \
    "$work/config/no-scenario.xml"

# Classes registered by hand: one served by a DLL of the other bitness (a DLL of Wine's own: the
# service reads only its header), one by the simulator in a folder that every user may write to.
other_bits_class='{6B1F7E3A-0C2D-4E5F-8A9B-1C2D3E4F5A61}'
open_folder_class='{6B1F7E3A-0C2D-4E5F-8A9B-1C2D3E4F5A62}'
mkdir -p "$work/other-bits" "$work/open"
if [ "$bits" = 64 ]; then
    cp "$WINEPREFIX/drive_c/windows/syswow64/ole32.dll" "$work/other-bits/KriAtmnSimulator.dll"
else
    cp "$WINEPREFIX/drive_c/windows/system32/ole32.dll" "$work/other-bits/KriAtmnSimulator.dll"
fi
cp "$simulator" "$work/open/"
chmod 777 "$work/open"
register_class() {
    wine reg add "HKCR\\CLSID\\$1\\InprocServer32" /ve /d "$(windows_path "$2")" /f "$view" \
        > /dev/null
}
register_class "$other_bits_class" "$work/other-bits/KriAtmnSimulator.dll"
register_class "$open_folder_class" "$work/open/KriAtmnSimulator.dll"
write_config "$work/config/other-bits.xml" "progid=\"\" uuid=\"$other_bits_class\"" "$scenario"
write_config "$work/config/open-folder.xml" "progid=\"\" uuid=\"$open_folder_class\"" "$scenario"

use_config() {
    wine reg add 'HKLM\SOFTWARE\Varnholt\KriAtmnSvc' /v Config /d "$1" /f "$view" > /dev/null
}

# The value of one field of `sc query $service` (STATE, WIN32_EXIT_CODE, ...), or "none".
service=KriAtmn
query_field() {
    local output
    output=$(wine sc query "$service" 2> /dev/null | tr -d '\r') || true
    sed -n "s/^ *$1 *: *\([0-9]*\).*/\1/p" <<< "$output" | grep . || echo none
}

# await_state <state number> <seconds>: every state seen on the way goes to $states.
states=
await_state() {
    local state last= tenths=$(($2 * 10))
    states=
    while ((tenths-- > 0)); do
        state=$(query_field STATE)
        [ "$state" = "$last" ] || states+="$state "
        last=$state
        [ "$state" != "$1" ] || return 0
        sleep 0.1
    done
    return 1
}

# failed_start <what> <config path> <failure code>: the service control manager starts the
# service, which then ends in STOPPED with the failure code. Consecutive cases expect different
# codes, so that the code read is this start's.
failed_start() {
    use_config "$2"
    if ! wine sc start KriAtmn > /dev/null 2>&1; then
        fail "$1: the service control manager did not start the service"
        return
    fi
    if ! await_state 1 30; then
        fail "$1: not stopped 30 s after the start (states: $states)"
        return
    fi
    local code
    code=$(query_field WIN32_EXIT_CODE)
    if [ "$code" = "$3" ]; then
        pass "$1: STOPPED with failure code $code"
    else
        fail "$1: STOPPED with exit code $code, not $3"
    fi
}

# The service in the console: the trace names the component's DLL, bitness and threading model,
# and Ctrl+C (SIGINT reaches the console control handler) stops it with exit status 0.
# A job of its own (set -m): a background command of a script would ignore SIGINT.
set -m
wine "$service_exe" -debug -config "$(windows_path "$work/config/good.xml")" \
    > /dev/null 2> "$work/debug.log" &
debug_pid=$!
set +m
expected="Automation component: $(windows_path "$simulator") ($bits-bit, threading model Apartment)"
for _ in $(seq 150); do
    ! grep -qF "$expected" "$work/debug.log" || break
    sleep 0.1
done
kill -INT -- "-$debug_pid"
status=0
wait "$debug_pid" || status=$?
if grep -qF "$expected" "$work/debug.log" && [ "$status" = 0 ]; then
    pass "-debug: \"$expected\", Ctrl+C stops it"
else
    fail "-debug: exit status $status; trace: $(tr -d '\r' < "$work/debug.log" | head -n 20)"
fi

# debug_refuses <what> <config> <text>: -debug ends at once with status 78, the text in its trace.
debug_refuses() {
    local trace status=0
    trace=$(timeout 60 wine "$service_exe" -debug -config "$(windows_path "$2")" 2>&1 > /dev/null |
        tr -d '\r') || status=$?
    if [ "$status" = 78 ] && [[ $trace == *"$3"* ]]; then
        pass "$1: refused: $(grep -F "$3" <<< "$trace" | head -n 1)"
    else
        fail "$1: exit status $status; trace: $trace"
    fi
}
debug_refuses "a DLL of the other bitness" "$work/config/other-bits.xml" \
    "is a $other_bits-bit DLL, which this $bits-bit service cannot load"
debug_refuses "a DLL in a folder every user may write to" "$work/config/open-folder.xml" \
    "$(windows_path "$work/open")"

output=$(wine "$service_exe" -install 2>&1 | tr -d '\r')
if [[ $output == *"Kri Automation Interfacing Service installed."* ]]; then
    pass "-install: $(tail -n 1 <<< "$output")"
else
    fail "-install: $output"
fi
services_key='HKLM\SYSTEM\CurrentControlSet\Services'
event_source_key="$services_key\\EventLog\\Application\\KriAtmn"
image_path=$(wine reg query "$services_key\\KriAtmn" /v ImagePath "$view" 2>&1 | tr -d '\r')
if [[ $image_path == *"\"$(windows_path "$service_exe")\""* ]]; then
    pass "the program path is quoted"
else
    fail "the program path is not quoted: $image_path"
fi
message_file=$(wine reg query "$event_source_key" /v EventMessageFile "$view" 2>&1 | tr -d '\r')
if [[ $message_file == *"$(windows_path "$service_exe")"* ]]; then
    pass "the event source names the program as its message file"
else
    fail "no event source with the program as message file: $message_file"
fi

# 78: a configuration the service cannot use; 2147942487: the simulator's E_INVALIDARG.
failed_start "no configuration file" 'C:\no\such\KriAtmnSvc.xml' 78
failed_start "Connect fails" "$(windows_path "$work/config/connect-fails.xml")" 2147942487
failed_start "unregistered ProgId" "$(windows_path "$work/config/unregistered.xml")" 78

use_config "$(windows_path "$work/config/good.xml")"
wine sc start KriAtmn > /dev/null 2>&1 || true
if await_state 4 30; then
    pass "started: states $states"
else
    fail "not RUNNING 30 s after the start (states: $states)"
fi
wine sc control KriAtmn paramchange > /dev/null 2>&1 || true
sleep 2
if [ "$(query_field STATE)" = 4 ]; then
    pass "RUNNING after the parameter-change control"
else
    fail "not RUNNING after the parameter-change control: state $(query_field STATE)"
fi
wine sc stop KriAtmn > /dev/null 2>&1 || true
if await_state 1 30 && [ "$(query_field WIN32_EXIT_CODE)" = 0 ]; then
    pass "sc stop: STOPPED with exit code 0"
else
    fail "sc stop: states $states, exit code $(query_field WIN32_EXIT_CODE)"
fi

wine sc start KriAtmn > /dev/null 2>&1 || true
await_state 4 30 || true
if wine "$post_event" AtmnStop > /dev/null 2>&1 && await_state 1 30; then
    pass "the event \"AtmnStop\" stops the service"
else
    fail "the event \"AtmnStop\" did not stop the service (states: $states)"
fi

# The service's own event loop stalls: the thread "reactor" is suspended while the service runs,
# and the watchdog (two seconds here) ends the service with ERROR_TIMEOUT.
wine reg add "$services_key\\KriAtmn\\Parameters" /v WatchdogSeconds /t REG_DWORD /d 2 /f \
    "$view" > /dev/null
wine sc start KriAtmn > /dev/null 2>&1 || true
if ! await_state 4 30; then
    fail "stalled event loop: not RUNNING 30 s after the start (states: $states)"
elif sleep 4 && [ "$(query_field STATE)" != 4 ]; then
    fail "stalled event loop: the watchdog ended a service whose loop turns: state $(query_field STATE), exit code $(query_field WIN32_EXIT_CODE)"
elif ! suspended=$(wine "$suspend_thread" KriAtmnSvc.exe reactor 2>&1 | tr -d '\r'); then
    fail "stalled event loop: $suspended"
elif await_state 1 30 && [ "$(query_field WIN32_EXIT_CODE)" = 1460 ]; then
    pass "stalled event loop: fed while running, then STOPPED with exit code 1460 ($suspended)"
else
    fail "stalled event loop: states $states, exit code $(query_field WIN32_EXIT_CODE)"
fi

mkdir -p "$work/spool"
spool_text=$(wine "$service_exe" -spool-check "$(windows_path "$work/spool")" 2>&1 | tr -d '\r') &&
    status=0 || status=$?
if [ "$status" = 0 ] && [[ $spool_text == *"transactions to send:  0"* ]]; then
    pass "-spool-check of an empty spool"
else
    fail "-spool-check: exit status $status: $spool_text"
fi

output=$(wine "$service_exe" -remove 2>&1 | tr -d '\r')
if [[ $output == *"removed."* ]] && [ "$(query_field STATE)" = none ]; then
    pass "-remove: no service"
else
    fail "-remove: $output; state $(query_field STATE)"
fi
if wine reg query "$event_source_key" "$view" > /dev/null 2>&1; then
    fail "-remove left the event source"
else
    pass "-remove: no event source"
fi
if wine reg query "$services_key\\KriAtmn" "$view" > /dev/null 2>&1; then
    fail "-remove left the service's registry key"
else
    pass "-remove: no service registry key (nor its Parameters)"
fi

# The watchdog, with an interval of one second: the test service feeds it for a second, then
# stops, and the service ends with ERROR_TIMEOUT rather than running on stuck.
service=KriAtmnTest
wine sc create KriAtmnTest binpath= "\"$(windows_path "$test_service")\" -watchdogstall" \
    > /dev/null 2>&1 || true
wine reg add "$services_key\\KriAtmnTest\\Parameters" /v WatchdogSeconds /t REG_DWORD /d 1 /f \
    "$view" > /dev/null
wine sc start KriAtmnTest > /dev/null 2>&1 || true
if await_state 1 30 && [[ " $states" == *" 4 "* ]] &&
    [ "$(query_field WIN32_EXIT_CODE)" = 1460 ]; then
    pass "watchdog: a stalled service ran, then ended STOPPED with exit code 1460 (states: $states)"
else
    fail "watchdog: states $states, exit code $(query_field WIN32_EXIT_CODE)"
fi
wine sc delete KriAtmnTest > /dev/null 2>&1 || true

echo "windows-service-test ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
