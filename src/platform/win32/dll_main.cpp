// The DLL's entry point (linked into vexdaq.dll only, named with the linker's -e in
// cmake/Windows.cmake): MinGW's runtime entry, except at the process's end.
//
// A detach with `reserved` non-null is the process ending. The system has then already ended
// every other thread, wherever it was: inside a lock, a wake-up or a transfer's completion. The
// runtime's teardown (the library's exit handler, then its static destructors) would wait for
// some of them and never return, so it is skipped: the system reclaims memory, handles and files,
// and every log line is on disk already (each is flushed as it is written).
// A detach with `reserved` null is FreeLibrary. It runs the teardown under the loader lock, where
// joining a thread would deadlock (the thread's own exit needs that lock); the library avoids it
// by holding its module while threads of its own run (see process_end.h).
#include "platform/process_end.h"
#include "win32_headers.h"

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE module, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI vexdaq_dll_entry(HANDLE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    vexdaq::platform::note_process_ending();
    return TRUE;
  }
  return DllMainCRTStartup(module, reason, reserved);
}
