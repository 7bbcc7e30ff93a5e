#include "cli/scaling.h"

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_error.h"

namespace vexdaq_cli {

namespace {

constexpr size_t kMaxScaleFileBytes = 1 << 20;
constexpr int kMaxGear = 8;
constexpr int kMaxChannel = 63;
constexpr size_t kMaxUnitLength = 32;

[[noreturn]] void bad(const std::string &origin, const std::string &what) {
  throw CliError(kExitUsage, origin + ": " + what);
}

int index_key(const std::string &origin, const std::string &where, const std::string &key,
              int maximum) {
  const bool digits =
      !key.empty() && key.size() <= 3 && key.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoi(key) > maximum) {
    bad(origin, where + ": '" + key + "' is not a number from 0 to " + std::to_string(maximum));
  }
  return std::stoi(key);
}

double finite_number(const std::string &origin, const std::string &where,
                     const nlohmann::json &value, bool positive) {
  if (!value.is_number()) bad(origin, where + " must be a number");
  const double number = value.get<double>();
  if (!std::isfinite(number) || (positive && !(number > 0))) {
    bad(origin, where + " must be " + (positive ? "positive and " : "") + "finite");
  }
  return number;
}

int gear_value(const std::string &origin, const std::string &where, const nlohmann::json &value) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > kMaxGear) {
    bad(origin, where + " must be a range code from 0 to " + std::to_string(kMaxGear));
  }
  return value.get<int>();
}

SensorDescription parse_sensor(const std::string &origin, int channel,
                               const nlohmann::json &entry) {
  const std::string where = "channels." + std::to_string(channel);
  if (!entry.is_object()) bad(origin, where + " must be an object");
  SensorDescription sensor;
  bool has_sensitivity = false;
  bool has_unit = false;
  for (const auto &[key, value] : entry.items()) {
    if (key == "gear") {
      sensor.gear = gear_value(origin, where + ".gear", value);
    } else if (key == "sensitivity") {
      sensor.sensitivity = finite_number(origin, where + ".sensitivity", value, true);
      has_sensitivity = true;
    } else if (key == "offset") {
      sensor.offset = finite_number(origin, where + ".offset", value, false);
    } else if (key == "unit") {
      if (!value.is_string() || value.get<std::string>().empty() ||
          value.get<std::string>().size() > kMaxUnitLength) {
        bad(origin, where + ".unit must be a text of 1 to " + std::to_string(kMaxUnitLength) +
                        " characters");
      }
      sensor.unit = value.get<std::string>();
      has_unit = true;
    } else {
      bad(origin, where + ": unknown key '" + key + "' (gear, sensitivity, offset, unit)");
    }
  }
  if (has_sensitivity && !has_unit) {
    bad(origin, where + ": a sensitivity needs the unit it is per (\"unit\": \"g\")");
  }
  return sensor;
}

}  // namespace

ScaleDescription parse_scale_description(const std::string &text, const std::string &origin) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error &e) {
    bad(origin, std::string("not valid JSON: ") + e.what());
  }
  if (!document.is_object()) bad(origin, "the description must be a JSON object");
  ScaleDescription description;
  for (const auto &[key, value] : document.items()) {
    if (key == "gear_full_scale_volts") {
      if (!value.is_object()) bad(origin, "gear_full_scale_volts must be an object");
      for (const auto &[gear, volts] : value.items()) {
        const int code = index_key(origin, "gear_full_scale_volts", gear, kMaxGear);
        description.gear_full_scale_volts[code] =
            finite_number(origin, "gear_full_scale_volts." + gear, volts, true);
      }
    } else if (key == "default_gear") {
      description.default_gear = gear_value(origin, "default_gear", value);
    } else if (key == "channels") {
      if (!value.is_object()) bad(origin, "channels must be an object");
      for (const auto &[channel, entry] : value.items()) {
        const int number = index_key(origin, "channels", channel, kMaxChannel);
        description.channels[number] = parse_sensor(origin, number, entry);
      }
    } else if (key != "description") {
      bad(origin,
          "unknown key '" + key + "' (description, gear_full_scale_volts, default_gear, channels)");
    }
  }
  if (description.gear_full_scale_volts.empty()) {
    bad(origin, "gear_full_scale_volts is missing: the volts at full scale of each input range");
  }
  return description;
}

ScaleDescription load_scale_description(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CliError(kExitUsage, "cannot open the scale file '" + path + "'");
  std::string text(kMaxScaleFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxScaleFileBytes) {
    throw CliError(kExitUsage, "the scale file '" + path + "' is larger than 1 MiB");
  }
  return parse_scale_description(text, path);
}

ScaleDescription virtual_instrument_description(const std::string &profile_text) {
  double millivolts = 10000;
  std::stringstream entries(profile_text);
  for (std::string entry; std::getline(entries, entry, ';');) {
    const auto equals = entry.find('=');
    if (equals != std::string::npos && entry.substr(0, equals) == "full_scale_mv") {
      try {
        millivolts = std::stod(entry.substr(equals + 1));
      } catch (const std::exception &) {
        // The library has refused the profile already.
      }
    }
  }
  ScaleDescription description;
  description.default_gear = 0;  // every range is the same
  for (int gear = 0; gear <= kMaxGear; ++gear) {
    description.gear_full_scale_volts[gear] = millivolts / 1000.0;
  }
  return description;
}

std::vector<ChannelScale> channel_scales(const ScaleDescription &description,
                                         const std::vector<int> &channels, int gear,
                                         int sample_bits) {
  std::vector<ChannelScale> scales;
  const double full_scale_counts = std::ldexp(1.0, sample_bits - 1);
  for (int channel : channels) {
    const auto sensor_entry = description.channels.find(channel);
    const SensorDescription sensor =
        sensor_entry == description.channels.end() ? SensorDescription{} : sensor_entry->second;
    std::optional<int> range = gear >= 0 ? std::optional<int>(gear) : sensor.gear;
    if (!range) range = description.default_gear;
    if (!range && description.gear_full_scale_volts.size() == 1) {
      range = description.gear_full_scale_volts.begin()->first;
    }
    if (!range) {
      throw CliError(kExitUsage, "channel " + std::to_string(channel) +
                                     ": which input range is it on? Give --gear, or default_gear "
                                     "or the channel's gear in the scale file");
    }
    const auto volts = description.gear_full_scale_volts.find(*range);
    if (volts == description.gear_full_scale_volts.end()) {
      throw CliError(kExitUsage, "the scale file gives no full-scale volts for range " +
                                     std::to_string(*range) + " (channel " +
                                     std::to_string(channel) + ")");
    }
    scales.push_back(
        {volts->second / full_scale_counts / sensor.sensitivity, sensor.offset, sensor.unit});
  }
  return scales;
}

std::vector<ChannelScale> unit_scales(size_t channels) {
  return std::vector<ChannelScale>(channels);
}

}  // namespace vexdaq_cli
