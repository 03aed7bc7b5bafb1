#!/usr/bin/env bash
# Link and process faults of the Windows service under Wine, against the Linux reference
# receiver on 127.0.0.1, for one build tree:
#
#   scripts/windows-fault-test.sh <build directory> <64|32> <KriAggrReceiver of a Linux build>
#
# In a Wine prefix of its own (<build>/fault-test/wine, made afresh) with the simulator
# registered by regsvr32, KriAtmnSvc.exe runs in the console (-debug) while the simulator's two
# playlists ("Seq#1", "Seq#2") fire numbered segment changes, each one's numbers in order. Cases:
#   receiver-killed    the receiver killed (SIGKILL) and started again on its port four times,
#                      once before the studio was announced: every segment arrives, each
#                      connection opens with "AddStudio" and carries each playlist's numbers
#                      without a gap; what a new connection repeats is allowed, a gap is not;
#   untrusted-server   the receiver with a certificate from another CA: it records no
#                      transaction and not one application byte, the service says why in its
#                      trace, keeps trying, and still stops on Ctrl+C;
#   close-notify       the receiver ends every connection with a TLS close_notify after 100
#                      transactions (--close-after): the service connects again, announces the
#                      studio again, and every segment arrives as above;
#   spool-across-kill  with a spool and the receiver down, the events go into the spool; the
#                      service is ended by `taskkill /F` and started again with the receiver
#                      up: every spooled event arrives, in order, after "AddStudio".
# The kill moments come from a seed printed in the first case's line; KRI_FAULT_SEED repeats
# a run. Files stay in <build>/fault-test/ when a case failed; the Wine prefix goes either way.
# Prints one PASS or FAIL line per case; exits 0 when all passed, 1 otherwise, 2 for a bad
# command line.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 3 ] || [[ $2 != 64 && $2 != 32 ]]; then
    echo "usage: windows-fault-test.sh <build directory> <64|32> <KriAggrReceiver program>" >&2
    exit 2
fi
build=$(realpath "$1")
bits=$2
receiver_program=$3
service_program=$build/Tools/RovazoRiva/Playlist/KriAtmnSvc/KriAtmnSvc.exe
simulator=$build/Tools/AtmnSimulator/KriAtmnSimulator.dll
for file in "$service_program" "$simulator"; do
    [ -f "$file" ] || { echo "windows-fault-test: $file is missing; build first" >&2; exit 2; }
done
if [ ! -x "$receiver_program" ]; then
    echo "windows-fault-test: the Linux receiver $receiver_program is missing; build it with" \
        "'cmake --build --preset default --target KriAggrReceiver'" >&2
    exit 2
fi

work=$build/fault-test
mkdir -p "$work"
exec 8> "$work/.lock"
if ! flock -n 8; then
    echo "windows-fault-test: another run is using $work" >&2
    exit 1
fi
find "$work" -mindepth 1 -maxdepth 1 ! -name .lock -exec rm -rf {} +
export WINEPREFIX=$work/wine WINEDEBUG=-all

