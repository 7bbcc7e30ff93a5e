// Writing a capture: interleaved frames of the selected channels to CSV, WAV, raw binary or HDF5,
// with running statistics per channel.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/scaling.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq_cli {

enum class CaptureFormat { kCsv, kWav, kRaw, kHdf5 };

// "csv", "wav", "raw", "h5" (or "hdf5"); or, when empty, guessed from the file name (CSV for
// stdout).
CaptureFormat capture_format(const std::string &name, const std::string &path);

struct ChannelStats {
  int64_t samples = 0;
  int32_t min = 0;
  int32_t max = 0;
  double sum = 0;
  double sum_squares = 0;
  void add(int32_t value);
  double rms() const;
};

// What a capture file records beside the samples (HDF5 keeps it; the other formats keep what
// they can: WAV the rate and width).
struct CaptureInfo {
  std::vector<int> channels;
  int bytes = 0;          // bytes per sample: 2, 3 or 4
  int32_t rate = 0;       // Hz
  std::vector<int> gear;  // per channel; -1 when not set
  std::vector<int> icp;   // per channel; -1 when not set
  std::string product;
  std::string device_version;
  std::string driver_version;
  std::string serial;  // empty: the library cannot read it back
  std::string library_version;
  bool time_column = false;  // CSV: a first column "time_s", seconds from the start
  bool csv_header = false;   // CSV: "# key: value" lines before the column names
  // Per channel; empty: counts. CSV then holds values in the units, HDF5 and the raw sidecar
  // record the factors.
  std::vector<ChannelScale> scales;
  std::string start_time;       // UTC, ISO 8601, when the stream was about to start
  int64_t expected_frames = 0;  // 0: unknown; WAV on a pipe sizes its header by it
  // The time_s of the k-th frame written, when the stream's fit gives it; else k / rate.
  std::function<double(int64_t)> frame_seconds;
};

// How the run went, known once it has ended.
struct RunSummary {
  std::string start_time;                  // UTC, ISO 8601
  std::vector<vexdaq_loss_counters> loss;  // per channel, this run only
  bool interrupted = false;
  // From the library's fit of the input stream (vexdaq_get_stream_timing and _gaps).
  std::string first_frame_time;         // UTC, ISO 8601; empty: unknown
  double drift_ppm = 0;                 // the device clock against the host's
  int32_t bus_frame_number = -1;        // at the start; -1: unknown
  std::vector<vexdaq_stream_gap> gaps;  // the newest 64 of the run
  uint64_t gap_frames = 0;              // frames missing in all the run's gaps
};

class CaptureWriter {
 public:
  virtual ~CaptureWriter() = default;
  // frames: count frames of channels.size() samples, each `bytes` bytes, little-endian, in
  // channel order. Throws CliError when the file cannot be written.
  virtual void write(const uint8_t *frames, int64_t count) = 0;
  // Records how the run went; before finish(). Formats without a place for it ignore it.
  virtual void summarise(const RunSummary &) {}
  // Completes the file (headers, flush). Called once; the destructor does it otherwise.
  virtual void finish() = 0;
};

// path "-" writes to standard output (not HDF5). Throws CliError when the file cannot be
// created, or HDF5 was asked for in a build without it.
std::unique_ptr<CaptureWriter> open_capture(CaptureFormat format, const std::string &path,
                                            const CaptureInfo &info);

// Throws CliError(kExitUsage) when this build cannot write the format to that path (HDF5 without
// libhdf5, or to standard output): checked before the instrument is opened.
void check_capture_possible(CaptureFormat format, const std::string &path);

// Whether this build writes HDF5 (it was built with libhdf5).
bool hdf5_available();

// The HDF5 writer (hdf5_capture.cpp, or a stand-in that refuses when the build has no libhdf5).
std::unique_ptr<CaptureWriter> open_hdf5_capture(const std::string &path, const CaptureInfo &info);

}  // namespace vexdaq_cli
