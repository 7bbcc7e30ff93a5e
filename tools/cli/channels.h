// Channel lists ("0-3,6"), masks and the sample encoding of the streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexdaq_cli {

// Parses "all", "0-3,6", "5". Channels must lie below `available`. Throws CliError (usage) with a
// message naming the bad part.
std::vector<int> parse_channels(const std::string &text, int available);

uint64_t channel_mask(const std::vector<int> &channels);

// Samples are little-endian two's complement of `bytes` (2, 3 or 4) bytes.
int32_t decode_sample(const uint8_t *p, int bytes);
void encode_sample(int32_t value, uint8_t *p, int bytes);

// The largest positive sample of that width.
int32_t full_scale(int bytes);

}  // namespace vexdaq_cli
