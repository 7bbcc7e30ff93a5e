// Checks the virtual instrument's counter pattern sample by sample, for the suites that stream.
#pragma once

#include <cstdint>
#include <string>

namespace vexdaq::testing {

// The counter pattern: channel c, frame n -> (c << (bits - 8)) | (n mod 2^(bits - 8)). Gaps are
// frames the instrument itself dropped (summed for comparison with its own counter); anything
// else is a fault.
struct CounterCheck {
  int bits = 32;
  int channel = 0;
  bool started = false;
  uint32_t next = 0;
  uint64_t checked = 0;
  uint64_t skipped = 0;

  uint32_t frame_mask() const { return bits >= 32 ? 0xFFFFFFu : (1u << (bits - 8)) - 1; }

  // Empty while the samples continue the pattern, else what went wrong.
  std::string take(uint32_t value) {
    const uint32_t frame = value & frame_mask();
    const uint32_t owner = (value >> (bits - 8)) & 0xFF;
    if (owner != static_cast<uint32_t>(channel)) {
      return "sample " + std::to_string(checked) + " carries channel " + std::to_string(owner);
    }
    if (started) skipped += (frame - next) & frame_mask();
    started = true;
    next = (frame + 1) & frame_mask();
    ++checked;
    return {};
  }

  // Checks a block of little-endian samples; empty or the first fault.
  std::string take_block(const uint8_t *samples, int count) {
    const int size = bits / 8;
    for (int i = 0; i < count; ++i) {
      uint32_t v = 0;
      for (int b = 0; b < size; ++b) v |= static_cast<uint32_t>(samples[i * size + b]) << (8 * b);
      std::string fault = take(v);
      if (!fault.empty()) return fault;
    }
    return {};
  }
};

}  // namespace vexdaq::testing
