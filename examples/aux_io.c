/* The auxiliary functions: digital port, PWM, a counter, I2C and the UART. */
#include "common.h"

int main(int argc, char **argv) {
  if (open_instrument(argc, argv, NULL) != 0) return 1;
  unsigned char port = 0xA5;
  vexdaq_digital_io_write(0, &port, 1);
  vexdaq_digital_io_read(0, &port, 1);
  printf("digital port 0 reads 0x%02X\n", port);

  vexdaq_set_pwm(0, 1000, 25);
  vexdaq_set_counter(1, 0, 1);
  uint32_t edges = 0, cycle = 0, high = 0, low = 0;
  vexdaq_counter_read(1, &edges, &cycle, &high, &low);
  printf("counter 1: %u edges\n", (unsigned)edges);

  const unsigned char reg_value[2] = {0x12, 0x34};
  unsigned char back[2] = {0, 0};
  vexdaq_I2C_Reg_Write(0x20, reg_value, 2);
  vexdaq_I2C_Reg_Read(0x20, back, 2);
  printf("I2C register 0x20: %02X %02X\n", back[0], back[1]);

  vexdaq_set_uart_line_code(115200, 0, 0, 8);
  const char hello[] = "hello";
  int32_t sent = vexdaq_UART_Write((const uint8_t *)hello, 5);
  unsigned char reply[16] = {0};
  int32_t got = vexdaq_UART_Read(reply, (int32_t)sizeof reply);
  printf("UART: sent %d, received %d\n", (int)sent, (int)got);
  vexdaq_device_close();
  return sent == 5 ? 0 : 1;
}
