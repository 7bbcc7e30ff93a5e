// vexdaq generate: plays a waveform or a raw file to output channels until its last sample has
// left the instrument (or, with --loop, until Ctrl-C), optionally recording inputs meanwhile.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>

#include "cli/capture.h"
#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/durations.h"
#include "cli/recorder.h"
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
  bool loop = false;
  std::string record;  // capture file of the inputs, recorded while the outputs play
  std::string record_channels = "all";
  const CLI::Option *frequency_option = nullptr;
  const CLI::Option *duration_option = nullptr;
  const CLI::Option *samples_option = nullptr;
};

using Clock = std::chrono::steady_clock;

// Time the first samples need to reach the instrument once it has started, allowed for at the
// end before the stop: a few 1 ms USB frames.
constexpr auto kDeliveryAllowance = std::chrono::milliseconds(10);

bool periodic(const std::string &waveform) {
  return waveform == "sine" || waveform == "square";
}

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

bool given(const CLI::Option *option) {
  return option != nullptr && option->count() > 0;
}

// What can be checked before an instrument is looked for.
void validate(const GenerateOptions &o) {
  if (o.waveform != "sine" && o.waveform != "square" && o.waveform != "dc" &&
      o.waveform != "counter") {
    throw CliError(kExitUsage, "unknown waveform '" + o.waveform + "' (sine, square, dc, counter)");
  }
  if (periodic(o.waveform) && (!std::isfinite(o.frequency) || !(o.frequency > 0))) {
    throw CliError(kExitUsage, "the frequency must be positive and finite");
  }
  if (given(o.duration_option)) check_duration(o.duration);
  if (given(o.samples_option) && o.samples <= 0) {
    throw CliError(kExitUsage, "the number of samples must be positive");
  }
  if (!o.file.empty()) {
    std::error_code error;
    const auto size = std::filesystem::file_size(o.file, error);
    if (error) throw CliError(kExitUsage, "cannot read '" + o.file + "': " + error.message());
    if (size == 0) throw CliError(kExitUsage, "'" + o.file + "' is empty: nothing to play");
  }
  if (!o.record.empty()) {
    if (o.record == "-") throw CliError(kExitUsage, "--record needs a file name, not '-'");
    check_capture_possible(capture_format("", o.record), o.record);
  }
}

// Frames of the selected channels in the file; it must hold whole frames.
int64_t file_frames(const std::string &path, size_t frame_bytes) {
  const auto size = std::filesystem::file_size(path);
  if (size % frame_bytes != 0) {
    throw CliError(kExitUsage, "'" + path + "' has " + std::to_string(size) +
                                   " bytes, not a whole number of " + std::to_string(frame_bytes) +
                                   "-byte frames of the selected channels");
  }
  return static_cast<int64_t>(size / frame_bytes);
}

// The frames to play: the file once (or -n / -d of it, repeating it), the waveform for -n / -d,
// or without end for --loop.
int64_t frames_to_play(const GenerateOptions &o, int32_t rate, int64_t in_file) {
  if (o.loop) return INT64_MAX;
  if (given(o.samples_option)) return o.samples;
  if (in_file > 0 && !given(o.duration_option)) return in_file;
  return frames_for(o.duration, rate);
}

// Fills n frames of the selected channels, interleaved, from the file (from its start again at
// its end) or the waveform.
void next_frames(const GenerateOptions &o, std::ifstream &file, const std::vector<int> &channels,
                 int64_t first, int32_t n, int32_t rate, int bytes, uint8_t *interleaved) {
  const size_t frame_bytes = static_cast<size_t>(bytes) * channels.size();
  if (file.is_open()) {
    size_t have = 0;
    const size_t want = static_cast<size_t>(n) * frame_bytes;
    while (have < want) {
      file.read(reinterpret_cast<char *>(interleaved + have),
                static_cast<std::streamsize>(want - have));
      have += static_cast<size_t>(file.gcount());
      if (have < want) {
        if (file.bad()) throw CliError(kExitFailure, "cannot read '" + o.file + "'");
        file.clear();
        file.seekg(0);
      }
    }
    return;
  }
  for (int32_t s = 0; s < n; ++s) {
    for (size_t i = 0; i < channels.size(); ++i) {
      encode_sample(waveform_sample(o, first + s, channels[i], rate, bytes),
                    interleaved + static_cast<size_t>(s) * frame_bytes + i * bytes, bytes);
    }
  }
}

