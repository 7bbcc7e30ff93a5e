// Wakes application threads blocked in a streaming data call, so they look again at the FIFOs,
// the active flags and core_failed. Called by whoever changes one of those: the transfer threads
// after each packet, the core thread when streaming stops or starts, and anyone who sets or
// clears core_failed. Never blocks; any thread; no library lock needs to be held or free.
//
// The change must be made (and, for state under a library lock, that lock released) before the
// call: a waiter looks at the state under the same lock, so it either sees the change or is
// woken by the call. Never lost, never slept through.
#pragma once

#include <cstdint>

#include "session/fifo.h"

namespace vexdaq {

// Wakes the blocked data calls and the idle transfer threads (stream_signal.h).
void notify_stream_waiters();

// Wakes the blocked data calls only; costs one atomic load when nobody waits.
void wake_stream_waiters();

// What one blocked data call waits for, so that the transfer threads wake it only when a packet
// may have met it rather than after every packet. channel is 0..63, or kAllEnabledChannels for
// the all-channel calls (then every enabled channel must meet count). Lives on the waiting
// call's stack; linked into its direction's list under that direction's lock.
inline constexpr int32_t kAllEnabledChannels = -1;
struct WaitNeed {
  int32_t channel = 0;
  int32_t count = 0;
  WaitNeed *next = nullptr;
};

// Caller holds the direction's lock (out_lock for output, in_lock for input) for all three.
void add_wait_need(bool input, WaitNeed *need);
void remove_wait_need(bool input, WaitNeed *need);
// Whether some registered need is met now: stored samples (input) or free room (output) of at
// least its count in its channel, or in every enabled channel. Cheap when the list is empty.
bool wait_need_met(bool input);

// Stored samples (input) or free room (output) of a FIFO, or -1 when it cannot carry samples of
// sample_size bytes (no FIFO, or one made for another width).
int32_t movable_samples(const fifo_record *fifo, bool input, int32_t sample_size);

// One blocking data call's registration as a waiter. Use:
//   StreamWait wait;                      // registered for the whole call
//   for (;;) { wait.arm(); look at the state under its locks; if done break; wait.wait(); }
// Never hold out_lock, in_lock or message_lock across wait().
class StreamWait {
 public:
  StreamWait();
  ~StreamWait();
  StreamWait(const StreamWait &) = delete;
  StreamWait &operator=(const StreamWait &) = delete;

  // Remembers how many wake-ups have happened; call before each look at the state.
  void arm();
  // Blocks until a wake-up after the last arm(). Returns at once if one has already happened.
  void wait();

 private:
  uint32_t seen_ = 0;
};

// Stops of the stream carried out so far (streaming or not). A blocking all-channel data call
// remembers the count when it begins and returns 0 once it has moved: those calls do not look at
// the active flags, so without it a stop would leave them waiting for samples or room that no
// stream will bring.
uint64_t stream_stop_count();
// CORE THREAD, at the end of every stop: counts it and wakes the blocked data calls.
void count_stream_stop();

// How many threads are registered as waiting; for tests.
int32_t stream_waiter_count();

}  // namespace vexdaq
