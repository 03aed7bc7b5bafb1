#!/usr/bin/env bash
# The Windows build, cross-built with MinGW-w64 and tested under Wine, for x86-64 (preset
# windows) and x86 (preset windows32). For each: the tools installed where missing
# (scripts/install-windows-tools.sh), the third-party libraries from their cache
# (scripts/windows-deps.sh), configure, build, then ctest, whose programs run under Wine in a
# prefix of the build tree's own (scripts/wine-run.sh); the Linux reference receiver, which the
# fault test sends to, is built before. Afterwards the Wine session is ended and
# the prefix removed. Then the installer package is built and tested (scripts/msi-test.sh), and
# the demo's hour is sent by the service under Wine to the Linux receiver
# (scripts/windows-demo.sh). Prints the time each step took.
#
# Where Wine cannot run here (the tools cannot be installed, or Wine cannot make a prefix and run
# a program in it) it prints "windows-test: SKIPPED: <why>" and exits 0. Any other failure (the
# build, a test) fails it.
#
#   scripts/windows-test.sh [windows|windows32 ...]      (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(windows windows32)
jobs=$(nproc)

skip() {
    echo "windows-test: SKIPPED: $*"
    exit 0
}

step_started=$SECONDS
step() {
    echo "windows-test: $1 ($((SECONDS - step_started)) s)"
    step_started=$SECONDS
}

if ! scripts/install-windows-tools.sh; then
    skip "the MinGW-w64 and Wine packages cannot be installed here"
fi
step "tools ready"

# The Linux reference receiver, which the fault test among the Windows tests (WindowsFaultTest)
# and the demo send to.
cmake --preset default >/dev/null
nice cmake --build --preset default -j "$jobs" --target KriAggrReceiver >/dev/null
step "the Linux receiver"

for preset in "${presets[@]}"; do
    case $preset in
    windows) arch=x86_64 ;;
    windows32) arch=i686 ;;
    *)
        echo "windows-test: unknown preset '$preset' (windows or windows32)" >&2
        exit 2
        ;;
    esac
    scripts/windows-deps.sh "$arch"
    step "$preset: dependencies"

    build=build-$preset
    prefix=$PWD/$build/wine
    rm -rf "$prefix" "$prefix.lock" "$prefix.log"
    # The probe makes the prefix and starts its session, which the tests then use.
    if ! probe=$(scripts/wine-run.sh "$prefix" cmd /c echo wine-runs 2>&1) ||
        [[ $probe != *wine-runs* ]]; then
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
        skip "Wine cannot run a program here: $(tail -n 3 "$prefix.log" 2>/dev/null || true) $probe"
    fi
    step "$preset: Wine prefix"

    cmake --preset "$preset" >/dev/null
    nice cmake --build --preset "$preset" -j "$jobs"
    step "$preset: build"

    status=0
    ctest --preset "$preset" -j "$((jobs + 2))" || status=$?
    step "$preset: tests"
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    [ "$status" -eq 0 ] || exit "$status"

    cmake --build --preset "$preset" --target msi
    scripts/msi-test.sh "$build"
    step "$preset: installer package"

    # The demo's hour through the Linux receiver, checked whole and in order: the 64-bit
    # simulator registered as "Apartment", the 32-bit one as "Both".
    bits=64 model=Apartment
    [ "$preset" = windows ] || bits=32 model=Both
    KRI_DEMO_THREADING_MODEL=$model scripts/windows-demo.sh --bits "$bits" --no-build
    step "$preset: demo (threading model $model)"
done