// Waits until the last of `frames` queued frames of `channel` has been played: first until the
// library has handed it to the instrument (its output counter `moved`), then until the
// instrument, which plays frames at `rate` from the start, has played everything it was sent
// before it: the frames and the `zeros` sent in gaps before the last. False when interrupted or
// the stream stalled.
bool wait_until_played(int channel, int64_t frames, uint64_t zeros, int32_t rate,
                       Clock::time_point started) {
  // Nothing signals an emptied FIFO: the counters are looked at every few milliseconds. A
  // stream that moves nothing for 1.5 s has stopped itself by then.
  uint64_t moved = 0;
  auto last_progress = Clock::now();
  for (;;) {
    vexdaq_loss_counters loss{};
    if (vexdaq_get_loss_counters(0, channel, &loss) != 0) return false;
    if (loss.moved >= static_cast<uint64_t>(frames)) break;
    if (loss.moved != moved) {
      moved = loss.moved;
      last_progress = Clock::now();
    } else if (Clock::now() - last_progress > std::chrono::seconds(2)) {
      return false;
    }
    if (interrupted()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto played = started + kDeliveryAllowance +
                      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                          static_cast<double>(static_cast<uint64_t>(frames) + zeros) / rate));
  // In short steps, so that Ctrl-C is prompt.
  while (Clock::now() < played) {
    if (interrupted()) return false;
    std::this_thread::sleep_until(std::min(played, Clock::now() + std::chrono::milliseconds(50)));
  }
  return true;
}

std::unique_ptr<InputRecorder> prepare_recorder(const GenerateOptions &o, const Session &session,
                                                int32_t rate, int32_t block) {
  if (o.record.empty()) return nullptr;
  if (session.in_channels() <= 0)
    throw CliError(kExitUsage, "the instrument has no input channels to record");
  if (vexdaq_can_sample_rate(rate, 1) != 0) {
    throw CliError(kExitUsage,
                   "--record: the input does not run at " + std::to_string(rate) + " Hz");
  }
  CaptureInfo info;
  info.channels = parse_channels(o.record_channels, session.in_channels());
  info.bytes = session.in_sample_bytes();
  info.rate = rate;
  info.gear.assign(info.channels.size(), -1);
  info.icp.assign(info.channels.size(), -1);
  char name[32] = {};
  if (vexdaq_get_device_name(name) >= 0) info.product = name;
  const CaptureFormat format = capture_format("", o.record);
  auto writer = open_capture(format, o.record, info);
  check(vexdaq_set_input_channel(channel_mask(info.channels)), "selecting input channels");
  return std::make_unique<InputRecorder>(info.channels, info.bytes, block, std::move(writer));
}

