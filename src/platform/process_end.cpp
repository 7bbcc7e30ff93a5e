// The process-end flag, shared by every platform (only the Windows DLL entry point sets it).
#include "platform/process_end.h"

#include <atomic>

namespace vexdaq::platform {

namespace {

std::atomic<bool> g_process_ending{false};

}  // namespace

bool process_is_ending() {
  return g_process_ending.load();
}

void note_process_ending() {
  g_process_ending.store(true);
}

}  // namespace vexdaq::platform
