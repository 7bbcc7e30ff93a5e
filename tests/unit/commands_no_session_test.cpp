// Without a session every command export still leaves its trace line (while a log is open) and
// refuses with -1; nothing reaches a device.
#include <gtest/gtest.h>

#include <string>

#include "session/log.h"
#include "session/session_state.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq {
namespace {

class CommandsWithoutSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(g_session.session_token.load(), 0u);
    log_open();
  }
  void TearDown() override { log_close(); }

  static std::string null_pointer() { return std::string(2 * sizeof(void *), '0'); }

  // The file stores every LF of a message as CR LF.
  static void expect_logged(const std::string &message) {
    std::string in_file = " - ";
    for (char c : message) {
      if (c == '\n') in_file += '\r';
      in_file += c;
    }
    EXPECT_NE(testing::read_log().find(in_file), std::string::npos) << message;
  }
};

TEST_F(CommandsWithoutSession, ConfigurationCallsLogAndRefuse) {
  EXPECT_EQ(vexdaq_set_trigger_mode(1, 2, 3, -4, 5, 1), -1);
  expect_logged("vexdaq_set_trigger_mode (1, 2, 3, -4, 5, 1)\r\n");
  EXPECT_EQ(vexdaq_set_sample_mode(1, 2, 3, 0), -1);
  expect_logged("vexdaq_set_sample_mode (1, 2, 3, 0)\r\n");
  EXPECT_EQ(vexdaq_set_sample_rate(1000, 2000), -1);
  expect_logged("vexdaq_set_sample_rate nrate (1000, 2000)\r\n");
  int32_t out_rate = 7, in_rate = 7;
  EXPECT_EQ(vexdaq_get_sample_rate(nullptr, nullptr), -1);
  expect_logged("vexdaq_get_sample_rate out/in (0x" + null_pointer() + ", 0x" + null_pointer() +
                ")\r\n");
  EXPECT_EQ(vexdaq_get_sample_rate(&out_rate, &in_rate), -1);
  EXPECT_EQ(out_rate, 7);
  EXPECT_EQ(in_rate, 7);
  int32_t width = 7;
  EXPECT_EQ(vexdaq_get_sample_width(&width), -1);
  EXPECT_EQ(width, 7);
  EXPECT_EQ(vexdaq_get_sample_width(nullptr), -1);
  expect_logged("vexdaq_get_sample_width (0x" + null_pointer() + ")\r\n");
  EXPECT_EQ(vexdaq_get_channel_count(nullptr, nullptr), -1);
  expect_logged("vexdaq_get_channel_count out/in (0x" + null_pointer() + ", 0x" + null_pointer() +
                ")\r\n");
  EXPECT_EQ(vexdaq_set_input_gear(0x8000000000000001ull, 0, 13), -1);
  expect_logged("vexdaq_set_input_gear 0x8000000000000001, 0, 13\r\n");
  EXPECT_EQ(vexdaq_set_input_icp(0x100000002ull, 1), -1);
  expect_logged("vexdaq_set_input_icp 0x0000000100000002, 1\r\n");
}

TEST_F(CommandsWithoutSession, AuxiliaryCallsLogAndRefuse) {
  uint8_t byte = 0x5A;
  EXPECT_EQ(vexdaq_set_gpio_mode(0x105, 3), -1);
  expect_logged("vexdaq_set_gpio_mode (0x00000105, 3)\r\n");
  EXPECT_EQ(vexdaq_digital_io_write(1, nullptr, 4), -1);
  expect_logged("vexdaq_digital_io_write " + null_pointer() + " -> length (4)\r\n");
  EXPECT_EQ(vexdaq_digital_io_read(1, nullptr, 1), -1);
  expect_logged("vexdaq_digital_io_read " + null_pointer() + " <- length (1)\r\n");
  EXPECT_EQ(vexdaq_set_pwm(1, 1000, 50), -1);
  expect_logged("vexdaq_set_pwm pin, frequency, duty (1, 1000, 50)\r\n");
  EXPECT_EQ(vexdaq_set_counter(2, 1, 0), -1);
  expect_logged("vexdaq_set_counter pin, mode, edge (2, 1, 0)\r\n");
  EXPECT_EQ(vexdaq_counter_read(3, nullptr, nullptr, nullptr, nullptr), -1);
  expect_logged(
      "vexdaq_counter_read pin, edge_count, cycle_width, positive_pulse_width, "
      "negative_pulse_width (3, 0, 0, 0, 0)\r\n");
  EXPECT_EQ(vexdaq_set_uart_line_code(115200, 0, 0, 8), -1);
  expect_logged("vexdaq_set_uart_line_code 115200, 0, 0, 8\r\n");
  EXPECT_EQ(vexdaq_I2C_Reg_Write(0x1234, nullptr, 3), -1);
  expect_logged("vexdaq_I2C_Reg_Write " + null_pointer() + " -> 0x1234 length (3)\r\n");
  EXPECT_EQ(vexdaq_I2C_Reg_Read(0x12, &byte, 1), -1);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_NE(testing::read_log().find(" <- 0x12 length (1)\r\r\n"), std::string::npos);
}

TEST_F(CommandsWithoutSession, UartAndDownloadsRefuseWithoutALine) {
  uint8_t buffer[4] = {};
  const std::string before = testing::read_log();
  EXPECT_EQ(vexdaq_UART_Write(buffer, 4), -1);
  EXPECT_EQ(vexdaq_UART_Read(buffer, 4), -1);
  EXPECT_EQ(vexdaq_firmware_download("firmware.bin"), -1);
  EXPECT_EQ(vexdaq_serial_download("AB", 2), -1);
  EXPECT_EQ(testing::read_log(), before);
}

}  // namespace
}  // namespace vexdaq
