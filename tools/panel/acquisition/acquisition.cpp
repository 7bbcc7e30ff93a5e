#include "acquisition/acquisition.h"

#include <pthread.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>

#include "acquisition/channel_health.h"
#include "acquisition/thread_class.h"
#include "cli/capture.h"
#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/stream_clock.h"
#include "display/frame_layout.h"
#include "display/scope_views.h"
#include "display/spectrum.h"
#include "server/client_hub.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq_panel {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// 20 ms blocks: the latency from a sample to its pixel stays well under 100 ms.
constexpr int32_t kBlocksPerSecond = 50;
// Two seconds of FIFO per channel ride out a slow disk under a recording.
constexpr int32_t kFifoSeconds = 2;
constexpr auto kFrameInterval = std::chrono::microseconds(1'000'000 / 40);
constexpr auto kStatusInterval = std::chrono::milliseconds(250);
constexpr auto kSpectrumInterval = std::chrono::milliseconds(100);

// The CLI's generate waveforms, so the panel and `vexdaq generate` play the same samples.
int32_t waveform_sample(const GeneratorSettings &g, int64_t n, int32_t rate, int bytes) {
  const double scale = g.amplitude * vexdaq_cli::full_scale(bytes);
  const double phase = std::fmod(g.frequency * static_cast<double>(n) / rate, 1.0);
  switch (g.waveform) {
    case Waveform::kSine:
      return static_cast<int32_t>(std::lround(scale * std::sin(2 * std::numbers::pi * phase)));
    case Waveform::kSquare:
      return static_cast<int32_t>(std::lround(phase < 0.5 ? scale : -scale));
    case Waveform::kDc:
      return static_cast<int32_t>(std::lround(scale));
    case Waveform::kCounter: {
      const int bits = 8 * bytes;
      return static_cast<int32_t>((static_cast<uint32_t>(g.channel) << (bits - 8)) |
                                  static_cast<uint32_t>(n & ((int64_t{1} << (bits - 8)) - 1)));
    }
    case Waveform::kOff:
      break;
  }
  return 0;
}

uint64_t lost_of(const vexdaq_loss_counters &l) {
  return l.overwritten + l.dropped + l.transfer_failures;
}

}  // namespace

struct Acquisition::Recording {
  std::unique_ptr<vexdaq_cli::CaptureWriter> writer;
  std::string path;
  std::vector<vexdaq_loss_counters> loss_at_start;
  std::string start_time;
  int64_t frames = 0;
  std::vector<uint8_t> interleaved;
};

// The acquisition thread's state: nothing else touches it.
struct Acquisition::Views {
  Settings applied;  // versions 0: the first pass sets the stream up
  bool streaming = false;
  std::string stream_error;
  int bytes = 3;
  int32_t block = 0;
  std::vector<std::vector<int32_t>> samples;  // per enabled channel, one block
  std::vector<uint8_t> raw;
  std::vector<vexdaq_cli::ChannelStats> stats;
  RollingView rolling;
  SweepView sweep;
  std::optional<size_t> trigger_index;
  uint32_t frames_per_column = 1;
  std::unique_ptr<Spectrum> spectrum;
  std::optional<size_t> spectrum_index;
  std::vector<int32_t> spectrum_samples;
  Clock::time_point next_spectrum{};
  int64_t frames = 0;      // since the stream started
  int64_t out_frames = 0;  // generated frames sent since the stream started
  Clock::time_point started{};
  std::unique_ptr<Recording> recording;
  std::string thread_classes = "not found";
};

