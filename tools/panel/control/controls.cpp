#include "control/controls.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace vexdaq_panel {

namespace {

using nlohmann::json;

const json &field(const json &request, const char *name) {
  const auto it = request.find(name);
  if (it == request.end()) throw ControlError(std::string("'") + name + "' is missing");
  return *it;
}

int64_t integer(const json &request, const char *name, int64_t low, int64_t high) {
  const json &value = field(request, name);
  if (!value.is_number_integer())
    throw ControlError(std::string("'") + name + "' must be a whole number");
  const int64_t v = value.is_number_unsigned()
                        ? static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX))
                        : value.get<int64_t>();
  if (v < low || v > high) {
    throw ControlError(std::string("'") + name + "' must lie in " + std::to_string(low) + " .. " +
                       std::to_string(high));
  }
  return v;
}

int64_t integer_or(const json &request, const char *name, int64_t low, int64_t high,
                   int64_t fallback) {
  return request.contains(name) ? integer(request, name, low, high) : fallback;
}

double number(const json &request, const char *name, double low, double high) {
  const json &value = field(request, name);
  if (!value.is_number()) throw ControlError(std::string("'") + name + "' must be a number");
  const double v = value.get<double>();
  if (!std::isfinite(v) || v < low || v > high) {
    throw ControlError(std::string("'") + name + "' must lie in " + std::to_string(low) + " .. " +
                       std::to_string(high));
  }
  return v;
}

std::string text(const json &request, const char *name, size_t max_bytes) {
  const json &value = field(request, name);
  if (!value.is_string()) throw ControlError(std::string("'") + name + "' must be text");
  std::string s = value.get<std::string>();
  if (s.size() > max_bytes) {
    throw ControlError(std::string("'") + name + "' holds at most " + std::to_string(max_bytes) +
                       " bytes");
  }
  return s;
}

bool flag(const json &request, const char *name, bool fallback) {
  const auto it = request.find(name);
  if (it == request.end()) return fallback;
  if (!it->is_boolean()) throw ControlError(std::string("'") + name + "' must be true or false");
  return it->get<bool>();
}

template <typename T>
T choice(const json &request, const char *name,
         std::initializer_list<std::pair<const char *, T>> options) {
  const std::string value = text(request, name, 32);
  std::string names;
  for (const auto &[key, result] : options) {
    if (value == key) return result;
    names += (names.empty() ? "" : ", ") + std::string(key);
  }
  throw ControlError(std::string("'") + name + "' must be one of " + names);
}

std::vector<uint8_t> hex_bytes(const std::string &digits_text) {
  std::string digits;
  for (char c : digits_text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      throw ControlError("bad hex data '" + digits_text + "'");
    digits += c;
  }
  if (digits.size() % 2 != 0) throw ControlError("hex data needs two digits per byte");
  if (digits.empty()) throw ControlError("no bytes given");
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  if (bytes.size() > kMaxTransferBytes)
    throw ControlError("at most " + std::to_string(kMaxTransferBytes) + " bytes at once");
  return bytes;
}

int input_channel(const json &request, const char *name, const DeviceFacts &facts) {
  if (facts.in_channels <= 0) throw ControlError("the instrument has no input channels");
  return static_cast<int>(integer(request, name, 0, facts.in_channels - 1));
}

// A recording's file name: a plain name in the panel's recording folder, never a path.
std::string recording_name(const std::string &name) {
  if (name.empty() || name.size() > 128) throw ControlError("a file name of 1 to 128 characters");
  for (char c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
      throw ControlError("a file name may hold letters, digits, '-', '_' and '.' only");
  }
  if (name.front() == '.') throw ControlError("a file name may not start with '.'");
  if (!(name.ends_with(".h5") || name.ends_with(".hdf5")))
    throw ControlError("a recording's name ends in .h5 or .hdf5");
  return name;
}

ScopeSettings scope(const json &r, const DeviceFacts &facts) {
  ScopeSettings s;
  s.triggered = choice<bool>(r, "mode", {{"rolling", false}, {"triggered", true}});
  s.timebase_s = number(r, "timebase_s", 1e-4, 10.0);
  s.columns = static_cast<uint32_t>(integer(r, "columns", 64, 4096));
  s.paused = flag(r, "paused", false);
  if (!s.triggered) return s;
  s.trigger_channel = input_channel(r, "trigger_channel", facts);
  const int64_t top = (int64_t{1} << (facts.in_bits - 1)) - 1;
  s.level = static_cast<int32_t>(integer(r, "level", -top - 1, top));
  s.rising = choice<bool>(r, "edge", {{"rising", true}, {"falling", false}});
  s.pre_share = number(r, "pre_trigger", 0.0, 1.0);
  s.sweep = choice<SweepMode>(
      r, "sweep",
      {{"auto", SweepMode::kAuto}, {"normal", SweepMode::kNormal}, {"single", SweepMode::kSingle}});
  const double window = s.timebase_s * facts.in_rate;
  if (window * std::max(1, facts.enabled_inputs) > static_cast<double>(kMaxSweepSamples)) {
    throw ControlError("a triggered sweep holds at most " + std::to_string(kMaxSweepSamples) +
                       " samples of all channels: shorten the time base or enable fewer channels");
  }
  return s;
}

}  // namespace

