#!/usr/bin/env bash
# The performance suite: builds the benchmark programs of the default (release) configuration,
# runs them, and prints one table in which every figure stands next to its limit measured in the
# same run. Everything runs on loopback addresses (127.0.0.1 to 127.0.0.8); about three minutes.
#
#   scripts/perf.sh            the table on standard output (Markdown)
#
# Raw results (Google Benchmark JSON and console output) stay in build/perf/. Set
# KRI_PERF_SERVICE_LOG to a file to keep the service's own output from the service runs.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
out=$build/perf
[ -f "$build/CMakeCache.txt" ] || cmake --preset default > /dev/null
cmake --build "$build" -j 2 --target AggrSvrClientBench AtmnDocumentsBench AtmnSvcBench > /dev/null
mkdir -p "$out"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# run <label> <command...>: the benchmark's JSON into build/perf/<label>.json.
run() {
    local label=$1
    shift
    echo "running $label ..." >&2
    "$@" --benchmark_out="$out/$label.json" --benchmark_out_format=json \
        > "$out/$label.txt" 2>&1 || {
        cat "$out/$label.txt" >&2
        echo "$label failed" >&2
        exit 1
    }
}

# Figures that a shared machine blurs are the median of three repetitions.
median_of_3=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
rm -f "$out"/*.json
run documents "$build/Bench/AtmnDocumentsBench" "${median_of_3[@]}"
run client "$build/Bench/AggrSvrClientBench" "${median_of_3[@]}" --benchmark_min_time=1 \
    --benchmark_filter='WithoutSockets|EntryTransactionFrame|CopyEntryTransactionText|Reader|Session|Addresses|Backlog'
run latency "$build/Bench/AggrSvrClientBench" --benchmark_filter='Latency'
# The service waits on the machine-wide named event "AtmnStop", which other programs of the same
# user (test runs of the service) may set. Where we may, the service runs get a /dev/shm of their
# own, so that they neither stop on another program's event nor take one meant for another
# service; elsewhere the benchmark repeats a run whose service stopped by itself.
service=("$build/Bench/AtmnSvcBench")
isolation="shared /dev/shm (runs stopped by another program's \"AtmnStop\" are repeated)"
private_shm='mount -t tmpfs -o mode=1777 kri-perf-shm /dev/shm && exec "$0" "$@"'
if unshare --mount --propagation private sh -c "$private_shm" true 2> /dev/null; then
    service=(unshare --mount --propagation private sh -c "$private_shm" "${service[0]}")
    isolation="private /dev/shm"
fi
run service "${service[@]}"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# One line "<benchmark> <key> <value>" per figure of every benchmark, with the name's run
# suffixes (/manual_time, /real_time, /iterations:1, _median) dropped and the other aggregates
# left out; failures as "<benchmark> error 1".
cat "$out"/*.json | awk '
    /"name": / {
        name = $0
        sub(/.*"name": "/, "", name)
        sub(/",?$/, "", name)
        gsub(/\/(manual_time|real_time|iterations:1)/, "", name)
        sub(/_median$/, "", name)
        if (name ~ /_(mean|stddev|cv)$/) name = ""
    }
    name == "" { next }
    /"error_occurred": true/ { print name, "error", 1 }
    /^ *"[a-z_0-9]+": -?[0-9.]+(e[-+][0-9]+)?,?$/ {
        key = $1
        gsub(/[":]/, "", key)
        value = $2
        sub(/,$/, "", value)
        print name, key, value
    }' > "$out/figures.txt"

# The table.
awk -v model="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)" \
    -v cpus="$(nproc)" -v kernel="$(uname -sr)" -v load_before="$load_before" \
    -v load_after="$load_after" -v commit="$(git rev-parse --short HEAD 2> /dev/null || echo -)" \
    -v build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")" \
    -v isolation="$isolation" -v date="$(date -u '+%Y-%m-%d %H:%M UTC')" \
    -v tick_ms="$((1000 / $(getconf CLK_TCK)))" '
    { figure[$1 "|" $2] = $3 }
    function get(name, key) {
        if ((name "|error") in figure) return "error"
        return (name "|" key) in figure ? figure[name "|" key] : "-"
    }
    function num(value, digits) {
        if (value == "-" || value == "error") return value
        return sprintf("%." digits "f", value)
    }
    function ratio(a, b) {
        if (a == "-" || b == "-" || a == "error" || b == "error" || b == 0) return "-"
        return sprintf("%.2f", a / b)
    }
    # A goal is "max N" (the figure at most N), "ratio>= R" or "ratio<= R" (the figure over its
    # limit); no goal leaves the last two columns empty.
    function holds(measured, limit, kind, value,    r) {
        if (kind == "") return "-"
        if (measured == "-" || measured == "error") return "no figure"
        if (kind == "max") return measured + 0 <= value + 0 ? "yes" : "no"
        r = ratio(measured, limit)
        if (r == "-") return "no figure"
        if (kind == "ratio>=") return r + 0 >= value + 0 ? "yes" : "no"
        return r + 0 <= value + 0 ? "yes" : "no"
    }
    function goalText(kind, value) {
        if (kind == "") return "-"
        if (kind == "max") return "≤ " value
        return (kind == "ratio>=" ? "≥ " : "≤ ") value "× limit"
    }
    function goalRow(what, measured, limit, limitWhat, digits, kind, value) {
        printf "| %s | %s | %s %s | %s | %s | %s |\n", what, num(measured, digits),
               num(limit, digits), limitWhat, ratio(measured, limit), goalText(kind, value),
               holds(measured, limit, kind, value)
    }
    function row(what, measured, limit, limitWhat, digits) {
        goalRow(what, measured, limit, limitWhat, digits, "", "")
    }
    # One row per count of sending threads (the array threads); whatFormat takes the count and
    # the plural ending; goalValues holds one goal per count.
    function clientRows(whatFormat, key, digits, kind, goalValues,    i, t, goal) {
        split(goalValues, goal, " ")
        for (i = 1; i <= 3; i++) {
            t = threads[i]
            goalRow(sprintf(whatFormat, t, t > 1 ? "s" : ""), get("BM_ClientToReader/" t, key),
                    get("BM_RawSslWriteToReader/threads:" t "/addresses:1", key),
                    "(raw SSL_write, same frames)", digits, kind, goal[i])
        }
    }
    function kib(key) { return get("BM_ServiceMillionTransactions", key) }
    END {
        printf "Run of %s, commit %s: %s CPUs (%s), %s, %s build; load average %s before, %s after.\n\n",
               date, commit, cpus, model, kernel,
               build_type, load_before, load_after
        print "| Figure | Measured | Limit (same run) | Measured / limit | Goal | Holds |"
        print "|---|---|---|---|---|---|"
        row("Entry transaction, client operation to the text for the sockets (CPU ns)",
            get("BM_UpdateEntryWithoutSockets", "cpu_time"),
            get("BM_CopyEntryTransactionText", "cpu_time"), "(copying the finished text)", 0)
        goalRow("Entry transaction frame written from its fields, no document (CPU ns)",
            get("BM_EntryTransactionFrame", "cpu_time"),
            get("BM_CopyEntryTransactionText", "cpu_time"), "(copying the finished text)", 0,
            "max", 300)
        row("Entry document built from the component (CPU ns)",
            get("BM_BuildEntryXmlFromComponent", "cpu_time"),
            get("BM_CopyEntryXmlText", "cpu_time"), "(copying the finished document)", 0)
        # The client against the raw writer with 1, 4 and 8 sending threads, one row each.
        split("1 4 8", threads, " ")
        clientRows("Transactions/s through CAggrSvrClient, TLS loopback, %d sending thread%s",
                   "tx_per_s", 0, "ratio>=", "1.0 1.2 1.0")
        clientRows("CPU of the sending threads per transaction, %d thread%s (ns)",
                   "sender_cpu_ns", 0, "", "")
        clientRows("CPU per transaction of every thread but the reader (senders, loop), %d thread%s (ns)",
                   "client_cpu_ns", 0, "max", "1000 1000 1000")
        clientRows("System calls per transaction of every thread but the reader, %d thread%s",
                   "syscalls_per_tx", 3, "", "")
        clientRows("Reader sleeps per frame, %d sending thread%s",
                   "reader_sleeps_per_frame", 3, "", "")
        for (i = 1; i <= 3; i++) {
            t = threads[i]
            row("Frames per SSL_write through CAggrSvrClient, " t " sending thread" (t > 1 ? "s" : ""),
                get("BM_ClientToReader/" t, "frames_per_write"), 1,
                "(raw SSL_write: one frame each)", 2)
        }
        goalRow("Heap held per queued entry frame (bytes)",
            get("BM_BacklogHeapPerQueuedFrame", "heap_per_frame"),
            get("BM_BacklogHeapPerQueuedFrame", "frame_bytes"), "(the frame itself)", 0,
            "ratio<=", 1.1)
        row("Backlog push with 4 threads while the loop drains (ns per push, wall)",
            get("BM_BacklogPushWhileTheLoopDrains/threads:4", "real_time"), "-", "", 0)
        split("p50_us p99_us max_us", quantile, " ")
        split("median|99th percentile|maximum", quantileName, "|")
        split("ratio<=|ratio<=|", latencyGoal, "|")
        split("2|1|", latencyGoalValue, "|")
        for (i = 1; i <= 3; i++) {
            goalRow("Latency at 1,000 tx/s, client operation to the reader, " quantileName[i] " (us)",
                get("BM_ClientLatencyAt1000PerSecond", quantile[i]),
                get("BM_RawSslWriteLatencyAt1000PerSecond", quantile[i]),
                "(raw SSL_write, sent at once)", 0, latencyGoal[i], latencyGoalValue[i])
        }
        idle = get("BM_ServiceIdle", "rss_kib")
        row("KriAtmnSvc resident memory, idle with the link up (KiB)", idle, "-", "", 0)
        row("KriAtmnSvc resident memory after 100,000 transactions (KiB)", kib("rss_100k_kib"),
            idle, "(idle)", 0)
        row("KriAtmnSvc resident memory after 1,000,000 transactions (KiB)", kib("rss_1m_kib"),
            kib("rss_100k_kib"), "(after 100,000)", 0)
        row("KriAtmnSvc resident memory, highest of the ten samples (KiB)", kib("rss_max_kib"),
            kib("rss_1m_kib"), "(after 1,000,000)", 0)
        row("KriAtmnSvc resident memory, idle after the million (KiB)", kib("rss_after_kib"),
            kib("rss_1m_kib"), "(after 1,000,000)", 0)
        row("Transactions/s through KriAtmnSvc (simulator, 16 threads, fast; mostly house-time and segment reports)",
            kib("tx_per_s"), get("BM_RawSslWriteToReader/threads:8/addresses:1", "tx_per_s"),
            "(raw SSL_write of entry frames, 8 threads)", 0)
        printf "| KriAtmnSvc CPU over 10 s idle with the link up (ms) | %s | 0 (clock tick %s ms) | - | - | - |\n",
               num(get("BM_ServiceIdle", "cpu_ms"), 0), tick_ms
        printf "| KriAtmnSvc CPU over 10 s idle after the million (ms) | %s | 0 (clock tick %s ms) | - | - | - |\n",
               num(kib("cpu_after_ms"), 0), tick_ms
        split("1 16 256", sessions, " ")
        for (i = 1; i <= 3; i++) {
            row("Entry events/s (session lookup + transaction), " sessions[i] " open session" (i > 1 ? "s" : ""),
                get("BM_EntryEventWithSessions/sessions:" sessions[i], "tx_per_s"),
                get("BM_EntryEventWithSessions/sessions:1", "tx_per_s"), "(1 session)", 0)
        }
        sessions[4] = 1024
        for (i = 1; i <= 4; i++) {
            goalRow("Session lookup alone, " sessions[i] " open session" (i > 1 ? "s" : "") " (CPU ns)",
                get("BM_FindSessionAmong/sessions:" sessions[i], "cpu_time"),
                get("BM_FindSessionAmong/sessions:1", "cpu_time"), "(1 session)", 0, "max", 50)
        }
        split("1 8", addresses, " ")
        for (i = 1; i <= 2; i++) {
            a = addresses[i]
            row("Transactions/s with " a " server address" (a > 1 ? "es" : "") " (one frame to each)",
                get("BM_ClientToAddresses/addresses:" a, "tx_per_s"),
                get("BM_RawSslWriteToReader/threads:1/addresses:" a, "tx_per_s"),
                "(raw SSL_write to " a " connection" (a > 1 ? "s" : "") ")", 0)
        }
        print ""
        print "Service runs: KriAtmnSvc as a process in console mode, with " isolation "."
    }' "$out/figures.txt"
