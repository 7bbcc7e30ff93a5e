#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/plot_data.h"

namespace vexdaq_cli {

namespace {

constexpr const char *kTimeColumn = "time_s";  // 'vexdaq acquire --time' writes it first

std::string lower_extension(const std::string &path) {
  const auto dot = path.rfind('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
  for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// "ch3 (V)" -> number 3, unit "V"; "ch3" -> 3, "counts"; anything else keeps its name.
PlotChannel column_named(const std::string &text) {
  PlotChannel channel;
  std::string name = text;
  const auto open = text.find(" (");
  if (open != std::string::npos && text.back() == ')') {
    name = text.substr(0, open);
    channel.unit = text.substr(open + 2, text.size() - open - 3);
  }
  channel.name = name;
  if (channel.unit.empty()) channel.unit = "counts";
  if (name.size() > 2 && name.size() <= 4 && name.compare(0, 2, "ch") == 0 &&
      std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    channel.number = std::stoi(name.substr(2));
  }
  return channel;
}

void too_large(const std::string &path) {
  throw CliError(kExitUsage, "'" + path + "' holds more than " +
                                 std::to_string(kMaxPlotValues >> 20) +
                                 " Mi samples: plot fewer channels (-c) or a shorter capture");
}

}  // namespace

PlotData read_plot_data(const std::string &path) {
  const std::string extension = lower_extension(path);
  if (extension == "wav") return read_wav_plot_data(path);
  if (extension == "h5" || extension == "hdf5") return read_hdf5_plot_data(path);
  return read_csv_plot_data(path);
}

PlotData read_csv_plot_data(const std::string &path) {
  std::ifstream in(path);
  if (!in) throw CliError(kExitUsage, "cannot open '" + path + "'");
  PlotData data;
  data.source = path;
  std::string line;
  size_t row = 0;
  // "# key: value" lines of 'acquire --csv-header' come first.
  while (std::getline(in, line)) {
    ++row;
    if (line.empty() || line[0] != '#') break;
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(2, colon - 2), value = line.substr(colon + 2);
    if (key == "rate_hz") data.rate = std::atoi(value.c_str());
    if (key == "start_time") data.start_time = value;
    if (key == "sample_bits") data.sample_bits = std::atoi(value.c_str());
  }
  if (line.empty() || line[0] == '#') throw CliError(kExitUsage, "'" + path + "' has no columns");
  std::stringstream header(line);
  bool time_first = false;
  for (std::string name; std::getline(header, name, ',');) {
    if (name == kTimeColumn && data.channels.empty() && !time_first) {
      time_first = true;
      continue;
    }
    data.channels.push_back(column_named(name));
  }
  if (data.channels.empty()) throw CliError(kExitUsage, "'" + path + "' has no sample columns");
  size_t values = 0;
  while (std::getline(in, line)) {
    ++row;
    if (line.empty()) continue;
    std::stringstream cells(line);
    size_t c = 0;
    for (std::string cell; std::getline(cells, cell, ','); ++c) {
      char *end = nullptr;
      const double v = std::strtod(cell.c_str(), &end);
      if (end == cell.c_str() || *end != '\0') {
        throw CliError(kExitUsage,
                       path + ":" + std::to_string(row) + ": not a number: '" + cell + "'");
      }
      if (time_first && c == 0) {
        data.seconds.push_back(v);
      } else if (c - (time_first ? 1 : 0) < data.channels.size()) {
        data.channels[c - (time_first ? 1 : 0)].values.push_back(static_cast<float>(v));
      }
    }
    if (++values * data.channels.size() > kMaxPlotValues) too_large(path);
  }
  const size_t frames = data.channels.front().values.size();
  for (const auto &channel : data.channels) {
    if (channel.values.size() != frames) {
      throw CliError(kExitUsage, "'" + path + "': the rows do not all have every column");
    }
  }
  return data;
}

// The PCM WAV files of 'acquire -f wav', and any other PCM WAV of 16, 24 or 32 bits.
PlotData read_wav_plot_data(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CliError(kExitUsage, "cannot open '" + path + "'");
  auto u32 = [](const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
  };
  auto u16 = [](const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); };
  uint8_t riff[12];
  if (!in.read(reinterpret_cast<char *>(riff), 12) || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    throw CliError(kExitUsage, "'" + path + "' is not a WAV file");
  }
  PlotData data;
  data.source = path;
  int channels = 0, bytes = 0;
  for (;;) {
    uint8_t chunk[8];
    if (!in.read(reinterpret_cast<char *>(chunk), 8)) {
      throw CliError(kExitUsage, "'" + path + "' has no data chunk");
    }
    const uint32_t size = u32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || size > 64) throw CliError(kExitUsage, "'" + path + "': bad format chunk");
      uint8_t format[64];
      if (!in.read(reinterpret_cast<char *>(format), size)) {
        throw CliError(kExitUsage, "'" + path + "': cut short");
      }
      const uint16_t tag = u16(format);
      channels = u16(format + 2);
      data.rate = static_cast<int32_t>(std::min<uint32_t>(u32(format + 4), INT32_MAX));
      const int bits = u16(format + 14);
      if ((tag != 1 && tag != 0xFFFE) || (bits != 16 && bits != 24 && bits != 32) || channels < 1 ||
          channels > 64) {
        throw CliError(kExitUsage, "'" + path +
                                       "': only PCM of 16, 24 or 32 bits and 1 to 64 channels "
                                       "is plotted");
      }
      bytes = bits / 8;
      data.sample_bits = bits;
      if (size % 2) in.ignore(1);
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      break;
    } else {
      in.ignore(static_cast<std::streamsize>(size) + (size % 2));
    }
  }
  if (channels == 0) throw CliError(kExitUsage, "'" + path + "': the data comes before its format");
  for (int c = 0; c < channels; ++c) {
    PlotChannel channel;
    channel.number = c;
    channel.name = "ch" + std::to_string(c);
    channel.unit = "counts";
    data.channels.push_back(std::move(channel));
  }
  // The data runs to the end of the file: a capture written to a pipe may declare more.
  std::vector<uint8_t> frame(static_cast<size_t>(channels * bytes));
  size_t frames = 0;
  while (
      in.read(reinterpret_cast<char *>(frame.data()), static_cast<std::streamsize>(frame.size()))) {
    if (++frames * static_cast<size_t>(channels) > kMaxPlotValues) too_large(path);
    for (int c = 0; c < channels; ++c) {
      data.channels[static_cast<size_t>(c)].values.push_back(
          static_cast<float>(decode_sample(frame.data() + c * bytes, bytes)));
    }
  }
  return data;
}

