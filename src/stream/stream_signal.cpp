#include "stream/stream_signal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "stream/stream_state.h"

namespace vexdaq {

namespace {

std::mutex g_signal_mutex;
std::condition_variable g_signal;
uint64_t g_generation = 0;  // under g_signal_mutex
std::atomic<bool> g_device_told_to_stop{false};

}  // namespace

void stream_state_changed() {
  // Taking the mutex orders the caller's flag store before any waiter's next look at it.
  {
    std::lock_guard<std::mutex> hold(g_signal_mutex);
    ++g_generation;
  }
  g_signal.notify_all();
}

void wait_for_stream_state(bool (*done)()) {
  std::unique_lock<std::mutex> hold(g_signal_mutex);
  while (!done()) {
    g_signal.wait(hold);
  }
}

uint64_t stream_state_generation() {
  std::lock_guard<std::mutex> hold(g_signal_mutex);
  return g_generation;
}

void wait_for_stream_change(uint64_t seen) {
  std::unique_lock<std::mutex> hold(g_signal_mutex);
  while (g_generation == seen && g_stream.core_exit.load() == 0) g_signal.wait(hold);
}

void set_device_told_to_stop(bool told) {
  g_device_told_to_stop.store(told);
}

bool device_told_to_stop() {
  return g_device_told_to_stop.load();
}

}  // namespace vexdaq
