#include "cli/channels.h"

#include <algorithm>
#include <sstream>

#include "cli/cli_error.h"

namespace vexdaq_cli {

namespace {

int parse_number(const std::string &part, const std::string &whole) {
  if (part.empty() || part.size() > 3 ||
      !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw CliError(kExitUsage, "bad channel list '" + whole + "': '" + part + "' is not a number");
  }
  return std::stoi(part);
}

}  // namespace

std::vector<int> parse_channels(const std::string &text, int available) {
  std::vector<int> channels;
  if (text == "all") {
    for (int c = 0; c < available; ++c) channels.push_back(c);
  } else {
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
      const auto dash = item.find('-');
      const int first = parse_number(item.substr(0, dash), text);
      const int last =
          dash == std::string::npos ? first : parse_number(item.substr(dash + 1), text);
      if (last < first) throw CliError(kExitUsage, "bad channel range '" + item + "'");
      for (int c = first; c <= last; ++c) channels.push_back(c);
    }
  }
  std::sort(channels.begin(), channels.end());
  channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
  if (channels.empty()) throw CliError(kExitUsage, "no channel selected");
  for (int c : channels) {
    if (c >= available) {
      throw CliError(kExitUsage, "unknown channel " + std::to_string(c) + ": the instrument has " +
                                     std::to_string(available) + " (0-" +
                                     std::to_string(available - 1) + ")");
    }
  }
  return channels;
}

uint64_t channel_mask(const std::vector<int> &channels) {
  uint64_t mask = 0;
  for (int c : channels) mask |= uint64_t{1} << c;
  return mask;
}

int32_t decode_sample(const uint8_t *p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  const int shift = 32 - 8 * bytes;
  return static_cast<int32_t>(v << shift) >> shift;  // sign-extend
}

void encode_sample(int32_t value, uint8_t *p, int bytes) {
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t full_scale(int bytes) {
  return bytes >= 4 ? INT32_MAX : static_cast<int32_t>((uint32_t{1} << (8 * bytes - 1)) - 1);
}

}  // namespace vexdaq_cli
