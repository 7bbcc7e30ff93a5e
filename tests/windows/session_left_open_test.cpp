// Applications that end with a session of vexdaq.dll still open: returning from main, or first
// unloading the DLL with FreeLibrary, while the session idles or streams. The process must end
// at once with the application's own exit code, and the log must keep what was written.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/test_support.h"
#include "win32_headers.h"

namespace {

struct Ending {
  bool reached_return = false;  // the program got as far as returning from main
  bool ended = false;           // and then ended within the time allowed
  DWORD exit_code = 0;
};

std::wstring beside_this_program(const wchar_t *file) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + file;
}

// Runs session_left_open.exe with `mode` and `ending` (see that program). Starting a process on a
// loaded machine may be slow, so only the time from its return out of main is bounded: 5 s, where
// a sound exit takes milliseconds and a hung one never ends.
Ending run(const wchar_t *mode, const wchar_t *ending) {
  static std::atomic<int> runs{0};
  const std::wstring event_name = L"vexdaq-session-left-open-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(runs.fetch_add(1));
  Ending result;
  HANDLE returning = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  if (returning == nullptr) return result;
  std::wstring command = L"\"" + beside_this_program(L"session_left_open.exe") + L"\" " + mode +
                         L" " + ending + L" " + event_name;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    CloseHandle(returning);
    return result;
  }
  HANDLE either[2] = {returning, process.hProcess};
  const DWORD first = WaitForMultipleObjects(2, either, FALSE, 120000);
  result.reached_return = WaitForSingleObject(returning, 0) == WAIT_OBJECT_0;
  if (first != WAIT_TIMEOUT) {
    result.ended = WaitForSingleObject(process.hProcess, 5000) == WAIT_OBJECT_0;
  }
  if (!result.ended) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(returning);
  return result;
}

void expect_prompt_clean_end(const wchar_t *mode, const wchar_t *ending, bool streamed,
                             bool closed = false) {
  const Ending result = run(mode, ending);
  EXPECT_TRUE(result.reached_return) << "exit code " << result.exit_code;
  EXPECT_TRUE(result.ended) << "still running 5 s after returning from main";
  EXPECT_EQ(result.exit_code, 0u);
  // The log lines written before the end are in the file.
  EXPECT_TRUE(vexdaq::testing::log_has("vexdaq_device_open success"));
  EXPECT_EQ(vexdaq::testing::log_has("vexdaq_start\r\n"), streamed);
  EXPECT_EQ(vexdaq::testing::log_has("vexdaq_device_close\r\n"), closed);
}

TEST(SessionLeftOpen, ReturningFromMainWhileIdleEndsTheProcess) {
  expect_prompt_clean_end(L"idle", L"return", false);
}

TEST(SessionLeftOpen, ReturningFromMainWhileStreamingEndsTheProcess) {
  expect_prompt_clean_end(L"streaming", L"return", true);
}

TEST(SessionLeftOpen, FreeLibraryWhileIdleThenReturningEndsTheProcess) {
  expect_prompt_clean_end(L"idle", L"unload", false);
}

TEST(SessionLeftOpen, FreeLibraryWhileStreamingThenReturningEndsTheProcess) {
  expect_prompt_clean_end(L"streaming", L"unload", true);
}

// The virtual instrument's clock thread outlives the session: the unload must not wait for it
// under the loader lock.
TEST(SessionLeftOpen, FreeLibraryAfterTheCloseWithTheInstrumentPluggedReturns) {
  expect_prompt_clean_end(L"streaming", L"close-unload", true, true);
}

}  // namespace
