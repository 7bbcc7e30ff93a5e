// HDF5 captures: one dataset "samples" of shape (frames, channels) in the samples' integer type,
// grown chunk by chunk, with the run described in its attributes (the Python package's
// vexdaq.hdf5 reads and writes the same layout).
#include <hdf5.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "cli/capture.h"
#include "cli/channels.h"
#include "cli/cli_error.h"

namespace vexdaq_cli {

namespace {

// About 256 KiB of samples per chunk: big enough for fast appends, and the library's default
// 1 MiB chunk cache then bounds the memory of a recording of any length.
constexpr size_t kChunkBytes = 256 * 1024;
// A file that loses its last seconds to a crash still opens: metadata reaches the disk this often.
constexpr auto kFlushInterval = std::chrono::seconds(2);

// An HDF5 identifier closed on every path out.
class Id {
 public:
  Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~Id() {
    if (id_ >= 0) close_(id_);
  }
  Id(const Id &) = delete;
  Id &operator=(const Id &) = delete;
  Id &operator=(Id &&other) noexcept {
    close();
    id_ = other.id_;
    close_ = other.close_;
    other.id_ = -1;
    return *this;
  }
  hid_t get() const { return id_; }
  bool ok() const { return id_ >= 0; }
  void close() {
    if (id_ >= 0) close_(id_);
    id_ = -1;
  }

 private:
  hid_t id_;
  herr_t (*close_)(hid_t);
};

void need(bool ok, const std::string &what) {
  if (!ok) throw CliError(kExitFailure, "HDF5: " + what + " failed");
}

class Hdf5Capture : public CaptureWriter {
 public:
  Hdf5Capture(const std::string &path, const CaptureInfo &info)
      : width_(static_cast<hsize_t>(info.channels.size())),
        bytes_(info.bytes),
        file_(-1, H5Fclose),
        data_(-1, H5Dclose) {
    // The library's own error stack printing would interleave with ours: we report failures.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    file_ = Id(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
    if (!file_.ok()) throw CliError(kExitFailure, "cannot create '" + path + "'");
    const hsize_t dims[2] = {0, width_};
    const hsize_t max_dims[2] = {H5S_UNLIMITED, width_};
    Id space(H5Screate_simple(2, dims, max_dims), H5Sclose);
    Id create(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    const size_t item = bytes_ == 2 ? 2 : 4;
    const hsize_t chunk[2] = {std::max<hsize_t>(1, kChunkBytes / (item * width_)), width_};
    need(space.ok() && create.ok() && H5Pset_chunk(create.get(), 2, chunk) >= 0, "chunk layout");
    compress_chunks(create.get());
    data_ = Id(H5Dcreate2(file_.get(), "samples", bytes_ == 2 ? H5T_STD_I16LE : H5T_STD_I32LE,
                          space.get(), H5P_DEFAULT, create.get(), H5P_DEFAULT),
               H5Dclose);
    need(data_.ok(), "creating the dataset");

    const size_t n = info.channels.size();
    integers("rate", H5T_STD_I64LE, std::vector<int64_t>{info.rate}, true);
    integers("channels", H5T_STD_I32LE,
             std::vector<int32_t>(info.channels.begin(), info.channels.end()));
    integers("sample_bits", H5T_STD_I32LE, std::vector<int32_t>{8 * bytes_}, true);
    describe_units(info);
    integers("gear", H5T_STD_I32LE, per_channel(info.gear, n));
    integers("icp", H5T_STD_I32LE, per_channel(info.icp, n));
    text("product", info.product);
    text("device_version", info.device_version);
    text("driver_version", info.driver_version);
    text("serial", info.serial);
    text("library_version", info.library_version);
    text("start_time", "");
    RunSummary placeholder;
    placeholder.loss.resize(n);
    summarise(placeholder);
    last_flush_ = std::chrono::steady_clock::now();
  }

  ~Hdf5Capture() override {
    try {
      finish();
    } catch (const CliError &) {
      // The error was the caller's to see through finish(); a destructor must not throw.
    }
  }

  void write(const uint8_t *frames, int64_t count) override {
    if (count <= 0) return;
    const size_t values = static_cast<size_t>(count) * width_;
    if (bytes_ == 2) {
      narrow_.resize(values);
      for (size_t i = 0; i < values; ++i)
        narrow_[i] = static_cast<int16_t>(frames[2 * i] | frames[2 * i + 1] << 8);
    } else {
      wide_.resize(values);
      for (size_t i = 0; i < values; ++i) wide_[i] = decode_sample(frames + i * bytes_, bytes_);
    }
    const hsize_t start[2] = {written_, 0};
    const hsize_t size[2] = {static_cast<hsize_t>(count), width_};
    const hsize_t extent[2] = {written_ + size[0], width_};
    need(H5Dset_extent(data_.get(), extent) >= 0, "growing the dataset");
    Id file_space(H5Dget_space(data_.get()), H5Sclose);
    Id memory_space(H5Screate_simple(2, size, nullptr), H5Sclose);
    need(file_space.ok() && memory_space.ok() &&
             H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, size, nullptr) >=
                 0,
         "selecting rows");
    const herr_t result = bytes_ == 2 ? H5Dwrite(data_.get(), H5T_NATIVE_INT16, memory_space.get(),
                                                 file_space.get(), H5P_DEFAULT, narrow_.data())
                                      : H5Dwrite(data_.get(), H5T_NATIVE_INT32, memory_space.get(),
                                                 file_space.get(), H5P_DEFAULT, wide_.data());
    need(result >= 0, "writing samples (is the disk full?)");
    written_ += size[0];
    const auto now = std::chrono::steady_clock::now();
    if (now - last_flush_ >= kFlushInterval) {
      H5Fflush(file_.get(), H5F_SCOPE_LOCAL);
      last_flush_ = now;
    }
  }

