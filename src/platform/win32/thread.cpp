#include "platform/thread.h"

#include "platform/process_end.h"
#include "win32_headers.h"

#include <new>

namespace vexdaq::platform {

namespace {

thread_local const char *t_scheduling = "normal";

// What the new thread runs; it owns and frees this record.
struct StartRecord {
  Thread::Entry entry;
  void *argument;
  bool raised;
};

// Win32 thread routines are __stdcall; the library's entries are plain functions.
DWORD WINAPI thread_start(void *start) {
  StartRecord record = *static_cast<StartRecord *>(start);
  delete static_cast<StartRecord *>(start);
  if (record.raised) t_scheduling = "THREAD_PRIORITY_HIGHEST";
  return record.entry(record.argument);
}

}  // namespace

std::unique_ptr<Thread> Thread::create(Entry entry, void *argument, Priority priority) {
  if (take_injected_creation_failure()) return nullptr;
  std::unique_ptr<Thread> thread(new (std::nothrow) Thread);
  auto *start = new (std::nothrow) StartRecord{entry, argument, false};
  if (!thread || start == nullptr) {
    delete start;
    return nullptr;
  }
  // Created suspended so that the priority is in place before the entry runs.
  HANDLE handle = CreateThread(nullptr, 0, thread_start, start, CREATE_SUSPENDED, nullptr);
  if (handle == nullptr) {
    delete start;
    return nullptr;
  }
  if (priority == Priority::kHighest) {
    start->raised = SetThreadPriority(handle, THREAD_PRIORITY_HIGHEST) != 0;
  }
  ResumeThread(handle);
  thread->native_.handle = handle;
  return thread;
}

Thread::~Thread() {
  // A thread still running here would be a bug of ours; waiting keeps the process alive and
  // visible in a debugger instead of leaving the thread to run on freed state.
  join();
}

void Thread::join() {
  if (native_.handle == nullptr) return;
  // At the process's end the system has ended the thread already; waiting could only hang.
  if (!process_is_ending()) WaitForSingleObject(native_.handle, INFINITE);
  CloseHandle(native_.handle);
  native_.handle = nullptr;
}

void set_current_thread_name(const char *name) {
  if (name == nullptr) return;
  // SetThreadDescription exists from Windows 10 1607 on; looked up so older systems still load.
  using SetDescription = HRESULT(WINAPI *)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void *>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set == nullptr) return;
  wchar_t text[32] = {};
  for (int i = 0; i < 31 && name[i] != '\0'; ++i) text[i] = static_cast<wchar_t>(name[i]);
  set(GetCurrentThread(), text);
}

const char *raise_current_thread_priority(int32_t) {
  if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)) {
    t_scheduling = "THREAD_PRIORITY_HIGHEST";
  }
  return t_scheduling;
}

const char *current_thread_realtime_refusal() {
  return "";
}

const char *current_thread_scheduling() {
  return t_scheduling;
}

void sleep_ms(uint32_t milliseconds) {
  Sleep(milliseconds);
}

int64_t performance_counter() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return count.QuadPart;
}

int64_t performance_frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

uint32_t last_error() {
  return GetLastError();
}
void set_last_error(uint32_t status) {
  SetLastError(status);
}

}  // namespace vexdaq::platform
