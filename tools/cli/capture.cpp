#include "cli/capture.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "cli/channels.h"
#include "cli/cli_error.h"

namespace vexdaq_cli {

CaptureFormat capture_format(const std::string &name, const std::string &path) {
  std::string f = name;
  if (f.empty()) {
    const auto dot = path.rfind('.');
    f = dot == std::string::npos ? "csv" : path.substr(dot + 1);
    if (f == "bin") f = "raw";
    if (f == "hdf5") f = "h5";
    if (f != "wav" && f != "raw" && f != "h5") f = "csv";
  }
  if (f == "csv") return CaptureFormat::kCsv;
  if (f == "wav") return CaptureFormat::kWav;
  if (f == "raw") return CaptureFormat::kRaw;
  if (f == "h5" || f == "hdf5") return CaptureFormat::kHdf5;
  throw CliError(kExitUsage, "unknown format '" + name + "' (csv, wav, raw or h5)");
}

void check_capture_possible(CaptureFormat format, const std::string &path) {
  if (format != CaptureFormat::kHdf5) return;
  if (path == "-") throw CliError(kExitUsage, "an HDF5 capture needs a file name, not '-'");
  if (!hdf5_available()) {
    throw CliError(kExitUsage,
                   "HDF5 output is not available in this build of vexdaq (it was built without "
                   "libhdf5); use csv, wav or raw");
  }
}

void ChannelStats::add(int32_t value) {
  if (samples == 0 || value < min) min = value;
  if (samples == 0 || value > max) max = value;
  sum_squares += static_cast<double>(value) * value;
  ++samples;
}

double ChannelStats::rms() const {
  return samples == 0 ? 0.0 : std::sqrt(sum_squares / static_cast<double>(samples));
}

namespace {

class FileCapture : public CaptureWriter {
 public:
  FileCapture(const std::string &path, const char *mode) {
    if (path == "-") {
      file_ = stdout;
    } else {
      file_ = std::fopen(path.c_str(), mode);
      owned_ = true;
      if (file_ == nullptr) {
        throw CliError(kExitFailure, "cannot create '" + path + "': " + std::strerror(errno));
      }
    }
  }
  ~FileCapture() override { close(); }

 protected:
  void put(const void *data, size_t n) {
    if (std::fwrite(data, 1, n, file_) != n) {
      throw CliError(kExitFailure, std::string("write failed: ") + std::strerror(errno));
    }
  }
  bool is_open() const { return file_ != nullptr; }
  // Moves the write position; false for a stream that cannot seek.
  bool rewind_to(long offset) { return owned_ && std::fseek(file_, offset, SEEK_SET) == 0; }
  void close() {
    if (file_ == nullptr) return;
    std::fflush(file_);
    if (owned_) std::fclose(file_);
    file_ = nullptr;
  }

 private:
  std::FILE *file_ = nullptr;
  bool owned_ = false;
};

class CsvCapture : public FileCapture {
 public:
  CsvCapture(const std::string &path, const std::vector<int> &channels, int bytes, int32_t rate,
             bool time_column, std::function<double(int64_t)> frame_seconds)
      : FileCapture(path, "wb"),
        channels_(channels.size()),
        bytes_(bytes),
        rate_(time_column ? rate : 0),
        frame_seconds_(std::move(frame_seconds)) {
    std::string header = rate_ > 0 ? "time_s," : "";
    for (size_t i = 0; i < channels.size(); ++i) {
      header += (i ? ",ch" : "ch") + std::to_string(channels[i]);
    }
    header += '\n';
    put(header.data(), header.size());
  }
  void write(const uint8_t *frames, int64_t count) override {
    std::string text;
    const uint8_t *p = frames;
    for (int64_t f = 0; f < count; ++f) {
      if (rate_ > 0) {
        // Twelve significant digits tell frames 1/102400 s apart for the first eleven days.
        char time[32];
        const int64_t frame = frame_++;
        std::snprintf(time, sizeof time, "%.12g,",
                      frame_seconds_ ? frame_seconds_(frame) : static_cast<double>(frame) / rate_);
        text += time;
      }
      for (size_t c = 0; c < channels_; ++c, p += bytes_) {
        if (c) text += ',';
        text += std::to_string(decode_sample(p, bytes_));
      }
      text += '\n';
    }
    put(text.data(), text.size());
  }
  void finish() override { close(); }

