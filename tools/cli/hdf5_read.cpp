// Reading an HDF5 capture of the tool (or of vexdaq.hdf5) for 'vexdaq plot': the "samples"
// dataset as floats, in units when its scale, offset and unit attributes say so.
#include <hdf5.h>

#include <vector>

#include "cli/cli_error.h"
#include "cli/plot_data.h"

namespace vexdaq_cli {

namespace {

// Closes an HDF5 identifier on every path out.
struct Handle {
  hid_t id;
  herr_t (*close)(hid_t);
  ~Handle() {
    if (id >= 0) close(id);
  }
};

bool has(hid_t object, const char *name) {
  return H5Aexists(object, name) > 0;
}

// A numeric attribute of up to `count` values, converted to doubles; empty when absent or bad.
std::vector<double> numbers(hid_t object, const char *name, size_t count) {
  if (!has(object, name)) return {};
  Handle attribute{H5Aopen(object, name, H5P_DEFAULT), H5Aclose};
  Handle space{H5Aget_space(attribute.id), H5Sclose};
  const hssize_t n = H5Sget_simple_extent_npoints(space.id);
  if (attribute.id < 0 || n < 1 || static_cast<size_t>(n) > count) return {};
  std::vector<double> values(static_cast<size_t>(n));
  if (H5Aread(attribute.id, H5T_NATIVE_DOUBLE, values.data()) < 0) return {};
  return values;
}

// Variable-length texts (one or an array), as the tool and h5py write them.
std::vector<std::string> texts(hid_t object, const char *name, size_t count) {
  if (!has(object, name)) return {};
  Handle attribute{H5Aopen(object, name, H5P_DEFAULT), H5Aclose};
  Handle type{H5Aget_type(attribute.id), H5Tclose};
  Handle space{H5Aget_space(attribute.id), H5Sclose};
  const hssize_t n = H5Sget_simple_extent_npoints(space.id);
  if (attribute.id < 0 || type.id < 0 || H5Tget_class(type.id) != H5T_STRING ||
      H5Tis_variable_str(type.id) <= 0 || n < 1 || static_cast<size_t>(n) > count) {
    return {};
  }
  Handle memory{H5Tcopy(H5T_C_S1), H5Tclose};
  H5Tset_size(memory.id, H5T_VARIABLE);
  H5Tset_cset(memory.id, H5Tget_cset(type.id));
  std::vector<char *> pointers(static_cast<size_t>(n), nullptr);
  if (H5Aread(attribute.id, memory.id, pointers.data()) < 0) return {};
  std::vector<std::string> values;
  for (char *p : pointers) values.emplace_back(p != nullptr ? p : "");
  H5Dvlen_reclaim(memory.id, space.id, H5P_DEFAULT, pointers.data());
  return values;
}

}  // namespace

PlotData read_hdf5_plot_data(const std::string &path) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  if (H5Fis_hdf5(path.c_str()) <= 0) {
    throw CliError(kExitUsage, "cannot open '" + path + "' as an HDF5 file");
  }
  Handle file{H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose};
  Handle data{file.id >= 0 ? H5Dopen2(file.id, "samples", H5P_DEFAULT) : -1, H5Dclose};
  if (data.id < 0) throw CliError(kExitUsage, "'" + path + "' has no 'samples' dataset");
  Handle space{H5Dget_space(data.id), H5Sclose};
  hsize_t dims[2] = {0, 0};
  if (H5Sget_simple_extent_ndims(space.id) != 2 ||
      H5Sget_simple_extent_dims(space.id, dims, nullptr) != 2 || dims[1] < 1 || dims[1] > 64) {
    throw CliError(kExitUsage, "'" + path + "': 'samples' is not (frames, channels)");
  }
  if (dims[0] * dims[1] > kMaxPlotValues) {
    throw CliError(kExitUsage, "'" + path + "' holds more than " +
                                   std::to_string(kMaxPlotValues >> 20) + " Mi samples");
  }
  const size_t frames = static_cast<size_t>(dims[0]), width = static_cast<size_t>(dims[1]);
  std::vector<float> values(frames * width);
  if (frames > 0 &&
      H5Dread(data.id, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) {
    throw CliError(kExitUsage, "'" + path + "': the samples cannot be read");
  }
  PlotData plot;
  plot.source = path;
  const auto rate = numbers(data.id, "rate", 1);
  if (!rate.empty() && rate[0] > 0 && rate[0] < 1e9) plot.rate = static_cast<int32_t>(rate[0]);
  const auto bits = numbers(data.id, "sample_bits", 1);
  if (!bits.empty()) plot.sample_bits = static_cast<int>(bits[0]);
  const auto start = texts(data.id, "start_time", 1);
  if (!start.empty()) plot.start_time = start[0];
  const auto channels = numbers(data.id, "channels", width);
  const auto scale = numbers(data.id, "scale", width);
  const auto offset = numbers(data.id, "offset", width);
  const auto unit = texts(data.id, "unit", width);
  const bool scaled = scale.size() == width && offset.size() == width && unit.size() == width;
  for (size_t c = 0; c < width; ++c) {
    PlotChannel channel;
    channel.number = channels.size() == width ? static_cast<int>(channels[c]) : static_cast<int>(c);
    channel.name = "ch" + std::to_string(channel.number);
    channel.unit = scaled ? unit[c] : "counts";
    channel.values.resize(frames);
    for (size_t f = 0; f < frames; ++f) {
      const float v = values[f * width + c];
      channel.values[f] = scaled ? static_cast<float>(v * scale[c] + offset[c]) : v;
    }
    plot.channels.push_back(std::move(channel));
  }
  return plot;
}

}  // namespace vexdaq_cli