seed=${KRI_FAULT_SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$seed
failures=0
pass() { echo "PASS: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Every program started here runs in a process group of its own (set -m), so that a signal
# reaches all of Wine's processes of one program and nothing else.
set -m
groups=()
finish() {
    local group
    for group in "${groups[@]}"; do
        kill -KILL -- "-$group" 2> /dev/null || true
    done
    wineserver -k 2> /dev/null || true
    rm -rf "$WINEPREFIX" "$WINEPREFIX.lock" "$WINEPREFIX.log"
    if [ "$failures" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "windows-fault-test: the failed cases' files are in $work"
    fi
}
trap finish EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

"$source_dir/scripts/wine-run.sh" "$WINEPREFIX" cmd /c echo ready > /dev/null 8>&-
windows_path() { winepath -w "$1" 2> /dev/null; }
wine regsvr32 /s "$(windows_path "$simulator")" 8>&-
"$source_dir/Tests/certs/make-test-certs.sh" "$work/certs" > /dev/null
mkdir -p "$WINEPREFIX/drive_c/ProgramData/KriAtmnSvc/status"

# await <seconds> <command...>: true once the command succeeds, tried every tenth of a second.
await() {
    local tenths=$(($1 * 10))
    shift
    until "$@"; do
        ((tenths-- > 0)) || return 1
        sleep 0.1
    done
}
# lines_in <file> <pattern>: how many lines match.
lines_in() {
    local count
    count=$(grep -c -- "$2" "$1" 2> /dev/null) || true
    echo "${count:-0}"
}
has_lines() { [ "$(lines_in "$1" "$2")" -ge "$3" ]; }

# start_receiver <log> [option...]: the receiver on 127.0.0.1 with the test certificates (others
# given as options win), on $port, or on a free port when $port is empty, which it then sets.
receiver=
port=
start_receiver() {
    local log=$1
    shift
    "$receiver_program" --cert "$work/certs/server.crt" --key "$work/certs/server.key" \
        --ca "$work/certs/ca.crt" --address 127.0.0.1 --port "${port:-0}" "$@" < /dev/null \
        > "$log" 2>&1 8>&- &
    receiver=$!
    groups+=("$receiver")
    if ! await 10 grep -q '^listening on ' "$log"; then
        echo "windows-fault-test: the receiver did not start: $(cat "$log")" >&2
        exit 1
    fi
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
}

# await_end <pid> <seconds>: sets $ended to the program's exit status once it ended, or to
# "none" when it still ran after that long.
ended=
await_end() {
    local tenths=$(($2 * 10))
    # Standard error is shut for the loop, where the shell reports a job that a signal ended.
    while kill -0 "$1" 2> /dev/null && ((tenths-- > 0)); do
        sleep 0.1
    done 2> /dev/null
    if kill -0 "$1" 2> /dev/null; then
        ended=none
        return
    fi
    ended=0
    wait "$1" 2> /dev/null || ended=$?
}

# stop_program <pid> <signal> <seconds>: sends the signal to the program's group and waits at
# most that long (await_end), then kills the group.
stop_program() {
    kill "-$2" -- "-$1" 2> /dev/null || true
    await_end "$1" "$3"
    if [ "$ended" = none ]; then
        kill -KILL -- "-$1" 2> /dev/null || true
        wait "$1" 2> /dev/null || true
    fi
}

# write_config <file> <Automation content> [element inside AggrServer]
write_config() {
    cat > "$1" << EOF
<KriAtmnSvc>
  <Automation progid="Kri.AtmnSimulator">
$2
  </Automation>
  <AggrServer ip="127.0.0.1" port="$port">
    <SslCAFile>$(windows_path "$work/certs/ca.crt")</SslCAFile>
    <SslKeyFile>$(windows_path "$work/certs/client.key")</SslKeyFile>
    <SslCfktFile>$(windows_path "$work/certs/client.crt")</SslCfktFile>
    ${3:-}
  </AggrServer>
  <Studio id="1" name="Studio 1"/>
</KriAtmnSvc>
EOF
}

# Two player threads, each firing segments 1 to <count> of its copy of the playlist "Seq", one
# every <interval> ms.
playlists=2
segment_automation() {
    local n
    echo "<Simulator threads=\"$playlists\" interval=\"$2\"/>"
    echo '<Scenario houseDate="2024-03-09" houseTime="18:00:00:00">'
    echo '<Playlist id="1" name="Seq"><Entry id="S-1" name="Sequence"/></Playlist>'
    echo '<Schedule>'
    for ((n = 1; n <= $1; n++)); do
        echo "<Segment at=\"$n\" playlist=\"Seq\" entry=\"S-1\" segment=\"$n\"/>"
    done
    echo '</Schedule></Scenario>'
}
quiet_automation='<Simulator speed="fast"/><Scenario houseDate="2024-03-09" houseTime="18:00:00:00">
<Playlist id="1" name="Idle" announce="false"><Entry id="I-1"/></Playlist><Schedule/></Scenario>'

# windows_pid <program name>: the Windows process id of the program running under the prefix's
# wineserver, as winedbg lists it.
windows_pid() {
    local hex
    hex=$(timeout 20 wine winedbg --command "info proc" 2> /dev/null 8>&- | tr -d '\r' |
        sed -n "s/^[ =]*\([0-9a-f]*\) .*'$1'\$/\1/p" | head -n 1) || true
    [ -z "$hex" ] || echo $((16#$hex))
}

# start_service <config> <log>: KriAtmnSvc.exe -debug under Wine; its trace goes to <log>.
service=
start_service() {
    wine "$service_program" -debug -config "$(windows_path "$1")" < /dev/null \
        > "${2%.log}.out" 2> "$2" 8>&- &
    service=$!
    groups+=("$service")
}

# stop_service: Ctrl+C (SIGINT reaches the console control handler); a problem unless the
# service ends with status 0 within 15 s.
stop_service() {
    stop_program "$service" INT 15
    if [ "$ended" = none ]; then
        problems+=("the service did not end within 15 s of Ctrl+C")
    elif [ "$ended" != 0 ]; then
        problems+=("the service ended with status $ended after Ctrl+C")
    fi
}

# Each case gathers what went wrong in $problems and ends with verdict.
problems=()
# verdict <case> <what passed...>: one PASS or FAIL line.
verdict() {
    if [ ${#problems[@]} -eq 0 ]; then
        pass "$1: ${*:2}"
    else
        fail "$1: $(printf '%s; ' "${problems[@]}")"
    fi
    problems=()
}
# The last lines of a trace, on one line.
trace_tail() { tail -n 3 "$1" | tr -d '\r' | tr '\n' ' '; }

# check_delivery <segments> <receiver log...>: reads the receivers' connections in order and
# prints one "problem:" line for each connection whose first transaction is not "AddStudio",
# each break in a playlist's numbers within a connection, each connection that starts a
# playlist beyond the next number not yet received (a gap), and each playlist whose numbers do
# not reach <segments>; then a line "connections=C repeated=R" (R: segments that had arrived
# before). Exit status 0 when there is no problem.
check_delivery() {
    local segments=$1
    shift
    awk -v segments="$segments" -v playlists="$playlists" '
        function problem(text) { print "problem: " text; problems++ }
        FNR == 1 { file++ }
        $3 != "transaction" { next }
        {
            key = file " " $2
            session = substr($4, 9)
            action = substr($5, 8)
            if (!(key in opened)) {
                opened[key] = 1
                connections++
                if (action != "AddStudio")
                    problem(FILENAME ": " $2 " opened with " action ", not AddStudio")
            }
        }
        action != "ChangeSegment" { next }
        {
            n = substr($6, 5) + 0
            if ((key, session) in last) {
                if (n != last[key, session] + 1)
                    problem(FILENAME ": " $2 " session " session ": segment " n " follows " \
                            last[key, session])
            } else if (n > high[session] + 1) {
                problem(FILENAME ": " $2 " session " session ": starts at segment " n \
                        ", after " (high[session] + 0) " had arrived")
            }
            last[key, session] = n
            if (n <= high[session]) repeated++
            else high[session] = n
        }
        END {
            for (session in high) {
                sessions++
                if (high[session] != segments)
                    problem("session " session ": segments up to " high[session] " of " segments)
            }
            if (sessions != playlists)
                problem(sessions + 0 " playlists with segments, not " playlists)
            printf "connections=%d repeated=%d\n", connections, repeated
            exit problems > 0
        }' "$@"
}

# expect_delivery <seconds> <segments> <receiver log...>: waits until check_delivery passes; its
# problems and the receivers' error lines become problems, and its last line is left in
# $delivered.
delivered=
expect_delivery() {
    local seconds=$1 report line
    shift
    await "$seconds" check_delivery "$@" > /dev/null || true
    report=$(check_delivery "$@") || true
    delivered=${report##*$'\n'}
    while IFS= read -r line; do
        problems+=("$line")
    done < <(sed -n 's/^problem: //p' <<< "$report" | head -n 5; grep -h ' error: ' "${@:2}" |
        head -n 5)
}

# last_fired <service log> <segments>: true once both playlists fired their last segment.
last_fired() { has_lines "$1" "Fired change segment.*segnum:$2[[:space:]]*\$" "$playlists"; }

case_receiver_killed() {
    local dir=$work/receiver-killed segments=500 round logs=()
    mkdir -p "$dir"
    port=
    start_receiver "$dir/receiver-0.log"
    logs+=("$dir/receiver-0.log")
    write_config "$dir/config.xml" "$(segment_automation "$segments" 50)"
    start_service "$dir/config.xml" "$dir/service.log"
    if ! await 60 has_lines "$dir/receiver-0.log" ' action=AddStudio ' 1; then
        problems+=("no AddStudio within 60 s of the start: $(trace_tail "$dir/service.log")")
    fi
    for round in 1 2 3 4; do
        [ ${#problems[@]} -eq 0 ] || break
        # The second kill comes between the handshake and the announcement.
        [ "$round" = 2 ] || sleep "$((RANDOM % 3)).$((RANDOM % 10))"
        stop_program "$receiver" KILL 5
        sleep "0.$((RANDOM % 9))"
        start_receiver "$dir/receiver-$round.log"
        logs+=("$dir/receiver-$round.log")
        if ! await 20 has_lines "$dir/receiver-$round.log" ' accepted client ' 1; then
            problems+=("no connection within 20 s of restart $round")
        elif [ "$round" != 2 ] &&
            ! await 20 has_lines "$dir/receiver-$round.log" ' action=AddStudio ' 1; then
            problems+=("no AddStudio within 20 s of restart $round")
        fi
    done
    if [ ${#problems[@]} -eq 0 ]; then
        await 60 last_fired "$dir/service.log" "$segments" || true
        expect_delivery 30 "$segments" "${logs[@]}"
    fi
    stop_service
    stop_program "$receiver" INT 5
    verdict "receiver-killed (seed $seed)" "killed 4 times (once before AddStudio)," \
        "$playlists x $segments segments arrived without a gap, AddStudio first on each" \
        "connection; $delivered"
}

case_untrusted_server() {
    local dir=$work/untrusted-server
    local reason="SSL error : -25 (the server's certificate failed verification"
    mkdir -p "$dir"
    port=
    start_receiver "$dir/receiver.log" --cert "$work/certs/other-server.crt" \
        --key "$work/certs/other-server.key" --transactions "$dir/transactions.txt"
    write_config "$dir/config.xml" "$(segment_automation 50 20)"
    start_service "$dir/config.xml" "$dir/service.log"
    if ! await 60 has_lines "$dir/receiver.log" ' connected$' 3; then
        problems+=("$(lines_in "$dir/receiver.log" ' connected$') attempts in 60 s:" \
            "$(trace_tail "$dir/service.log")")
    fi
    kill -0 "$service" 2> /dev/null || problems+=("the service ended by itself")
    stop_service
    stop_program "$receiver" INT 5
    local attempts transactions bytes why
    attempts=$(lines_in "$dir/receiver.log" ' connected$')
    transactions=$(lines_in "$dir/receiver.log" ' transaction \| empty frame ')
    bytes=$(stat -c %s "$dir/transactions.txt")
    if [ "$transactions" != 0 ] || [ "$bytes" != 0 ]; then
        problems+=("the receiver recorded $transactions transactions, $bytes bytes")
    fi
    if grep -q 'SSL connect successful' "$dir/service.log"; then
        problems+=("the service took the server: $(grep -m 1 'SSL connect' "$dir/service.log")")
    fi
    why=$(grep -F -o -m 1 "$reason" "$dir/service.log" || true)
    [ -n "$why" ] || problems+=("no \"$reason\" in the trace: $(trace_tail "$dir/service.log")")
    verdict untrusted-server "$attempts attempts, no transaction and 0 application bytes" \
        "recorded, the trace says \"$reason ...)\", Ctrl+C stops it"
}

# announced_after_last_close <receiver log>: true when "AddStudio" came after the last close_notify.
announced_after_last_close() {
    awk '/ close_notify sent after / { closed = NR } / action=AddStudio / { announced = NR }
         END { exit !(announced > closed) }' "$1"
}

case_close_notify() {
    local dir=$work/close-notify segments=150 closes announcements
    mkdir -p "$dir"
    port=
    start_receiver "$dir/receiver.log" --close-after 100
    write_config "$dir/config.xml" "$(segment_automation "$segments" 50)"
    start_service "$dir/config.xml" "$dir/service.log"
    await 90 last_fired "$dir/service.log" "$segments" || true
    expect_delivery 30 "$segments" "$dir/receiver.log"
    # The connection the last close_notify ended is followed by a new one as well.
    await 20 announced_after_last_close "$dir/receiver.log" || true
    stop_service
    stop_program "$receiver" INT 5
    closes=$(lines_in "$dir/receiver.log" ' close_notify sent after ')
    announcements=$(lines_in "$dir/receiver.log" ' action=AddStudio ')
    if [ "$closes" -lt 2 ] || [ "$announcements" -le "$closes" ]; then
        problems+=("$closes close_notify sent, $announcements AddStudio received")
    fi
    verdict close-notify "$closes connections ended by close_notify, AddStudio again on each" \
        "new one ($announcements in all), $playlists x $segments segments arrived without a" \
        "gap; $delivered"
}

case_spool_across_kill() {
    local dir=$work/spool-across-kill segments=60 spool pid held
    # Each playlist's segments, with its "AddSession" and "AddEntry".
    local accepted=$((playlists * (segments + 2)))
    mkdir -p "$dir"
    spool=$(windows_path "$dir/spool")
    # A port that was free a moment ago, where nothing listens during the first run.
    port=
    start_receiver "$dir/receiver-probe.log"
    stop_program "$receiver" INT 5
    write_config "$dir/config-1.xml" "$(segment_automation "$segments" 20)" \
        "<Delivery spoolDir=\"$spool\"/>"
    start_service "$dir/config-1.xml" "$dir/service-1.log"
    if ! await 60 last_fired "$dir/service-1.log" "$segments"; then
        problems+=("the events did not all fire within 60 s: $(trace_tail "$dir/service-1.log")")
    fi
    # By process id: `wine taskkill` is the 32-bit taskkill, which under Wine finds no 64-bit
    # process by its name (/IM).
    pid=$(windows_pid KriAtmnSvc.exe)
    wine taskkill /F /PID "$pid" > "$dir/taskkill.out" 2>&1 8>&- || true
    await_end "$service" 10
    if [ "$ended" = none ]; then
        problems+=("the service still ran 10 s after taskkill /F /PID ${pid:-?}:" \
            "$(tr -d '\r' < "$dir/taskkill.out")")
        stop_program "$service" KILL 5
    elif grep -q '^Stopping ' "$dir/service-1.out"; then
        problems+=("the service stopped in order after taskkill /F")
    fi
    held=$(wine "$service_program" -spool-check "$spool" 2>&1 8>&- | tr -d '\r' |
        sed -n 's/^ *transactions to send: *\([0-9]*\)$/\1/p' || true)
    if [ "$held" != "$accepted" ]; then
        problems+=("the spool holds ${held:-no} transactions to send, not $accepted")
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        start_receiver "$dir/receiver.log"
        write_config "$dir/config-2.xml" "$quiet_automation" "<Delivery spoolDir=\"$spool\"/>"
        start_service "$dir/config-2.xml" "$dir/service-2.log"
        expect_delivery 60 "$segments" "$dir/receiver.log"
        stop_service
        stop_program "$receiver" INT 5
    fi
    verdict spool-across-kill "taskkill /F /PID $pid with $held transactions in" \
        "the spool; after the restart all $playlists x $segments segments arrived in order" \
        "after AddStudio; $delivered"
}

case_receiver_killed
case_untrusted_server
case_close_notify
case_spool_across_kill

echo "windows-fault-test ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