 private:
  size_t channels_;
  int bytes_;
  int32_t rate_;  // 0: no time column
  std::function<double(int64_t)> frame_seconds_;
  int64_t frame_ = 0;
};

class RawCapture : public FileCapture {
 public:
  RawCapture(const std::string &path, size_t channels, int bytes)
      : FileCapture(path, "wb"), frame_bytes_(channels * static_cast<size_t>(bytes)) {}
  void write(const uint8_t *frames, int64_t count) override {
    put(frames, static_cast<size_t>(count) * frame_bytes_);
  }
  void finish() override { close(); }

 private:
  size_t frame_bytes_;
};

// WAV: a canonical PCM header and the frames as they come, since WAV's PCM samples are signed
// little-endian of the instrument's own width (24-bit stays three bytes). The sizes in the header
// are filled in at the end; a stream that cannot seek (standard output) keeps "unknown" there.
class WavCapture : public FileCapture {
 public:
  WavCapture(const std::string &path, size_t channels, int bytes, int32_t rate)
      : FileCapture(path, "wb"), frame_bytes_(channels * static_cast<size_t>(bytes)) {
    uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, "RIFF", 4);
    store32(header + 4, kUnknownSize);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    store32(header + 16, 16);  // format chunk size
    store16(header + 20, 1);   // PCM
    store16(header + 22, static_cast<uint16_t>(channels));
    store32(header + 24, static_cast<uint32_t>(rate));
    store32(header + 28, static_cast<uint32_t>(rate) * static_cast<uint32_t>(frame_bytes_));
    store16(header + 32, static_cast<uint16_t>(frame_bytes_));
    store16(header + 34, static_cast<uint16_t>(8 * bytes));
    std::memcpy(header + 36, "data", 4);
    store32(header + 40, kUnknownSize);
    put(header, sizeof header);
  }
  ~WavCapture() override {
    try {
      finish();
    } catch (const CliError &) {
      // The error was the caller's to see through finish(); a destructor must not throw.
    }
  }
  void write(const uint8_t *frames, int64_t count) override {
    const size_t n = static_cast<size_t>(count) * frame_bytes_;
    put(frames, n);
    data_bytes_ += n;
  }
  void finish() override {
    if (!is_open()) return;
    // RIFF sizes are 32-bit: a longer capture keeps the "unknown" sizes.
    if (data_bytes_ <= kUnknownSize - kHeaderBytes && rewind_to(4)) {
      uint8_t size[4];
      store32(size, static_cast<uint32_t>(data_bytes_ + kHeaderBytes - 8));
      put(size, 4);
      if (rewind_to(40)) {
        store32(size, static_cast<uint32_t>(data_bytes_));
        put(size, 4);
      }
    }
    close();
  }

 private:
  static constexpr size_t kHeaderBytes = 44;
  static constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
  static void store16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
  static void store32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }

  size_t frame_bytes_;
  uint64_t data_bytes_ = 0;
};

}  // namespace

std::unique_ptr<CaptureWriter> open_capture(CaptureFormat format, const std::string &path,
                                            const CaptureInfo &info) {
  switch (format) {
    case CaptureFormat::kWav:
      return std::make_unique<WavCapture>(path, info.channels.size(), info.bytes, info.rate);
    case CaptureFormat::kRaw:
      return std::make_unique<RawCapture>(path, info.channels.size(), info.bytes);
    case CaptureFormat::kHdf5:
      check_capture_possible(format, path);
      return open_hdf5_capture(path, info);
    case CaptureFormat::kCsv:
    default:
      return std::make_unique<CsvCapture>(path, info.channels, info.bytes, info.rate,
                                          info.time_column, info.frame_seconds);
  }
}

}  // namespace vexdaq_cli
