// Auxiliary I/O: GPIO pin modes, the digital port, PWM, counters, the UART and the I2C registers.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "api/api_guard.h"
#include "backend/driver.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "protocol/message.h"
#include "protocol/request_catalogue.h"
#include "session/device_session.h"
#include "session/log.h"
#include "vexdaq/vexdaq.h"

using namespace vexdaq;

namespace {

constexpr int kGpioPins = 8;
constexpr uint32_t kUartWaitMs = 50;  // a UART call never blocks the caller for longer
// A cancelled transfer completes before the cancel returns; this bounds a driver that breaks
// that promise, so the caller is not held for ever.
constexpr uint32_t kUartCancelWaitMs = 1000;
constexpr int kUartOutPipe = kUartOutPipeIndex;
constexpr int kUartInPipe = kUartInPipeIndex;

bool session_usable() {
  return g_session.session_token.load() != 0;
}

struct UartDirection {
  int pipe;
  const char *start_failed;
  const char *wait_failed;
  const char *transfer_failed;
};

constexpr UartDirection kUartWrite = {kUartOutPipe, "usbio_data_write failed 1, status = 0x%08X.\n",
                                      "usbio_data_write failed 2, status = 0x%08X.\n",
                                      "usbio_data_write failed 3, status = 0x%08X.\n"};
constexpr UartDirection kUartRead = {kUartInPipe, "usbio_data_read failed 1, status = 0x%08X.\n",
                                     "usbio_data_read failed 2, status = 0x%08X.\n",
                                     "usbio_data_read failed 3, status = 0x%08X.\n"};

// What the driver may still touch while a transfer is pending: the record, its event and the
// bytes it moves. Owned by the call; handed to the driver for good if a cancel never completes.
struct UartTransfer {
  Overlapped record;
  std::vector<uint8_t> bytes;
};

// One overlapped bulk transfer on a UART pipe, waited for at most kUartWaitMs and then cancelled.
// The bytes travel through the call's own buffer, copied in before a write and out after a read,
// so that a transfer the driver never gives back cannot write into the caller's memory. A close
// on another thread cancels the transfer; the call then returns -1.
int32_t uart_transfer(const UartDirection &direction, const uint8_t *out, uint8_t *in,
                      int32_t count) {
  if (!session_usable()) return -1;  // first: an open may be writing the handles
  const DeviceHandle pipe = g_session.pipe_handles[direction.pipe];
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

}  // namespace

extern "C" {

int32_t vexdaq_set_gpio_mode(uint32_t pin_mask, int32_t gpio_mode) {
  return api_guard("vexdaq_set_gpio_mode", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_gpio_mode (0x%.8x, %d)\r\n", pin_mask, gpio_mode);
    if (!session_usable()) return -1;
    for (int32_t pin = 0; pin < kGpioPins; ++pin) {
      // Dropped on a full queue without a word, like every asynchronous command; only a core
      // that is gone makes it fail.
      if (((pin_mask >> pin) & 1) && post_message(MSG_GPIO_MODE, pin, gpio_mode, 0, nullptr) < 0) {
        return -1;
      }
    }
    return 0;
  });
}

int32_t vexdaq_digital_io_write(int32_t port, const uint8_t *buffer, int32_t length) {
  return api_guard("vexdaq_digital_io_write", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_digital_io_write %p -> length (%d)\r\n", buffer, length);
    if (!session_usable()) return -1;
    // Exactly one byte goes to the port; a buffer said to hold none cannot supply it.
    if (buffer == nullptr || length < 1) return -1;
    return post_message(MSG_DIO_WRITE, port, 0, 1, const_cast<uint8_t *>(buffer)) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_digital_io_read(int32_t port, uint8_t *buffer, int32_t length) {
  return api_guard("vexdaq_digital_io_read", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_digital_io_read %p <- length (%d)\r\n", buffer, length);
    if (!session_usable()) return -1;
    if (buffer == nullptr || length < 1) return -1;
    return post_message(MSG_DIO_READ, port, 0, 1, buffer) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_set_pwm(int32_t pin, int32_t frequency, int32_t duty) {
  return api_guard("vexdaq_set_pwm", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_pwm pin, frequency, duty (%d, %d, %d)\r\n", pin,
              frequency, duty);
    if (!session_usable()) return -1;
    auto record = pwm_record(frequency, duty);
    return post_message(MSG_PWM_SET, pin, 0, kPwmRecordSize, record.data()) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_set_counter(int32_t pin, int32_t mode, int32_t edge) {
  return api_guard("vexdaq_set_counter", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_counter pin, mode, edge (%d, %d, %d)\r\n", pin, mode,
              edge);
    if (!session_usable()) return -1;
    auto record = counter_setup(mode, edge);
    return post_message(MSG_COUNTER_SET, pin, 0, kCounterSetupSize, record.data()) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_counter_read(int32_t pin, uint32_t *edge_count, uint32_t *cycle_width,
                            uint32_t *positive_pulse_width, uint32_t *negative_pulse_width) {
  return api_guard("vexdaq_counter_read", [&]() -> int32_t {
    log_print(LogLevel::kEntry,
              "vexdaq_counter_read pin, edge_count, cycle_width, positive_pulse_width, "
              "negative_pulse_width (%d, %d, %d, %d, %d)\r\n",
              pin, edge_count, cycle_width, positive_pulse_width, negative_pulse_width);
    if (!session_usable()) return -1;
    if (edge_count == nullptr || cycle_width == nullptr || positive_pulse_width == nullptr ||
        negative_pulse_width == nullptr) {
      return -1;
    }
    // Zeroed first: a failed or short reply then reads as zeros, never as stack contents.
    uint8_t reply[kCounterReadingSize] = {};
    if (post_message(MSG_COUNTER_READ, pin, 0, kCounterReadingSize, reply) != 0) return -1;
    const CounterReading reading = decode_counter_reading(reply);
    *edge_count = reading.edge_count;
    *cycle_width = reading.cycle_width;
    *positive_pulse_width = reading.positive_pulse_width;
    *negative_pulse_width = reading.negative_pulse_width;
    return 0;
  });
}

int32_t vexdaq_set_uart_line_code(int32_t rate, uint8_t stop_bits, uint8_t parity,
                                  uint8_t data_bits) {
  return api_guard("vexdaq_set_uart_line_code", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_uart_line_code %d, %d, %d, %d\r\n", rate, stop_bits,
              parity, data_bits);
    if (!session_usable()) return -1;
    const int32_t posted = post_message(MSG_UART_LINE_CODE, rate,
                                        pack_line_format(stop_bits, parity, data_bits), 0, nullptr);
    return posted < 0 ? -1 : 0;
  });
}

int32_t vexdaq_UART_Write(const uint8_t *buffer, int32_t count) {
  return api_guard("vexdaq_UART_Write",
                   [&]() -> int32_t { return uart_transfer(kUartWrite, buffer, nullptr, count); });
}

int32_t vexdaq_UART_Read(uint8_t *buffer, int32_t count) {
  return api_guard("vexdaq_UART_Read",
                   [&]() -> int32_t { return uart_transfer(kUartRead, nullptr, buffer, count); });
}

int32_t vexdaq_I2C_Reg_Write(uint16_t reg, const uint8_t *buffer, int32_t length) {
  return api_guard("vexdaq_I2C_Reg_Write", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_I2C_Reg_Write %p -> 0x%.2x length (%d)\r\n", buffer, reg,
              length);
    if (!session_usable()) return -1;
    if (length < 0 || (buffer == nullptr && length > 0)) return -1;
    return post_message(MSG_I2C_WRITE, reg, 0, length, const_cast<uint8_t *>(buffer)) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_I2C_Reg_Read(uint16_t reg, uint8_t *buffer, int32_t length) {
  return api_guard("vexdaq_I2C_Reg_Read", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_I2C_Reg_Read %p <- 0x%.2x length (%d)\r\n", buffer, reg,
              length);
    if (!session_usable()) return -1;
    if (length < 0 || (buffer == nullptr && length > 0)) return -1;
    return post_message(MSG_I2C_READ, reg, 0, length, buffer) == 0 ? 0 : -1;
  });
}

}  // extern "C"
