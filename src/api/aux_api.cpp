// Auxiliary I/O: GPIO pin modes, the digital port, PWM, counters, the UART and the I2C registers.
#include <cstdint>

#include "api/api_guard.h"
#include "device/uart_transfer.h"
#include "protocol/request_catalogue.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "session/session_state.h"
#include "vexdaq/vexdaq.h"

using namespace vexdaq;

namespace {

constexpr int kGpioPins = 8;

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
