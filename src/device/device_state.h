// What the device layer owns: the handles to the device, its descriptors, identity, capability
// values and sample-rate lists, and the last driver status.
//
// Closed values: a handle is kInvalidHandle, an owned object null, a number 0. Members marked
// "kept" survive a close and keep the last session's values until the next session's core thread
// overwrites them. Shared without a lock: the atomics; the rest is written by the core thread
// before the open returns (or under the life lock) and only read afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "protocol/driver_types.h"

namespace vexdaq {

inline constexpr int kMaxChannels = 64;
inline constexpr int kDeviceTableEntries = 32;
inline constexpr int kDeviceTableEntrySize = 1024;
inline constexpr int kRateListCapacity = 64;
inline constexpr int kProductNameSize = 32;
inline constexpr int kPipeHandleCount = 4;
// Indexes into pipe_handles of the UART pipes (handles 3 and 4).
inline constexpr int kUartOutPipeIndex = 2;
inline constexpr int kUartInPipeIndex = 3;

struct DeviceState {
  DeviceHandle control_handle = kInvalidHandle;  // handle 0: the default control pipe
  // Handles 1-4: tx stream, rx stream, UART out, UART in (index 0 here is handle 1).
  DeviceHandle pipe_handles[kPipeHandleCount] = {kInvalidHandle, kInvalidHandle, kInvalidHandle,
                                                 kInvalidHandle};
  int32_t pipe_count = 0;  // kept; pipes bound, at most 4
  uint8_t device_table[kDeviceTableEntries][kDeviceTableEntrySize] = {};  // kept

  // Capability values (kept). Written by the core at start-up and again by the width and count
  // queries on application threads while the transfer threads may read them.
  std::atomic<int16_t> out_channel_count{0};
  std::atomic<int16_t> in_channel_count{0};
  std::atomic<int16_t> out_sample_bits{0};
  std::atomic<int16_t> in_sample_bits{0};
  std::atomic<int32_t> out_packet_size{0};
  std::atomic<int32_t> in_packet_size{0};

  // Sample-rate lists (kept), filled by the core before the open returns.
  int32_t in_sample_rates[kRateListCapacity] = {};
  int32_t in_rate_count = 0;
  int32_t out_sample_rates[kRateListCapacity] = {};
  int32_t out_rate_count = 0;

  // Identity (kept), and the descriptor copies owned while the core runs.
  char product_name[kProductNameSize] = {};
  uint16_t driver_version = 0;
  uint16_t device_bcd = 0;
  std::unique_ptr<uint8_t[]> device_descriptor;  // 18 bytes
  std::unique_ptr<uint8_t[]> config_descriptor;  // config_descriptor_size bytes
  uint32_t config_descriptor_size = 0;

  // The last driver status recorded by the core or a transfer thread (kept).
  std::atomic<uint32_t> last_status{0};
};

extern DeviceState g_device;

}  // namespace vexdaq
