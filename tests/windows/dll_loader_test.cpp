// vexdaq.dll as a Windows application sees it that never saw our headers: loaded with
// LoadLibraryW from beside the program, each function found by its plain name with
// GetProcAddress and called through a cdecl pointer of its documented type.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "win32_headers.h"

namespace {

const char *const kExports[] = {
    "vexdaq_device_list",
    "vexdaq_device_open",
    "vexdaq_device_close",
    "vexdaq_start",
    "vexdaq_stop",
    "vexdaq_get_version",
    "vexdaq_get_information",
    "vexdaq_get_driver_version",
    "vexdaq_get_device_name",
    "vexdaq_get_device_version",
    "vexdaq_set_trigger_mode",
    "vexdaq_set_sample_mode",
    "vexdaq_can_sample_rate",
    "vexdaq_set_sample_rate",
    "vexdaq_get_sample_rate",
    "vexdaq_get_sample_width",
    "vexdaq_get_channel_count",
    "vexdaq_set_input_gear",
    "vexdaq_set_input_icp",
    "vexdaq_create_buffers",
    "vexdaq_dispose_buffers",
    "vexdaq_set_output_channel",
    "vexdaq_set_input_channel",
    "vexdaq_send_data",
    "vexdaq_recv_data",
    "vexdaq_send_all_data",
    "vexdaq_recv_all_data",
    "vexdaq_set_gpio_mode",
    "vexdaq_digital_io_write",
    "vexdaq_digital_io_read",
    "vexdaq_set_pwm",
    "vexdaq_set_counter",
    "vexdaq_counter_read",
    "vexdaq_set_uart_line_code",
    "vexdaq_UART_Write",
    "vexdaq_UART_Read",
    "vexdaq_I2C_Reg_Write",
    "vexdaq_I2C_Reg_Read",
    "vexdaq_firmware_download",
    "vexdaq_serial_download",
};
static_assert(sizeof kExports / sizeof kExports[0] == 40);

std::wstring beside_this_program(const wchar_t *file) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + file;
}

// Loaded once and kept: the library's threads have all ended when a test is over, but nothing
// is gained by unloading it.
HMODULE library() {
  static HMODULE module = LoadLibraryW(beside_this_program(L"vexdaq.dll").c_str());
  return module;
}

template <typename Function>
Function find(const char *name) {
  return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library(), name)));
}

TEST(VexdaqDll, LoadsFromBesideTheProgram) {
  ASSERT_NE(library(), nullptr) << "LoadLibraryW failed, error " << GetLastError();
}

TEST(VexdaqDll, ExportsTheFortyFunctionsByTheirPlainNames) {
  ASSERT_NE(library(), nullptr);
  for (const char *name : kExports) {
    EXPECT_NE(GetProcAddress(library(), name), nullptr) << name;
    // No stdcall decoration and no leading underscore: cdecl names as the header spells them.
    EXPECT_EQ(GetProcAddress(library(), ("_" + std::string(name)).c_str()), nullptr) << name;
  }
  EXPECT_EQ(GetProcAddress(library(), "vexdaq_device_open@4"), nullptr);
}

TEST(VexdaqDll, ItsVersionResourceReadsFivePointZero) {
  const std::wstring path = beside_this_program(L"vexdaq.dll");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 5);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 0);
}

// The calls pass 64-bit masks and byte arguments on the stack, which only the right calling
// convention gets through intact: channel 1 alone must deliver channel 1's counter pattern.
TEST(VexdaqDll, StreamsFromAVirtualInstrumentThroughThePlainNames) {
  ASSERT_NE(library(), nullptr);
  using Plug = int32_t(__cdecl *)(const char *);
  using Void = void(__cdecl *)(void);
  using NoArgs = int32_t(__cdecl *)(void);
  using Index = int32_t(__cdecl *)(int32_t);
  using Mask = int32_t(__cdecl *)(uint64_t);
  using TwoInts = int32_t(__cdecl *)(int32_t, int32_t);
  using Text = int32_t(__cdecl *)(char *, int32_t);
  using Receive = int32_t(__cdecl *)(int32_t, uint8_t *, int32_t, int32_t);

  const auto sim_reset = find<Void>("vexdaq_sim_reset");
  const auto sim_plug = find<Plug>("vexdaq_sim_plug");
  ASSERT_NE(sim_reset, nullptr);
  ASSERT_NE(sim_plug, nullptr);
  sim_reset();
  ASSERT_GE(sim_plug("waveform=counter;in_channels=4;in_bits=16"), 0);

  char version[32] = {};
  EXPECT_GT(find<Text>("vexdaq_get_version")(version, sizeof version), 0);
  EXPECT_EQ(std::string(version).rfind("5.0.", 0), 0u) << version;

  ASSERT_EQ(find<NoArgs>("vexdaq_device_list")(), 1);
  ASSERT_EQ(find<Index>("vexdaq_device_open")(0), 0);
  ASSERT_EQ(find<TwoInts>("vexdaq_create_buffers")(256, 4096), 0);
  ASSERT_EQ(find<Mask>("vexdaq_set_input_channel")(uint64_t{1} << 1), 0);
  ASSERT_EQ(find<NoArgs>("vexdaq_start")(), 0);
  constexpr int kSamples = 300;
  uint8_t samples[2 * kSamples] = {};
  EXPECT_EQ(find<Receive>("vexdaq_recv_data")(1, samples, sizeof samples, 1),
            static_cast<int32_t>(sizeof samples));
  EXPECT_EQ(find<NoArgs>("vexdaq_stop")(), 0);
  find<Void>("vexdaq_device_close")();
  sim_reset();

  // Channel 1 of 16 bits: 0x01 in the high byte, the frame number modulo 256 in the low byte.
  for (int i = 0; i < kSamples; ++i) {
    ASSERT_EQ(samples[2 * i + 1], 0x01) << i;
    if (i > 0) {
      ASSERT_EQ(static_cast<uint8_t>(samples[2 * i] - samples[2 * i - 2]), 1) << i;
    }
  }
}

}  // namespace
