// Streaming figures: the packers and unpackers alone, and (against the free-running and the paced
// virtual instrument) the sustained sample throughput through the whole path, the CPU a paced
// stream costs and the CPU a blocking receive burns while it waits. Prints figures only.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "platform/sync.h"
#include "session/fifo.h"
#include "stream/packing.h"
#include "stream/stream_state.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

using namespace vexdaq;

// A hand-made session of `channels` channels of `bits` each direction, all enabled, with FIFOs
// of a million samples. No threads.
class PackingSession {
 public:
  PackingSession(int16_t channels, int16_t bits) {
    g_device.out_channel_count.store(channels);
    g_device.in_channel_count.store(channels);
    g_device.out_sample_bits.store(bits);
    g_device.in_sample_bits.store(bits);
    for (int c = 0; c < channels; ++c) {
      for (ChannelSlot *table : {g_stream.out_channels, g_stream.in_channels}) {
        table[c].fifo = fifo_create(1 << 20, bits / 8);
        table[c].enabled = 1;
      }
    }
  }
  ~PackingSession() {
    for (ChannelSlot *table : {g_stream.out_channels, g_stream.in_channels}) {
      for (int c = 0; c < kMaxChannels; ++c) {
        if (table[c].fifo != nullptr) fifo_delete(table[c].fifo);
        table[c] = ChannelSlot{};
      }
    }
    g_device.out_channel_count.store(0);
    g_device.in_channel_count.store(0);
    g_device.out_sample_bits.store(0);
    g_device.in_sample_bits.store(0);
  }
  // Largest whole-frame packet of at most 512 bytes.
  static int32_t packet(int32_t channels, int32_t bits) {
    const int32_t bytes = bits / 8;
    return channels * bytes * ((512 / channels) / bytes);
  }
};

