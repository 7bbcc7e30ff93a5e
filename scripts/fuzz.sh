#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, in build-fuzz/) and runs each for a short time
# from its committed seed corpus. Any crash, sanitizer report, leak or call hanging for 10 s fails.
#   scripts/fuzz.sh [seconds per target, default 15]
# Longer local runs: build-fuzz/fuzz/<target> fuzz/corpus/<name> -max_total_time=600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-15}"
dir="${VEXDAQ_FUZZ_DIR:-build-fuzz}"
scripts/install-deps.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVEXDAQ_FUZZ=ON -DVEXDAQ_BUILD_TESTS=OFF -DVEXDAQ_BUILD_BENCH=OFF
cmake --build "$dir" -j2 --target records_fuzz link_fuzz device_fuzz api_fuzz
root="$(pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for name in records link device api; do
  # New inputs go to a scratch copy; the committed seeds stay as they are.
  mkdir -p "$scratch/$name"
  cp "fuzz/corpus/$name/"* "$scratch/$name/"
  echo "== ${name}_fuzz for ${seconds}s"
  # The sessions write their logs under the current directory: the scratch one.
  if ! (cd "$scratch" && "$root/$dir/fuzz/${name}_fuzz" "$scratch/$name" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$root/$dir/${name}_") > "$scratch/$name.log" 2>&1; then
    tail -n 200 "$scratch/$name.log"
    echo "${name}_fuzz failed; the input that did it is in $dir/${name}_*" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$scratch/$name.log" || true
done
