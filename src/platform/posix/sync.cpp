#include "platform/sync.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <new>

namespace vexdaq::platform {

namespace {

#if !defined(__linux__)
template <typename Predicate>
bool wait_until(std::unique_lock<std::mutex> &lock, std::condition_variable &cv,
                uint32_t timeout_ms, Predicate ready) {
  if (timeout_ms == kWaitForever) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
}

#endif

}  // namespace

NativeMutex::NativeMutex() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
#if defined(_POSIX_THREAD_PRIO_INHERIT) && _POSIX_THREAD_PRIO_INHERIT > 0
  pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
#endif
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

NativeMutex::~NativeMutex() {
  pthread_mutex_destroy(&mutex);
}

void Mutex::lock() {
  pthread_mutex_lock(&native_.mutex);
}
void Mutex::unlock() {
  pthread_mutex_unlock(&native_.mutex);
}

#if !defined(__linux__)  // Linux: futex_sync.cpp
Semaphore::Semaphore(int32_t initial, int32_t maximum) {
  native_.count = initial;
  native_.maximum = maximum;
}

bool Semaphore::release(int32_t count) {
  {
    std::lock_guard lock(native_.mutex);
    if (count < 1 || count > native_.maximum - native_.count) return false;
    native_.count += count;
  }
  native_.changed.notify_all();
  return true;
}

WaitResult Semaphore::wait(uint32_t timeout_ms) {
  std::unique_lock lock(native_.mutex);
  if (!wait_until(lock, native_.changed, timeout_ms, [this] { return native_.count > 0; })) {
    return WaitResult::kTimedOut;
  }
  --native_.count;
  return WaitResult::kSignaled;
}

int32_t Semaphore::count() const {
  std::lock_guard lock(native_.mutex);
  return native_.count;
}

Event::Event(bool initially_set) {
  native_.set = initially_set;
}

void Event::set() {
  // Notify under the lock: a waiter that owns the event may destroy it as soon as it sees the
  // flag, which must not happen while this call still touches the condition variable.
  std::lock_guard lock(native_.mutex);
  native_.set = true;
  native_.changed.notify_one();
}

void Event::reset() {
  std::lock_guard lock(native_.mutex);
  native_.set = false;
}

WaitResult Event::wait(uint32_t timeout_ms) {
  std::unique_lock lock(native_.mutex);
  if (!wait_until(lock, native_.changed, timeout_ms, [this] { return native_.set; })) {
    return WaitResult::kTimedOut;
  }
  native_.set = false;  // auto-reset: this waiter consumed the signal
  return WaitResult::kSignaled;
}

bool Event::is_set() const {
  std::lock_guard lock(native_.mutex);
  return native_.set;
}

#endif

bool make_priority_inheriting(std::mutex &mutex) {
#if defined(_POSIX_THREAD_PRIO_INHERIT) && _POSIX_THREAD_PRIO_INHERIT > 0
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool done = false;
  if (pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) == 0) {
    // The std::mutex was initialised statically, as a plain mutex; nothing else knows it yet.
    pthread_mutex_t *native = mutex.native_handle();
    pthread_mutex_destroy(native);
    done = pthread_mutex_init(native, &attributes) == 0;
  }
  pthread_mutexattr_destroy(&attributes);
  return done;
#else
  (void)mutex;
  return false;
#endif
}

std::unique_ptr<Mutex> create_mutex() {
  return std::unique_ptr<Mutex>(new (std::nothrow) Mutex);
}

std::unique_ptr<Semaphore> create_semaphore(int32_t initial, int32_t maximum) {
  if (maximum < 1 || initial < 0 || initial > maximum) return nullptr;
  return std::unique_ptr<Semaphore>(new (std::nothrow) Semaphore(initial, maximum));
}

std::unique_ptr<Event> create_event(bool initially_set) {
  return std::unique_ptr<Event>(new (std::nothrow) Event(initially_set));
}

}  // namespace vexdaq::platform
