#include "stream/stream_signal.h"

#include <atomic>

#include "platform/sync.h"
#include "stream/stream_state.h"

namespace vexdaq {

namespace {

// Never destroyed (as a std::mutex in effect was): a thread or exit handler still running while
// the static destructors run may take it.
platform::Mutex &g_signal_mutex = *new platform::Mutex;
platform::CondVar &g_signal = *new platform::CondVar;
uint64_t g_generation GUARDED_BY(g_signal_mutex) = 0;
std::atomic<bool> g_device_told_to_stop{false};

}  // namespace

void stream_state_changed() {
  // Taking the mutex orders the caller's flag store before any waiter's next look at it.
  {
    platform::MutexLock hold(g_signal_mutex);
    ++g_generation;
  }
  g_signal.notify_all();
}

void wait_for_stream_state(bool (*done)()) {
  platform::MutexLock hold(g_signal_mutex);
  while (!done()) {
    g_signal.wait(g_signal_mutex);
  }
}

uint64_t stream_state_generation() {
  platform::MutexLock hold(g_signal_mutex);
  return g_generation;
}

void wait_for_stream_change(uint64_t seen) {
  platform::MutexLock hold(g_signal_mutex);
  while (g_generation == seen && g_stream.core_exit.load() == 0) g_signal.wait(g_signal_mutex);
}

void set_device_told_to_stop(bool told) {
  g_device_told_to_stop.store(told);
}

bool device_told_to_stop() {
  return g_device_told_to_stop.load();
}

}  // namespace vexdaq
