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

namespace vexdaq {

// Wakes the blocked data calls and the idle transfer threads (stream_signal.h).
void notify_stream_waiters();

// Wakes the blocked data calls only, and costs one atomic load when nobody waits: the transfer
// threads call it after every packet.
void wake_stream_waiters();

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
  uint64_t seen_ = 0;
};

// How many threads are registered as waiting; for tests.
int32_t stream_waiter_count();

}  // namespace vexdaq
