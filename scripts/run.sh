#!/usr/bin/env bash
# Installs what is missing, builds the default configuration and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
build/Bench/KriBench --benchmark_min_time=0.05
