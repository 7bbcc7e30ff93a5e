#include "support/process_counts.h"

#include <cstdint>

#if defined(_WIN32)
#include "win32_headers.h"
#else
#include <filesystem>
#endif

namespace vexdaq::testing {

#if defined(_WIN32)

int thread_count() {
  // Not counted: Windows starts and ends pool threads of its own in any process. A thread of the
  // library holds its handle until it is joined, which open_handle_count sees.
  return 0;
}

int open_handle_count() {
  DWORD reported = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &reported) && reported > 0) {
    return static_cast<int>(reported);
  }
  // Wine reports no count: try each value a handle of a small process takes (the lowest free
  // multiple of 4 is given out first).
  int count = 0;
  for (uintptr_t value = 4; value < 0x4000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

int open_handle_slack() {
  // Kernel objects kept across sessions on purpose: the C++ runtime's lazily made mutex and
  // condition-variable objects, and the message queue's pool of completion signals, which holds
  // one per application thread that ever waited on the core at once (the concurrency suite runs
  // a dozen and more).
  return 32;
}

#else

namespace {

int entries_of_this_process(const char *what) {
  int count = 0;
  std::error_code ec;
  for (auto it =
           std::filesystem::directory_iterator(std::filesystem::path("/proc/self") / what, ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

}  // namespace

int thread_count() {
  return entries_of_this_process("task");
}

int open_handle_count() {
  return entries_of_this_process("fd");
}

int open_handle_slack() {
  return 0;
}

#endif

}  // namespace vexdaq::testing
