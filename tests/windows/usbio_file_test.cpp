// The usbio backend's transfers and device-control calls on a real overlapped Win32 handle. A
// named pipe stands in for the driver's pipe handle: the kernel completes its reads and writes
// the same way, through the handle's completion port.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "backend/driver.h"
#include "backend/usbio/usbio_backend.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "win32_headers.h"

namespace vexdaq {
namespace {

constexpr uint32_t kWaitMs = 5000;       // a completion that takes this long is lost
constexpr DWORD kPipePeek = 0x0011400C;  // FSCTL_PIPE_PEEK
constexpr DWORD kNoSuchControlCode = 0x80942FFC;

std::wstring unique_pipe_name() {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\vexdaq-usbio-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter.fetch_add(1));
}

// A transfer record as the library keeps one: its event auto-reset and clear.
struct Record : Overlapped {
  Record() { event = platform::create_event(false); }
};

// The test's end of the pipe is synchronous; the file under test has the other, overlapped end.
class UsbioFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring name = unique_pipe_name();
    server_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                               nullptr);
    ASSERT_NE(server_, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(ConnectNamedPipe(server_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
    file_ = open_usbio_file(client, true);
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override {
    file_.reset();
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }

  void send(const std::string &bytes) {
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }
  std::string receive(DWORD count) {
    std::string bytes(count, '\0');
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(server_, bytes.data(), count, &read, nullptr));
    bytes.resize(read);
    return bytes;
  }

  HANDLE server_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<OpenFile> file_;
};

TEST_F(UsbioFile, AReadCompletesIntoTheRecordAndThenSetsItsEvent) {
  Record record;
  char buffer[16] = {};
  ASSERT_TRUE(file_->start_read(record, buffer, sizeof buffer));
  send("hello");
  ASSERT_EQ(record.event->wait(kWaitMs), platform::WaitResult::kSignaled);
  EXPECT_EQ(record.internal.load(), kStatusSuccess);
  EXPECT_EQ(record.internal_high.load(), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_F(UsbioFile, AWriteReportsTheBytesItMoved) {
  Record record;
  const char data[] = "1234567";
  ASSERT_TRUE(file_->start_write(record, data, 7));
  ASSERT_EQ(record.event->wait(kWaitMs), platform::WaitResult::kSignaled);
  EXPECT_EQ(record.internal.load(), kStatusSuccess);
  EXPECT_EQ(record.internal_high.load(), 7u);
  EXPECT_EQ(receive(7), "1234567");
}

TEST_F(UsbioFile, FourReadsInFlightEachCompleteOnTheirOwnRecord) {
  Record records[4];
  char buffers[4][4] = {};
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(file_->start_read(records[k], buffers[k], 4));
  send("aaaabbbbccccdddd");
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(records[k].event->wait(kWaitMs), platform::WaitResult::kSignaled) << k;
    EXPECT_EQ(records[k].internal_high.load(), 4u) << k;
  }
  std::string all;
  for (auto &b : buffers) all.append(b, 4);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, "aaaabbbbccccdddd");
}

// A stream reuses each slot's record for transfer after transfer, as the backend reuses its own.
TEST_F(UsbioFile, OneRecordCarriesTransferAfterTransfer) {
  Record record;
  for (int i = 0; i < 50; ++i) {
    const std::string data = "packet " + std::to_string(i);
    ASSERT_TRUE(file_->start_write(record, data.data(), static_cast<uint32_t>(data.size())));
    ASSERT_EQ(record.event->wait(kWaitMs), platform::WaitResult::kSignaled) << i;
    ASSERT_EQ(record.internal_high.load(), data.size()) << i;
    ASSERT_EQ(receive(static_cast<DWORD>(data.size())), data);
  }
}

// The UART calls and the stream's wind-down free or reuse a record as soon as the cancel
// returns: by then the transfer must be over and its event set.
TEST_F(UsbioFile, CancelCompletesAPendingReadBeforeItReturns) {
  Record record;
  char buffer[8];
  ASSERT_TRUE(file_->start_read(record, buffer, sizeof buffer));
  file_->cancel();
  EXPECT_TRUE(record.event->is_set());
  EXPECT_EQ(record.internal.load(), kStatusCancelled);
  EXPECT_EQ(record.internal_high.load(), 0u);
}

TEST_F(UsbioFile, CancelWithNothingPendingReturnsAtOnce) {
  file_->cancel();
  Record record;
  char buffer[4];
  ASSERT_TRUE(file_->start_read(record, buffer, sizeof buffer));
  send("next");
  ASSERT_EQ(record.event->wait(kWaitMs), platform::WaitResult::kSignaled);
  EXPECT_EQ(record.internal_high.load(), 4u);
}

TEST_F(UsbioFile, ClosingTheFileCompletesItsPendingTransfers) {
  Record record;
  char buffer[8];
  ASSERT_TRUE(file_->start_read(record, buffer, sizeof buffer));
  file_.reset();
  EXPECT_TRUE(record.event->is_set());
  EXPECT_EQ(record.internal.load(), kStatusCancelled);
}

TEST_F(UsbioFile, ATransferThatCannotStartLeavesTheRecordUntouched) {
  CloseHandle(server_);
  server_ = INVALID_HANDLE_VALUE;
  Record record;
  record.internal.store(0x1234);
  char buffer[8];
  EXPECT_FALSE(file_->start_read(record, buffer, sizeof buffer));
  EXPECT_NE(platform::last_error(), 0u);
  EXPECT_FALSE(record.event->is_set());
  EXPECT_EQ(record.internal.load(), 0x1234u);
}

// A device-control call on an overlapped handle is waited for on the caller's thread; its
// completion must not reach the transfer callback, which would take it for a transfer.
TEST_F(UsbioFile, ADeviceControlCallOnAnOverlappedHandleReturnsItsResult) {
  send("abc");
  unsigned char peek[16 + 8] = {};  // FILE_PIPE_PEEK_BUFFER: four 32-bit fields, then data
  uint32_t returned = 0;
  ASSERT_TRUE(file_->ioctl(kPipePeek, nullptr, 0, peek, sizeof peek, &returned));
  EXPECT_EQ(returned, 16u + 3u);
  EXPECT_EQ(std::memcmp(peek + 16, "abc", 3), 0);
}

TEST_F(UsbioFile, AFailedDeviceControlCallReportsTheSystemsStatus) {
  uint32_t returned = 99;
  unsigned char out[4];
  EXPECT_FALSE(file_->ioctl(kNoSuchControlCode, nullptr, 0, out, sizeof out, &returned));
  EXPECT_NE(platform::last_error(), 0u);
  EXPECT_EQ(returned, 0u);
}

TEST(UsbioSynchronousFile, RefusesTransfersButServesDeviceControlCalls) {
  const std::wstring name = unique_pipe_name();
  HANDLE server =
      CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  std::unique_ptr<OpenFile> file = open_usbio_file(client, false);
  ASSERT_NE(file, nullptr);
  Record record;
  char buffer[4];
  EXPECT_FALSE(file->start_read(record, buffer, sizeof buffer));
  EXPECT_EQ(platform::last_error(), kStatusInvalidParameter);
  EXPECT_FALSE(record.event->is_set());
  unsigned char peek[16] = {};
  uint32_t returned = 0;
  EXPECT_TRUE(file->ioctl(kPipePeek, nullptr, 0, peek, sizeof peek, &returned));
  EXPECT_EQ(returned, 16u);
  file.reset();
  CloseHandle(server);
}

}  // namespace
}  // namespace vexdaq
