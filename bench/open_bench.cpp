// How long vexdaq_device_open takes against the virtual instrument, less the fixed 100 ms it
// waits after the core is up: discovery, the five handles, the device's initialisation and
// capability queries, and the start of the core and transfer threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/scratch_directory.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

constexpr double kFixedPauseMs = 100.0;

void open_without_fixed_pause(benchmark::State &state) {
  const vexdaq::testing::ScratchDirectory scratch;  // for the session's log
  vexdaq_sim_reset();
  vexdaq_sim_plug("exclusive=1");
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t opened = vexdaq_device_open(0);
    const auto end = std::chrono::steady_clock::now();
    state.PauseTiming();
    vexdaq_device_close();
    state.ResumeTiming();
    if (opened != 0) {
      state.SkipWithError("the virtual instrument did not open");
      break;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count() - kFixedPauseMs);
  }
  vexdaq_sim_reset();
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["max_ms"] = ms.back();
}
BENCHMARK(open_without_fixed_pause)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
