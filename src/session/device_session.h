// The one process-wide record that holds all library state.
//
// Closed values: a device handle is kInvalidHandle, an owned object or pointer is null, a number
// or flag is 0. The record starts at its closed values when the library is loaded; opening a
// session creates its parts, and vexdaq_device_close returns what it owns to the closed values.
// Members marked "kept" survive a close and keep the last session's values until the next
// session's core thread overwrites them.
//
// Locks: out_lock guards out_channels, their FIFOs and out_active; in_lock the input side and
// in_active; message_lock the message queue and core_failed writes. No path holds two of them at
// once. Members shared without a lock are atomics (flags, capability values, last_status,
// session_token).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "platform/thread.h"
#include "protocol/driver_types.h"
#include "session/fifo.h"

namespace vexdaq {

inline constexpr int kMaxChannels = 64;
inline constexpr int kDeviceTableEntries = 32;
inline constexpr int kDeviceTableEntrySize = 1024;
inline constexpr int kRateListCapacity = 64;
inline constexpr int kProductNameSize = 32;
// Transfer slots per direction: the deepest queue of transfers a stream may keep in flight.
// 4096 packets of 512 bytes are 2 MiB per direction, inside the 16 MiB that Linux's usbfs lets
// a process have in flight by default (usbfs_memory_mb).
inline constexpr int kSlotCount = 4096;
inline constexpr int kPipeHandleCount = 4;
// Indexes into pipe_handles of the UART pipes (handles 3 and 4).
inline constexpr int kUartOutPipeIndex = 2;
inline constexpr int kUartInPipeIndex = 3;

// One channel of one direction.
struct ChannelSlot {
  uint8_t direction = 0;  // 0 output, 1 input; written when buffers are created
  uint8_t enabled = 0;    // 1: takes part in streaming
  int32_t channel = 0;    // the slot's own index
  fifo_handle fifo = nullptr;
};

struct DeviceSession {
  // 1. Device handles and transfer slots.
  DeviceHandle control_handle = kInvalidHandle;  // handle 0: the default control pipe
  // Handles 1-4: tx stream, rx stream, UART out, UART in (index 0 here is handle 1).
  DeviceHandle pipe_handles[kPipeHandleCount] = {kInvalidHandle, kInvalidHandle, kInvalidHandle,
                                                 kInvalidHandle};
  int32_t pipe_count = 0;  // kept; pipes bound, at most 4
  XferSlot tx_slots[kSlotCount];
  XferSlot rx_slots[kSlotCount];
  uint8_t device_table[kDeviceTableEntries][kDeviceTableEntrySize] = {};  // kept

  // 2. Threads and the session token.
  std::unique_ptr<platform::Thread> core_thread_handle;
  std::unique_ptr<platform::Thread> txthread_handle;
  std::unique_ptr<platform::Thread> rxthread_handle;
  // Non-zero exactly while a session is usable: then the address of the core thread's object.
  std::atomic<uintptr_t> session_token{0};

  // 3. Locks and semaphores.
  std::unique_ptr<platform::Mutex> out_lock;
  std::unique_ptr<platform::Mutex> in_lock;
  std::unique_ptr<platform::Mutex> message_lock;
  std::unique_ptr<platform::Semaphore> message_available;  // 0 .. 128
  std::unique_ptr<platform::Semaphore> message_done;       // 0 .. 1: the core's start-up signal

  // 4. Message queue: 128 CoreMessage items; contents only under message_lock.
  fifo_handle message_queue = nullptr;

  // 5. Channel tables (kept; guarded by out_lock / in_lock).
  ChannelSlot out_channels[kMaxChannels];
  ChannelSlot in_channels[kMaxChannels];

  // 6. Capability values (kept). Written by the core at start-up and again by the width and
  // count queries on application threads while the transfer threads may read them.
  std::atomic<int16_t> out_channel_count{0};
  std::atomic<int16_t> in_channel_count{0};
  std::atomic<int16_t> out_sample_bits{0};
  std::atomic<int16_t> in_sample_bits{0};
  std::atomic<int32_t> out_packet_size{0};
  std::atomic<int32_t> in_packet_size{0};

  // 7. Sample-rate lists (kept), filled by the core before the open returns.
  int32_t in_sample_rates[kRateListCapacity] = {};
  int32_t in_rate_count = 0;
  int32_t out_sample_rates[kRateListCapacity] = {};
  int32_t out_rate_count = 0;

  // 8. Identity (kept), and the descriptor copies owned while the core runs.
  char product_name[kProductNameSize] = {};
  uint16_t driver_version = 0;
  uint16_t device_bcd = 0;
  std::unique_ptr<uint8_t[]> device_descriptor;  // 18 bytes
  std::unique_ptr<uint8_t[]> config_descriptor;  // config_descriptor_size bytes
  uint32_t config_descriptor_size = 0;

  // 9. Flags.
  std::atomic<uint8_t> streaming{0};
  std::atomic<uint8_t> out_active{0};  // under out_lock
  std::atomic<uint8_t> in_active{0};   // under in_lock
  std::atomic<uint8_t> core_failed{0};
  std::atomic<uint8_t> core_exit{0};
  std::atomic<uint8_t> run_requested{0};

  // 10. Status (kept): the last driver status recorded by the core or a transfer thread.
  std::atomic<uint32_t> last_status{0};

  // 12. Open timing (kept).
  int64_t perf_frequency = 0;
  int64_t open_start_count = 0;
  int64_t open_end_count = 0;
  int64_t open_elapsed_ns = 0;
};

// The one session of the process. (The log stream, member 11, lives with the log.)
extern DeviceSession g_session;

// Whether a session is open and usable: what every export that needs the core checks first.
inline bool session_usable() {
  return g_session.session_token.load() != 0;
}

}  // namespace vexdaq
