// Mutex, counting semaphore and auto-reset event: the three waitable objects the library uses.
// Each wraps the platform's native object (platform_native.h, chosen by the build); none of them
// is copyable or movable, so its address can be shared between threads for its whole life.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/thread_annotations.h"
#include "platform_native.h"

namespace vexdaq::platform {

// Result of a timed wait. The values are those of the Win32 wait functions, because the log
// prints them ("retval = 0x102" for a time-out).
enum class WaitResult : uint32_t {
  kSignaled = 0x0,
  kTimedOut = 0x102,
  kFailed = 0xFFFFFFFF,
};

inline constexpr uint32_t kWaitForever = 0xFFFFFFFF;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  // Blocks without a time-out until the calling thread owns the mutex. Not recursive.
  void lock() ACQUIRE();
  void unlock() RELEASE();

 private:
  NativeMutex native_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex &m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex &m_;
};

// Counting semaphore with a maximum count.
class Semaphore {
 public:
  Semaphore(int32_t initial, int32_t maximum);
  Semaphore(const Semaphore &) = delete;
  Semaphore &operator=(const Semaphore &) = delete;

  // Adds count (>= 1) and wakes waiters. Fails, changing nothing, when the count would pass the
  // maximum. Never blocks; any thread.
  bool release(int32_t count = 1);
  // Takes one count, waiting up to timeout_ms (kWaitForever: no limit).
  WaitResult wait(uint32_t timeout_ms = kWaitForever);
  // Current count; for tests and diagnostics only (it may change at once).
  int32_t count() const;

 private:
  NativeSemaphore native_;
};

// Auto-reset event: set() lets exactly one wait() through, then the event is clear again.
class Event {
 public:
  explicit Event(bool initially_set = false);
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;

  // Never block; any thread.
  void set();
  void reset();
  // Returns kSignaled (consuming the signal) or kTimedOut after timeout_ms (kWaitForever: no
  // limit). timeout_ms 0 polls.
  WaitResult wait(uint32_t timeout_ms = kWaitForever);
  // Whether the event is set, without consuming it; for tests only.
  bool is_set() const;

 private:
  NativeEvent native_;
};

// A 32-bit counter that threads can sleep on until it changes: the epoch of an eventcount. On
// Linux one futex word, so a change takes no lock that a sleeper could hold.
class WaitWord {
 public:
  WaitWord() = default;
  WaitWord(const WaitWord &) = delete;
  WaitWord &operator=(const WaitWord &) = delete;

  uint32_t load() const;
  // Adds one and wakes every thread sleeping on the word. Never blocks for long; any thread.
  void advance();
  // Sleeps until the word differs from `seen`; returns at once when it already does.
  void wait_while(uint32_t seen);

 private:
  NativeWaitWord native_;
};

// Makes a std::mutex nobody holds or waits for yet inherit the priority of its waiters, where
// the system has that (POSIX PTHREAD_PRIO_INHERIT; elsewhere it stays as it is): a real-time
// thread waiting for it then lends its priority to a normal thread that holds it, instead of
// waiting for as long as the other programs keep that thread from running. Returns whether it
// does. Call before the mutex is first used.
bool make_priority_inheriting(std::mutex &mutex);

// Creation that reports failure as a null pointer instead of an exception, as the library's
// callers expect from the platform's object constructors.
std::unique_ptr<Mutex> create_mutex();
std::unique_ptr<Semaphore> create_semaphore(int32_t initial, int32_t maximum);
std::unique_ptr<Event> create_event(bool initially_set = false);

}  // namespace vexdaq::platform
