#include "platform/sync.h"

#include "win32_headers.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>
#include <type_traits>

namespace vexdaq::platform {

namespace {

// Whether an object's kernel object exists. Each wrapper's only member is its native record, so
// a standard-layout wrapper and that record share their address.
template <typename Native, typename Object>
bool has_kernel_object(const Object *object) {
  static_assert(std::is_standard_layout_v<Object> && sizeof(Object) == sizeof(Native));
  return object != nullptr && reinterpret_cast<const Native *>(object)->handle != nullptr;
}

template <typename Native, typename Object>
std::unique_ptr<Object> keep_if_created(Object *object) {
  std::unique_ptr<Object> owned(object);
  if (!has_kernel_object<Native>(owned.get())) owned.reset();
  return owned;
}

// The slim lock and condition variable are one pointer each, kept in a void * (platform_native.h).
static_assert(sizeof(SRWLOCK) == sizeof(void *) && sizeof(CONDITION_VARIABLE) == sizeof(void *));

PSRWLOCK srw_lock(NativeMutex &native) {
  return reinterpret_cast<PSRWLOCK>(&native.lock);
}

PCONDITION_VARIABLE condition(NativeCondVar &native) {
  return reinterpret_cast<PCONDITION_VARIABLE>(&native.condition);
}

PSRWLOCK srw_lock(const NativeEvent &native) {
  return reinterpret_cast<PSRWLOCK>(&native.lock);
}

PCONDITION_VARIABLE condition(const NativeEvent &native) {
  return reinterpret_cast<PCONDITION_VARIABLE>(&native.condition);
}

// Windows 7 added the try of a slim lock; Vista, where the library runs too, has none, and there
// try_lock reports the mutex busy.
using TryAcquire = BOOLEAN(WINAPI *)(PSRWLOCK);

TryAcquire try_acquire_function() {
  static const TryAcquire function = reinterpret_cast<TryAcquire>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "TryAcquireSRWLockExclusive")));
  return function;
}

WaitResult wait_handle(void *handle, uint32_t timeout_ms) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WaitResult::kFailed;
  }
  switch (WaitForSingleObject(handle, timeout_ms == kWaitForever ? INFINITE : timeout_ms)) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignaled;
    case WAIT_TIMEOUT:
      return WaitResult::kTimedOut;
    default:
      return WaitResult::kFailed;
  }
}

}  // namespace

NativeSemaphore::NativeSemaphore(int initial, int maximum)
    : handle(CreateSemaphoreW(nullptr, initial, maximum, nullptr)) {}
NativeSemaphore::~NativeSemaphore() {
  if (handle != nullptr) CloseHandle(handle);
}

void Mutex::lock() {
  AcquireSRWLockExclusive(srw_lock(native_));
}
bool Mutex::try_lock() {
  const TryAcquire try_acquire = try_acquire_function();
  return try_acquire != nullptr && try_acquire(srw_lock(native_)) != FALSE;
}
void Mutex::unlock() {
  ReleaseSRWLockExclusive(srw_lock(native_));
}

void CondVar::wait(Mutex &mutex) {
  SleepConditionVariableSRW(condition(native_), srw_lock(mutex.native_), INFINITE, 0);
}

bool CondVar::wait_until(Mutex &mutex, Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) {
    wait(mutex);
    return true;
  }
  const Clock::time_point now = Clock::now();
  if (now >= deadline) return false;
  // Rounded up, so that a time-out means the deadline has passed; below INFINITE.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  const DWORD ms = static_cast<DWORD>(std::min<int64_t>(left, INFINITE - 1));
  if (SleepConditionVariableSRW(condition(native_), srw_lock(mutex.native_), ms, 0) != FALSE) {
    return true;
  }
  return Clock::now() < deadline;  // a time-out the timer's granularity ended early
}

void CondVar::notify_one() {
  WakeConditionVariable(condition(native_));
}
void CondVar::notify_all() {
  WakeAllConditionVariable(condition(native_));
}

Semaphore::Semaphore(int32_t initial, int32_t maximum) : native_(initial, maximum) {}

bool Semaphore::release(int32_t count) {
  if (count < 1) return false;
  return ReleaseSemaphore(native_.handle, count, nullptr) != FALSE;
}

WaitResult Semaphore::wait(uint32_t timeout_ms) {
  return wait_handle(native_.handle, timeout_ms);
}

int32_t Semaphore::count() const {
  // Win32 has no query of a semaphore's count: take one and give it back, learning the count.
  if (WaitForSingleObject(native_.handle, 0) != WAIT_OBJECT_0) return 0;
  LONG previous = 0;
  ReleaseSemaphore(native_.handle, 1, &previous);
  return static_cast<int32_t>(previous) + 1;
}

Event::Event(bool initially_set) : native_(initially_set) {}

void Event::set() {
  // Woken under the lock: a waiter that owns the event may destroy it as soon as it sees the
  // flag, which must not happen while this call still touches the condition variable.
  AcquireSRWLockExclusive(srw_lock(native_));
  native_.set = true;
  WakeConditionVariable(condition(native_));
  ReleaseSRWLockExclusive(srw_lock(native_));
}

void Event::reset() {
  AcquireSRWLockExclusive(srw_lock(native_));
  native_.set = false;
  ReleaseSRWLockExclusive(srw_lock(native_));
}

WaitResult Event::wait(uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeout_ms == kWaitForever;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  AcquireSRWLockExclusive(srw_lock(native_));
  while (!native_.set) {
    DWORD ms = INFINITE;
    if (!forever) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) break;
      // Rounded up, so that a time-out means the deadline has passed.
      ms = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }
    // A time-out, or a wake without the flag, is looked at again against the deadline.
    SleepConditionVariableSRW(condition(native_), srw_lock(native_), ms, 0);
  }
  const bool signaled = native_.set;
  native_.set = false;  // auto-reset: this waiter consumed the signal
  ReleaseSRWLockExclusive(srw_lock(native_));
  return signaled ? WaitResult::kSignaled : WaitResult::kTimedOut;
}

bool Event::is_set() const {
  AcquireSRWLockExclusive(srw_lock(native_));
  const bool set = native_.set;
  ReleaseSRWLockExclusive(srw_lock(native_));
  return set;
}

std::unique_ptr<Mutex> create_mutex() {
  return std::unique_ptr<Mutex>(new (std::nothrow) Mutex);
}

std::unique_ptr<Semaphore> create_semaphore(int32_t initial, int32_t maximum) {
  if (maximum < 1 || initial < 0 || initial > maximum) return nullptr;
  return keep_if_created<NativeSemaphore>(new (std::nothrow) Semaphore(initial, maximum));
}

std::unique_ptr<Event> create_event(bool initially_set) {
  return std::unique_ptr<Event>(new (std::nothrow) Event(initially_set));
}

}  // namespace vexdaq::platform
