#include "cli/session.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "cli/cli_error.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq_cli {

namespace {

std::string g_log_directory = "log";

}  // namespace

std::string default_log_directory() {
  // The XDG base directory rules: a relative XDG_STATE_HOME is to be ignored.
  const char *state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && std::filesystem::path(state).is_absolute()) {
    return (std::filesystem::path(state) / "vexdaq" / "log").string();
  }
  const char *home = std::getenv("HOME");
  if (home != nullptr && std::filesystem::path(home).is_absolute()) {
    return (std::filesystem::path(home) / ".local" / "state" / "vexdaq" / "log").string();
  }
  return "log";
}

const std::string &log_directory() {
  return g_log_directory;
}

std::string log_hint() {
  return "; details are in the log under " + g_log_directory + "/";
}

void check(int32_t result, const char *call) {
  if (result < 0) {
    throw CliError(kExitFailure,
                   std::string(call) + " failed (" + std::to_string(result) + ")" + log_hint());
  }
}

SimPlug::SimPlug(const GlobalOptions &options) {
  const std::string directory = options.log_dir.empty() ? default_log_directory() : options.log_dir;
  if (vexdaq_set_log_directory(directory.c_str()) != 0) {
    throw CliError(kExitUsage, "the log directory name is too long (1024 bytes at most)");
  }
  g_log_directory = directory;
  if (!options.sim) return;
  id_ = vexdaq_sim_plug(options.sim_profile.c_str());
  if (id_ < 0)
    throw CliError(kExitUsage, "bad virtual instrument profile '" + options.sim_profile + "'");
}

SimPlug::~SimPlug() {
  if (id_ >= 0) vexdaq_sim_unplug(id_);
}

Session::Session(const GlobalOptions &options) : plug_(options) {
  const int32_t count = vexdaq_device_list();
  if (count <= 0) {
    throw CliError(kExitNoDevice,
                   "no instrument found (run 'vexdaq doctor' to find out why, or add --sim to use "
                   "the virtual instrument)");
  }
  if (options.device < 0 || options.device >= count) {
    throw CliError(kExitNoDevice, "no instrument at index " + std::to_string(options.device) +
                                      " (" + std::to_string(count) + " found)");
  }
  if (vexdaq_device_open(options.device) != 0) {
    throw CliError(
        kExitNoDevice,
        "the instrument could not be opened (is another program using it?)" + log_hint());
  }
  int32_t out_count = 0;
  int32_t in_count = 0;
  int32_t width = 0;
  if (vexdaq_get_channel_count(&out_count, &in_count) != 0 ||
      vexdaq_get_sample_width(&width) != 0) {
    vexdaq_device_close();
    throw CliError(kExitNoDevice, "the instrument did not come up" + log_hint());
  }
  out_channels_ = out_count;
  in_channels_ = in_count;
  in_sample_bytes_ = width;
  int32_t out_bits = 0;
  vexdaq_get_stream_format(0, &out_bits, nullptr);
  out_sample_bytes_ = out_bits / 8;
}

Session::~Session() {
  vexdaq_device_close();
}

std::vector<int32_t> Session::supported_rates(bool input) const {
  std::vector<int32_t> rates(64);
  const int32_t count = vexdaq_get_sample_rates(input ? 1 : 0, rates.data(), 64);
  rates.resize(static_cast<size_t>(std::clamp(count, 0, 64)));
  return rates;
}

}  // namespace vexdaq_cli
