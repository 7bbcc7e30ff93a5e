// What the core layer owns: the session's threads, the start request, and the open's timing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/thread.h"

namespace vexdaq {

struct CoreState {
  std::unique_ptr<platform::Thread> core_thread_handle;
  std::unique_ptr<platform::Thread> txthread_handle;
  std::unique_ptr<platform::Thread> rxthread_handle;

  // Whether the application wants the stream to run: written by the core thread as it carries
  // out the messages (core_thread.cpp), and cleared by the open before the core starts.
  std::atomic<uint8_t> run_requested{0};

  // Open timing (kept).
  int64_t perf_frequency = 0;
  int64_t open_start_count = 0;
  int64_t open_end_count = 0;
  int64_t open_elapsed_ns = 0;
};

extern CoreState g_core;

}  // namespace vexdaq