Acquisition::Acquisition(DeviceCard card, ClientHub &hub, std::string record_directory,
                         int32_t in_rate, std::vector<int> channels)
    : card_(std::move(card)),
      hub_(hub),
      record_directory_(std::move(record_directory)),
      views_(std::make_unique<Views>()) {
  views_->applied.stream_version = 0;
  views_->applied.view_version = 0;
  settings_.channels = std::move(channels);
  settings_.in_rate = in_rate;
  int32_t out_rate = 0, current_in = 0;
  vexdaq_get_sample_rate(&out_rate, &current_in);
  settings_.out_rate = output_rate_for(in_rate, out_rate);
  settings_.gear.assign(static_cast<size_t>(card_.in_channels), -1);
  settings_.icp.assign(static_cast<size_t>(card_.in_channels), -1);
  for (int c = 0; c < card_.out_channels; ++c) {
    GeneratorSettings g;
    g.channel = c;
    settings_.generators.push_back(g);
  }
}

int32_t Acquisition::output_rate_for(int32_t in_rate, int32_t current) const {
  // The outputs follow the input rate where the device lists it for them too, so that the
  // generated and the measured signals share one time base (and a loopback keeps its pace).
  const auto &rates = card_.out_rates;
  return std::find(rates.begin(), rates.end(), in_rate) != rates.end() ? in_rate : current;
}

Acquisition::~Acquisition() {
  stop();
}

void Acquisition::start() {
  thread_ = std::thread([this] { run(); });
}

void Acquisition::stop() {
  exit_ = true;
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

DeviceFacts Acquisition::facts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceFacts f;
  f.in_channels = card_.in_channels;
  f.out_channels = card_.out_channels;
  f.in_bits = card_.in_bits;
  f.out_bits = card_.out_bits;
  f.in_rates = card_.in_rates;
  f.out_rates = card_.out_rates;
  f.enabled_inputs = static_cast<int>(settings_.channels.size());
  f.in_rate = settings_.in_rate;
  return f;
}

std::string Acquisition::settings_json() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Settings &s = settings_;
  json generators = json::array();
  static const char *waves[] = {"off", "sine", "square", "dc", "counter"};
  for (const auto &g : s.generators) {
    generators.push_back({{"channel", g.channel},
                          {"waveform", waves[static_cast<int>(g.waveform)]},
                          {"frequency", g.frequency},
                          {"amplitude", g.amplitude}});
  }
  static const char *sweeps[] = {"auto", "normal", "single"};
  static const char *windows[] = {"rectangular", "hann", "blackman-harris"};
  return json{{"channels", s.channels},
              {"rate", s.in_rate},
              {"out_rate", s.out_rate},
              {"gear", s.gear},
              {"icp", s.icp},
              {"generators", generators},
              {"recording", recording_},
              {"recorded_frames", recorded_frames_.load()},
              {"scope",
               {{"mode", s.scope.triggered ? "triggered" : "rolling"},
                {"timebase_s", s.scope.timebase_s},
                {"columns", s.scope.columns},
                {"paused", s.scope.paused},
                {"trigger_channel", s.scope.trigger_channel},
                {"level", s.scope.level},
                {"edge", s.scope.rising ? "rising" : "falling"},
                {"pre_trigger", s.scope.pre_share},
                {"sweep", sweeps[static_cast<int>(s.scope.sweep)]}}},
              {"spectrum",
               {{"channel", s.spectrum.channel},
                {"size", s.spectrum.size},
                {"window", windows[static_cast<int>(s.spectrum.window)]},
                {"averages", s.spectrum.averages}}}}
      .dump();
}

void Acquisition::set_channels(const std::vector<int> &channels) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) throw ControlError("stop the recording before changing channels");
    if (settings_.scope.triggered &&
        settings_.scope.timebase_s * settings_.in_rate * std::max<size_t>(1, channels.size()) >
            static_cast<double>(kMaxSweepSamples))
      throw ControlError("too many channels for the triggered sweep's time base");
    settings_.channels = channels;
    ++settings_.stream_version;
  }
  changed_.notify_all();
}

void Acquisition::set_rate(int32_t rate) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) throw ControlError("stop the recording before changing the rate");
    if (settings_.scope.triggered &&
        settings_.scope.timebase_s * rate * std::max<size_t>(1, settings_.channels.size()) >
            static_cast<double>(kMaxSweepSamples))
      throw ControlError("the triggered sweep's time base is too long for that rate");
    settings_.in_rate = rate;
    settings_.out_rate = output_rate_for(rate, settings_.out_rate);
    ++settings_.stream_version;
  }
  changed_.notify_all();
}

