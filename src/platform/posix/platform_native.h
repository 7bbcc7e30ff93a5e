// POSIX native types behind the platform seam.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vexdaq::platform {

// Priority-inheriting where the system has it: an application thread that holds a channel
// table's lock and is preempted by the machine's other work would otherwise keep a real-time
// transfer thread waiting for the lock, and the device's FIFO overflowing, for a whole time slice.
struct NativeMutex {
  NativeMutex();
  ~NativeMutex();
  NativeMutex(const NativeMutex &) = delete;
  NativeMutex &operator=(const NativeMutex &) = delete;
  pthread_mutex_t mutex;
};

// Waits measure their deadline on CLOCK_MONOTONIC (steady_clock's), so a change of the wall
// clock neither cuts a wait short nor stretches it.
struct NativeCondVar {
  NativeCondVar();
  ~NativeCondVar();
  NativeCondVar(const NativeCondVar &) = delete;
  NativeCondVar &operator=(const NativeCondVar &) = delete;
  pthread_cond_t cond;
};

#if defined(__linux__)
// One futex word each: the count (an event's: 0 or 1) and a flag for sleepers (futex_sync.cpp).
struct NativeSemaphore {
  std::atomic<uint32_t> word{0};
  int32_t maximum = 0;
};

struct NativeEvent {
  std::atomic<uint32_t> word{0};
};

struct NativeWaitWord {
  std::atomic<uint32_t> word{0};
};
#else
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

struct NativeWaitWord {
  std::atomic<uint32_t> word{0};  // changed under mutex
  std::mutex mutex;
  std::condition_variable changed;
};
#endif

struct NativeThread {
  std::thread thread;
};

}  // namespace vexdaq::platform
