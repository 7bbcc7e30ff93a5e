// Engineering units: the description of an instrument's input ranges and its sensors that a user
// writes once (a JSON "scale file"), and the per-channel factors it gives.
//
//   {
//     "gear_full_scale_volts": {"0": 10.0, "1": 1.0},   volts at full scale, per input range code
//     "default_gear": 0,                                the range when no --gear is given
//     "channels": {                                     optional, per channel
//       "0": {"sensitivity": 0.1, "unit": "g"},         a sensor: volts per unit (100 mV/g)
//       "1": {"gear": 1, "offset": -0.25, "unit": "V"}  its range; offset added, in the unit
//     }
//   }
//
// A channel's value is counts * scale + offset, with scale = full-scale volts of its range /
// 2^(bits-1) / sensitivity. Without a sensor the unit is "V". Unknown keys are refused, so that
// a misspelt one does not pass unnoticed. The file may hold 1 MiB at most.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexdaq_cli {

struct SensorDescription {
  std::optional<int> gear;   // the channel's range code, over default_gear
  double sensitivity = 1.0;  // volts per unit
  double offset = 0.0;       // in the unit
  std::string unit = "V";
};

struct ScaleDescription {
  std::map<int, double> gear_full_scale_volts;  // range code (0-8) -> volts at full scale
  std::optional<int> default_gear;
  std::map<int, SensorDescription> channels;  // channel (0-63) -> its sensor
};

// One channel's conversion: value = counts * scale + offset, in unit. Counts: scale 1, offset 0,
// unit "counts".
struct ChannelScale {
  double scale = 1.0;
  double offset = 0.0;
  std::string unit = "counts";
  double apply(double counts) const { return counts * scale + offset; }
};

// Parses a scale file's text; `origin` names it in messages. Throws CliError(kExitUsage) with the
// key at fault.
ScaleDescription parse_scale_description(const std::string &text, const std::string &origin);

// Reads and parses a scale file. Throws CliError(kExitUsage) when it is missing, too large or bad.
ScaleDescription load_scale_description(const std::string &path);

// The virtual instrument's own description: every range full_scale_mv millivolts at full scale
// (its profile key, 10000 unless the profile text says otherwise).
ScaleDescription virtual_instrument_description(const std::string &profile_text);

// The conversion of each channel, for samples of `sample_bits` bits; `gear` is the range acquire
// sets on every channel (-1: none set, the file says). Throws CliError(kExitUsage) when a
// channel's range is unknown or the file gives no volts for it.
std::vector<ChannelScale> channel_scales(const ScaleDescription &description,
                                         const std::vector<int> &channels, int gear,
                                         int sample_bits);

// Counts for every channel.
std::vector<ChannelScale> unit_scales(size_t channels);

}  // namespace vexdaq_cli
