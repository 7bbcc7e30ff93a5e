// One open instrument for the length of a subcommand: plugs the virtual instrument when asked,
// opens the device, and closes everything again on every path out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexdaq_cli {

struct GlobalOptions {
  bool sim = false;
  std::string sim_profile;  // "" = the default virtual instrument
  int device = 0;           // index among the matching devices
  std::string log_dir;      // "" = the per-user default (default_log_directory)
};

// Where the session logs go unless --log-dir says otherwise: $XDG_STATE_HOME/vexdaq/log, else
// ~/.local/state/vexdaq/log, else "log" under the working directory (no home to write to).
std::string default_log_directory();

// The directory the library is told to log into (set by SimPlug before any open).
const std::string &log_directory();

// Points the library's log at options.log_dir (or the default), then plugs the virtual
// instrument when options.sim is set; unplugs it on destruction. Every command that lists or
// opens instruments makes one first.
class SimPlug {
 public:
  explicit SimPlug(const GlobalOptions &options);
  ~SimPlug();
  SimPlug(const SimPlug &) = delete;
  SimPlug &operator=(const SimPlug &) = delete;
  int32_t id() const { return id_; }

 private:
  int32_t id_ = -1;
};

class Session {
 public:
  // Throws CliError when no instrument is found or it does not come up.
  explicit Session(const GlobalOptions &options);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  int in_channels() const { return in_channels_; }
  int out_channels() const { return out_channels_; }
  int in_sample_bytes() const { return in_sample_bytes_; }
  int out_sample_bytes() const { return out_sample_bytes_; }
  int32_t sim_id() const { return plug_.id(); }

  // The rates the device lists for a direction.
  std::vector<int32_t> supported_rates(bool input) const;

 private:
  SimPlug plug_;
  int in_channels_ = 0;
  int out_channels_ = 0;
  int in_sample_bytes_ = 0;
  int out_sample_bytes_ = 0;
};

// Throws CliError(kExitFailure) naming the call when result is negative.
void check(int32_t result, const char *call);

// " (details are in the log under DIR)", for messages about failures of the library.
std::string log_hint();

}  // namespace vexdaq_cli
