#include "stream/stream_waiters.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "stream/stream_signal.h"

namespace vexdaq {

namespace {

// An eventcount: waiters sleep until the epoch moves past the value they saw before looking at
// the state. The waiter count lets the per-packet wake-up skip the mutex when nobody waits; it is
// raised before the waiter's first look, so a notifier that changed the state after that look
// (ordered by the lock both take) always sees it.
std::atomic<int32_t> g_waiters{0};
std::mutex g_mutex;
std::condition_variable g_wakeup;
uint64_t g_epoch = 0;  // guarded by g_mutex

}  // namespace

void wake_stream_waiters() {
  if (g_waiters.load(std::memory_order_seq_cst) == 0) return;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    ++g_epoch;
  }
  g_wakeup.notify_all();
}

void notify_stream_waiters() {
  wake_stream_waiters();
  stream_state_changed();
}

StreamWait::StreamWait() {
  g_waiters.fetch_add(1, std::memory_order_seq_cst);
}

StreamWait::~StreamWait() {
  g_waiters.fetch_sub(1, std::memory_order_seq_cst);
}

void StreamWait::arm() {
  std::lock_guard<std::mutex> hold(g_mutex);
  seen_ = g_epoch;
}

void StreamWait::wait() {
  std::unique_lock<std::mutex> hold(g_mutex);
  g_wakeup.wait(hold, [this] { return g_epoch != seen_; });
}

int32_t stream_waiter_count() {
  return g_waiters.load();
}

}  // namespace vexdaq
