#include "cli/capture.h"

#include <sndfile.h>

#include <cmath>
#include <cstring>

#include "cli/channels.h"
#include "cli/cli_error.h"

namespace vexdaq_cli {

CaptureFormat capture_format(const std::string &name, const std::string &path) {
  std::string f = name;
  if (f.empty()) {
    const auto dot = path.rfind('.');
    f = dot == std::string::npos ? "csv" : path.substr(dot + 1);
    if (f != "wav" && f != "raw" && f != "bin") f = "csv";
    if (f == "bin") f = "raw";
  }
  if (f == "csv") return CaptureFormat::kCsv;
  if (f == "wav") return CaptureFormat::kWav;
  if (f == "raw") return CaptureFormat::kRaw;
  throw CliError(kExitUsage, "unknown format '" + name + "' (csv, wav or raw)");
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
  CsvCapture(const std::string &path, const std::vector<int> &channels, int bytes)
      : FileCapture(path, "w"), channels_(channels.size()), bytes_(bytes) {
    std::string header;
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

// WAV through libsndfile: PCM of the instrument's own width, so 24-bit samples stay 24-bit.
class WavCapture : public CaptureWriter {
 public:
  WavCapture(const std::string &path, size_t channels, int bytes, int32_t rate)
      : channels_(channels), bytes_(bytes) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(channels);
    info.format = SF_FORMAT_WAV | (bytes == 2   ? SF_FORMAT_PCM_16
                                   : bytes == 3 ? SF_FORMAT_PCM_24
                                                : SF_FORMAT_PCM_32);
    file_ =
        path == "-" ? sf_open_fd(1, SFM_WRITE, &info, 0) : sf_open(path.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
      throw CliError(kExitFailure, "cannot create '" + path + "': " + sf_strerror(nullptr));
    }
  }
  ~WavCapture() override { finish(); }
  void write(const uint8_t *frames, int64_t count) override {
    // libsndfile's int samples are left-justified 32-bit values.
    buffer_.resize(static_cast<size_t>(count) * channels_);
    const uint8_t *p = frames;
    for (auto &v : buffer_) {
      v = static_cast<int>(static_cast<uint32_t>(decode_sample(p, bytes_)) << (32 - 8 * bytes_));
      p += bytes_;
    }
    if (sf_writef_int(file_, buffer_.data(), count) != count) {
      throw CliError(kExitFailure, std::string("write failed: ") + sf_strerror(file_));
    }
  }
  void finish() override {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
  }

 private:
  SNDFILE *file_ = nullptr;
  size_t channels_;
  int bytes_;
  std::vector<int> buffer_;
};

}  // namespace

std::unique_ptr<CaptureWriter> open_capture(CaptureFormat format, const std::string &path,
                                            const std::vector<int> &channels, int bytes,
                                            int32_t rate) {
  switch (format) {
    case CaptureFormat::kWav:
      return std::make_unique<WavCapture>(path, channels.size(), bytes, rate);
    case CaptureFormat::kRaw:
      return std::make_unique<RawCapture>(path, channels.size(), bytes);
    case CaptureFormat::kCsv:
    default:
      return std::make_unique<CsvCapture>(path, channels, bytes);
  }
}

}  // namespace vexdaq_cli
