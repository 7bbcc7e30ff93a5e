// Win32 native types behind the platform seam. Each holds a kernel object's HANDLE, or a slim
// lock or condition variable (one pointer each), as void *, so that this header (included nearly
// everywhere) does not pull <windows.h> and its macros in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vexdaq::platform {

// An SRWLOCK, taken exclusively: no kernel object, nothing to fail or to close, and the lock the
// condition variable below sleeps on. Null is SRWLOCK_INIT.
struct NativeMutex {
  NativeMutex() = default;
  NativeMutex(const NativeMutex &) = delete;
  NativeMutex &operator=(const NativeMutex &) = delete;
  void *lock = nullptr;
};

// A CONDITION_VARIABLE; null is CONDITION_VARIABLE_INIT.
struct NativeCondVar {
  NativeCondVar() = default;
  NativeCondVar(const NativeCondVar &) = delete;
  NativeCondVar &operator=(const NativeCondVar &) = delete;
  void *condition = nullptr;
};

// A null handle means creation failed; create_semaphore then returns null.
struct NativeSemaphore {
  NativeSemaphore(int initial, int maximum);
  ~NativeSemaphore();
  NativeSemaphore(const NativeSemaphore &) = delete;
  NativeSemaphore &operator=(const NativeSemaphore &) = delete;
  void *handle = nullptr;
};

// Auto-reset event: a flag under a slim lock with its condition variable, as NativeMutex and
// NativeCondVar hold them. No kernel object: a session gives each of its thousands of transfer
// slots an event, and a kernel object per slot would make every open and close pay a system
// call per slot (under Wine, a round trip to its server each, most of an open's time).
struct NativeEvent {
  explicit NativeEvent(bool initially_set) : set(initially_set) {}
  NativeEvent(const NativeEvent &) = delete;
  NativeEvent &operator=(const NativeEvent &) = delete;
  mutable void *lock = nullptr;  // mutable: is_set() takes it too
  mutable void *condition = nullptr;
  bool set = false;  // under lock
};

struct NativeWaitWord {
  std::atomic<uint32_t> word{0};  // changed under mutex
  std::mutex mutex;
  std::condition_variable changed;
};

struct NativeThread {
  void *handle = nullptr;  // null once joined
};

}  // namespace vexdaq::platform
