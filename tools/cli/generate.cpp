// vexdaq generate: plays a waveform or a raw file to output channels while the stream runs.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <thread>

#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq_cli {

namespace {

struct GenerateOptions {
  std::string channels = "all";
  int32_t rate = 0;
  std::string waveform = "sine";
  double frequency = 1000.0;
  double amplitude = 0.5;  // fraction of full scale
  double duration = 1.0;
  int64_t samples = 0;
  std::string file;  // raw interleaved samples of the selected channels
};

// The sample of a generated waveform at sample index n.
int32_t waveform_sample(const GenerateOptions &o, int64_t n, int channel, int32_t rate, int bytes) {
  const double scale = o.amplitude * full_scale(bytes);
  const double phase = std::fmod(o.frequency * static_cast<double>(n) / rate, 1.0);
  if (o.waveform == "sine")
    return static_cast<int32_t>(std::lround(scale * std::sin(2 * std::numbers::pi * phase)));
  if (o.waveform == "square")
    return static_cast<int32_t>(std::lround(phase < 0.5 ? scale : -scale));
  if (o.waveform == "dc") return static_cast<int32_t>(std::lround(scale));
  // counter: channel in the top byte, the sample index below it, like the virtual instrument's
  // input pattern, so a loopback capture can be checked sample for sample.
  const int bits = 8 * bytes;
  return static_cast<int32_t>((static_cast<uint32_t>(channel) << (bits - 8)) |
                              static_cast<uint32_t>(n & ((int64_t{1} << (bits - 8)) - 1)));
}

int run_generate(const GlobalOptions &global, const GenerateOptions &o) {
  Session session(global);
  if (session.out_channels() <= 0)
    throw CliError(kExitUsage, "the instrument has no output channels");
  const auto channels = parse_channels(o.channels, session.out_channels());
  const int bytes = session.out_sample_bytes();
  if (o.waveform != "sine" && o.waveform != "square" && o.waveform != "dc" &&
      o.waveform != "counter") {
    throw CliError(kExitUsage, "unknown waveform '" + o.waveform + "' (sine, square, dc, counter)");
  }
  int32_t out_rate = 0;
  int32_t in_rate = 0;
  check(vexdaq_get_sample_rate(&out_rate, &in_rate), "reading the sample rate");
  const int32_t rate = o.rate ? o.rate : out_rate;
  if (vexdaq_can_sample_rate(rate, 0) != 0) {
    throw CliError(kExitUsage, "unsupported output rate " + std::to_string(rate) + " Hz");
  }
  std::ifstream file;
  if (!o.file.empty()) {
    file.open(o.file, std::ios::binary);
    if (!file) throw CliError(kExitFailure, "cannot open '" + o.file + "'");
  }
  const int64_t wanted =
      o.samples > 0 ? o.samples : static_cast<int64_t>(std::llround(o.duration * rate));
  const int32_t block = std::max<int32_t>(1, rate / 20);
  check(vexdaq_create_buffers(std::max<int32_t>(block * 8, rate), 0),
        "creating the channel buffers");
  check(vexdaq_set_input_channel(0), "selecting input channels");
  check(vexdaq_set_output_channel(channel_mask(channels)), "selecting output channels");
  check(vexdaq_set_sample_rate(rate, in_rate), "setting the sample rate");
  vexdaq_reset_loss_counters();

  // One block per output channel of the instrument, each channel's samples in its own: every
  // channel takes its block at the same moment, so the channels never slip against each other
  // (a channel whose FIFO is still empty would be played as zeros). The first block goes in
  // before the start.
  std::vector<uint8_t> chunk(static_cast<size_t>(block) * bytes *
                             static_cast<size_t>(session.out_channels()));
  std::vector<uint8_t> interleaved(static_cast<size_t>(block) * bytes * channels.size());
  int64_t done = 0;
  bool failed = false;
  bool started = false;
  while (done < wanted && !interrupted() && !failed) {
    auto n = static_cast<int32_t>(std::min<int64_t>(block, wanted - done));
    if (file.is_open()) {
      file.read(reinterpret_cast<char *>(interleaved.data()),
                static_cast<std::streamsize>(static_cast<size_t>(n) * bytes * channels.size()));
      n = static_cast<int32_t>(file.gcount() / (bytes * static_cast<int64_t>(channels.size())));
      if (n == 0) break;
    }
    const size_t channel_bytes = static_cast<size_t>(n) * bytes;
    for (size_t i = 0; i < channels.size(); ++i) {
      uint8_t *const first = chunk.data() + static_cast<size_t>(channels[i]) * channel_bytes;
      for (int32_t s = 0; s < n; ++s) {
        uint8_t *to = first + static_cast<size_t>(s) * bytes;
        if (file.is_open()) {
          std::copy_n(interleaved.data() + (static_cast<size_t>(s) * channels.size() + i) * bytes,
                      bytes, to);
        } else {
          encode_sample(waveform_sample(o, done + s, channels[i], rate, bytes), to, bytes);
        }
      }
    }
    if (vexdaq_send_channel_blocks(chunk.data(), n * bytes, started ? 1 : 0) != n * bytes) {
      failed = true;
      break;
    }
    done += n;
    if (!started) {
      check(vexdaq_start(), "starting the stream");
      started = true;
    }
  }
  if (!started && !failed) check(vexdaq_start(), "starting the stream");
  // Let the FIFOs drain before stopping: the stop empties them.
  for (int i = 0; i < 40 && !interrupted() && !failed; ++i) {
    vexdaq_loss_counters loss{};
    if (vexdaq_get_loss_counters(0, channels.back(), &loss) != 0 ||
        loss.moved + loss.zero_filled >= static_cast<uint64_t>(done)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  vexdaq_stop();
  std::printf("generated %" PRId64 " samples per channel on %zu channel(s) at %d Hz%s\n", done,
              channels.size(), rate, interrupted() ? " (interrupted)" : "");
  if (failed) throw CliError(kExitFailure, "the stream stopped early; details are in the log");
  return kExitOk;
}

}  // namespace

void add_generate_command(CLI::App &app, const GlobalOptions &global) {
  auto o = std::make_shared<GenerateOptions>();
  auto *cmd = app.add_subcommand("generate", "Play a waveform or a raw file to output channels");
  cmd->add_option("-c,--channels", o->channels, "Output channels: all, 0-1 ...")
      ->capture_default_str();
  cmd->add_option("-r,--rate", o->rate, "Output sample rate in Hz (default: current)");
  cmd->add_option("-w,--waveform", o->waveform, "sine, square, dc or counter")
      ->capture_default_str();
  cmd->add_option("--frequency", o->frequency, "Waveform frequency in Hz")->capture_default_str();
  cmd->add_option("--amplitude", o->amplitude, "Fraction of full scale, 0 to 1")
      ->check(CLI::Range(0.0, 1.0))
      ->capture_default_str();
  cmd->add_option("-d,--duration", o->duration, "Seconds to play")->capture_default_str();
  cmd->add_option("-n,--samples", o->samples, "Samples per channel (overrides --duration)");
  cmd->add_option("--file", o->file, "Raw file of interleaved samples of the selected channels");
  cmd->callback([&global, o] { throw CliExit(run_generate(global, *o)); });
}

}  // namespace vexdaq_cli
