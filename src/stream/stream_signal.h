// The signal that wakes idle transfer threads when the stream state changes.
//
// txthread and rxthread sleep here instead of polling while `streaming` is clear, and a thread
// without a packer (no channels, or an unusable sample width) sleeps here while streaming lasts.
//
// CORE THREAD: call stream_state_changed() right after every store to `streaming` (set or clear)
// and after setting `core_exit`. notify_stream_waiters() calls it too, so a core that already
// notifies the waiters after a `streaming` change only has to add the call after `core_exit`.
// The waits have no time-out (an idle session wakes no thread): without the call an idle
// thread does not notice the change at all.
#pragma once

#include <cstdint>

namespace vexdaq {

// Wakes every transfer thread blocked in wait_for_stream_state. Never blocks for long (takes the
// signal's own mutex briefly, never a library lock); any thread.
void stream_state_changed();

// Blocks the calling thread until done() returns true. done() is evaluated under the signal's
// mutex after each change, so a change made before stream_state_changed() is never missed.
// done() must only read atomics. Called without any library lock held.
void wait_for_stream_state(bool (*done)());

// How many times stream_state_changed() has been called. A thread that must notice every change
// (a stop followed at once by a start included) remembers it and waits for it to move.
uint64_t stream_state_generation();

// Blocks until the generation differs from `seen` or core_exit is set.
void wait_for_stream_change(uint64_t seen);

// Whether the device has been told to stop since the stream last started. A transfer started
// before that is flushed by the device's stop and completes; one started after it would not.
// Set by the core thread (cleared as a stream starts, set just before the stop request goes);
// read by any thread.
void set_device_told_to_stop(bool told);
bool device_told_to_stop();

}  // namespace vexdaq