void Acquisition::set_gear(int channel, int gear) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_) throw ControlError("stop the recording before changing the input range");
  // Asynchronous in the library: queued to its core thread, no stream restart needed.
  if (vexdaq_set_input_gear(uint64_t{1} << channel, gear >= 8, static_cast<uint8_t>(gear)) < 0)
    throw ControlError("the library refused the input range");
  settings_.gear[static_cast<size_t>(channel)] = gear;
}

void Acquisition::set_icp(int channel, int icp) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_) throw ControlError("stop the recording before changing ICP");
  if (vexdaq_set_input_icp(uint64_t{1} << channel, static_cast<uint8_t>(icp)) < 0)
    throw ControlError("the library refused ICP");
  settings_.icp[static_cast<size_t>(channel)] = icp;
}

void Acquisition::set_scope(const ScopeSettings &scope) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.scope = scope;
    ++settings_.view_version;
  }
  changed_.notify_all();
}

void Acquisition::arm_sweep() {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.arm = true;
}

void Acquisition::set_spectrum(const SpectrumSettings &spectrum) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.spectrum = spectrum;
  ++settings_.view_version;
}

void Acquisition::set_generator(const GeneratorSettings &g) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) throw ControlError("stop the recording before changing the outputs");
    if (g.waveform != Waveform::kOff && g.frequency > settings_.out_rate / 2.0 &&
        g.waveform != Waveform::kDc && g.waveform != Waveform::kCounter)
      throw ControlError("the frequency must lie below half the output rate (" +
                         std::to_string(settings_.out_rate / 2) + " Hz)");
    settings_.generators[static_cast<size_t>(g.channel)] = g;
    ++settings_.stream_version;
  }
  changed_.notify_all();
}

std::string Acquisition::start_recording(const std::string &name) {
  if (!vexdaq_cli::hdf5_available()) throw ControlError("this build writes no HDF5 (no libhdf5)");
  std::unique_lock<std::mutex> lock(mutex_);
  if (recording_) throw ControlError("a recording is running");
  if (settings_.channels.empty()) throw ControlError("enable a channel to record");
  const std::string path = (std::filesystem::path(record_directory_) / name).string();
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) throw ControlError("'" + name + "' exists already");
  vexdaq_cli::CaptureInfo info;
  info.channels = settings_.channels;
  info.bytes = card_.in_bits / 8;
  info.rate = settings_.in_rate;
  for (int c : settings_.channels) {
    info.gear.push_back(settings_.gear[static_cast<size_t>(c)]);
    info.icp.push_back(settings_.icp[static_cast<size_t>(c)]);
  }
  info.product = card_.product;
  info.device_version = card_.device_version;
  info.driver_version = card_.driver_version;
  info.library_version = card_.library_version;
  try {
    record_next_ = vexdaq_cli::open_hdf5_capture(path, info);
  } catch (const vexdaq_cli::CliError &e) {
    throw ControlError(std::string("cannot record: ") + e.what());
  }
  record_next_path_ = path;
  record_stop_ = false;
  record_done_.reset();
  recording_ = true;
  return path;
}

RecordResult Acquisition::stop_recording() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!recording_) throw ControlError("no recording is running");
  record_stop_ = true;
  changed_.notify_all();
  // The thread ends it at its next block, 20 ms away; 10 s covers a disk that stalls.
  if (!record_finished_.wait_for(lock, std::chrono::seconds(10),
                                 [this] { return record_done_.has_value(); }))
    throw ControlError("the recording has not finished yet; it will be completed");
  RecordResult result = *record_done_;
  record_done_.reset();
  return result;
}

