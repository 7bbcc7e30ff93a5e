// vexdaq acquire: streams input channels into a file and prints a summary.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>

#include "cli/capture.h"
#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/durations.h"
#include "cli/scaling.h"
#include "cli/stream_clock.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq_cli {

namespace {

struct AcquireOptions {
  std::string channels = "all";
  int32_t rate = 0;
  double duration = 1.0;
  int64_t samples = 0;
  std::string output = "capture.csv";
  std::string format;
  int gear = -1;
  int icp = -1;
  bool quiet = false;
  bool time_column = false;
  bool csv_header = false;
  std::string scale;  // scale file, "sim" for the virtual instrument's own, "" for counts
  const CLI::Option *samples_option = nullptr;  // tells "-n 0" from no -n at all
};

// Bad numbers are the user's to fix before any instrument is looked for.
void validate(const AcquireOptions &o) {
  if (o.samples_option != nullptr && o.samples_option->count() > 0) {
    if (o.samples <= 0) throw CliError(kExitUsage, "the number of samples must be positive");
  } else {
    check_duration(o.duration);
  }
}

std::string text_of(int32_t (*query)(char *, int32_t)) {
  char buffer[128] = {};
  return query(buffer, sizeof buffer) >= 0 ? buffer : "";
}

// Calendar arithmetic of <chrono>: gmtime_r is not there on every platform the tool builds for.
std::string rate_list(const std::vector<int32_t> &rates) {
  std::string text;
  for (int32_t r : rates) text += (text.empty() ? "" : ", ") + std::to_string(r);
  return text.empty() ? "none" : text;
}

// The scale file is read before an instrument is looked for; its factors need the sample width.
std::optional<ScaleDescription> read_scale(const GlobalOptions &global, const std::string &scale) {
  if (scale.empty()) return std::nullopt;
  if (scale == "sim") {
    if (!global.sim)
      throw CliError(kExitUsage, "--scale sim describes the virtual instrument: add --sim");
    return virtual_instrument_description(global.sim_profile);
  }
  return load_scale_description(scale);
}

// min, max and RMS in the channels' units, after the table in counts.
void print_scaled_statistics(std::FILE *out, const std::vector<int> &channels,
                             const std::vector<ChannelStats> &stats,
                             const std::vector<ChannelScale> &scales) {
  std::fprintf(out, "%-8s %12s %12s %14s %s\n", "channel", "min", "max", "rms", "unit");
  for (size_t i = 0; i < channels.size(); ++i) {
    const ChannelScale &s = scales[i];
    // RMS of counts * scale + offset, from the counts' sum and sum of squares.
    const double n = static_cast<double>(std::max<int64_t>(stats[i].samples, 1));
    const double mean_square = s.scale * s.scale * stats[i].sum_squares / n +
                               2 * s.scale * s.offset * stats[i].sum / n + s.offset * s.offset;
    std::fprintf(out, "%-8d %12.6g %12.6g %14.6g %s\n", channels[i], s.apply(stats[i].min),
                 s.apply(stats[i].max), std::sqrt(std::max(0.0, mean_square)), s.unit.c_str());
  }
}

void add_stream_timing(RunSummary &summary, const StreamClock &clock) {
  if (!clock.start_utc().empty()) summary.start_time = clock.start_utc();
  summary.first_frame_time = clock.first_frame_utc();
  summary.drift_ppm = clock.timing().drift_ppm;
  summary.bus_frame_number = clock.timing().bus_frame_number;
  summary.gaps = clock.gaps();
  summary.gap_frames = clock.totals().stream_frames_missing;
}

// Frames the instrument lost before they reached the host, as the library found them from the
// stream: where each gap sits in the capture and how many frames it misses.
void print_gaps(std::FILE *out, const StreamClock &clock) {
  const vexdaq_gap_totals &totals = clock.totals();
  if (totals.stream_gaps == 0) return;
  std::fprintf(out, "gaps: %" PRIu64 " (%" PRIu64 " frames missing)\n", totals.stream_gaps,
               totals.stream_frames_missing);
  for (const vexdaq_stream_gap &g : clock.gaps()) {
    // seconds() of the first frame after the gap counts the gap in; its start is that less
    // the frames it misses.
    const double rate = clock.timing().rate * (1 + clock.timing().drift_ppm * 1e-6);
    const double at = clock.seconds(g.frame_index) - (rate > 0 ? g.frame_count / rate : 0);
    std::fprintf(out, "  after sample %" PRId64 " (%.6f s): %" PRId64 " frames missing\n",
                 static_cast<int64_t>(g.frame_index), at, static_cast<int64_t>(g.frame_count));
  }
  if (totals.stream_gaps > clock.gaps().size()) {
    std::fprintf(out, "  (the newest %zu of them)\n", clock.gaps().size());
  }
}

int run_acquire(const GlobalOptions &global, const AcquireOptions &o) {
  validate(o);
  const auto scale = read_scale(global, o.scale);
  // A format this build cannot write is refused before the instrument is touched.
  const CaptureFormat format = capture_format(o.format, o.output);
  check_capture_possible(format, o.output);
  Session session(global);
  if (session.in_channels() <= 0)
    throw CliError(kExitUsage, "the instrument has no input channels");
  const auto channels = parse_channels(o.channels, session.in_channels());
  const int bytes = session.in_sample_bytes();
  const auto rates = session.supported_rates(true);
  int32_t rate = o.rate;
  if (rate == 0) {
    int32_t out_rate = 0;
    check(vexdaq_get_sample_rate(&out_rate, &rate), "reading the sample rate");
  }
  if (vexdaq_can_sample_rate(rate, 1) != 0) {
    throw CliError(kExitUsage, "unsupported input rate " + std::to_string(rate) +
                                   " Hz; supported: " + rate_list(rates));
  }
  const int64_t wanted = o.samples > 0 ? o.samples : frames_for(o.duration, rate);

  // 50 ms blocks keep Ctrl-C prompt; FIFOs of two seconds ride out a slow disk, and hold at
  // least the 64 packets of 256 frames the library delivers at once (a slow stream's FIFO of
  // two seconds may be smaller than one packet).
  const int32_t block = std::max<int32_t>(1, rate / 20);
  const int32_t capacity =
      std::clamp<int64_t>(int64_t{rate} * 2, std::max<int64_t>(int64_t{block} * 8, 16384), 1 << 22);
  check(vexdaq_create_buffers(0, capacity), "creating the channel buffers");
  check(vexdaq_set_output_channel(0), "selecting output channels");
  check(vexdaq_set_input_channel(channel_mask(channels)), "selecting input channels");
  if (o.gear >= 0) {
    check(vexdaq_set_input_gear(channel_mask(channels), o.gear >= 8, static_cast<uint8_t>(o.gear)),
          "setting the input range");
  }
  if (o.icp >= 0) {
    check(vexdaq_set_input_icp(channel_mask(channels), static_cast<uint8_t>(o.icp)), "setting ICP");
  }
  int32_t out_rate = 0;
  int32_t in_rate = 0;
  check(vexdaq_get_sample_rate(&out_rate, &in_rate), "reading the sample rate");
  check(vexdaq_set_sample_rate(out_rate, rate), "setting the sample rate");
  vexdaq_reset_loss_counters();

  CaptureInfo info;
  info.channels = channels;
  info.bytes = bytes;
  info.rate = rate;
  info.gear.assign(channels.size(), o.gear);
  info.icp.assign(channels.size(), o.icp);
  char name[32] = {};
  if (vexdaq_get_device_name(name) >= 0) info.product = name;
  info.device_version = text_of(vexdaq_get_device_version);
  info.driver_version = text_of(vexdaq_get_driver_version);
  info.library_version = text_of(vexdaq_get_version);
  info.time_column = o.time_column;
  info.csv_header = o.csv_header;
  if (scale) info.scales = channel_scales(*scale, channels, o.gear, 8 * bytes);
  info.start_time = utc_now_iso8601();
  info.expected_frames = wanted;
  StreamClock clock;
  info.frame_seconds = [&clock](int64_t k) { return clock.seconds(k); };
  auto writer = open_capture(format, o.output, info);
  std::vector<ChannelStats> stats(channels.size());
  std::vector<uint8_t> one(static_cast<size_t>(block) * bytes);
  std::vector<uint8_t> frames(static_cast<size_t>(block) * bytes * channels.size());
  const bool progress = !o.quiet && isatty(STDERR_FILENO) && o.output != "-";
  SettlingWriter settling(*writer, static_cast<size_t>(bytes) * channels.size(),
                          o.time_column && format == CaptureFormat::kCsv);

  RunSummary summary;
  summary.start_time = info.start_time;
  check(vexdaq_start(), "starting the stream");
  const auto started = std::chrono::steady_clock::now();
  auto last_progress = started;
  int64_t done = 0;
  bool failed = false;
  while (done < wanted && !interrupted() && !failed) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(block, wanted - done));
    for (size_t i = 0; i < channels.size() && !failed; ++i) {
      const int32_t got = vexdaq_recv_data(channels[i], one.data(), n * bytes, 1);
      if (got != n * bytes) {
        failed = true;
        break;
      }
      for (int32_t s = 0; s < n; ++s) {
        uint8_t *to = frames.data() + (static_cast<size_t>(s) * channels.size() + i) * bytes;
        std::copy_n(one.data() + static_cast<size_t>(s) * bytes, bytes, to);
        stats[i].add(decode_sample(to, bytes));
      }
    }
    if (failed) break;
    clock.refresh();
    settling.write(frames.data(), n, clock.timing().frames_settled);
    done += n;
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - last_progress > std::chrono::milliseconds(200)) {
      std::fprintf(stderr, "\racquired %" PRId64 " of %" PRId64 " samples per channel (%d%%)", done,
                   wanted, static_cast<int>(100 * done / wanted));
      last_progress = now;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  vexdaq_stop();
  for (int channel : channels) {
    vexdaq_loss_counters loss{};
    vexdaq_get_loss_counters(1, channel, &loss);
    summary.loss.push_back(loss);
  }
  summary.interrupted = interrupted();
  clock.refresh();
  settling.flush();
  add_stream_timing(summary, clock);
  writer->summarise(summary);
  writer->finish();
  if (progress) std::fprintf(stderr, "\r%60s\r", "");

  uint64_t overwritten = 0;
  uint64_t failures = 0;
  std::FILE *out = o.output == "-" ? stderr : stdout;
  std::fprintf(out, "%s: %" PRId64 " samples per channel, %zu channel(s) at %d Hz, %.3f s%s\n",
               o.output == "-" ? "stdout" : o.output.c_str(), done, channels.size(), rate, seconds,
               interrupted() ? " (interrupted)" : "");
  std::fprintf(out, "%-8s %12s %12s %14s %12s\n", "channel", "min", "max", "rms", "overwritten");
  for (size_t i = 0; i < channels.size(); ++i) {
    const vexdaq_loss_counters &loss = summary.loss[i];
    overwritten += loss.overwritten;
    failures = std::max<uint64_t>(failures, loss.transfer_failures);
    std::fprintf(out, "%-8d %12d %12d %14.1f %12" PRIu64 "\n", channels[i], stats[i].min,
                 stats[i].max, stats[i].rms(), loss.overwritten);
  }
  if (!info.scales.empty()) print_scaled_statistics(out, channels, stats, info.scales);
  if (failed) {
    throw CliError(kExitFailure, "the stream stopped early (" + std::to_string(done) +
                                     " samples per channel were written)" + log_hint());
  }
  print_gaps(out, clock);
  if (overwritten > 0 || failures > 0 || clock.totals().stream_gaps > 0) {
    std::fprintf(stderr,
                 "vexdaq: warning: %" PRIu64
                 " samples were overwritten before they were read, "
                 "%" PRIu64 " transfers failed and %" PRIu64
                 " frames never came from the instrument\n",
                 overwritten, failures, clock.totals().stream_frames_missing);
    return kExitDataLoss;
  }
  return kExitOk;
}

}  // namespace

