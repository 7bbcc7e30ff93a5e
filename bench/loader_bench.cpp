// The emulated 8051 of the virtual instrument: instructions per second on a memory loop, against
// the same work as a plain C++ loop and against a real 48 MHz FX2; and the CPU a 64 KiB firmware
// download costs when the library's loader runs on it, against the one-second target.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <vector>

#include "sim/mcs51/cpu.h"
#include "support/scratch_directory.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

using vexdaq::testing::ScratchDirectory;

// An FX2 at 48 MHz runs at most 12 M one-cycle instructions per second (4 clocks a cycle).
constexpr double kFx2PeakInstructionsPerSecond = 12e6;

// Adds 1 to each byte of external RAM 0x1000 .. 0x1FFF, for ever: six instructions a byte.
constexpr uint8_t kIncrementLoop[] = {
    0x90, 0x10, 0x00,  // 0000 MOV DPTR,#0x1000
    0xE0,              // 0003 MOVX A,@DPTR
    0x24, 0x01,        // 0004 ADD A,#1
    0xF0,              // 0006 MOVX @DPTR,A
    0xA3,              // 0007 INC DPTR
    0xE5, 0x83,        // 0008 MOV A,DPH
    0xB4, 0x20, 0xF6,  // 000A CJNE A,#0x20,0003
    0x80, 0xF1,        // 000D SJMP 0000
};
constexpr uint64_t kInstructionsPerByte = 6;

struct NoIo final : vexdaq::sim::mcs51::Bus {
  uint8_t read_io(uint16_t) override { return 0; }
  void write_io(uint16_t, uint8_t) override {}
};

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Bytes incremented per second: the core running the loop, then the same work in C++.
void mcs51_instructions_per_second(benchmark::State &state) {
  std::vector<uint8_t> memory(0x10000, 0);
  std::copy(std::begin(kIncrementLoop), std::end(kIncrementLoop), memory.begin());
  NoIo io;
  vexdaq::sim::mcs51::Cpu cpu(memory.data(), memory.data(), &io, 0x10000);
  constexpr uint64_t kSlice = 6'000'000;
  uint64_t executed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) executed += cpu.run(kSlice);
  const double emulated_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::vector<uint8_t> native(0x10000, 0);
  const uint64_t bytes = executed / kInstructionsPerByte;
  const auto native_start = std::chrono::steady_clock::now();
  for (uint64_t done = 0; done < bytes; done += 0x1000) {
    for (size_t i = 0x1000; i < 0x2000; ++i) native[i] = static_cast<uint8_t>(native[i] + 1);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(native.data());
  const double native_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - native_start).count();

  const double ips = static_cast<double>(executed) / emulated_seconds;
  state.counters["instructions_per_s"] = ips;
  state.counters["x_fx2_peak"] = ips / kFx2PeakInstructionsPerSecond;
  state.counters["slowdown_vs_native"] = emulated_seconds / native_seconds;
}
BENCHMARK(mcs51_instructions_per_second)->UseRealTime()->MinTime(1.0);

// vexdaq_firmware_download of a 64 KiB file: the loader goes to the emulated chip, writes the
// EEPROM model (32-byte pages, 5 ms write cycles on the model clock) and reads it back.
void firmware_download_64k(benchmark::State &state) {
  ScratchDirectory scratch;
  vexdaq_sim_reset();
  const int32_t sim = vexdaq_sim_plug(nullptr);
  if (sim < 0 || vexdaq_device_open(0) != 0) {
    state.SkipWithError("no virtual instrument");
    return;
  }
  std::vector<char> file(65536);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 31 + (i >> 8));
  std::ofstream("firmware.bin", std::ios::binary).write(file.data(), file.size());

  double cpu = 0;
  int64_t instructions = 0;
  int64_t failures = 0;
  for (auto _ : state) {
    const int64_t before = vexdaq_sim_counter(sim, "cpu_instructions");
    const double cpu_before = process_cpu_seconds();
    if (vexdaq_firmware_download("firmware.bin") != 0) ++failures;
    cpu += process_cpu_seconds() - cpu_before;
    instructions += vexdaq_sim_counter(sim, "cpu_instructions") - before;
  }
  vexdaq_device_close();
  vexdaq_sim_reset();
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_s"] = cpu / n;
  state.counters["x_1s_target"] = cpu / n;  // CPU seconds per download over the 1 s target
  state.counters["instructions"] = static_cast<double>(instructions) / n;
  state.counters["instructions_per_cpu_s"] = static_cast<double>(instructions) / cpu;
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(firmware_download_64k)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
