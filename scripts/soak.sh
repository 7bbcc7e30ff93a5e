#!/usr/bin/env bash
# The overnight check: streams every input channel of a virtual instrument with the counter
# pattern at its highest rate, checks every sample, and reports samples checked and errors found.
#   scripts/soak.sh [minutes, default 60] [extra instrument profile, e.g. "in_channels=64"]
# Exit status 0 only when nothing was lost, corrupted or failed. Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes="${1:-60}"
dir="${VEXDAQ_SOAK_DIR:-build-soak}"
scripts/install-deps.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXDAQ_BUILD_TESTS=OFF \
  -DVEXDAQ_BUILD_BENCH=ON
cmake --build "$dir" -j2 --target soak
cd "$dir"
exec bench/soak "$minutes" "${2:-}"
