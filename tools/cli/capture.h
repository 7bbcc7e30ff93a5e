// Writing a capture: interleaved frames of the selected channels to CSV, WAV or raw binary, with
// running statistics per channel.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vexdaq_cli {

enum class CaptureFormat { kCsv, kWav, kRaw };

// "csv", "wav", "raw"; or, when empty, guessed from the file name (CSV for stdout).
CaptureFormat capture_format(const std::string &name, const std::string &path);

struct ChannelStats {
  int64_t samples = 0;
  int32_t min = 0;
  int32_t max = 0;
  double sum_squares = 0;
  void add(int32_t value);
  double rms() const;
};

class CaptureWriter {
 public:
  virtual ~CaptureWriter() = default;
  // frames: count frames of channels.size() samples, each `bytes` bytes, little-endian, in
  // channel order. Throws CliError when the file cannot be written.
  virtual void write(const uint8_t *frames, int64_t count) = 0;
  // Completes the file (headers, flush). Called once; the destructor does it otherwise.
  virtual void finish() = 0;
};

// path "-" writes to standard output. rate is the sample rate in Hz.
std::unique_ptr<CaptureWriter> open_capture(CaptureFormat format, const std::string &path,
                                            const std::vector<int> &channels, int bytes,
                                            int32_t rate);

}  // namespace vexdaq_cli
