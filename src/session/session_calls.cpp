#include "session/session_calls.h"

#include <atomic>

#include "platform/sync.h"

namespace vexdaq {

namespace {

struct CallCount {
  std::atomic<int32_t> inside{0};
  std::atomic<bool> tearing_down{false};
  platform::Mutex lock;
  platform::CondVar changed;  // a call left, or a teardown ended
};

// Never destroyed: the close at process exit may run after the static destructors.
CallCount &call_count() {
  static CallCount *const count = new CallCount;
  return *count;
}

void leave(CallCount &count) {
  if (count.inside.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
      count.tearing_down.load(std::memory_order_seq_cst)) {
    // Taking the lock orders the wake-up after the closer's look at the count.
    platform::MutexLock hold(count.lock);
    count.changed.notify_all();
  }
}

}  // namespace

// seq_cst on both sides: a call's increment and its look at tearing_down, against the close's
// store of tearing_down and its look at the count, cannot both miss each other.
SessionCall::SessionCall() {
  CallCount &count = call_count();
  for (;;) {
    count.inside.fetch_add(1, std::memory_order_seq_cst);
    if (!count.tearing_down.load(std::memory_order_seq_cst)) return;
    leave(count);
    platform::MutexLock hold(count.lock);
    while (count.tearing_down.load()) count.changed.wait(count.lock);
  }
}

SessionCall::~SessionCall() {
  leave(call_count());
}

SessionTeardown::SessionTeardown() {
  CallCount &count = call_count();
  count.tearing_down.store(true, std::memory_order_seq_cst);
  platform::MutexLock hold(count.lock);
  while (count.inside.load(std::memory_order_seq_cst) != 0) count.changed.wait(count.lock);
}

SessionTeardown::~SessionTeardown() {
  CallCount &count = call_count();
  {
    platform::MutexLock hold(count.lock);
    count.tearing_down.store(false);
  }
  count.changed.notify_all();
}

int32_t session_call_count() {
  return call_count().inside.load();
}

}  // namespace vexdaq