void pack(benchmark::State &state) {
  const auto channels = static_cast<int16_t>(state.range(0));
  const auto bits = static_cast<int16_t>(state.range(1));
  PackingSession session(channels, bits);
  const int32_t size = PackingSession::packet(channels, bits);
  const PacketLayout layout{channels, bits / 8, size};
  uint8_t buffer[540];
  uint8_t *const packets[] = {buffer};
  for (auto _ : state) {
    if (g_stream.out_channels[0].fifo->free_count > g_stream.out_channels[0].fifo->capacity / 2) {
      state.PauseTiming();
      for (int c = 0; c < channels; ++c) g_stream.out_channels[c].fifo->free_count = 0;
      state.ResumeTiming();
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    pack_packets(layout, packets, 1);
    benchmark::DoNotOptimize(buffer);
  }
  state.SetBytesProcessed(state.iterations() * size);
  state.SetLabel("packet " + std::to_string(size) + " bytes");
}

void unpack(benchmark::State &state) {
  const auto channels = static_cast<int16_t>(state.range(0));
  const auto bits = static_cast<int16_t>(state.range(1));
  PackingSession session(channels, bits);
  const int32_t size = PackingSession::packet(channels, bits);
  const PacketLayout layout{channels, bits / 8, size};
  uint8_t buffer[540];
  for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(i);
  const uint8_t *const packets[] = {buffer};
  for (auto _ : state) {
    if (g_stream.in_channels[0].fifo->free_count < g_stream.in_channels[0].fifo->capacity / 2) {
      state.PauseTiming();
      for (int c = 0; c < channels; ++c) fifo_reset(g_stream.in_channels[c].fifo);
      state.ResumeTiming();
    }
    unpack_packets(layout, packets, &size, 1);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * size);
  state.SetLabel("packet " + std::to_string(size) + " bytes");
}

void packing_args(benchmark::internal::Benchmark *b) {
  for (int bits : {16, 24, 32}) {
    for (int channels : {2, 8, 64}) b->Args({channels, bits});
  }
}

BENCHMARK(pack)->Apply(packing_args);
BENCHMARK(unpack)->Apply(packing_args);

// ---- The whole path against the virtual instrument -------------------------------------------

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// An open session on an exclusive virtual instrument with FIFOs and every channel enabled,
// streaming from construction to destruction.
class SimStream {
 public:
  SimStream(const std::string &profile, int32_t out_samples, int32_t in_samples) {
    vexdaq_sim_reset();
    ok_ = vexdaq_sim_plug(("exclusive=1;" + profile).c_str()) >= 0 && vexdaq_device_open(0) == 0 &&
          vexdaq_create_buffers(out_samples, in_samples) == 0 &&
          vexdaq_set_output_channel(~uint64_t{0}) == 0 &&
          vexdaq_set_input_channel(~uint64_t{0}) == 0 && vexdaq_reset_loss_counters() == 0 &&
          vexdaq_start() == 0;
  }
  ~SimStream() {
    vexdaq_stop();
    vexdaq_dispose_buffers();
    vexdaq_device_close();
    vexdaq_sim_reset();
  }
  bool ok() const { return ok_; }
  static vexdaq_loss_counters loss(bool input) {
    vexdaq_loss_counters counters{};
    vexdaq_get_loss_counters(input ? 1 : 0, VEXDAQ_ALL_CHANNELS, &counters);
    return counters;
  }

 private:
  bool ok_ = false;
};

constexpr double kUsbHighSpeedBulkMBps = 53.248;

// Input samples delivered into the application by blocking vexdaq_recv_all_data calls, the
// instrument running free (as fast as the library reads).
void input_throughput(benchmark::State &state) {
  const auto channels = static_cast<int32_t>(state.range(0));
  constexpr int32_t kBits = 24;
  constexpr int32_t kBlock = 16384;  // samples per channel per call
  SimStream stream("waveform=counter;pacing=free;out_channels=0;in_bits=24;in_channels=" +
                       std::to_string(channels),
                   16, 1 << 18);
  if (!stream.ok()) {
    state.SkipWithError("cannot stream from the virtual instrument");
    return;
  }
  const int32_t bytes = kBlock * kBits / 8;
  std::vector<uint8_t> buffer(static_cast<size_t>(bytes) * static_cast<size_t>(channels));
  int64_t moved = 0;
  for (auto _ : state) {
    if (vexdaq_recv_all_data(0, buffer.data(), bytes, 1) != bytes) {
      state.SkipWithError("receive failed");
      break;
    }
    moved += static_cast<int64_t>(buffer.size());
  }
  state.SetBytesProcessed(moved);
  const vexdaq_loss_counters loss = SimStream::loss(true);
  state.counters["overwritten_share"] =
      loss.moved == 0 ? 0.0
                      : static_cast<double>(loss.overwritten) / static_cast<double>(loss.moved);
  state.counters["x_usb2_ceiling"] = benchmark::Counter(
      static_cast<double>(moved) / 1e6 / kUsbHighSpeedBulkMBps, benchmark::Counter::kIsRate);
}

// Output samples taken from the application by blocking vexdaq_send_all_data calls, the
// instrument consuming them as fast as they come.
void output_throughput(benchmark::State &state) {
  const auto channels = static_cast<int32_t>(state.range(0));
  constexpr int32_t kBlock = 16384;
  SimStream stream("pacing=free;in_channels=0;out_bits=24;out_channels=" + std::to_string(channels),
                   1 << 18, 16);
  if (!stream.ok()) {
    state.SkipWithError("cannot stream to the virtual instrument");
    return;
  }
  const int32_t bytes = kBlock * 3;
  std::vector<uint8_t> block(static_cast<size_t>(bytes), 0x5A);
  int64_t moved = 0;
  for (auto _ : state) {
    if (vexdaq_send_all_data(0, block.data(), bytes, 1) != bytes) {
      state.SkipWithError("send failed");
      break;
    }
    moved += static_cast<int64_t>(bytes) * channels;  // the block goes to every channel
  }
  state.SetBytesProcessed(moved);
  state.counters["x_usb2_ceiling"] = benchmark::Counter(
      static_cast<double>(moved) / 1e6 / kUsbHighSpeedBulkMBps, benchmark::Counter::kIsRate);
}

BENCHMARK(input_throughput)->Arg(2)->Arg(8)->Arg(64)->UseRealTime()->MinTime(2.0);
BENCHMARK(output_throughput)->Arg(2)->Arg(8)->Arg(64)->UseRealTime()->MinTime(2.0);

// CPU time each thread of the process has had, by name, in nanoseconds (Linux schedstat: the
// scheduler's own account, not 10 ms ticks). The library's threads are named vexdaq-core,
// vexdaq-tx and vexdaq-rx, the virtual instrument's vexdaq-simclock.
struct ThreadTimes {
  double library = 0, instrument = 0, other = 0;
};

ThreadTimes thread_times() {
  ThreadTimes times;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::ifstream schedstat(entry.path() / "schedstat");
    std::string name;
    double ns = 0;
    if (!std::getline(comm, name) || !(schedstat >> ns)) continue;
    if (name == "vexdaq-core" || name == "vexdaq-tx" || name == "vexdaq-rx") {
      times.library += ns;
    } else if (name == "vexdaq-simclock") {
      times.instrument += ns;
    } else {
      times.other += ns;
    }
  }
  return times;
}

