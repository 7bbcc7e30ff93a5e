// Little-endian fields in byte buffers: every multi-byte field the driver, the device and the
// virtual instrument exchange is stored this way, whatever the host's own byte order.
#pragma once

#include <cstdint>

namespace vexdaq {

constexpr uint16_t get_le16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

constexpr uint32_t get_le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr void put_le16(uint8_t *p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

constexpr void put_le32(uint8_t *p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace vexdaq