void Acquisition::take_recording_requests(const Settings &) {
  Views &v = *views_;
  std::unique_lock<std::mutex> lock(mutex_);
  if (record_next_ && !v.recording && v.streaming) {
    auto r = std::make_unique<Recording>();
    r->writer = std::move(record_next_);
    r->path = record_next_path_;
    r->start_time = vexdaq_cli::utc_now_iso8601();
    for (int c : v.applied.channels) r->loss_at_start.push_back(read_channel_health(c).loss);
    v.recording = std::move(r);
  }
  const bool finish = record_stop_ || exit_;
  if (!finish || !(v.recording || record_next_)) return;
  RecordResult result;
  if (v.recording) {
    Recording &r = *v.recording;
    vexdaq_cli::RunSummary summary;
    summary.start_time = r.start_time;
    summary.interrupted = exit_ && !record_stop_;
    for (size_t i = 0; i < v.applied.channels.size(); ++i) {
      vexdaq_loss_counters now = read_channel_health(v.applied.channels[i]).loss;
      const vexdaq_loss_counters &then = r.loss_at_start[i];
      vexdaq_loss_counters run{now.moved - then.moved, now.overwritten - then.overwritten,
                               now.zero_filled - then.zero_filled, now.dropped - then.dropped,
                               now.transfer_failures - then.transfer_failures};
      result.lost += lost_of(run);
      summary.loss.push_back(run);
    }
    lock.unlock();
    r.writer->summarise(summary);
    try {
      r.writer->finish();
    } catch (const vexdaq_cli::CliError &) {
      result.lost = std::max<uint64_t>(result.lost, 1);
    }
    lock.lock();
    result.path = r.path;
    result.frames = r.frames;
    v.recording.reset();
  } else {
    // Asked to stop before its first block: the file holds no samples but is complete.
    record_next_->finish();
    record_next_.reset();
    result.path = record_next_path_;
  }
  recording_ = false;
  record_stop_ = false;
  record_done_ = result;
  record_finished_.notify_all();
}

bool Acquisition::restart_stream(const Settings &s) {
  Views &v = *views_;
  if (v.streaming) vexdaq_stop();
  v.streaming = false;
  v.stream_error.clear();
  v.applied = s;
  v.bytes = card_.in_bits / 8;
  v.block = std::max<int32_t>(1, s.in_rate / kBlocksPerSecond);
  const int32_t in_capacity =
      std::clamp<int64_t>(int64_t{s.in_rate} * kFifoSeconds, int64_t{v.block} * 8, 1 << 22);
  uint64_t out_mask = 0;
  for (const auto &g : s.generators)
    if (g.waveform != Waveform::kOff) out_mask |= uint64_t{1} << g.channel;
  const int32_t out_capacity = out_mask ? std::max<int32_t>(s.out_rate, 1024) : 0;
  auto fail = [&v](const char *what) {
    v.stream_error = std::string(what) + " failed; details are in the log";
    return false;
  };
  if (vexdaq_create_buffers(out_capacity, in_capacity) < 0) return fail("creating the buffers");
  if (vexdaq_set_output_channel(out_mask) < 0) return fail("selecting output channels");
  if (vexdaq_set_input_channel(vexdaq_cli::channel_mask(s.channels)) < 0)
    return fail("selecting input channels");
  if (vexdaq_set_sample_rate(s.out_rate, s.in_rate) < 0) return fail("setting the sample rate");
  v.samples.assign(s.channels.size(), std::vector<int32_t>(static_cast<size_t>(v.block)));
  v.raw.resize(static_cast<size_t>(v.block) * v.bytes);
  v.stats.assign(s.channels.size(), {});
  v.frames = 0;
  v.out_frames = 0;
  rebuild_views(s);
  if (s.channels.empty() && out_mask == 0) return true;
  // Outputs start with 100 ms queued, so they do not begin with zeros.
  if (out_mask) top_up_outputs(s, s.out_rate / 10);
  if (vexdaq_start() < 0) return fail("starting the stream");
  v.streaming = true;
  v.started = Clock::now();
  v.thread_classes = transfer_thread_classes();
  return true;
}