// Busy loops in child processes, one per processor, each ending by itself after `seconds` (and
// stopped at destruction): the load of a compile or a second application beside the stream.
// Spawned, not forked: a fork would make every page of this process copy-on-write, and the
// stream's threads would pay page faults that no application beside it causes.
class BusyLoops {
 public:
  BusyLoops(int count, double seconds) {
    const std::string limit = std::to_string(static_cast<int>(seconds + 0.999));
    for (int i = 0; i < count; ++i) {
      char *const argv[] = {const_cast<char *>("timeout"),
                            const_cast<char *>(limit.c_str()),
                            const_cast<char *>("sh"),
                            const_cast<char *>("-c"),
                            const_cast<char *>("while :; do :; done"),
                            nullptr};
      pid_t pid = 0;
      if (posix_spawnp(&pid, "timeout", nullptr, nullptr, argv, environ) == 0) pids_.push_back(pid);
    }
  }
  ~BusyLoops() {
    for (pid_t pid : pids_) {
      kill(pid, SIGTERM);  // timeout passes it on to its loop
      waitpid(pid, nullptr, 0);
    }
  }
  int started() const { return static_cast<int>(pids_.size()); }

 private:
  std::vector<pid_t> pids_;
};

// The paced 20 MB/s input stream (8 channels of 32 bits at 625 000 frames/s) received by the
// application for `seconds`, with a device FIFO of `device_fifo` bytes and `busy` busy loops
// beside it. Reports the frames the instrument dropped and the frames missing from channel 0's
// counter pattern from the stream's first frame on (both must be 0), and the CPU of the library's
// threads, the instrument model's and the application's, each in % of one core.
void paced_stream(benchmark::State &state) {
  const auto run_seconds = static_cast<double>(state.range(0));
  const auto device_fifo = state.range(1);
  const auto busy = static_cast<int>(state.range(2));
  // The instrument is paced, so the transfer threads take the real-time class by default (where
  // the system allows it): it is what keeps the device drained while busy loops load every
  // processor.
  SimStream stream(
      "waveform=counter;pacing=realtime;out_channels=0;in_channels=8;in_bits=32;"
      "in_rates=625000;device_fifo=" +
          std::to_string(device_fifo),
      16, 1 << 18);
  if (!stream.ok()) {
    state.SkipWithError("cannot stream from the virtual instrument");
    return;
  }
  // What the library finds missing from the stream alone, against the instrument's own count.
  vexdaq_gap_totals gaps_before{};
  vexdaq_get_stream_gaps(nullptr, 0, &gaps_before);
  constexpr int32_t kBlock = 8192;  // 13 ms of samples per channel
  std::vector<uint8_t> buffer(static_cast<size_t>(kBlock) * 4 * 8);
  double cpu = 0, wall = 0, app = 0;
  ThreadTimes used;
  int64_t moved = 0;
  uint64_t missing = 0;
  uint32_t next = 0;  // frame 0 is the stream's first
  double first_frame = -1, dropped_after_first_block = -1;
  for (auto _ : state) {
    BusyLoops loops(busy, run_seconds + 1);
    if (loops.started() != busy) {
      state.SkipWithError("cannot start the busy loops");
      return;
    }
    const ThreadTimes before = thread_times();
    const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double app0 = seconds(CLOCK_THREAD_CPUTIME_ID);
    const double wall0 = seconds(CLOCK_MONOTONIC);
    while (seconds(CLOCK_MONOTONIC) - wall0 < run_seconds) {
      if (vexdaq_recv_all_data(0, buffer.data(), kBlock * 4, 1) != kBlock * 4) {
        state.SkipWithError("receive failed");
        return;
      }
      moved += static_cast<int64_t>(buffer.size());
      if (first_frame < 0) {
        uint32_t v = 0;
        std::memcpy(&v, buffer.data(), 4);
        first_frame = v & 0xFFFFFF;
        dropped_after_first_block = static_cast<double>(vexdaq_sim_counter(0, "rx_dropped_frames"));
      }
      for (int32_t i = 0; i < kBlock; ++i) {
        uint32_t v = 0;
        std::memcpy(&v, &buffer[static_cast<size_t>(i) * 4], 4);
        missing += (v - next) & 0xFFFFFF;
        next = (v + 1) & 0xFFFFFF;
      }
    }
    cpu += seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    app += seconds(CLOCK_THREAD_CPUTIME_ID) - app0;
    wall += seconds(CLOCK_MONOTONIC) - wall0;
    const ThreadTimes after = thread_times();
    used.library += after.library - before.library;
    used.instrument += after.instrument - before.instrument;
  }
  state.counters["MBps"] = static_cast<double>(moved) / 1e6 / wall;
  state.counters["device_dropped_frames"] =
      static_cast<double>(vexdaq_sim_counter(0, "rx_dropped_frames"));
  state.counters["missing_frames"] = static_cast<double>(missing);
  vexdaq_gap_totals gaps_after{};
  vexdaq_get_stream_gaps(nullptr, 0, &gaps_after);
  state.counters["library_gap_frames"] =
      static_cast<double>(gaps_after.frames_missing - gaps_before.frames_missing);
  state.counters["first_frame"] = first_frame;
  state.counters["dropped_by_first_block"] = dropped_after_first_block;
  state.counters["process_cpu_percent"] = 100.0 * cpu / wall;
  state.counters["library_cpu_percent"] = 100.0 * used.library * 1e-9 / wall;
  state.counters["instrument_cpu_percent"] = 100.0 * used.instrument * 1e-9 / wall;
  state.counters["app_thread_cpu_percent"] = 100.0 * app / wall;
  state.counters["rx_depth"] = vexdaq_get_transfer_depth(1);
  state.counters["overwritten"] = static_cast<double>(SimStream::loss(true).overwritten);
}

