#include "cli/capture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <utility>

#include "cli/channels.h"
#include "cli/cli_error.h"

namespace vexdaq_cli {

CaptureFormat capture_format(const std::string &name, const std::string &path) {
  std::string f = name;
  if (f.empty()) {
    const auto dot = path.rfind('.');
    const auto slash = path.find_last_of("/\\");
    const bool has_extension =
        path != "-" && dot != std::string::npos && (slash == std::string::npos || dot > slash);
    f = has_extension ? path.substr(dot + 1) : "csv";
    for (char &c : f) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (f == "bin") f = "raw";
    if (f == "hdf5") f = "h5";
    if (f != "csv" && f != "wav" && f != "raw" && f != "h5") {
      throw CliError(kExitUsage, "cannot tell the format of '" + path +
                                     "' from its extension (.csv, .wav, .raw/.bin, .h5/.hdf5); "
                                     "give --format");
    }
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
  sum += value;
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

// "# key: value" lines that describe a CSV capture, before its column names.
std::string csv_description(const CaptureInfo &info) {
  std::string text = "# vexdaq capture\n# rate_hz: " + std::to_string(info.rate) + "\n";
  if (!info.start_time.empty()) text += "# start_time: " + info.start_time + "\n";
  text += "# sample_bits: " + std::to_string(8 * info.bytes) + "\n";
  const auto scales = info.scales.empty() ? unit_scales(info.channels.size()) : info.scales;
  std::string units, factors, offsets;
  for (size_t i = 0; i < scales.size(); ++i) {
    const char *separator = i ? "," : "";
    char number[32];
    units += separator + scales[i].unit;
    std::snprintf(number, sizeof number, "%s%.9g", separator, scales[i].scale);
    factors += number;
    std::snprintf(number, sizeof number, "%s%.9g", separator, scales[i].offset);
    offsets += number;
  }
  text += "# units: " + units + "\n# scale: " + factors + "\n# offset: " + offsets + "\n";
  text += info.scales.empty() ? "# values: counts\n" : "# values: counts * scale + offset\n";
  return text;
}

class CsvCapture : public FileCapture {
 public:
  explicit CsvCapture(const std::string &path, const CaptureInfo &info)
      : FileCapture(path, "wb"),
        channels_(info.channels.size()),
        bytes_(info.bytes),
        rate_(info.time_column ? info.rate : 0),
        scales_(info.scales),
        frame_seconds_(info.frame_seconds) {
    std::string header = info.csv_header ? csv_description(info) : "";
    if (rate_ > 0) header += "time_s,";
    for (size_t i = 0; i < channels_; ++i) {
      header += (i ? ",ch" : "ch") + std::to_string(info.channels[i]);
      if (!scales_.empty()) header += " (" + scales_[i].unit + ")";
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
        if (scales_.empty()) {
          text += std::to_string(decode_sample(p, bytes_));
        } else {
          // Nine significant digits keep every count of a 24-bit sample apart.
          char value[32];
          std::snprintf(value, sizeof value, "%.9g", scales_[c].apply(decode_sample(p, bytes_)));
          text += value;
        }
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
  std::vector<ChannelScale> scales_;
  std::function<double(int64_t)> frame_seconds_;
  int64_t frame_ = 0;
};

// Raw: the sample bytes interleaved, and beside them (FILE.json) what a reader needs to know of
// them, written at the end when the frame count is known.
class RawCapture : public FileCapture {
 public:
  RawCapture(const std::string &path, const CaptureInfo &info)
      : FileCapture(path, "wb"),
        path_(path),
        info_(info),
        frame_bytes_(info.channels.size() * static_cast<size_t>(info.bytes)) {}
  void write(const uint8_t *frames, int64_t count) override {
    put(frames, static_cast<size_t>(count) * frame_bytes_);
    frames_ += count;
  }
  void summarise(const RunSummary &run) override {
    if (!run.start_time.empty()) info_.start_time = run.start_time;
  }
  void finish() override {
    close();
    if (path_ == "-" || finished_) return;
    finished_ = true;
    const auto scales = info_.scales.empty() ? unit_scales(info_.channels.size()) : info_.scales;
    nlohmann::json scale = nlohmann::json::array(), offset = nlohmann::json::array(),
                   unit = nlohmann::json::array();
    for (const auto &s : scales) {
      scale.push_back(s.scale);
      offset.push_back(s.offset);
      unit.push_back(s.unit);
    }
    const nlohmann::json description = {
        {"format", "vexdaq raw capture"},
        {"layout", "frames one after the other, in each one sample per channel in channel order"},
        {"byte_order", "little"},
        {"sample_bytes", info_.bytes},
        {"sample_bits", 8 * info_.bytes},
        {"signed", true},
        {"rate_hz", info_.rate},
        {"channels", info_.channels},
        {"frames", frames_},
        {"start_time", info_.start_time},
        {"units", unit},
        {"scale", scale},
        {"offset", offset},
        {"values", "counts * scale + offset"}};
    std::ofstream out(path_ + ".json");
    out << description.dump(2) << '\n';
    if (!out) throw CliError(kExitFailure, "cannot write '" + path_ + ".json'");
  }

 private:
  std::string path_;
  CaptureInfo info_;
  size_t frame_bytes_;
  int64_t frames_ = 0;
  bool finished_ = false;
};

// WAV: a canonical PCM header and the frames as they come, since WAV's PCM samples are signed
// little-endian of the instrument's own width (24-bit stays three bytes). The sizes in the header
// are filled in at the end. A stream that cannot seek (standard output) gets them up front: the
// frames expected, or the most a RIFF file holds when that is not known (as sox does), since
// readers refuse the 0xFFFFFFFF that some writers leave there.
class WavCapture : public FileCapture {
 public:
  WavCapture(const std::string &path, size_t channels, int bytes, int32_t rate,
             int64_t expected_frames)
      : FileCapture(path, "wb"), frame_bytes_(channels * static_cast<size_t>(bytes)) {
    // The largest data chunk of whole frames that keeps the RIFF size within 32 bits.
    const uint64_t most = (kUnknownSize - (kHeaderBytes - 8)) / frame_bytes_ * frame_bytes_;
    const uint64_t expected = static_cast<uint64_t>(std::max<int64_t>(expected_frames, 0));
    const uint64_t data_size =
        expected > 0 && expected <= most / frame_bytes_ ? expected * frame_bytes_ : most;
    uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, "RIFF", 4);
    store32(header + 4, static_cast<uint32_t>(data_size + kHeaderBytes - 8));
    std::memcpy(header + 8, "WAVEfmt ", 8);
    store32(header + 16, 16);  // format chunk size
    store16(header + 20, 1);   // PCM
    store16(header + 22, static_cast<uint16_t>(channels));
    store32(header + 24, static_cast<uint32_t>(rate));
    store32(header + 28, static_cast<uint32_t>(rate) * static_cast<uint32_t>(frame_bytes_));
    store16(header + 32, static_cast<uint16_t>(frame_bytes_));
    store16(header + 34, static_cast<uint16_t>(8 * bytes));
    std::memcpy(header + 36, "data", 4);
    store32(header + 40, static_cast<uint32_t>(data_size));
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
    // RIFF sizes are 32-bit: a longer capture keeps the largest sizes.
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
      return std::make_unique<WavCapture>(path, info.channels.size(), info.bytes, info.rate,
                                          info.expected_frames);
    case CaptureFormat::kRaw:
      return std::make_unique<RawCapture>(path, info);
    case CaptureFormat::kHdf5:
      check_capture_possible(format, path);
      return open_hdf5_capture(path, info);
    case CaptureFormat::kCsv:
    default:
      return std::make_unique<CsvCapture>(path, info);
  }
}

}  // namespace vexdaq_cli
