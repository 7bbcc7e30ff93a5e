#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

namespace vexdaq::platform {

namespace {

thread_local uint32_t t_last_error = 0;
thread_local char t_scheduling[32] = "normal";
thread_local char t_refusal[64] = "";

// The reason a SCHED_FIFO request failed with `error`, and the limit that decides it.
void note_refusal(int error) {
  const char *name = error == EPERM ? "EPERM" : error == EINVAL ? "EINVAL" : "error";
  rlimit limit{};
#if defined(RLIMIT_RTPRIO)
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0) {
    std::snprintf(t_refusal, sizeof t_refusal, "%s, RLIMIT_RTPRIO %lld", name,
                  limit.rlim_cur == RLIM_INFINITY ? -1LL : static_cast<long long>(limit.rlim_cur));
    return;
  }
#endif
  (void)limit;
  std::snprintf(t_refusal, sizeof t_refusal, "%s %d", name, error);
}

}  // namespace

// realtime_priority > 0 asks for SCHED_FIFO at that priority first. The library's own threads do
// not: a transfer thread whose transfers complete at once (a free-running virtual instrument, a
// device that fails every transfer) is a busy loop, and at a real-time priority it would take a
// whole processor from everything else (measured: a libusb stream over a faked usbfs stalled for
// a minute). Otherwise the lowest nice value the process may take: the POSIX counterpart of
// "highest" in the normal class. Linux applies nice values per thread; elsewhere it would change
// the whole process, so it is left out there.
const char *raise_current_thread_priority(int32_t realtime_priority) {
  sched_param param{};
  param.sched_priority = realtime_priority;
  t_refusal[0] = '\0';
  if (realtime_priority > 0) {
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error == 0) {
      std::snprintf(t_scheduling, sizeof t_scheduling, "SCHED_FIFO priority %d",
                    static_cast<int>(realtime_priority));
      return t_scheduling;
    }
    note_refusal(error);
  }
  if (realtime_priority <= 0) {
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);  // back from a real-time class
  }
#if defined(__linux__)
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  for (int nice_value = -20; nice_value < 0; nice_value += 5) {
    if (setpriority(PRIO_PROCESS, tid, nice_value) == 0) {
      std::snprintf(t_scheduling, sizeof t_scheduling, "nice %d", nice_value);
      return t_scheduling;
    }
  }
#endif
  return t_scheduling;
}

std::unique_ptr<Thread> Thread::create(Entry entry, void *argument, Priority priority) {
  if (take_injected_creation_failure()) return nullptr;
  std::unique_ptr<Thread> thread(new (std::nothrow) Thread);
  if (!thread) return nullptr;
  try {
    thread->native_.thread = std::thread([entry, argument, priority] {
      if (priority == Priority::kHighest) raise_current_thread_priority(0);
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

void set_current_thread_name(const char *name) {
  if (name == nullptr) return;
#if defined(__linux__)
  char text[16] = {};
  for (int i = 0; i < 15 && name[i] != '\0'; ++i) text[i] = name[i];
  pthread_setname_np(pthread_self(), text);
#elif defined(__APPLE__)
  pthread_setname_np(name);
#endif
}

const char *current_thread_scheduling() {
  return t_scheduling;
}

const char *current_thread_realtime_refusal() {
  return t_refusal;
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
