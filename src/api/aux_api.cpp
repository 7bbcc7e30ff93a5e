#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_set_gpio_mode(uint32_t, int32_t) {
  return -1;
}

int32_t vexdaq_digital_io_write(int32_t, const uint8_t *, int32_t) {
  return -1;
}

int32_t vexdaq_digital_io_read(int32_t, uint8_t *, int32_t) {
  return -1;
}

int32_t vexdaq_set_pwm(int32_t, int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_set_counter(int32_t, int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_counter_read(int32_t, uint32_t *, uint32_t *, uint32_t *, uint32_t *) {
  return -1;
}

int32_t vexdaq_set_uart_line_code(int32_t, uint8_t, uint8_t, uint8_t) {
  return -1;
}

int32_t vexdaq_UART_Write(const uint8_t *, int32_t) {
  return -1;
}

int32_t vexdaq_UART_Read(uint8_t *, int32_t) {
  return -1;
}

int32_t vexdaq_I2C_Reg_Write(uint16_t, const uint8_t *, int32_t) {
  return -1;
}

int32_t vexdaq_I2C_Reg_Read(uint16_t, uint8_t *, int32_t) {
  return -1;
}

}  // extern "C"
