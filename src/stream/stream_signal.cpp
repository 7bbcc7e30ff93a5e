#include "stream/stream_signal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vexdaq {

namespace {

std::mutex g_signal_mutex;
std::condition_variable g_signal;

}  // namespace

void stream_state_changed() {
  // Taking the mutex orders the caller's flag store before any waiter's next look at it.
  { std::lock_guard<std::mutex> hold(g_signal_mutex); }
  g_signal.notify_all();
}

void wait_for_stream_state(bool (*done)()) {
  std::unique_lock<std::mutex> hold(g_signal_mutex);
  while (!done()) {
    g_signal.wait_for(hold, std::chrono::milliseconds(kStreamSignalFallbackMs));
  }
}

}  // namespace vexdaq
