// The soak run (scripts/soak.sh): not a microbenchmark. Streams every input channel of a virtual
// instrument with the counter pattern at its highest rate for the given minutes, checks every
// sample, and reports samples checked and errors found. Exit status 0 only without errors, and a
// frame the instrument dropped is one: a real instrument does not say which frames it lost.
//   soak [minutes, default 60] [instrument profile]
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

constexpr int kBits =
    32;  // 24 bits of frame number: a gap shows unless it spans 164 s at 102.4 kHz
constexpr uint32_t kFrameMask = 0xFFFFFF;

// Frame numbers start at 0 with the stream, so the first frame missing counts too.
struct Channel {
  bool started = true;
  uint32_t next = 0;
  uint64_t skipped = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 60.0;
  const std::string profile =
      std::string("exclusive=1;waveform=counter;pacing=realtime;in_bits=32;") +
      (argc > 2 ? argv[2] : "");
  // The session log goes beside the soak's own files, not into the caller's directory.
  std::filesystem::create_directories("soak-run");
  std::filesystem::current_path("soak-run");

  const int32_t sim = vexdaq_sim_plug(profile.c_str());
  if (sim < 0 || vexdaq_device_open(0) != 0) {
    std::fprintf(stderr, "soak: cannot open the virtual instrument (%s)\n", profile.c_str());
    return 2;
  }
  int32_t bits = 0, channels = 0;
  vexdaq_get_stream_format(1, &bits, &channels);
  std::vector<int32_t> rates(64);
  const int32_t rate_count = vexdaq_get_sample_rates(1, rates.data(), 64);
  int32_t highest = 0;
  for (int32_t i = 0; i < rate_count && i < 64; ++i) highest = std::max(highest, rates[i]);
  if (bits != kBits || channels <= 0 || highest <= 0) {
    std::fprintf(stderr, "soak: the instrument reports %d channels of %d bits at %d Hz\n", channels,
                 bits, highest);
    return 2;
  }
  // The output runs too (its packets carry zeros): at its highest rate, like the input.
  const int32_t out_count = vexdaq_get_sample_rates(0, rates.data(), 64);
  int32_t out_highest = 0;
  for (int32_t i = 0; i < out_count && i < 64; ++i) out_highest = std::max(out_highest, rates[i]);
  const int32_t block = std::max(1024, highest / 25);  // 40 ms per call
  vexdaq_set_sample_rate(out_highest, highest);
  if (vexdaq_create_buffers(1024, block * 8) != 0 ||
      vexdaq_set_input_channel(channels >= 64 ? ~uint64_t{0} : (uint64_t{1} << channels) - 1) !=
          0 ||
      vexdaq_reset_loss_counters() != 0 || vexdaq_start() != 0) {
    std::fprintf(stderr, "soak: cannot start the stream\n");
    return 2;
  }
  std::printf("soak: %.1f min, %d input channels of %d bits at %d Hz (%.2f MB/s)\n", minutes,
              channels, bits, highest, channels * 4.0 * highest / 1e6);
  std::fflush(stdout);

  std::vector<Channel> state(static_cast<size_t>(channels));
  std::vector<uint8_t> buffer(static_cast<size_t>(block) * 4 * static_cast<size_t>(channels));
  uint64_t checked = 0, errors = 0, failed_calls = 0;
  const auto start = std::chrono::steady_clock::now();
  double next_report = 60;
  while (seconds_since(start) < minutes * 60) {
    const int32_t got = vexdaq_recv_all_data(0, buffer.data(), block * 4, 1);
    if (got != block * 4) {
      ++failed_calls;  // reported by the library: the stream is restarted and checked on
      std::fprintf(stderr, "soak: receive returned %d at %.0f s\n", got, seconds_since(start));
      vexdaq_stop();
      vexdaq_start();
      for (Channel &c : state) c = Channel{};  // the pattern starts again with the stream
      continue;
    }
    for (int32_t c = 0; c < channels; ++c) {
      Channel &ch = state[static_cast<size_t>(c)];
      const uint8_t *at = &buffer[static_cast<size_t>(c) * static_cast<size_t>(block) * 4];
      for (int32_t i = 0; i < block; ++i, at += 4) {
        const uint32_t v = at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
        if ((v >> 24) != static_cast<uint32_t>(c)) {
          if (errors++ < 10) std::fprintf(stderr, "soak: channel %d carries %08X\n", c, v);
          continue;
        }
        const uint32_t frame = v & kFrameMask;
        if (ch.started) ch.skipped += (frame - ch.next) & kFrameMask;
        ch.started = true;
        ch.next = (frame + 1) & kFrameMask;
        ++checked;
      }
    }
    if (seconds_since(start) >= next_report) {
      // Each minute says what it lost, so that a loss can be placed in time.
      uint64_t missing_so_far = 0;
      for (const Channel &c : state) missing_so_far += c.skipped;
      std::printf(
          "soak: %.0f s, %llu samples checked, %llu errors, %llu samples missing, device dropped "
          "%lld frames\n",
          seconds_since(start), static_cast<unsigned long long>(checked),
          static_cast<unsigned long long>(errors), static_cast<unsigned long long>(missing_so_far),
          static_cast<long long>(vexdaq_sim_counter(sim, "rx_dropped_frames")));
      std::fflush(stdout);
      next_report += 60;
    }
  }
  vexdaq_stop();
  const uint64_t dropped = static_cast<uint64_t>(vexdaq_sim_counter(sim, "rx_dropped_frames"));
  vexdaq_loss_counters loss{};
  vexdaq_get_loss_counters(1, VEXDAQ_ALL_CHANNELS, &loss);
  // What the library found missing from the stream alone: what an application on a real
  // instrument would be told.
  vexdaq_gap_totals gaps{};
  vexdaq_get_stream_gaps(nullptr, 0, &gaps);
  // Every gap in the pattern is lost data, whether the library lost it or the instrument's FIFO
  // overflowed because the host did not read in time (the instrument's own count tells which,
  // but a real one keeps that to itself).
  uint64_t missing = 0;
  for (const Channel &c : state) missing += c.skipped;
  errors += missing;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double wall = seconds_since(start);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  std::printf(
      "soak: done after %.0f s: %llu samples checked, %llu errors; %llu samples missing from the "
      "pattern, device dropped %llu frames, library overwrote %llu samples, %llu failed "
      "transfers, %llu failed receives; CPU %.1f%% of one core\n",
      wall, static_cast<unsigned long long>(checked), static_cast<unsigned long long>(errors),
      static_cast<unsigned long long>(missing), static_cast<unsigned long long>(dropped),
      static_cast<unsigned long long>(loss.overwritten),
      static_cast<unsigned long long>(loss.transfer_failures),
      static_cast<unsigned long long>(failed_calls), 100.0 * cpu / wall);
  std::printf("soak: the library found %llu gaps (%llu frames) in the stream\n",
              static_cast<unsigned long long>(gaps.stream_gaps),
              static_cast<unsigned long long>(gaps.stream_frames_missing));
  vexdaq_dispose_buffers();
  vexdaq_device_close();
  vexdaq_sim_reset();
  const bool clean = errors == 0 && dropped == 0 && gaps.stream_gaps == 0 &&
                     loss.overwritten == 0 && loss.transfer_failures == 0 && failed_calls == 0 &&
                     checked > 0;
  return clean ? 0 : 1;
}
