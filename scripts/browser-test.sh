#!/usr/bin/env bash
# The reference receiver's live page in a real browser. Runs the demo (scripts/run.sh
# --no-build) and, while the studio hour plays, opens the page in headless Chromium. The page's
# rendered DOM must show the studio, the "Main" playlist, the entry on air and a transaction
# that arrived after the page was opened (so the live updates work); a screenshot is taken too.
#
#   scripts/browser-test.sh [--build-dir DIR]     (default build/, built already)
#
# What it makes stays in DIR/browser-test/: the demo's output (demo.log), the DOM (page.html)
# and the screenshot (live-page.png). Installs Debian's chromium where it is missing and this
# user may (root with apt-get); otherwise prints "browser-test: SKIPPED: <why>" and exits 0.
# Exit status: 0 when the page showed all of it and the demo passed, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$PWD/build
if [ "${1:-}" = --build-dir ] && [ $# -ge 2 ]; then
    build=$(realpath -m "$2")
elif [ $# -gt 0 ]; then
    echo "browser-test: unknown arguments $* (scripts/browser-test.sh [--build-dir DIR])" >&2
    exit 2
fi
skip() {
    echo "browser-test: SKIPPED: $*"
    exit 0
}
fail() {
    echo "browser-test: FAILED: $*" >&2
    exit 1
}

if ! command -v chromium > /dev/null; then
    [ "$(id -u)" -eq 0 ] && command -v apt-get > /dev/null ||
        skip "chromium is not installed and this user cannot install it"
    echo "browser-test: installing chromium"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends chromium fonts-dejavu-core > /dev/null; } ||
        skip "chromium could not be installed"
fi
[ -x "$build/Tools/AggrReceiver/KriAggrReceiver" ] || fail "nothing built in $build"

out=$build/browser-test
rm -rf "$out"
mkdir -p "$out"
KRI_DEMO_SECONDS=25 scripts/run.sh --no-build --build-dir "$build" > "$out/demo.log" 2>&1 &
demo=$!
trap 'kill -INT "$demo" 2> /dev/null || true' EXIT

page=
for _ in $(seq 150); do
    page=$(sed -n "s/^The receiver's live page: \([^ ]*\) .*/\1/p" "$out/demo.log")
    [ -n "$page" ] && grep -q 'action=AddEntry' "$build/demo/receiver.log" 2> /dev/null && break
    kill -0 "$demo" 2> /dev/null || break
    sleep 0.1
done
[ -n "$page" ] || fail "the demo did not show the page's address: $(tail -5 "$out/demo.log")"

# "?keep-loading" holds the page's load open, so that --timeout (not the first paint) decides
# when the DOM and the screenshot are taken: after some seconds of live updates.
browser=(chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-extensions
    --user-data-dir="$out/profile" --window-size=1100,1500 --timeout=6000)
opened=$(date -u +%Y-%m-%dT%H:%M:%S.%3NZ)
# Between two entries of the hour no entry is on air for a moment; a DOM taken then is taken
# again, at most three times in all.
for attempt in 1 2 3; do
    timeout 60 "${browser[@]}" --dump-dom "$page?keep-loading" > "$out/page.html" \
        2>> "$out/chromium.log" || fail "chromium --dump-dom failed (see $out/chromium.log)"
    ! grep -q '<tr class="entry on-air"' "$out/page.html" || break
    echo "browser-test: no entry on air in DOM $attempt of 3" >> "$out/chromium.log"
done
timeout 60 "${browser[@]}" --screenshot="$out/live-page.png" "$page?keep-loading" \
    >> "$out/chromium.log" 2>&1 || fail "chromium --screenshot failed (see $out/chromium.log)"

dom=$out/page.html
problems=()
grep -q '<h2>Studio 1 (studio 1)</h2>' "$dom" || problems+=("the studio is not shown")
grep -q '<h3>Main ' "$dom" || problems+=("the Main playlist is not shown")
grep -q '<tr class="entry on-air"' "$dom" || problems+=("no entry is marked on air")
latest=$(grep -o 'data-at="[^"]*"' "$dom" | cut -d'"' -f2 | sort | tail -n 1)
[[ "$latest" > "$opened" ]] ||
    problems+=("no transaction arrived after the page was opened at $opened (latest: ${latest:-none})")
[ -s "$out/live-page.png" ] || problems+=("no screenshot")

trap - EXIT
wait "$demo" || problems+=("the demo failed: $(tail -5 "$out/demo.log")")
if [ ${#problems[@]} -gt 0 ]; then
    printf 'browser-test: FAILED: %s\n' "${problems[@]}" >&2
    exit 1
fi
echo "browser-test: passed: the page showed the studio, Main, the entry on air and a transaction" \
    "of $latest (opened at $opened); screenshot $out/live-page.png"
