// The test hook that makes thread creation fail, shared by every platform's Thread::create.
#include <atomic>

#include "platform/thread.h"

namespace vexdaq::platform {

namespace {

std::atomic<int32_t> g_failing_creations{0};

}  // namespace

void fail_next_thread_creations(int32_t count) {
  g_failing_creations.store(count);
}

bool take_injected_creation_failure() {
  int32_t failing = g_failing_creations.load();
  while (failing > 0) {
    if (g_failing_creations.compare_exchange_weak(failing, failing - 1)) return true;
  }
  return false;
}

}  // namespace vexdaq::platform
