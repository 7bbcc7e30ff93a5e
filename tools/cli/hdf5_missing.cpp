// The stand-in for builds without libhdf5 (such as the Windows cross-build): check_capture_possible
// refuses HDF5 output before anything is opened.
#include "cli/capture.h"
#include "cli/cli_error.h"
#include "cli/plot_data.h"

namespace vexdaq_cli {

bool hdf5_available() {
  return false;
}

std::unique_ptr<CaptureWriter> open_hdf5_capture(const std::string &path, const CaptureInfo &) {
  throw CliError(kExitUsage,
                 "cannot write '" + path + "': HDF5 output is not available in this build");
}

PlotData read_hdf5_plot_data(const std::string &path) {
  throw CliError(kExitUsage,
                 "cannot read '" + path + "': HDF5 files are not available in this build");
}

}  // namespace vexdaq_cli
