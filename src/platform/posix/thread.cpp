#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <system_error>

namespace vexdaq::platform {

namespace {

thread_local uint32_t t_last_error = 0;

void raise_own_priority() {
  // Real-time classes would let a runaway transfer thread starve the machine; the lowest nice
  // value the process may take is the POSIX counterpart of "highest" in the normal class. Linux
  // applies nice values per thread; elsewhere this changes the process, so it is left out.
#if defined(__linux__)
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  for (int nice_value = -20; nice_value < 0; nice_value += 5) {
    if (setpriority(PRIO_PROCESS, tid, nice_value) == 0) return;
  }
#endif
}

}  // namespace

std::unique_ptr<Thread> Thread::create(Entry entry, void *argument, Priority priority) {
  if (take_injected_creation_failure()) return nullptr;
  std::unique_ptr<Thread> thread(new (std::nothrow) Thread);
  if (!thread) return nullptr;
  try {
    thread->native_.thread = std::thread([entry, argument, priority] {
      if (priority == Priority::kHighest) raise_own_priority();
      entry(argument);
    });
  } catch (const std::system_error &) {
    return nullptr;
  }
  return thread;
}

Thread::~Thread() {
  // A thread still running here would be a bug of ours; joining keeps the process alive and
  // visible in a debugger instead of terminating it.
  if (native_.thread.joinable()) native_.thread.join();
}

void Thread::join() {
  if (native_.thread.joinable()) native_.thread.join();
}

void sleep_ms(uint32_t milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int64_t performance_counter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t performance_frequency() {
  return 1000000000LL;
}

uint32_t last_error() {
  return t_last_error;
}
void set_last_error(uint32_t status) {
  t_last_error = status;
}

}  // namespace vexdaq::platform