void add_acquire_command(CLI::App &app, const GlobalOptions &global) {
  auto options = std::make_shared<AcquireOptions>();
  auto *cmd =
      app.add_subcommand("acquire", "Record input channels to CSV, WAV, raw binary or HDF5");
  cmd->add_option("-c,--channels", options->channels, "Channels: all, 0-3,6 ...")
      ->capture_default_str();
  cmd->add_option("-r,--rate", options->rate, "Input sample rate in Hz (default: current)")
      ->check(CLI::Range(1, INT32_MAX));
  cmd->add_option("-d,--duration", options->duration, "Seconds to record")->capture_default_str();
  options->samples_option = cmd->add_option("-n,--samples", options->samples,
                                            "Samples per channel (overrides --duration)");
  cmd->add_option("-o,--output", options->output, "Output file, - for standard output")
      ->capture_default_str();
  cmd->add_option("-f,--format", options->format,
                  "csv, wav, raw or h5 (default: from the file name: .wav, .raw/.bin, .h5/.hdf5)");
  cmd->add_option("--gear", options->gear, "Input range code 0-7, 8 forces range 8")
      ->check(CLI::Range(0, 8));
  cmd->add_option("--icp", options->icp, "ICP excitation: 0 off, 1 on")->check(CLI::Range(0, 1));
  cmd->add_flag("-q,--quiet", options->quiet, "No progress line");
  cmd->add_flag("--time", options->time_column,
                "CSV: a first column time_s, the seconds since the first frame");
  cmd->add_flag("--csv-header", options->csv_header,
                "CSV: '# key: value' lines first (rate, start, units, scale, offset)");
  cmd->add_option("--scale", options->scale,
                  "Scale file (JSON) of the input ranges and sensors: values in units; 'sim' for "
                  "the virtual instrument's own");
  cmd->callback([&global, options] { throw CliExit(run_acquire(global, *options)); });
}

}  // namespace vexdaq_cli
