// What 'vexdaq plot' draws, read from a capture of the tool: CSV, WAV or HDF5.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/scaling.h"

namespace vexdaq_cli {

// The most samples (all channels together) a plot reads: 32 Mi values take 128 MiB.
constexpr size_t kMaxPlotValues = size_t{32} << 20;

struct PlotChannel {
  int number = -1;   // the instrument's channel, -1 when the file does not say
  std::string name;  // "ch3"
  std::string unit;  // "counts" while not scaled
  std::vector<float> values;
};

struct PlotData {
  std::string source;      // the file's name
  int32_t rate = 0;        // Hz, 0 when unknown
  std::string start_time;  // UTC, ISO 8601, "" when unknown
  int sample_bits = 0;     // of the counts, 0 when unknown
  std::vector<PlotChannel> channels;
  std::vector<double> seconds;  // a time_s column of CSV, else empty
  size_t frames() const { return channels.empty() ? 0 : channels.front().values.size(); }
};

// By the file's extension (.csv, .wav, .h5/.hdf5; anything else is read as CSV). Throws
// CliError: kExitUsage for a missing, unreadable, malformed or too large file.
PlotData read_plot_data(const std::string &path);

PlotData read_csv_plot_data(const std::string &path);
PlotData read_wav_plot_data(const std::string &path);
// hdf5_read.cpp, or a stand-in that refuses when the build has no libhdf5.
PlotData read_hdf5_plot_data(const std::string &path);

// Keeps the channels whose numbers are listed, in the file's order. Throws CliError(kExitUsage)
// when none of them is in the file.
void select_channels(PlotData &data, const std::vector<int> &wanted);

// Converts channels still in counts; throws CliError(kExitUsage) if some are in units already
// or the sample width is unknown.
void apply_scales(PlotData &data, const ScaleDescription &description);

// The SVG of the data: one column of panels sharing a time axis, with ticks, grid and units.
std::string render_svg(const PlotData &data, int width);

}  // namespace vexdaq_cli
