#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang) and runs each for a bounded time.
#
#     scripts/fuzz.sh [seconds per target, default 20]
#
# Each target starts from its corpus in Tests/fuzz/corpus/<target>/ and the inputs that once made
# it fail, in Tests/fuzz/regressions/<target>/. New inputs it finds go to build-fuzz/corpus/<target>/,
# never into the repository; an input that breaks a property, crashes, leaks or takes more than
# 5 s is written to build-fuzz/findings/<target>/ and makes the script fail. To keep a finding,
# copy it to the target's regressions/ folder, where the replay tests of the normal build run it.
# KRI_FUZZ_SEED fixes the generator's seed (CI does, so that a run can be repeated); without it
# every run starts from a new one.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
targets=(FrameReaderFuzz ConfigReaderFuzz XmlFuzz TransactionWriterFuzz SpoolSegmentFuzz)

cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

export UBSAN_OPTIONS=print_stacktrace=1
failed=()
for target in "${targets[@]}"; do
    echo "== $target for $seconds s"
    mkdir -p "build-fuzz/corpus/$target" "build-fuzz/findings/$target"
    seeds=("Tests/fuzz/corpus/$target")
    [ -d "Tests/fuzz/regressions/$target" ] && seeds+=("Tests/fuzz/regressions/$target")
    # A message can be 16 MiB; an allocation of 17 MiB or more is a finding.
    if ! "build-fuzz/Tests/fuzz/$target" -max_total_time="$seconds" -timeout=5 \
        ${KRI_FUZZ_SEED:+-seed="$KRI_FUZZ_SEED"} \
        -malloc_limit_mb=17 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/findings/$target/" \
        "build-fuzz/corpus/$target" "${seeds[@]}" 2>&1 |
        grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)'; then
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found failures in: ${failed[*]} (inputs under build-fuzz/findings/)"
    exit 1
fi
echo "Fuzzing found nothing in ${#targets[@]} targets, $seconds s each"
