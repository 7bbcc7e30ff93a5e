// What the stream layer owns: the two channel tables with their FIFOs and locks, the active
// flags, the transfer slots, and the flags that say whether the stream runs, has failed, or its
// threads must end.
//
// Locks: out_lock guards out_channels (and their FIFOs' contents) and every store to out_active;
// in_lock the input side. No path holds both at once, nor one of them while it posts a message.
// The active flags are atomics so that the transfer threads can look without the lock.
//
// Closed values: no FIFOs, flags 0, slot events null. The channel tables' enabled flags are kept
// across a close.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/device_state.h"
#include "platform/sync.h"
#include "protocol/driver_types.h"
#include "session/fifo.h"
#include "session/session_state.h"

namespace vexdaq {

// Transfer slots per direction: the deepest queue of transfers a stream may keep in flight.
// 4096 packets of 512 bytes are 2 MiB per direction, inside the 16 MiB that Linux's usbfs lets
// a process have in flight by default (usbfs_memory_mb).
inline constexpr int kSlotCount = 4096;

// One channel of one direction.
struct ChannelSlot {
  uint8_t direction = 0;  // 0 output, 1 input; written when buffers are created
  uint8_t enabled = 0;    // 1: takes part in streaming
  int32_t channel = 0;    // the slot's own index
  fifo_handle fifo = nullptr;
};

// A flag others wait on. Any thread may read it; it changes only through set_streaming,
// set_core_failed and set_core_exit, which wake the blocked data calls and the idle transfer
// threads after the store, so that a waiter either sees the change or is woken by it.
class StreamFlag {
 public:
  uint8_t load() const { return value_.load(); }

 private:
  friend void set_streaming(bool on);
  friend void set_core_failed(bool failed);
  friend void set_core_exit(bool exit);
  std::atomic<uint8_t> value_{0};
};

struct StreamState {
  platform::Mutex out_lock;
  platform::Mutex in_lock;
  ChannelSlot out_channels[kMaxChannels] GUARDED_BY(out_lock);
  ChannelSlot in_channels[kMaxChannels] GUARDED_BY(in_lock);
  std::atomic<uint8_t> out_active{0};  // stored under out_lock
  std::atomic<uint8_t> in_active{0};   // stored under in_lock

  // Each direction's slots belong to its transfer thread while a period runs, and to the open
  // and the close otherwise (they create and free the events).
  XferSlot tx_slots[kSlotCount];
  XferSlot rx_slots[kSlotCount];

  StreamFlag streaming;    // the core's: set when a stream starts, cleared when it stops
  StreamFlag core_failed;  // the core or a transfer thread failed; the data calls fail with it
  StreamFlag core_exit;    // the session's threads must end
};

extern StreamState g_stream;

// The core thread's, and the open's and close's: each stores the flag and wakes its waiters.
void set_streaming(bool on);
// Stored under message_lock, where the data calls read it beside the queue's state.
void set_core_failed(bool failed) EXCLUDES(g_session.message_lock);
void set_core_exit(bool exit);

// Gives every transfer slot a fresh event and a clear status (the device open), or frees the
// events (the close, after the handles: closing a handle completes its pending transfers, which
// set their slot's event).
void open_transfer_slots();
void close_transfer_slots();

}  // namespace vexdaq
