// The control core against the virtual instrument: how long a synchronous command takes through
// the core thread, and how much CPU an open, idle session burns.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"
#include "session/message_queue.h"
#include "support/scratch_directory.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

// Each benchmark runs in a scratch directory, so the session's log does not litter.
using vexdaq::testing::ScratchDirectory;

bool open_virtual_session(benchmark::State &state) {
  vexdaq_sim_reset();
  if (vexdaq_sim_plug(nullptr) < 0 || vexdaq_device_open(0) != 0) {
    state.SkipWithError("no virtual instrument");
    return false;
  }
  return true;
}

void close_virtual_session() {
  vexdaq_device_close();
  vexdaq_sim_reset();
}

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One trigger-mode command, posted and waited for: queue, core wake-up, one vendor control
// request to the instrument, completion.
void synchronous_command_round_trip(benchmark::State &state) {
  ScratchDirectory scratch;
  if (!open_virtual_session(state)) return;
  uint8_t trigger_record[8] = {0, 1, 1, 0, 0, 0, 0, 0};
  std::vector<double> microseconds;
  microseconds.reserve(100000);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    vexdaq::post_message(vexdaq::MSG_TRIGGER_MODE, 0, 0, sizeof trigger_record, trigger_record);
    const auto end = std::chrono::steady_clock::now();
    microseconds.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  close_virtual_session();
  if (microseconds.empty()) return;
  std::sort(microseconds.begin(), microseconds.end());
  state.counters["median_us"] = microseconds[microseconds.size() / 2];
  state.counters["p99_us"] = microseconds[microseconds.size() * 99 / 100];
}
BENCHMARK(synchronous_command_round_trip)->UseRealTime()->MinTime(1.0);

double percentile(std::vector<double> &values, int percent) {
  std::sort(values.begin(), values.end());
  return values[values.size() * static_cast<size_t>(percent) / 100];
}

// The reference for the round trip: one token passed to a second thread and back through two
// of the library's semaphores, the two hand-offs a synchronous command cannot do without. Each
// iteration times one ping-pong and then one command, so load on the machine weighs on both
// alike; ratio_median near 1 means a command costs little more than its hand-offs.
void command_round_trip_against_ping_pong(benchmark::State &state) {
  ScratchDirectory scratch;
  if (!open_virtual_session(state)) return;
  vexdaq::platform::Semaphore ping(0, 1);
  vexdaq::platform::Semaphore pong(0, 1);
  std::atomic<bool> done{false};
  std::thread partner([&] {
    for (;;) {
      ping.wait();
      if (done.load()) return;
      pong.release(1);
    }
  });
  uint8_t trigger_record[8] = {0, 1, 1, 0, 0, 0, 0, 0};
  std::vector<double> ping_us;
  std::vector<double> command_us;
  std::vector<double> request_us;
  for (auto _ : state) {
    // The request alone, on this thread: a direct rate query through the same driver seam.
    int32_t out_rate = 0;
    int32_t in_rate = 0;
    const auto before = std::chrono::steady_clock::now();
    vexdaq_get_sample_rate(&out_rate, &in_rate);
    request_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - before)
            .count());
    const auto start = std::chrono::steady_clock::now();
    ping.release(1);
    pong.wait();
    const auto between = std::chrono::steady_clock::now();
    vexdaq::post_message(vexdaq::MSG_TRIGGER_MODE, 0, 0, sizeof trigger_record, trigger_record);
    const auto end = std::chrono::steady_clock::now();
    ping_us.push_back(std::chrono::duration<double, std::micro>(between - start).count());
    command_us.push_back(std::chrono::duration<double, std::micro>(end - between).count());
  }
  done.store(true);
  ping.release(1);
  partner.join();
  close_virtual_session();
  if (ping_us.empty()) return;
  const double ping_median = percentile(ping_us, 50);
  const double command_median = percentile(command_us, 50);
  state.counters["ping_pong_median_us"] = ping_median;
  state.counters["ping_pong_p99_us"] = percentile(ping_us, 99);
  state.counters["command_median_us"] = command_median;
  state.counters["command_p99_us"] = percentile(command_us, 99);
  state.counters["direct_request_median_us"] = percentile(request_us, 50);
  state.counters["direct_request_p99_us"] = percentile(request_us, 99);
  state.counters["ratio_median"] = command_median / ping_median;
  // Against the two hand-offs plus the request the command carries.
  state.counters["ratio_to_handoffs_and_request"] =
      command_median / (ping_median + percentile(request_us, 50));
}
BENCHMARK(command_round_trip_against_ping_pong)->UseRealTime()->MinTime(1.0);

// CPU of the whole process over one second with a session open and nothing to do.
void idle_session_cpu(benchmark::State &state) {
  ScratchDirectory scratch;
  if (!open_virtual_session(state)) return;
  double percent = 0;
  for (auto _ : state) {
    const double cpu_before = process_cpu_seconds();
    const auto wall_before = std::chrono::steady_clock::now();
    vexdaq::platform::sleep_ms(1000);
    const double cpu = process_cpu_seconds() - cpu_before;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    percent = 100.0 * cpu / wall;
  }
  close_virtual_session();
  state.counters["cpu_percent_of_one_core"] = percent;
}
BENCHMARK(idle_session_cpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
