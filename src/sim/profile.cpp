#include "sim/profile.h"

#include <cstdlib>

namespace vexdaq::sim {
namespace {

std::string trim(const std::string &s) {
  size_t begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

bool parse_rates(const std::string &text, std::vector<uint32_t> &out) {
  std::vector<uint32_t> rates;
  size_t at = 0;
  std::string t = trim(text);
  if (t.empty()) {
    out.clear();
    return true;
  }
  while (at <= t.size()) {
    size_t comma = t.find(',', at);
    std::string item =
        trim(t.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    uint64_t rate = 0;
    if (!parse_number(item, 0xFFFFFFFFu, rate) || rates.size() >= kMaxRateEntries) return false;
    rates.push_back(static_cast<uint32_t>(rate));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  out = std::move(rates);
  return true;
}

bool parse_waveform(const std::string &v, Waveform &out) {
  if (v == "sine")
    out = Waveform::kSine;
  else if (v == "square")
    out = Waveform::kSquare;
  else if (v == "dc")
    out = Waveform::kDc;
  else if (v == "noise")
    out = Waveform::kNoise;
  else if (v == "counter")
    out = Waveform::kCounter;
  else
    return false;
  return true;
}

bool apply_one(const std::string &key, const std::string &value, Profile &p) {
  uint64_t n = 0;
  auto number = [&](uint64_t maximum) { return parse_number(value, maximum, n); };
  if (key == "in_channels") {
    if (!number(kMaxProfileChannels)) return false;
    p.in_channels = static_cast<uint32_t>(n);
  } else if (key == "out_channels") {
    if (!number(kMaxProfileChannels)) return false;
    p.out_channels = static_cast<uint32_t>(n);
  } else if (key == "in_bits") {
    if (!number(kMaxSampleBits)) return false;
    p.in_bits = static_cast<uint32_t>(n);
  } else if (key == "out_bits") {
    if (!number(kMaxSampleBits)) return false;
    p.out_bits = static_cast<uint32_t>(n);
  } else if (key == "in_rates") {
    return parse_rates(value, p.in_rates);
  } else if (key == "out_rates") {
    return parse_rates(value, p.out_rates);
  } else if (key == "protocol") {
    if (!number(0xFF)) return false;
    p.protocol = static_cast<uint8_t>(n);
  } else if (key == "subclass") {
    if (!number(0xFF)) return false;
    p.subclass = static_cast<uint8_t>(n);
  } else if (key == "vendor_id") {
    if (!number(0xFFFF)) return false;
    p.vendor_id = static_cast<uint16_t>(n);
  } else if (key == "product_id") {
    if (!number(0xFFFF)) return false;
    p.product_id = static_cast<uint16_t>(n);
  } else if (key == "bcd_device") {
    if (!number(0xFFFF)) return false;
    p.bcd_device = static_cast<uint16_t>(n);
  } else if (key == "product") {
    if (value.size() > kMaxTextLength) return false;
    p.product = value;
  } else if (key == "manufacturer") {
    if (value.size() > kMaxTextLength) return false;
    p.manufacturer = value;
  } else if (key == "serial") {
    if (value.size() > kMaxTextLength) return false;
    p.serial = value;
  } else if (key == "fpga_version") {
    if (!number(0xFF)) return false;
    p.fpga_version = static_cast<uint8_t>(n);
  } else if (key == "driver_version") {
    if (!number(0xFFFF)) return false;
    p.driver_version = static_cast<uint16_t>(n);
  } else if (key == "driver_opens") {
    if (!number(0xFFFFFFFFu)) return false;
    p.driver_opens = static_cast<uint32_t>(n);
  } else if (key == "pipes") {
    if (!number(kMaxPipes)) return false;
    p.pipes = static_cast<uint32_t>(n);
  } else if (key == "device_fifo") {
    // 1 .. 16 MiB; a FIFO smaller than a frame holds one frame.
    if (!number(16u << 20) || n == 0) return false;
    p.device_fifo = static_cast<uint32_t>(n);
  } else if (key == "clock_ppm") {
    const bool negative = !value.empty() && value[0] == '-';
    if (!parse_number(negative ? value.substr(1) : value, kMaxClockPpm, n)) return false;
    p.clock_ppm = negative ? -static_cast<int32_t>(n) : static_cast<int32_t>(n);
  } else if (key == "drop_frames" || key == "drop_at_ms" || key == "drop_every_ms") {
    if (!number(1000000000u)) return false;
    (key == "drop_frames"  ? p.drop_frames
     : key == "drop_at_ms" ? p.drop_at_ms
                           : p.drop_every_ms) = static_cast<uint32_t>(n);
  } else if (key == "path_length") {
    if (!number(kMaxPathLength)) return false;
    p.path_length = static_cast<uint32_t>(n);
  } else if (key == "waveform") {
    if (!parse_waveform(value, p.waveform)) return false;
    p.channel_waveforms.clear();
  } else if (key.rfind("waveform.", 0) == 0) {
    uint64_t channel = 0;
    Waveform w;
    if (!parse_number(key.substr(9), kMaxProfileChannels - 1, channel)) return false;
    if (!parse_waveform(value, w)) return false;
    if (p.channel_waveforms.size() <= channel) {
      p.channel_waveforms.resize(channel + 1, p.waveform);
    }
    p.channel_waveforms[channel] = w;
  } else if (key == "pacing") {
    if (value == "realtime")
      p.pacing = Pacing::kRealtime;
    else if (value == "free")
      p.pacing = Pacing::kFree;
    else
      return false;
  } else if (key == "loopback") {
    if (!number(1)) return false;
    p.loopback = n != 0;
  } else if (key == "exclusive") {
    if (!number(1)) return false;
    p.exclusive = n != 0;
  } else if (key == "full_scale_mv") {
    if (!number(1000000) || n == 0) return false;
    p.full_scale_mv = static_cast<uint32_t>(n);
  } else if (key == "uart_loop") {
    if (!number(1)) return false;
    p.uart_loop = n != 0;
  } else if (key == "eeprom_page") {
    if (!number(128) || (n != 32 && n != 64 && n != 128)) return false;
    p.eeprom_page = static_cast<uint32_t>(n);
  } else if (key == "eeprom_write_us") {
    if (!number(100000)) return false;
    p.eeprom_write_us = static_cast<uint32_t>(n);
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool parse_number(const std::string &text, uint64_t maximum, uint64_t &out) {
  std::string t = trim(text);
  if (t.empty() || t[0] == '-' || t[0] == '+') return false;
  int base = 10;
  size_t at = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    at = 2;
  }
  uint64_t value = 0;
  for (; at < t.size(); ++at) {
    char c = t[at];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    uint64_t d = static_cast<uint64_t>(digit);
    if (d > maximum || value > (maximum - d) / static_cast<uint64_t>(base)) return false;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  out = value;
  return true;
}

bool apply_profile_text(const char *text, Profile &profile, std::string &error) {
  if (text == nullptr) return true;
  Profile result = profile;
  std::string all(text);
  size_t at = 0;
  while (at <= all.size()) {
    size_t semicolon = all.find(';', at);
    std::string pair =
        all.substr(at, semicolon == std::string::npos ? std::string::npos : semicolon - at);
    at = semicolon == std::string::npos ? all.size() + 1 : semicolon + 1;
    if (trim(pair).empty()) continue;
    size_t equals = pair.find('=');
    if (equals == std::string::npos) {
      error = "expected key=value, got \"" + trim(pair) + "\"";
      return false;
    }
    std::string key = trim(pair.substr(0, equals));
    // Text values keep their inner spaces; only the line ends around them go.
    std::string value = pair.substr(equals + 1);
    if (key != "product" && key != "manufacturer" && key != "serial") value = trim(value);
    if (!apply_one(key, value, result)) {
      error = "bad profile entry \"" + key + "=" + value + "\"";
      return false;
    }
  }
  profile = std::move(result);
  return true;
}

}  // namespace vexdaq::sim