void Acquisition::rebuild_views(const Settings &s) {
  Views &v = *views_;
  v.applied.scope = s.scope;
  v.applied.spectrum = s.spectrum;
  v.applied.view_version = s.view_version;
  const double window = std::max(1.0, s.scope.timebase_s * s.in_rate);
  v.frames_per_column = static_cast<uint32_t>(std::max(1.0, std::ceil(window / s.scope.columns)));
  const uint32_t columns = static_cast<uint32_t>(
      std::min<double>(s.scope.columns, std::ceil(window / v.frames_per_column)));
  v.rolling.reset(s.channels.size(), columns, v.frames_per_column);
  v.trigger_index.reset();
  for (size_t i = 0; i < s.channels.size(); ++i)
    if (s.channels[i] == s.scope.trigger_channel) v.trigger_index = i;
  if (s.scope.triggered && v.trigger_index) {
    TriggerSettings t;
    t.channel = *v.trigger_index;
    t.level = s.scope.level;
    t.rising = s.scope.rising;
    t.pre_share = s.scope.pre_share;
    t.mode = s.scope.sweep;
    t.auto_after_frames = static_cast<uint64_t>(s.in_rate / 10);  // 100 ms without a trigger
    v.sweep.reset(s.channels.size(), columns, v.frames_per_column,
                  static_cast<size_t>(std::max(v.block, 1)), t);
  }
  v.spectrum.reset();
  v.spectrum_index.reset();
  v.spectrum_samples.clear();
  for (size_t i = 0; i < s.channels.size(); ++i)
    if (s.channels[i] == s.spectrum.channel) v.spectrum_index = i;
  if (v.spectrum_index) {
    v.spectrum = std::make_unique<Spectrum>(s.spectrum.size, s.spectrum.window, s.spectrum.averages,
                                            vexdaq_cli::full_scale(v.bytes));
  }
}

void Acquisition::top_up_outputs(const Settings &s, int64_t target_frames) {
  Views &v = *views_;
  const int bytes = card_.out_bits / 8;
  if (card_.out_channels <= 0 || bytes <= 0) return;
  const int32_t chunk_frames = std::max<int32_t>(1, s.out_rate / kBlocksPerSecond);
  std::vector<uint8_t> chunk(static_cast<size_t>(chunk_frames) * bytes * card_.out_channels);
  while (v.out_frames < target_frames) {
    const auto n =
        static_cast<int32_t>(std::min<int64_t>(chunk_frames, target_frames - v.out_frames));
    const size_t channel_bytes = static_cast<size_t>(n) * bytes;
    for (const auto &g : s.generators) {
      if (g.waveform == Waveform::kOff) continue;
      uint8_t *first = chunk.data() + static_cast<size_t>(g.channel) * channel_bytes;
      for (int32_t i = 0; i < n; ++i)
        vexdaq_cli::encode_sample(waveform_sample(g, v.out_frames + i, s.out_rate, bytes),
                                  first + static_cast<size_t>(i) * bytes, bytes);
    }
    // Not blocking: a full output FIFO waits for the next block, the input never waits for it.
    if (vexdaq_send_channel_blocks(chunk.data(), n * bytes, 0) != n * bytes) return;
    v.out_frames += n;
  }
}

void Acquisition::publish_scope(bool paused) {
  Views &v = *views_;
  const Settings &s = v.applied;
  std::optional<Columns> columns;
  if (s.scope.triggered) {
    if (!v.trigger_index) return;
    columns = v.sweep.take_sweep();
    if (!columns) return;
  } else {
    columns = v.rolling.snapshot();
  }
  ScopeFrameInfo info;
  info.triggered = s.scope.triggered;
  info.paused = paused;
  info.columns = columns->columns;
  info.rate = static_cast<uint32_t>(s.in_rate);
  info.sample_bits = static_cast<uint32_t>(card_.in_bits);
  info.samples_per_column = columns->samples_per_column;
  info.trigger_column = columns->trigger_column;
  info.first_frame = columns->first_frame;
  std::vector<uint8_t> ids(s.channels.begin(), s.channels.end());
  auto message = std::make_shared<Message>();
  message->bytes = encode_scope_frame(info, ids, columns->minima, columns->maxima);
  hub_.publish(MessageKind::kScope, std::move(message));
}

