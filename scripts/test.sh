#!/usr/bin/env bash
# Installs what is missing, builds vexdaq and runs every test.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh address         AddressSanitizer + UndefinedBehaviorSanitizer in build-address/
#   scripts/test.sh thread          ThreadSanitizer in build-thread/
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize="${1:-}"
dir="build${sanitize:+-$sanitize}"
scripts/install-deps.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXDAQ_SANITIZE="$sanitize" \
  -DVEXDAQ_BUILD_BENCH="$([ -z "$sanitize" ] && echo ON || echo OFF)"
cmake --build "$dir" -j2
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$dir" -j2 --output-on-failure --timeout 300