  void summarise(const RunSummary &run) override {
    if (!data_.ok()) return;
    const size_t n = static_cast<size_t>(width_);
    std::vector<int64_t> moved(n), overwritten(n), dropped(n), failures(n);
    for (size_t i = 0; i < n && i < run.loss.size(); ++i) {
      moved[i] = static_cast<int64_t>(run.loss[i].moved);
      overwritten[i] = static_cast<int64_t>(run.loss[i].overwritten);
      dropped[i] = static_cast<int64_t>(run.loss[i].dropped);
      failures[i] = static_cast<int64_t>(run.loss[i].transfer_failures);
    }
    integers("moved", H5T_STD_I64LE, moved);
    integers("overwritten", H5T_STD_I64LE, overwritten);
    integers("dropped", H5T_STD_I64LE, dropped);
    integers("transfer_failures", H5T_STD_I64LE, failures);
    integers("interrupted", H5T_STD_I32LE, std::vector<int32_t>{run.interrupted ? 1 : 0}, true);
    if (!run.start_time.empty()) text("start_time", run.start_time);
    write_timing(run);
  }

  void finish() override {
    if (!file_.ok()) return;
    data_.close();
    const bool flushed = H5Fflush(file_.get(), H5F_SCOPE_LOCAL) >= 0;
    file_.close();
    need(flushed, "completing the file");
  }

 private:
  // Deflate (zlib, in every libhdf5 Debian ships) after byte shuffling, which puts the samples'
  // slowly changing high bytes together: a chunk of a quiet 24-bit signal shrinks severalfold.
  // Level 1: the recording must keep up with the stream.
  static void compress_chunks(hid_t create) {
    if (H5Zfilter_avail(H5Z_FILTER_DEFLATE) <= 0) return;
    need(H5Pset_shuffle(create) >= 0 && H5Pset_deflate(create, 1) >= 0, "chunk compression");
  }

  // valid_bits: how many of each integer's bits the instrument filled (24-bit samples sit
  // sign-extended in int32). scale, offset, unit per channel: value = counts * scale + offset.
  void describe_units(const CaptureInfo &info) {
    integers("valid_bits", H5T_STD_I32LE, std::vector<int32_t>{8 * bytes_}, true);
    const auto scales = info.scales.empty() ? unit_scales(info.channels.size()) : info.scales;
    std::vector<double> scale, offset;
    std::vector<std::string> unit;
    for (const auto &s : scales) {
      scale.push_back(s.scale);
      offset.push_back(s.offset);
      unit.push_back(s.unit);
    }
    reals("scale", scale);
    reals("offset", offset);
    texts("unit", unit);
  }

  void reals(const char *name, const std::vector<double> &values) {
    replace(name);
    const hsize_t count = values.size();
    Id space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    Id attribute(
        H5Acreate2(data_.get(), name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT),
        H5Aclose);
    need(attribute.ok() && H5Awrite(attribute.get(), H5T_NATIVE_DOUBLE, values.data()) >= 0,
         std::string("writing attribute ") + name);
  }