void select_channels(PlotData &data, const std::vector<int> &wanted) {
  std::vector<PlotChannel> kept;
  for (auto &channel : data.channels) {
    if (std::find(wanted.begin(), wanted.end(), channel.number) != wanted.end()) {
      kept.push_back(std::move(channel));
    }
  }
  if (kept.empty()) throw CliError(kExitUsage, "none of the channels asked for is in the capture");
  data.channels = std::move(kept);
}

void apply_scales(PlotData &data, const ScaleDescription &description) {
  if (data.sample_bits != 16 && data.sample_bits != 24 && data.sample_bits != 32) {
    throw CliError(kExitUsage, "'" + data.source +
                                   "' does not say how wide its samples are (record a CSV with "
                                   "--csv-header, or use WAV or HDF5)");
  }
  std::vector<int> numbers;
  for (const auto &channel : data.channels) {
    if (channel.unit != "counts") {
      throw CliError(kExitUsage, "'" + data.source + "' is in units already (" + channel.unit +
                                     "): --scale applies to counts");
    }
    numbers.push_back(channel.number);
  }
  const auto scales = channel_scales(description, numbers, -1, data.sample_bits);
  for (size_t i = 0; i < data.channels.size(); ++i) {
    for (float &v : data.channels[i].values) v = static_cast<float>(scales[i].apply(v));
    data.channels[i].unit = scales[i].unit;
  }
}

}  // namespace vexdaq_cli
