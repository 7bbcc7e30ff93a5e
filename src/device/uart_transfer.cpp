#include "device/uart_transfer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "backend/driver.h"
#include "device/device_state.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/log.h"
#include "session/session_state.h"

namespace vexdaq {
namespace {

constexpr uint32_t kUartWaitMs = 50;  // a UART call never blocks the caller for longer
// A cancelled transfer completes before the cancel returns; this bounds a driver that breaks
// that promise, so the caller is not held for ever.
constexpr uint32_t kUartCancelWaitMs = 1000;
constexpr int kUartOutPipe = kUartOutPipeIndex;
constexpr int kUartInPipe = kUartInPipeIndex;

// What the driver may still touch while a transfer is pending: the record, its event and the
// bytes it moves. Owned by the call; handed to the driver for good if a cancel never completes.
struct UartTransfer {
  Overlapped record;
  std::vector<uint8_t> bytes;
};

}  // namespace

const UartDirection kUartWrite = {kUartOutPipe, "usbio_data_write failed 1, status = 0x%08X.\n",
                                  "usbio_data_write failed 2, status = 0x%08X.\n",
                                  "usbio_data_write failed 3, status = 0x%08X.\n"};
const UartDirection kUartRead = {kUartInPipe, "usbio_data_read failed 1, status = 0x%08X.\n",
                                 "usbio_data_read failed 2, status = 0x%08X.\n",
                                 "usbio_data_read failed 3, status = 0x%08X.\n"};

int32_t uart_transfer(const UartDirection &direction, const uint8_t *out, uint8_t *in,
                      int32_t count) {
  if (!session_usable()) return -1;  // first: an open may be writing the handles
  const DeviceHandle pipe = g_device.pipe_handles[direction.pipe];
  if (pipe == kInvalidHandle) return -1;
  if ((out == nullptr && in == nullptr) || count < 0) return -1;

  auto transfer = std::make_unique<UartTransfer>();
  Overlapped &record = transfer->record;
  record.event = platform::create_event(false);
  if (record.event == nullptr) return -2;
  const uint32_t size = static_cast<uint32_t>(count);
  if (out != nullptr) {
    transfer->bytes.assign(out, out + size);
  } else {
    transfer->bytes.resize(size);
  }

  const bool started = out != nullptr ? driver_write(pipe, record, transfer->bytes.data(), size)
                                      : driver_read(pipe, record, transfer->bytes.data(), size);
  if (!started) {
    const uint32_t status = platform::last_error();
    if (status != kStatusIoPending) {
      log_print(LogLevel::kEntry, direction.start_failed, status);
      return -3;
    }
  }

  const platform::WaitResult waited = record.event->wait(kUartWaitMs);
  if (waited != platform::WaitResult::kSignaled) {
    // A completion that raced with the time-out has set the event already.
    const uint32_t wait_status = platform::last_error();
    driver_cancel(pipe);
    if (record.event->wait(kUartCancelWaitMs) != platform::WaitResult::kSignaled) {
      // The driver still holds the record and the bytes: they are left to it, a small leak
      // rather than memory reused under a transfer.
      log_print(LogLevel::kEntry, direction.wait_failed, wait_status);
      (void)transfer.release();
      return -3;
    }
    if (waited == platform::WaitResult::kFailed) {
      log_print(LogLevel::kEntry, direction.wait_failed, wait_status);
      return -3;
    }
  }
  if (!session_usable()) return -1;  // closed under the call: its bytes went nowhere reliable

  const uint32_t status = record.internal.load();
  const uint32_t moved = std::min(record.internal_high.load(), size);
  // A cancelled transfer reports what it moved before the cancel (normally 0): those bytes did
  // reach their destination.
  if (status != kStatusSuccess && status != kStatusCancelled) {
    log_print(LogLevel::kEntry, direction.transfer_failed, status);
    return -3;
  }
  if (in != nullptr && moved > 0) std::memcpy(in, transfer->bytes.data(), moved);
  return static_cast<int32_t>(moved);
}

}  // namespace vexdaq
