#pragma once
// The 8051 loader program, uploaded to the controller's internal RAM at address 0 before the
// EEPROM is accessed. Built from firmware/loader/ by firmware/build_loader.sh.
#include <cstddef>
#include <cstdint>

namespace vexdaq {
inline constexpr std::size_t kLoaderImageSize = 3475;
extern const std::uint8_t loader_image[kLoaderImageSize];
}  // namespace vexdaq
