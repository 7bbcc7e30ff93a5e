// The panel's acquisition thread: it alone starts, reads and stops the stream, and everything
// the page sees is made from what it read (scope columns, spectra, statistics) or written
// (recordings, generated outputs). The page is a consumer: control requests change settings
// that the thread takes up between blocks, and publishing to clients never waits for them.
//
// Threads: the HTTP workers call the setters (any thread, any time); the acquisition thread runs
// from start() until stop(), which the panel command calls once at the end: it finishes a
// recording still open, stops the stream and joins the thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/controls.h"

namespace vexdaq_cli {
class CaptureWriter;
}

namespace vexdaq_panel {

class ClientHub;

struct DeviceCard {
  std::string product, device_version, driver_version, library_version, library_build;
  int in_channels = 0, out_channels = 0, in_bits = 0, out_bits = 0;
  std::vector<int32_t> in_rates, out_rates;
  std::string doctor;  // what `vexdaq doctor` would say now
  // A virtual instrument's id, -1 for hardware: the virtual one also tells the frames its FIFO
  // dropped, which a real device never reports.
  int32_t sim_id = -1;
};

struct RecordResult {
  std::string path;
  int64_t frames = 0;
  uint64_t lost = 0;  // overwritten, dropped or failed while it ran, all channels
};

class Acquisition {
 public:
  // record_directory: where recordings go. in_rate: the rate to start with.
  Acquisition(DeviceCard card, ClientHub &hub, std::string record_directory, int32_t in_rate,
              std::vector<int> channels);
  ~Acquisition();
  Acquisition(const Acquisition &) = delete;
  Acquisition &operator=(const Acquisition &) = delete;

  void start();
  void stop();

  const DeviceCard &card() const { return card_; }
  DeviceFacts facts() const;
  // JSON of the settings as they are now (for the page's first view).
  std::string settings_json() const;

  // Throw ControlError for a request that cannot be carried out now (a recording is running).
  void set_channels(const std::vector<int> &channels);
  void set_rate(int32_t rate);
  void set_gear(int channel, int gear);
  void set_icp(int channel, int icp);
  void set_scope(const ScopeSettings &settings);
  void arm_sweep();
  void set_spectrum(const SpectrumSettings &settings);
  void set_generator(const GeneratorSettings &settings);
  // Opens the file (throws ControlError when it cannot) and records every enabled channel from
  // the next block on. Returns the path.
  std::string start_recording(const std::string &name);
  // Ends the recording at a block boundary and completes the file; waits for that at most 10 s.
  RecordResult stop_recording();

 private:
  struct Settings {
    std::vector<int> channels;
    int32_t in_rate = 0;
    int32_t out_rate = 0;
    std::vector<int> gear, icp;
    std::vector<GeneratorSettings> generators;
    ScopeSettings scope;
    SpectrumSettings spectrum;
    uint64_t stream_version = 1;  // channels, rates or outputs changed: restart the stream
    uint64_t view_version = 1;    // scope or spectrum changed: rebuild the views
    bool arm = false;
  };
  struct Recording;

  int32_t output_rate_for(int32_t in_rate, int32_t current) const;
  void run();
  void publish_status(double seconds, uint64_t bytes);
  void publish_scope(bool paused);
  bool restart_stream(const Settings &s);
  void rebuild_views(const Settings &s);
  void top_up_outputs(const Settings &s, int64_t target_frames);
  void take_recording_requests(const Settings &s);

  DeviceCard card_;
  ClientHub &hub_;
  std::string record_directory_;

  mutable std::mutex mutex_;  // guards settings_, the recording hand-over and status_text_
  std::condition_variable changed_;
  Settings settings_;
  std::unique_ptr<vexdaq_cli::CaptureWriter> record_next_;
  std::string record_next_path_;
  bool record_stop_ = false;
  std::optional<RecordResult> record_done_;
  std::condition_variable record_finished_;
  bool recording_ = false;  // a recording is open or about to be
  // Frames the current (or last) recording holds: its file is compressed, so its size says
  // little. Written by the acquisition thread, read by the server's.
  std::atomic<int64_t> recorded_frames_{0};

  std::atomic<bool> exit_{false};
  std::thread thread_;

  // The acquisition thread's own state below.
  struct Views;
  std::unique_ptr<Views> views_;
};

}  // namespace vexdaq_panel
