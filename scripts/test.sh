#!/usr/bin/env bash
# Installs what is missing, builds the default configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
# Tests that mostly wait run beside the others (see Tests/CMakeLists.txt): four more jobs.
ctest --preset default -j "$(($(nproc) + 4))"