  // An array of variable-length UTF-8 texts, which h5py reads back as str objects.
  void texts(const char *name, const std::vector<std::string> &values) {
    replace(name);
    Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    need(type.ok() && H5Tset_size(type.get(), H5T_VARIABLE) >= 0 &&
             H5Tset_cset(type.get(), H5T_CSET_UTF8) >= 0,
         "a text type");
    const hsize_t count = values.size();
    Id space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    Id attribute(H5Acreate2(data_.get(), name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                 H5Aclose);
    std::vector<const char *> pointers;
    for (const auto &v : values) pointers.push_back(v.c_str());
    need(attribute.ok() && H5Awrite(attribute.get(), type.get(), pointers.data()) >= 0,
         std::string("writing attribute ") + name);
  }

  static std::vector<int32_t> per_channel(const std::vector<int> &values, size_t n) {
    std::vector<int32_t> out(n, -1);
    for (size_t i = 0; i < n && i < values.size(); ++i) out[i] = values[i];
    return out;
  }

  // The stream's fit and its gaps: a dataset "gaps" beside the samples, one row (sample index
  // in the capture, frames missing) per gap, and the fit's start attributes.
  void write_timing(const RunSummary &run) {
    text("first_frame_time", run.first_frame_time);
    integers("bus_frame_number", H5T_STD_I32LE, std::vector<int32_t>{run.bus_frame_number}, true);
    integers("gap_frames", H5T_STD_I64LE,
             std::vector<int64_t>{static_cast<int64_t>(run.gap_frames)}, true);
    replace("drift_ppm");
    Id scalar(H5Screate(H5S_SCALAR), H5Sclose);
    Id drift(H5Acreate2(data_.get(), "drift_ppm", H5T_IEEE_F64LE, scalar.get(), H5P_DEFAULT,
                        H5P_DEFAULT),
             H5Aclose);
    need(drift.ok() && H5Awrite(drift.get(), H5T_NATIVE_DOUBLE, &run.drift_ppm) >= 0,
         "writing attribute drift_ppm");
    if (H5Lexists(file_.get(), "gaps", H5P_DEFAULT) > 0)
      H5Ldelete(file_.get(), "gaps", H5P_DEFAULT);
    std::vector<int64_t> rows;
    for (const vexdaq_stream_gap &g : run.gaps) {
      rows.push_back(g.frame_index);
      rows.push_back(g.frame_count);
    }
    const hsize_t dims[2] = {run.gaps.size(), 2};
    Id space(H5Screate_simple(2, dims, nullptr), H5Sclose);
    Id gaps(H5Dcreate2(file_.get(), "gaps", H5T_STD_I64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT,
                       H5P_DEFAULT),
            H5Dclose);
    need(gaps.ok() && (rows.empty() || H5Dwrite(gaps.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL,
                                                H5P_DEFAULT, rows.data()) >= 0),
         "writing the gaps");
  }

  // Replaces the attribute: end-of-run values overwrite the placeholders written at the start.
  void replace(const char *name) {
    if (H5Aexists(data_.get(), name) > 0) H5Adelete(data_.get(), name);
  }

  template <typename T>
  void integers(const char *name, hid_t type, const std::vector<T> &values, bool scalar = false) {
    replace(name);
    const hsize_t count = values.size();
    Id space(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &count, nullptr), H5Sclose);
    Id attribute(H5Acreate2(data_.get(), name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                 H5Aclose);
    const hid_t memory = sizeof(T) == 8 ? H5T_NATIVE_INT64 : H5T_NATIVE_INT32;
    need(attribute.ok() && H5Awrite(attribute.get(), memory, values.data()) >= 0,
         std::string("writing attribute ") + name);
  }

  // Variable-length UTF-8, which h5py reads back as str.
  void text(const char *name, const std::string &value) {
    replace(name);
    Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    need(type.ok() && H5Tset_size(type.get(), H5T_VARIABLE) >= 0 &&
             H5Tset_cset(type.get(), H5T_CSET_UTF8) >= 0,
         "a text type");
    Id space(H5Screate(H5S_SCALAR), H5Sclose);
    Id attribute(H5Acreate2(data_.get(), name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                 H5Aclose);
    const char *pointer = value.c_str();
    need(attribute.ok() && H5Awrite(attribute.get(), type.get(), &pointer) >= 0,
         std::string("writing attribute ") + name);
  }

  hsize_t width_;
  int bytes_;
  Id file_;
  Id data_;
  hsize_t written_ = 0;
  std::vector<int16_t> narrow_;
  std::vector<int32_t> wide_;
  std::chrono::steady_clock::time_point last_flush_;
};

}  // namespace

bool hdf5_available() {
  return true;
}

std::unique_ptr<CaptureWriter> open_hdf5_capture(const std::string &path, const CaptureInfo &info) {
  return std::make_unique<Hdf5Capture>(path, info);
}

}  // namespace vexdaq_cli
