// References on the module that holds the library: the DLL, or the program it is linked into.
#include "platform/process_end.h"
#include "win32_headers.h"

namespace vexdaq::platform {

namespace {

// Any address inside this module names it.
const char g_anchor = 0;

}  // namespace

void hold_library() {
  HMODULE module = nullptr;
  // Without the UNCHANGED_REFCOUNT flag the module's reference count goes up by one.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&g_anchor),
                     &module);
}

void release_library() {
  // At the process's end the system unloads everything anyway.
  if (process_is_ending()) return;
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&g_anchor), &module)) {
    FreeLibrary(module);
  }
}

}  // namespace vexdaq::platform
