// Mutex with its condition variable, counting semaphore and auto-reset event: the waitable
// objects the library uses. Each wraps the platform's native object (platform_native.h, chosen by
// the build); none of them is copyable or movable, so its address can be shared between threads
// for its whole life. The mutex is a Clang capability: members it guards say GUARDED_BY, and
// -Wthread-safety checks every access (scripts/thread-safety.sh).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

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

// On POSIX priority-inheriting where the system has it (platform_native.h says why); on Windows
// a slim reader/writer lock taken exclusively.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  // Blocks without a time-out until the calling thread owns the mutex. Not recursive; the
  // thread that locked it unlocks it.
  void lock() ACQUIRE();
  // Takes the mutex if nobody holds it; never blocks. On Windows Vista, which cannot try a slim
  // lock, it always reports the mutex busy.
  bool try_lock() TRY_ACQUIRE(true);
  void unlock() RELEASE();

 private:
  friend class CondVar;
  NativeMutex native_;
};

// Holds a mutex for its scope. unlock() and lock() let it go and take it back within the scope,
// for code that must run without it (callbacks that may take it themselves); the destructor
// releases it only when held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex &m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) m_.unlock();
  }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

  void unlock() RELEASE() {
    held_ = false;
    m_.unlock();
  }
  void lock() ACQUIRE() {
    m_.lock();
    held_ = true;
  }

 private:
  Mutex &m_;
  bool held_ = true;
};

// Condition variable for a Mutex. A wait may also return without a notify: callers wait in a loop
// on their condition. The waits take the mutex itself, so that the analysis checks it is held.
class CondVar {
 public:
  using Clock = std::chrono::steady_clock;

  CondVar() = default;
  CondVar(const CondVar &) = delete;
  CondVar &operator=(const CondVar &) = delete;

  void wait(Mutex &mutex) REQUIRES(mutex);
  // False once the deadline has passed (the mutex is held again either way).
  bool wait_until(Mutex &mutex, Clock::time_point deadline) REQUIRES(mutex);
  bool wait_for(Mutex &mutex, std::chrono::milliseconds timeout) REQUIRES(mutex) {
    return wait_until(mutex, deadline_after(timeout));
  }
  // Never block; any thread, with or without the mutex.
  void notify_one();
  void notify_all();

 private:
  static Clock::time_point deadline_after(std::chrono::milliseconds timeout) {
    const Clock::time_point now = Clock::now();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return timeout >= left ? Clock::time_point::max() : now + timeout;
  }

  NativeCondVar native_;
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

// Creation that reports failure as a null pointer instead of an exception, as the library's
// callers expect from the platform's object constructors.
std::unique_ptr<Mutex> create_mutex();
std::unique_ptr<Semaphore> create_semaphore(int32_t initial, int32_t maximum);
std::unique_ptr<Event> create_event(bool initially_set = false);

}  // namespace vexdaq::platform
