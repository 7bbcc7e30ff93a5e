// Win32 native types behind the platform seam. Each holds a kernel object's HANDLE as void *, so
// that this header (included nearly everywhere) does not pull <windows.h> and its macros in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vexdaq::platform {

// A null handle means creation failed; create_mutex and friends then return null.
struct NativeMutex {
  NativeMutex();
  ~NativeMutex();
  NativeMutex(const NativeMutex &) = delete;
  NativeMutex &operator=(const NativeMutex &) = delete;
  void *handle = nullptr;
};

struct NativeSemaphore {
  NativeSemaphore(int initial, int maximum);
  ~NativeSemaphore();
  NativeSemaphore(const NativeSemaphore &) = delete;
  NativeSemaphore &operator=(const NativeSemaphore &) = delete;
  void *handle = nullptr;
};

// Auto-reset event.
struct NativeEvent {
  explicit NativeEvent(bool initially_set);
  ~NativeEvent();
  NativeEvent(const NativeEvent &) = delete;
  NativeEvent &operator=(const NativeEvent &) = delete;
  void *handle = nullptr;
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
