// A Windows application that ends with its session still open, as windows_tests runs it:
//   session_left_open <idle|streaming> <return|unload|close-unload> <event name>
// It loads vexdaq.dll from beside itself, opens a virtual instrument (and streams from it when
// asked), with "unload" calls FreeLibrary on the DLL, with "close-unload" closes the session and
// then calls FreeLibrary (the instrument still plugged), sets the named event and returns from
// main. Exit codes other than 0 name the step that failed.
#include <cstdint>
#include <cstring>

#include "win32_headers.h"

namespace {

HMODULE g_dll = nullptr;

template <typename Function>
Function find(const char *name) {
  return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(g_dll, name)));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) return 10;
  const bool streaming = std::strcmp(argv[1], "streaming") == 0;
  const bool close_first = std::strcmp(argv[2], "close-unload") == 0;
  const bool unload = close_first || std::strcmp(argv[2], "unload") == 0;
  g_dll = LoadLibraryW(L"vexdaq.dll");  // the application's own folder is searched first
  if (g_dll == nullptr) return 11;

  using Plug = int32_t(__cdecl *)(const char *);
  using NoArgs = int32_t(__cdecl *)(void);
  using Index = int32_t(__cdecl *)(int32_t);
  using Mask = int32_t(__cdecl *)(uint64_t);
  using TwoInts = int32_t(__cdecl *)(int32_t, int32_t);
  using Receive = int32_t(__cdecl *)(int32_t, uint8_t *, int32_t, int32_t);
  if (find<Plug>("vexdaq_sim_plug")("exclusive=1;pacing=free;waveform=counter") < 0) return 12;
  if (find<Index>("vexdaq_device_open")(0) != 0) return 13;
  if (streaming) {
    if (find<TwoInts>("vexdaq_create_buffers")(256, 4096) != 0) return 14;
    if (find<Mask>("vexdaq_set_input_channel")(0x1) != 0) return 15;
    if (find<Mask>("vexdaq_set_output_channel")(0x1) != 0) return 16;
    if (find<NoArgs>("vexdaq_start")() != 0) return 17;
    uint8_t samples[64];  // data flowing: the stream's threads are busy
    if (find<Receive>("vexdaq_recv_data")(0, samples, sizeof samples, 1) <= 0) return 18;
  }
  if (close_first) find<void(__cdecl *)(void)>("vexdaq_device_close")();
  if (unload && !FreeLibrary(g_dll)) return 19;

  HANDLE returning = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
  if (returning == nullptr || !SetEvent(returning)) return 20;
  CloseHandle(returning);
  return 0;
}