void Acquisition::publish_status(double seconds, uint64_t bytes) {
  Views &v = *views_;
  json channels = json::array();
  for (int c = 0; c < card_.in_channels; ++c) {
    const auto it = std::find(v.applied.channels.begin(), v.applied.channels.end(), c);
    const ChannelHealth h = read_channel_health(c);
    json entry{{"channel", c},
               {"enabled", it != v.applied.channels.end()},
               {"moved", h.loss.moved},
               {"overwritten", h.loss.overwritten},
               {"dropped", h.loss.dropped},
               {"transfer_failures", h.loss.transfer_failures}};
    if (it != v.applied.channels.end()) {
      const auto &st = v.stats[static_cast<size_t>(it - v.applied.channels.begin())];
      if (st.samples > 0) {
        entry["min"] = st.min;
        entry["max"] = st.max;
        entry["rms"] = st.rms();
      }
    }
    channels.push_back(entry);
  }
  for (auto &st : v.stats) st = {};
  json status{{"type", "status"},
              {"streaming", v.streaming},
              {"error", v.stream_error},
              {"rate", v.applied.in_rate},
              {"frames", v.frames},
              {"mbps", seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0},
              {"transfer_threads", v.thread_classes},
              {"skipped_frames", hub_.skipped()},
              {"sweep_armed", v.applied.scope.triggered && v.sweep.armed()},
              {"channels", channels}};
  if (card_.sim_id >= 0)
    status["device_dropped_frames"] = vexdaq_sim_counter(card_.sim_id, "rx_dropped_frames");
  if (v.recording) {
    status["recording"] = {{"path", v.recording->path}, {"frames", v.recording->frames}};
  }
  auto message = std::make_shared<Message>();
  message->binary = false;
  const std::string text = status.dump();
  message->bytes.assign(text.begin(), text.end());
  hub_.publish(MessageKind::kStatus, std::move(message));
}

