// The usbio backend and the exports on a Windows without the instrument's driver (as under Wine):
// nothing of the class is present, so nothing is listed and an open fails with its log line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/driver.h"
#include "backend/usbio/usbio_backend.h"
#include "platform/thread.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"
#include "win32_headers.h"

namespace vexdaq {
namespace {

TEST(UsbioBackend, FindsNoInterfaceWhereTheDriverIsNotInstalled) {
  std::vector<std::u16string> paths;
  EXPECT_TRUE(usbio_backend().enumerate(paths));
  EXPECT_TRUE(paths.empty());
}

TEST(UsbioBackend, OpeningAPathThatIsNotThereFailsWithTheSystemsStatus) {
  platform::set_last_error(0);
  const char16_t path[] = u"\\\\?\\usb#vid_0000&pid_0000#0#{4a47dbf9-3159-40ca-b83f-b14bc274cc1c}";
  EXPECT_EQ(usbio_backend().open(path, kAccessRead | kAccessWrite, kShareRead | kShareWrite,
                                 kFlagOverlapped),
            nullptr);
  EXPECT_NE(platform::last_error(), 0u);
}

TEST(UsbioBackend, LeavesTheVirtualInstrumentsPathsToTheirBackend) {
  EXPECT_TRUE(usbio_backend().owns(u"\\\\?\\usb#vid_0000&pid_0000#0#{guid}"));
  vexdaq_sim_reset();
  const int32_t id = vexdaq_sim_plug("");
  ASSERT_GE(id, 0);
  std::vector<std::u16string> paths;
  ASSERT_TRUE(driver_enumerate(paths));
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_FALSE(usbio_backend().owns(paths[0].c_str()));
  vexdaq_sim_reset();
}

TEST(UsbioSession, WithoutTheDriverNoDeviceIsListedAndAnOpenFailsWithItsLog) {
  vexdaq_sim_reset();
  EXPECT_EQ(vexdaq_device_list(), 0);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_NE(testing::read_log().find(" - vexdaq_device_open failed"), std::string::npos)
      << testing::read_log();
  vexdaq_device_close();
}

// The handles this process holds, from the system's handle table (GetProcessHandleCount is not
// implemented everywhere the tests run, Wine among them).
int handles_of_this_process() {
  using Query = LONG(WINAPI *)(ULONG, void *, ULONG, ULONG *);
  struct Entry {
    ULONG process;
    BYTE type;
    BYTE flags;
    USHORT handle;
    void *object;
    ACCESS_MASK access;
  };
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> table(1 << 20);
  LONG status = 0;
  while ((status = query(kSystemHandleInformation, table.data(), static_cast<ULONG>(table.size()),
                         nullptr)) == kLengthMismatch &&
         table.size() < (256u << 20)) {
    table.resize(table.size() * 2);
  }
  if (status != 0) return -1;
  ULONG count = 0;
  std::memcpy(&count, table.data(), sizeof count);
  const auto *entries = reinterpret_cast<const Entry *>(table.data() + sizeof(void *));
  int mine = 0;
  for (ULONG i = 0; i < count; ++i) mine += entries[i].process == GetCurrentProcessId();
  return mine;
}

// Every session creates events, mutexes, semaphores and threads: all of them are kernel handles
// on Windows, and a session must give every one back.
TEST(Win32Session, OpenStreamCloseLeavesNoHandleBehind) {
  // Whatever fails, the session is closed again: a test must not leave threads running.
  auto cycle = [] {
    ASSERT_EQ(vexdaq_device_open(0), 0);
    int32_t width = 0;
    EXPECT_EQ(vexdaq_get_sample_width(&width), 0);
    EXPECT_EQ(vexdaq_create_buffers(64, 1024), 0);
    EXPECT_EQ(vexdaq_set_input_channel(1), 0);
    EXPECT_EQ(vexdaq_start(), 0);
    uint8_t samples[16 * 4];
    EXPECT_EQ(vexdaq_recv_data(0, samples, 16 * width, 1), 16 * width);
    uint8_t byte = 0;
    EXPECT_EQ(vexdaq_UART_Read(&byte, 1), 0);  // nothing sent: a cancelled transfer
    EXPECT_EQ(vexdaq_stop(), 0);
    vexdaq_device_close();
  };
  vexdaq_sim_reset();
  ASSERT_GE(vexdaq_sim_plug("exclusive=1"), 0);
  cycle();  // the first session also brings up what lives for the process (the thread pool)
  const int before = handles_of_this_process();
  ASSERT_GT(before, 0);
  // The system's thread pool, which completes the transfers, may add a worker now and then; a
  // session that kept even one handle would add one per cycle.
  constexpr int kCycles = 8;
  constexpr int kPoolGrowth = 3;
  for (int i = 0; i < kCycles; ++i) cycle();
  EXPECT_LE(handles_of_this_process(), before + kPoolGrowth);
  vexdaq_dispose_buffers();
  vexdaq_sim_reset();
}

}  // namespace
}  // namespace vexdaq
