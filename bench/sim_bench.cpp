// The virtual instrument's streams through the driver facade: how closely the paced input
// follows its sample rate, and how many packets the free-running input delivers per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "backend/driver.h"
#include "protocol/usbio_records.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq {
namespace {

constexpr uint32_t kPacketBytes = 504;  // 21 frames of eight 24-bit channels

// The control and rx-stream handles of a plugged instrument, configured and streaming.
struct Stream {
  DeviceHandle control = kInvalidHandle;
  DeviceHandle rx = kInvalidHandle;
  struct Slot {
    Overlapped record;
    uint8_t buffer[540] = {};
  } slots[4];

  explicit Stream(const char *profile) {
    vexdaq_sim_plug(profile);
    std::vector<std::u16string> paths;
    driver_enumerate(paths);
    if (paths.empty()) return;
    control = driver_open(paths[0].c_str(), kAccessRead | kAccessWrite, 3, kFlagNormal);
    rx = driver_open(paths[0].c_str(), kAccessRead, 1, kFlagOverlapped);
    uint8_t in[kConfigurationRequestSize] = {};
    ConfigurationRequest request;
    request.interface_count = 1;
    encode(request, in);
    driver_ioctl(control, IOCTL_USBIO_SET_CONFIGURATION, in, sizeof in, nullptr, 0, nullptr);
    uint8_t endpoint = 0x86;
    driver_ioctl(rx, IOCTL_USBIO_BIND_PIPE, &endpoint, 1, nullptr, 0, nullptr);
    for (Slot &s : slots) s.record.event = platform::create_event(false);
    class_out(0xFE);
  }
  ~Stream() {
    class_out(0xFD);
    driver_close(rx);
    driver_close(control);
    vexdaq_sim_reset();
  }
  void class_out(uint8_t code) {
    ControlRequest r;
    r.flags = 0x10000;
    r.type = 1;
    r.recipient = 1;
    r.request = code;
    uint8_t in[kControlRequestSize];
    encode(r, in);
    driver_ioctl(control, IOCTL_USBIO_PIPE0_CLASS_OUT, in, sizeof in, nullptr, 0, nullptr);
  }
  void post(Slot &s) { driver_read(rx, s.record, s.buffer, kPacketBytes); }
  // Waits for slot k, returns its bytes and posts it again.
  uint32_t next(int k) {
    Slot &s = slots[k];
    if (s.record.event->wait(1500) != platform::WaitResult::kSignaled) return 0;
    uint32_t bytes = s.record.internal_high.load();
    post(s);
    return bytes;
  }
};

void BM_PacedInputRate(benchmark::State &state) {
  const auto rate = static_cast<uint32_t>(state.range(0));
  char profile[96];
  std::snprintf(profile, sizeof profile, "in_rates=%u;pacing=realtime", rate);
  for (auto _ : state) {
    Stream stream(profile);
    auto start = std::chrono::steady_clock::now();
    for (auto &s : stream.slots) stream.post(s);
    uint64_t frames = 0;
    double elapsed = 0;
    for (int k = 0; elapsed < 2.5; k = (k + 1) % 4) {
      frames += stream.next(k) / 24;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["frames_per_s"] = frames / elapsed;
    state.counters["ratio"] = frames / elapsed / rate;
  }
}
BENCHMARK(BM_PacedInputRate)
    ->Arg(1000)
    ->Arg(48000)
    ->Arg(102400)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_FreeRunningPackets(benchmark::State &state) {
  Stream stream("pacing=free;waveform=counter");
  for (auto &s : stream.slots) stream.post(s);
  int k = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    bytes += stream.next(k);
    k = (k + 1) % 4;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["packets_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FreeRunningPackets)->MinTime(1.0)->UseRealTime();

}  // namespace
}  // namespace vexdaq

BENCHMARK_MAIN();
