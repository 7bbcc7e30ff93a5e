#include "platform/sync.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
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
bool Mutex::try_lock() {
  return pthread_mutex_trylock(&native_.mutex) == 0;
}
void Mutex::unlock() {
  pthread_mutex_unlock(&native_.mutex);
}

NativeCondVar::NativeCondVar() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&cond, &attributes);
  pthread_condattr_destroy(&attributes);
}

NativeCondVar::~NativeCondVar() {
  pthread_cond_destroy(&cond);
}

void CondVar::wait(Mutex &mutex) {
  pthread_cond_wait(&native_.cond, &mutex.native_.mutex);
}

bool CondVar::wait_until(Mutex &mutex, Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) {
    wait(mutex);
    return true;
  }
  // The wait's clock is CLOCK_MONOTONIC: what is left of the deadline, from that clock's now.
  const int64_t left = std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count());
  timespec at{};
  clock_gettime(CLOCK_MONOTONIC, &at);
  const int64_t nanoseconds = at.tv_nsec + left % 1'000'000'000;
  at.tv_sec += static_cast<time_t>(left / 1'000'000'000 + nanoseconds / 1'000'000'000);
  at.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  return pthread_cond_timedwait(&native_.cond, &mutex.native_.mutex, &at) != ETIMEDOUT;
}

void CondVar::notify_one() {
  pthread_cond_signal(&native_.cond);
}
void CondVar::notify_all() {
  pthread_cond_broadcast(&native_.cond);
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