Control parse_control(const std::string &body, const DeviceFacts &facts) {
  if (body.size() > kMaxControlBytes) throw ControlError("the request is too long");
  const json r = json::parse(body, nullptr, false);
  if (r.is_discarded() || !r.is_object()) throw ControlError("the request is not a JSON object");
  const std::string action = text(r, "action", 32);
  constexpr int64_t kI32 = std::numeric_limits<int32_t>::max();

  if (action == "channels") {
    const json &list = field(r, "channels");
    if (!list.is_array()) throw ControlError("'channels' must be a list of channel numbers");
    std::vector<int> channels;
    for (const json &c : list) {
      if (!c.is_number_integer() || c.get<int64_t>() < 0 || c.get<int64_t>() >= facts.in_channels)
        throw ControlError("channels lie in 0 .. " + std::to_string(facts.in_channels - 1));
      const int channel = c.get<int>();
      if (std::find(channels.begin(), channels.end(), channel) != channels.end())
        throw ControlError("channel " + std::to_string(channel) + " is listed twice");
      channels.push_back(channel);
    }
    std::sort(channels.begin(), channels.end());
    return SetChannels{channels};
  }
  if (action == "rate") {
    const auto rate = static_cast<int32_t>(integer(r, "rate", 1, kI32));
    if (std::find(facts.in_rates.begin(), facts.in_rates.end(), rate) == facts.in_rates.end())
      throw ControlError("unsupported input rate " + std::to_string(rate) + " Hz");
    return SetRate{rate};
  }
  if (action == "gear")
    return SetGear{input_channel(r, "channel", facts), static_cast<int>(integer(r, "gear", 0, 8))};
  if (action == "icp")
    return SetIcp{input_channel(r, "channel", facts), static_cast<int>(integer(r, "icp", 0, 1))};
  if (action == "scope") return scope(r, facts);
  if (action == "arm") return ArmSweep{};
  if (action == "spectrum") {
    SpectrumSettings s;
    s.channel = static_cast<int>(integer(r, "channel", -1, facts.in_channels - 1));
    s.size = static_cast<uint32_t>(integer(r, "size", 16, 65536));
    if ((s.size & (s.size - 1)) != 0) throw ControlError("'size' must be a power of two");
    s.window = choice<SpectrumWindow>(r, "window",
                                      {{"rectangular", SpectrumWindow::kRectangular},
                                       {"hann", SpectrumWindow::kHann},
                                       {"blackman-harris", SpectrumWindow::kBlackmanHarris}});
    s.averages = static_cast<uint32_t>(integer(r, "averages", 1, 100));
    return s;
  }
  if (action == "generator") {
    if (facts.out_channels <= 0) throw ControlError("the instrument has no output channels");
    GeneratorSettings g;
    g.channel = static_cast<int>(integer(r, "channel", 0, facts.out_channels - 1));
    g.waveform = choice<Waveform>(r, "waveform",
                                  {{"off", Waveform::kOff},
                                   {"sine", Waveform::kSine},
                                   {"square", Waveform::kSquare},
                                   {"dc", Waveform::kDc},
                                   {"counter", Waveform::kCounter}});
    g.frequency = number(r, "frequency", 0.0, 10e6);
    g.amplitude = number(r, "amplitude", 0.0, 1.0);
    return g;
  }
  if (action == "gpio_mode") {
    return GpioMode{static_cast<uint32_t>(integer(r, "pins", 1, 255)),
                    static_cast<int32_t>(integer(r, "mode", 0, 255))};
  }
  if (action == "dio_write") {
    return DioWrite{static_cast<int32_t>(integer(r, "port", 0, 127)),
                    static_cast<uint8_t>(integer(r, "value", 0, 255))};
  }
  if (action == "dio_read") return DioRead{static_cast<int32_t>(integer(r, "port", 0, 127))};
  if (action == "pwm") {
    return Pwm{static_cast<int32_t>(integer(r, "pin", 0, 127)),
               static_cast<int32_t>(integer(r, "frequency", 0, kI32)),
               static_cast<int32_t>(integer(r, "duty", 0, kI32))};
  }
  if (action == "counter_set") {
    return CounterSet{static_cast<int32_t>(integer(r, "pin", 0, 127)),
                      static_cast<int32_t>(integer(r, "mode", 0, kI32)),
                      static_cast<int32_t>(integer_or(r, "edge", 0, kI32, 0))};
  }
  if (action == "counter_read") return CounterRead{static_cast<int32_t>(integer(r, "pin", 0, 127))};
  if (action == "uart_config") return UartConfig{static_cast<int32_t>(integer(r, "baud", 1, kI32))};
  if (action == "uart_write") {
    const std::string t = text(r, "text", kMaxTransferBytes);
    if (t.empty()) throw ControlError("nothing to send");
    return UartWrite{std::vector<uint8_t>(t.begin(), t.end())};
  }
  if (action == "uart_read")
    return UartRead{static_cast<int32_t>(integer(r, "count", 1, kMaxTransferBytes))};
  if (action == "i2c_write") {
    return I2cWrite{static_cast<uint16_t>(integer(r, "reg", 0, 65535)),
                    hex_bytes(text(r, "data", 3 * kMaxTransferBytes))};
  }
  if (action == "i2c_read") {
    return I2cRead{static_cast<uint16_t>(integer(r, "reg", 0, 65535)),
                   static_cast<int32_t>(integer(r, "length", 1, kMaxTransferBytes))};
  }
  if (action == "record_start") return RecordStart{recording_name(text(r, "name", 256))};
  if (action == "record_stop") return RecordStop{};
  throw ControlError("unknown action '" + action + "'");
}

}  // namespace vexdaq_panel