int run_generate(const GlobalOptions &global, const GenerateOptions &o) {
  validate(o);
  Session session(global);
  if (session.out_channels() <= 0)
    throw CliError(kExitUsage, "the instrument has no output channels");
  const auto channels = parse_channels(o.channels, session.out_channels());
  const int bytes = session.out_sample_bytes();
  int32_t out_rate = 0;
  int32_t in_rate = 0;
  check(vexdaq_get_sample_rate(&out_rate, &in_rate), "reading the sample rate");
  const int32_t rate = o.rate ? o.rate : out_rate;
  if (vexdaq_can_sample_rate(rate, 0) != 0) {
    throw CliError(kExitUsage, "unsupported output rate " + std::to_string(rate) + " Hz");
  }
  const double frequency =
      given(o.frequency_option) ? o.frequency : std::min(o.frequency, rate / 10.0);
  if (periodic(o.waveform) && o.file.empty() && frequency > rate / 2.0) {
    throw CliError(kExitUsage, "the frequency must be at most half the rate (" +
                                   std::to_string(rate / 2) + " Hz at " + std::to_string(rate) +
                                   " Hz)");
  }
  GenerateOptions play = o;
  play.frequency = frequency;
  const size_t frame_bytes = static_cast<size_t>(bytes) * channels.size();
  std::ifstream file;
  int64_t in_file = 0;
  if (!o.file.empty()) {
    in_file = file_frames(o.file, frame_bytes);
    file.open(o.file, std::ios::binary);
    if (!file) throw CliError(kExitUsage, "cannot open '" + o.file + "'");
  }
  const int64_t wanted = frames_to_play(o, rate, in_file);
  // 50 ms blocks keep Ctrl-C prompt. The output FIFOs hold a second, and twice what an
  // instrument's own buffer (64 KiB at most) takes at once when the stream starts: they are
  // filled before the start, so the instrument never runs ahead of them into zeros while it
  // fills its buffer at bus speed.
  const int32_t block = std::max<int32_t>(1, rate / 20);
  const int32_t out_capacity = std::max({block * 8, rate, 2 * 65536 / bytes});
  const int32_t in_capacity =
      o.record.empty()
          ? 0
          : std::clamp<int32_t>(std::max(rate * 2, 2 * 65536 / session.in_sample_bytes()),
                                block * 8, 1 << 22);
  check(vexdaq_create_buffers(out_capacity, in_capacity), "creating the channel buffers");
  check(vexdaq_set_input_channel(0), "selecting input channels");
  auto recorder = prepare_recorder(o, session, rate, block);
  // The recording covers the frames played, known before the start (but with --loop): set
  // later, a recorder reading a loopback that runs ahead could pass it.
  if (recorder && wanted != INT64_MAX) recorder->finish_at(wanted);
  check(vexdaq_set_output_channel(channel_mask(channels)), "selecting output channels");
  check(vexdaq_set_sample_rate(rate, recorder ? rate : in_rate), "setting the sample rate");
  vexdaq_reset_loss_counters();

  // One block per output channel of the instrument, each channel's samples in its own: every
  // channel takes its block at the same moment, so the channels never slip against each other.
  std::vector<uint8_t> chunk(static_cast<size_t>(block) * bytes *
                             static_cast<size_t>(session.out_channels()));
  std::vector<uint8_t> interleaved(static_cast<size_t>(block) * frame_bytes);
  int64_t done = 0;
  bool failed = false;
  bool started = false;
  uint64_t zeros_ahead = 0;
  Clock::time_point start_time;
  auto start = [&] {
    check(vexdaq_start(), "starting the stream");
    start_time = Clock::now();
    started = true;
    if (recorder) recorder->start();
  };
  while (done < wanted && !interrupted() && !failed) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(block, wanted - done));
    next_frames(play, file, channels, done, n, rate, bytes, interleaved.data());
    const size_t channel_bytes = static_cast<size_t>(n) * bytes;
    for (size_t i = 0; i < channels.size(); ++i) {
      uint8_t *const first = chunk.data() + static_cast<size_t>(channels[i]) * channel_bytes;
      for (int32_t s = 0; s < n; ++s) {
        std::copy_n(interleaved.data() + static_cast<size_t>(s) * frame_bytes + i * bytes, bytes,
                    first + static_cast<size_t>(s) * bytes);
      }
    }
    // Before the start, blocks go in while they fit; the first that does not starts the stream.
    int32_t sent = vexdaq_send_channel_blocks(chunk.data(), n * bytes, started ? 1 : 0);
    if (sent == 0 && !started) {
      start();
      sent = vexdaq_send_channel_blocks(chunk.data(), n * bytes, 1);
    }
    if (sent != n * bytes) {
      failed = true;
      break;
    }
    done += n;
    if (started) {
      // Zeros the library sent while the FIFOs were dry went out before this block: with it
      // just queued, none can have followed it yet. (Before the start nothing was sent.)
      vexdaq_loss_counters loss{};
      if (vexdaq_get_loss_counters(0, channels.back(), &loss) == 0) zeros_ahead = loss.zero_filled;
    }
  }
  if (!started && !failed) start();
  // The outputs play on after the last block was queued: the instrument buffers seconds of them,
  // and a stop empties every buffer. Ctrl-C stops at once.
  bool complete = !failed && !interrupted();
  if (recorder && !complete) recorder->abandon();
  if (complete) {
    complete = wait_until_played(channels.back(), done, zeros_ahead, rate, start_time);
  }
  if (recorder) {
    if (!complete) recorder->abandon();
    recorder->join();
  }
  RunSummary summary;
  if (recorder) {
    for (int channel : parse_channels(o.record_channels, session.in_channels())) {
      vexdaq_loss_counters loss{};
      vexdaq_get_loss_counters(1, channel, &loss);
      summary.loss.push_back(loss);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start_time).count();
  vexdaq_stop();
  std::printf("generated %" PRId64 " samples per channel on %zu channel(s) at %d Hz, %.3f s%s\n",
              done, channels.size(), rate, seconds, interrupted() ? " (interrupted)" : "");
  if (recorder) {
    summary.interrupted = interrupted();
    recorder->writer().summarise(summary);
    recorder->writer().finish();
    std::printf("recorded %" PRId64 " samples per channel of %zu input channel(s) to %s\n",
                recorder->frames(), summary.loss.size(), o.record.c_str());
    if (recorder->failed()) throw CliError(kExitFailure, "recording: " + recorder->error());
  }
  uint64_t overwritten = 0;
  for (const auto &loss : summary.loss) overwritten += loss.overwritten;
  if (failed || (!complete && !interrupted())) {
    throw CliError(kExitFailure, "the stream stopped early" + log_hint());
  }
  if (overwritten > 0) {
    std::fprintf(stderr,
                 "vexdaq: warning: %" PRIu64
                 " recorded samples were overwritten before they were read\n",
                 overwritten);
    return kExitDataLoss;
  }
  return kExitOk;
}

}  // namespace

