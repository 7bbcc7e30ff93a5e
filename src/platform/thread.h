// Threads, sleeping, the performance counter and the per-thread last error.
#pragma once

#include <cstdint>
#include <memory>

#include "platform_native.h"

namespace vexdaq::platform {

class Thread {
 public:
  using Entry = uint32_t (*)(void *argument);

  enum class Priority { kNormal, kHighest };

  // Starts entry(argument) on a new thread with the default stack. kHighest asks, best effort,
  // for the highest priority the process may give a thread in the normal class (not a
  // real-time one: see raise_current_thread_priority); the thread raises itself before it runs
  // entry (what it got: current_thread_scheduling). Returns null when the thread cannot be
  // created (nothing runs then).
  static std::unique_ptr<Thread> create(Entry entry, void *argument,
                                        Priority priority = Priority::kNormal);

  // The thread must have been joined before destruction.
  ~Thread();
  Thread(const Thread &) = delete;
  Thread &operator=(const Thread &) = delete;

  // Blocks without a time-out until the thread has returned. Once only; not from the thread
  // itself.
  void join();

 private:
  Thread() = default;
  NativeThread native_;
};

// Test hook: the next `count` calls of Thread::create fail as if the system had no threads left.
void fail_next_thread_creations(int32_t count);

// For the platform implementations of Thread::create: whether this creation is one the hook
// above asked to fail (it then counts as used). Any thread.
bool take_injected_creation_failure();

// Names the calling thread for debuggers, `top -H` and the benchmarks; Linux keeps 15
// characters. Best effort, never fails; any thread.
void set_current_thread_name(const char *name);

// Raises the calling thread, best effort: SCHED_FIFO at realtime_priority when that is above 0
// and the system allows it, else the lowest nice value the process may take (Linux), else
// nothing (on Windows: THREAD_PRIORITY_HIGHEST). Returns current_thread_scheduling(). A
// real-time class is only for a thread that always blocks between bursts of work: one that can
// loop without blocking would take a whole processor.
const char *raise_current_thread_priority(int32_t realtime_priority);

// What Thread::Priority::kHighest obtained for the calling thread, as text for the log:
// "nice -20", "SCHED_FIFO priority 10", "THREAD_PRIORITY_HIGHEST", or "normal" (also for a
// thread created with kNormal). Any thread; the text belongs to the calling thread.
const char *current_thread_scheduling();

// Why the calling thread's last raise_current_thread_priority did not get the real-time class
// it asked for, as text for the log ("EPERM, RLIMIT_RTPRIO 0"), or "" when it got it or did not
// ask (Windows: always ""). Any thread; the text belongs to the calling thread.
const char *current_thread_realtime_refusal();

void sleep_ms(uint32_t milliseconds);

// High-resolution monotonic counter and its ticks per second.
int64_t performance_counter();
int64_t performance_frequency();

// Per-thread status of the last failed platform or driver call (0: none).
uint32_t last_error();
void set_last_error(uint32_t status);

}  // namespace vexdaq::platform