// seconds, device FIFO bytes, busy loops beside it.
BENCHMARK(paced_stream)
    ->Args({2, 65536, 0})
    ->Args({2, 2048, 0})
    ->Args({5, 65536, 2})
    ->Args({5, 2048, 2})
    ->Iterations(1)
    ->UseRealTime();

// CPU a blocking receive burns while it waits: one call for a second's worth of samples of a
// paced stream (the same 20 MB/s stream, and a slow one).
void blocking_receive_wait_cpu(benchmark::State &state) {
  const auto rate = static_cast<int32_t>(state.range(0));
  SimStream stream(
      "waveform=counter;pacing=realtime;out_channels=0;in_channels=8;in_bits=32;"
      "in_rates=" +
          std::to_string(rate),
      16, 1 << 20);
  if (!stream.ok()) {
    state.SkipWithError("cannot stream from the virtual instrument");
    return;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(rate) * 4);
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpu0 = seconds(CLOCK_THREAD_CPUTIME_ID);
    const double wall0 = seconds(CLOCK_MONOTONIC);
    if (vexdaq_recv_data(0, buffer.data(), rate * 4, 1) != rate * 4) {
      state.SkipWithError("receive failed");
      return;
    }
    cpu += seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    wall += seconds(CLOCK_MONOTONIC) - wall0;
  }
  state.counters["wait_s"] = wall;
  state.counters["waiting_thread_cpu_percent"] = 100.0 * cpu / wall;
}

BENCHMARK(blocking_receive_wait_cpu)->Arg(625000)->Arg(1000)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
