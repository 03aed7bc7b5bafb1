#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build tree's own:
#   scripts/wine-run.sh <prefix directory> <program.exe> [arguments...]
# The Windows presets make it CMAKE_CROSSCOMPILING_EMULATOR, so ctest (and test discovery) run
# the test programs through it.
#
# The prefix is made on first use. Before the first program of a Wine session the script starts
# the session itself: a wineserver that stays up KRI_WINE_PERSIST seconds (default 300) after its
# last program ends, and one wineboot whose output goes to <prefix>.log. Otherwise the first
# program's standard error would pass to Wine's own system processes, and ctest would wait on
# that pipe until the test's time-out. Headless: no DISPLAY, WINEDEBUG=-all unless set.
#
# Under load Wine now and then fails to start a program at all: it prints "ShellExecuteEx
# failed" on standard output (start.exe's fallback after CreateProcess failed) and the program
# never ran. Such a start is tried again, up to three times; any other exit status is the
# program's own.
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: wine-run.sh <prefix directory> <program> [arguments...]" >&2
    exit 2
fi
prefix=$(realpath -m "$1")
shift

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$prefix")"
{
    flock 9
    if [ ! -f "$prefix/.kri-ready" ]; then
        wine wineboot --init </dev/null >"$prefix.log" 2>&1 9>&-
        wineserver -w 9>&-
        touch "$prefix/.kri-ready"
    fi
    # Exit status 0: no server was running for this prefix, and this one now is.
    if wineserver "-p${KRI_WINE_PERSIST:-300}" </dev/null >/dev/null 2>&1 9>&-; then
        wine wineboot </dev/null >>"$prefix.log" 2>&1 9>&-
    fi
} 9>"$prefix.lock"

output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$output"' EXIT
for attempt in 1 2 3; do
    set +e
    wine "$@" | tee "$output"
    status=${PIPESTATUS[0]}
    set -e
    if [ "$status" -eq 0 ] || ! head -n 1 "$output" | grep -q '^Application could not be started' ||
        ! grep -q '^ShellExecuteEx failed' "$output"; then
        exit "$status"
    fi
    echo "wine-run: Wine could not start $1 (attempt $attempt of 3)" >&2
    sleep 1
done
exit "$status"