void add_generate_command(CLI::App &app, const GlobalOptions &global) {
  auto o = std::make_shared<GenerateOptions>();
  auto *cmd = app.add_subcommand(
      "generate", "Play a waveform or a raw file to output channels, to its last sample");
  cmd->add_option("-c,--channels", o->channels, "Output channels: all, 0-1 ...")
      ->capture_default_str();
  cmd->add_option("-r,--rate", o->rate, "Output sample rate in Hz (default: current)")
      ->check(CLI::Range(1, INT32_MAX));
  cmd->add_option("-w,--waveform", o->waveform, "sine, square, dc or counter")
      ->capture_default_str();
  o->frequency_option = cmd->add_option(
      "--frequency", o->frequency,
      "Waveform frequency in Hz, up to half the rate (default: 1000, at most a tenth of the rate)");
  cmd->add_option("--amplitude", o->amplitude, "Fraction of full scale, 0 to 1")
      ->check(CLI::Range(0.0, 1.0))
      ->capture_default_str();
  auto *duration = cmd->add_option("-d,--duration", o->duration,
                                   "Seconds to play (default: 1, or the whole --file)");
  auto *samples =
      cmd->add_option("-n,--samples", o->samples, "Samples per channel (overrides --duration)");
  o->duration_option = duration;
  o->samples_option = samples;
  cmd->add_option("--file", o->file,
                  "Raw file of interleaved samples of the selected channels, played whole");
  cmd->add_flag("--loop", o->loop, "Play without end (the file over and over) until Ctrl-C")
      ->excludes(duration)
      ->excludes(samples);
  cmd->add_option("--record", o->record,
                  "Record input channels meanwhile to this capture file (.csv, .wav, .raw, .h5)");
  cmd->add_option("--record-channels", o->record_channels, "Input channels for --record")
      ->capture_default_str();
  cmd->callback([&global, o] { throw CliExit(run_generate(global, *o)); });
}

}  // namespace vexdaq_cli