void Acquisition::run() {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "vexdaq-panel");  // beside vexdaq-rx in top and perf
#endif
  Views &v = *views_;
  auto next_frame = Clock::now();
  auto next_status = Clock::now() + kStatusInterval;
  uint64_t status_bytes = 0;
  auto status_since = Clock::now();
  while (!exit_) {
    Settings s;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      s = settings_;
      settings_.arm = false;
    }
    take_recording_requests(s);
    if (s.stream_version != v.applied.stream_version) {
      if (!v.recording) restart_stream(s);
    } else if (s.view_version != v.applied.view_version) {
      rebuild_views(s);
    }
    if (s.arm && v.applied.scope.triggered) v.sweep.arm();

    if (!v.streaming || v.applied.channels.empty()) {
      // Nothing to read: outputs alone are paced by the clock, the rest waits for a change.
      if (v.streaming) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - v.started).count();
        top_up_outputs(v.applied, static_cast<int64_t>((elapsed + 0.1) * v.applied.out_rate));
      }
      publish_status(0, 0);
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(v.streaming ? 20 : 250), [&] {
        return exit_ || settings_.stream_version != s.stream_version ||
               settings_.view_version != s.view_version || record_stop_ ||
               (record_next_ && !v.recording);
      });
      continue;
    }

    const size_t n = static_cast<size_t>(v.block);
    const int bytes = v.bytes;
    bool failed = false;
    for (size_t i = 0; i < v.applied.channels.size(); ++i) {
      const int32_t got =
          vexdaq_recv_data(v.applied.channels[i], v.raw.data(), static_cast<int32_t>(n) * bytes, 1);
      if (got != static_cast<int32_t>(n) * bytes) {
        failed = true;
        break;
      }
      int32_t *out = v.samples[i].data();
      auto &st = v.stats[i];
      for (size_t k = 0; k < n; ++k) {
        out[k] = vexdaq_cli::decode_sample(v.raw.data() + k * bytes, bytes);
        st.add(out[k]);
      }
    }
    if (failed) {
      vexdaq_stop();
      v.streaming = false;
      v.stream_error =
          "the stream stopped (the instrument failed or is gone); details are in the log";
      continue;
    }
    const SampleBlock block{&v.samples, n};
    if (v.recording) {
      Recording &r = *v.recording;
      const size_t width = v.applied.channels.size();
      r.interleaved.resize(n * width * bytes);
      for (size_t c = 0; c < width; ++c)
        for (size_t k = 0; k < n; ++k)
          vexdaq_cli::encode_sample(v.samples[c][k], r.interleaved.data() + (k * width + c) * bytes,
                                    bytes);
      try {
        r.writer->write(r.interleaved.data(), static_cast<int64_t>(n));
        r.frames += static_cast<int64_t>(n);
        recorded_frames_.store(r.frames);
      } catch (const vexdaq_cli::CliError &e) {
        v.stream_error = std::string("the recording failed: ") + e.what();
        std::lock_guard<std::mutex> lock(mutex_);
        record_stop_ = true;
      }
    }
    v.frames += static_cast<int64_t>(n);
    status_bytes += n * bytes * v.applied.channels.size();
    if (!v.applied.scope.paused) {
      if (v.applied.scope.triggered) {
        if (v.trigger_index) v.sweep.add(block);
      } else {
        v.rolling.add(block);
      }
    }
    if (v.spectrum && !v.applied.scope.paused) {
      const auto now = Clock::now();
      if (v.spectrum_samples.size() < v.spectrum->size() && now >= v.next_spectrum) {
        const auto &src = v.samples[*v.spectrum_index];
        const size_t take = std::min(n, v.spectrum->size() - v.spectrum_samples.size());
        v.spectrum_samples.insert(v.spectrum_samples.end(), src.begin(), src.begin() + take);
      }
      if (v.spectrum_samples.size() == v.spectrum->size()) {
        const auto &levels = v.spectrum->add(v.spectrum_samples.data());
        auto message = std::make_shared<Message>();
        message->bytes = encode_spectrum_frame(static_cast<uint16_t>(v.applied.spectrum.channel),
                                               static_cast<uint16_t>(v.spectrum->window()),
                                               static_cast<uint32_t>(v.applied.in_rate),
                                               v.spectrum->averaged(), levels);
        hub_.publish(MessageKind::kSpectrum, std::move(message));
        v.spectrum_samples.clear();
        v.next_spectrum = now + kSpectrumInterval;
      }
    }
    if (v.out_frames > 0 ||
        std::any_of(v.applied.generators.begin(), v.applied.generators.end(),
                    [](const auto &g) { return g.waveform != Waveform::kOff; })) {
      const double seconds = static_cast<double>(v.frames) / v.applied.in_rate + 0.1;
      top_up_outputs(v.applied, static_cast<int64_t>(seconds * v.applied.out_rate));
    }
    const auto now = Clock::now();
    if (now >= next_frame) {
      if (!v.applied.scope.paused) publish_scope(false);
      // Normal and auto sweeps look for their next trigger once one is shown; single waits.
      if (v.applied.scope.triggered && !v.sweep.armed() &&
          v.applied.scope.sweep != SweepMode::kSingle)
        v.sweep.arm();
      next_frame = std::max(now, next_frame + kFrameInterval);
    }
    if (now >= next_status) {
      publish_status(std::chrono::duration<double>(now - status_since).count(), status_bytes);
      status_bytes = 0;
      status_since = now;
      next_status = now + kStatusInterval;
    }
  }
  take_recording_requests(v.applied);
  if (v.streaming) vexdaq_stop();
  v.streaming = false;
}

}  // namespace vexdaq_panel
