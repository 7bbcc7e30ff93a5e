// WaitWord where there is no futex (Windows, macOS): a mutex and a condition variable.
#include "platform/sync.h"

#if !defined(__linux__)

namespace vexdaq::platform {

uint32_t WaitWord::load() const {
  return native_.word.load(std::memory_order_seq_cst);
}

void WaitWord::advance() {
  {
    std::lock_guard<std::mutex> hold(native_.mutex);
    native_.word.fetch_add(1, std::memory_order_seq_cst);
  }
  native_.changed.notify_all();
}

void WaitWord::wait_while(uint32_t seen) {
  std::unique_lock<std::mutex> hold(native_.mutex);
  native_.changed.wait(hold, [&] { return native_.word.load() != seen; });
}

}  // namespace vexdaq::platform

#endif  // !__linux__
