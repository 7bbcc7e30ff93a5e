#!/usr/bin/env bash
# One command for the performance figures: builds the benchmarks in release mode (build-bench/),
# runs them against the virtual instrument and prints one Markdown table, each figure as a ratio
# where one fits. Paste the output into bench/RESULTS.md with the machine it came from.
#   bench/report.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${VEXDAQ_BENCH_DIR:-build-bench}"
scripts/install-deps.sh >&2
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXDAQ_BUILD_TESTS=OFF \
  -DVEXDAQ_BUILD_BENCH=ON >&2
cmake --build "$dir" -j2 --target stream_bench core_bench open_bench loader_bench >&2
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

# Runs one benchmark (by filter) alone, so its CSV header names its own counters.
run() {  # file executable filter
  "$dir/bench/$2" --benchmark_filter="$3" --benchmark_format=csv > "$out/$1.csv" 2> "$out/$1.err" ||
    { cat "$out/$1.err" >&2; exit 1; }
}
# The value of a column (by header name) in the first row whose name matches.
pick() {  # file row-regex column
  awk -F, -v row="$2" -v col="$3" '
    /^name,/ { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); at[h] = i }; next }
    at["name"] && $1 ~ row { v = $at[col]; gsub(/"/, "", v); print v; exit }' "$out/$1.csv"
}
fmt() { awk -v v="$1" -v s="${2:-1}" -v p="${3:-2}" 'BEGIN { printf "%.*f", p, v * s }'; }

echo "running the benchmarks (about two minutes)..." >&2
run in stream_bench '^input_throughput/(8|64)/'
run out stream_bench '^output_throughput/(8|64)/'
run paced stream_bench '^paced_stream/'
# The same as an ordinary user, whom the real-time class is refused (unless a limits drop-in
# grants it): run as nobody from a directory nobody may write (its log goes there).
unprivileged=no
if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null; then
  bench_bin="$(cd "$dir" && pwd)/bench/stream_bench"
  nobody_dir="$(mktemp -d)"
  chmod 777 "$nobody_dir"
  if (cd "$nobody_dir" && setpriv --reuid=nobody --regid=nogroup --clear-groups \
        "$bench_bin" --benchmark_filter='^paced_stream/' \
        --benchmark_format=csv > "$out/paced_nobody.csv" 2> "$out/paced_nobody.err"); then
    unprivileged=yes
  else
    cat "$out/paced_nobody.err" >&2
  fi
  rm -rf "$nobody_dir"
fi
echo "paced rows as an unprivileged user: $unprivileged (needs root and setpriv to switch)" >&2
run wait stream_bench '^blocking_receive_wait_cpu'
run command core_bench '^synchronous_command_round_trip'
run handoff core_bench '^command_round_trip_against_ping_pong'
run idle core_bench '^idle_session_cpu'
run open open_bench '^open_without_fixed_pause'
run mcs51 loader_bench '^mcs51_instructions_per_second'
run download loader_bench '^firmware_download_64k'

ceiling=53.248
row_throughput() {  # file label arg
  local bps ratio
  bps="$(pick "$1" "/$3/" bytes_per_second)"
  ratio="$(pick "$1" "/$3/" x_usb2_ceiling)"
  echo "| $2 | $(fmt "$bps" 1e-6 1) MB/s | $(fmt "$ratio" 1 2) x the $ceiling MB/s USB 2.0 high-speed bulk ceiling |"
}

echo "| figure | measured | ratio |"
echo "|---|---|---|"
row_throughput in "input pipeline throughput, 8 channels x 24 bit, free-running instrument" 8
row_throughput in "input pipeline throughput, 64 channels x 24 bit" 64
row_throughput out "output pipeline throughput, 8 channels x 24 bit" 8
row_throughput out "output pipeline throughput, 64 channels x 24 bit" 64
paced_row() {  # row-regex label [file]
  local f="${3:-paced}"
  echo "| $2: device-side drops / frames missing from the pattern / found missing by the library | $(pick "$f" "$1" device_dropped_frames) / $(pick "$f" "$1" missing_frames) / $(pick "$f" "$1" library_gap_frames) | must be 0 / 0 / 0 (the library's count within a packet per gap of the others) |"
}
paced_row '/2/65536/0/' "paced 20 MB/s input (8 x 32 bit at 625 kHz), 2 s, 64 KiB device FIFO, quiet"
paced_row '/2/2048/0/' "... 2 KiB device FIFO (an EZ-USB's endpoint FIFOs), quiet"
paced_row '/5/65536/2/' "... 5 s, 64 KiB device FIFO, two busy-loop processes keeping both cores busy"
paced_row '/5/2048/2/' "... 5 s, 2 KiB device FIFO, two busy-loop processes"
if [ "$unprivileged" = yes ]; then
  paced_row '/2/65536/0/' "unprivileged (nobody, real-time class refused): paced 20 MB/s, 2 s, 64 KiB device FIFO, quiet" paced_nobody
  paced_row '/5/65536/2/' "... unprivileged, 5 s, two busy loops" paced_nobody
  paced_row '/5/2048/2/' "... unprivileged, 5 s, 2 KiB device FIFO, two busy loops" paced_nobody
  echo "| ... unprivileged: CPU of the library's threads, quiet / beside two busy loops | $(fmt "$(pick paced_nobody '/2/65536/0/' library_cpu_percent)" 1 2) / $(fmt "$(pick paced_nobody '/5/65536/2/' library_cpu_percent)" 1 2) % of one core | target 3 % |"
fi
lib="$(pick paced '/2/65536/0/' library_cpu_percent)"
echo "| CPU of the library's threads (core, tx, rx) at the paced 20 MB/s input, quiet | $(fmt "$lib" 1 2) % of one core | $(fmt "$lib" 0.01 4) cores (target 0.03) |"
echo "| ... of the virtual instrument's clock thread | $(fmt "$(pick paced '/2/65536/0/' instrument_cpu_percent)" 1 2) % of one core | |"
echo "| ... of the receiving application thread | $(fmt "$(pick paced '/2/65536/0/' app_thread_cpu_percent)" 1 2) % of one core | |"
echo "| ... of the whole process | $(fmt "$(pick paced '/2/65536/0/' process_cpu_percent)" 1 2) % of one core | |"
echo "| ... the same beside two busy loops: the library's threads | $(fmt "$(pick paced '/5/65536/2/' library_cpu_percent)" 1 2) % of one core | |"
echo "| synchronous command round trip (queue, core, one control request, completion), median | $(fmt "$(pick command round_trip median_us)" 1 1) us | $(fmt "$(pick command round_trip median_us)" 0.008 3) x a 125 us USB microframe |"
echo "| ... 99th percentile | $(fmt "$(pick command round_trip p99_us)" 1 1) us | $(fmt "$(pick command round_trip p99_us)" 0.008 3) x a microframe |"
echo "| the same command against a two-thread semaphore ping-pong measured in the same loop, median | $(fmt "$(pick handoff ping_pong command_median_us)" 1 1) us against $(fmt "$(pick handoff ping_pong ping_pong_median_us)" 1 1) us (p99 $(fmt "$(pick handoff ping_pong command_p99_us)" 1 1) against $(fmt "$(pick handoff ping_pong ping_pong_p99_us)" 1 1) us) | $(fmt "$(pick handoff ping_pong ratio_median)" 1 2) x the ping-pong; $(fmt "$(pick handoff ping_pong ratio_to_handoffs_and_request)" 1 2) x the ping-pong plus a direct request ($(fmt "$(pick handoff ping_pong direct_request_median_us)" 1 1) us) |"
echo "| idle CPU, session open, not streaming | $(fmt "$(pick idle idle cpu_percent_of_one_core)" 1 2) % of one core | $(fmt "$(pick idle idle cpu_percent_of_one_core)" 0.01 4) cores |"
echo "| CPU of a blocking receive while it waits, 20 MB/s stream | $(fmt "$(pick wait /625000/ waiting_thread_cpu_percent)" 1 2) % of its wait | $(fmt "$(pick wait /625000/ waiting_thread_cpu_percent)" 0.01 4) cores |"
echo "| CPU of a blocking receive while it waits, slow stream (1 kHz, 1 s wait) | $(fmt "$(pick wait /1000/ waiting_thread_cpu_percent)" 1 2) % of its wait | $(fmt "$(pick wait /1000/ waiting_thread_cpu_percent)" 0.01 4) cores |"
echo "| open time without the fixed 100 ms pause, median of 20 | $(fmt "$(pick open open median_ms)" 1 2) ms | $(fmt "$(pick open open median_ms)" 0.01 3) x the pause |"
echo "| ... slowest of 20 | $(fmt "$(pick open open max_ms)" 1 2) ms | $(fmt "$(pick open open max_ms)" 0.01 3) x the pause |"
echo "| emulated 8051 (virtual instrument), memory loop | $(fmt "$(pick mcs51 mcs51 instructions_per_s)" 1e-6 1) M instructions/s | $(fmt "$(pick mcs51 mcs51 x_fx2_peak)" 1 1) x a 48 MHz FX2's 12 M/s peak; $(fmt "$(pick mcs51 mcs51 slowdown_vs_native)" 1 0) x the time of the same loop in C++ |"
echo "| 64 KiB firmware download through the emulated loader and EEPROM, CPU of the whole process | $(fmt "$(pick download download cpu_s)" 1000 1) ms | $(fmt "$(pick download download x_1s_target)" 1 3) x the 1 s target |"
echo
echo "Ran as $(id -un)$([ "$unprivileged" = yes ] && echo ', the unprivileged rows as nobody')."
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(uname -sr), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
