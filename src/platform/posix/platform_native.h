// POSIX native types behind the platform seam.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vexdaq::platform {

struct NativeMutex {
  std::mutex mutex;
};

struct NativeSemaphore {
  mutable std::mutex mutex;
  std::condition_variable changed;
  int32_t count = 0;
  int32_t maximum = 0;
};

struct NativeEvent {
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
};

struct NativeThread {
  std::thread thread;
};

}  // namespace vexdaq::platform
