// Auxiliary I/O against the virtual instrument: pins, port, PWM, counters, UART and I2C.
#include <array>
#include <string>
#include <vector>

#include "behaviour/commands_fixture.h"
#include "session/message_queue.h"

namespace vexdaq::testing {
namespace {

using AuxCommands = CommandsTest;

TEST_F(AuxCommands, GpioModeGoesToEachSelectedPinOfTheLowEight) {
  EXPECT_EQ(vexdaq_set_gpio_mode(0x105, 3), 0);
  EXPECT_EQ(vexdaq_set_gpio_mode(0x80, 0x102), 0);
  EXPECT_EQ(trace_after_flush(), (Lines{"41 E8 0000 0000 0001 : 03", "41 E8 0000 0200 0001 : 03",
                                        "41 E8 0000 0700 0001 : 02"}));
}

TEST_F(AuxCommands, DigitalWriteSendsOnlyTheFirstByte) {
  const uint8_t buffer[4] = {0xA5, 1, 2, 3};
  EXPECT_EQ(vexdaq_digital_io_write(1, buffer, 4), 0);
  EXPECT_EQ(trace(), (Lines{"41 E6 0000 0100 0001 : A5"}));
}

TEST_F(AuxCommands, DigitalReadFillsOneByteOfTheBuffer) {
  const uint8_t value = 0x3C;
  ASSERT_EQ(vexdaq_digital_io_write(2, &value, 1), 0);
  uint8_t buffer[3] = {0, 0xEE, 0xEE};
  EXPECT_EQ(vexdaq_digital_io_read(2, buffer, 3), 0);
  EXPECT_EQ(buffer[1], 0xEE);
  EXPECT_EQ(buffer[2], 0xEE);
  EXPECT_EQ(trace(), (Lines{"41 E6 0000 0200 0001 : 3C", "C1 E7 0000 0200 0001"}));
}

TEST_F(AuxCommands, DigitalIoRefusesAMissingOrEmptyBuffer) {
  uint8_t byte = 0;
  EXPECT_EQ(vexdaq_digital_io_write(0, nullptr, 1), -1);
  EXPECT_EQ(vexdaq_digital_io_read(0, nullptr, 1), -1);
  EXPECT_EQ(vexdaq_digital_io_write(0, &byte, 0), -1);
  EXPECT_EQ(vexdaq_digital_io_read(0, &byte, -1), -1);
  EXPECT_EQ(trace(), Lines{});
  EXPECT_TRUE(log_has("vexdaq_digital_io_read " + std::string(2 * sizeof(void *), '0') +
                      " <- length (1)\r\n"));
}

TEST_F(AuxCommands, PwmSendsFrequencyAndDutyToThePin) {
  EXPECT_EQ(vexdaq_set_pwm(3, 1000, 250), 0);
  EXPECT_EQ(vexdaq_set_pwm(130, -1, 0), 0);  // only the low seven bits name the pin
  EXPECT_EQ(trace(), (Lines{"41 C5 0000 0300 0008 : E8 03 00 00 FA 00 00 00",
                            "41 C5 0000 0200 0008 : FF FF FF FF 00 00 00 00"}));
  EXPECT_TRUE(log_has("Message PWM SET received\r\n"));
}

TEST_F(AuxCommands, CounterSetupSendsModeAndEdge) {
  EXPECT_EQ(vexdaq_set_counter(1, 0x102, 1), 0);
  EXPECT_EQ(trace(), (Lines{"41 C4 0000 0100 0002 : 02 01"}));
}

TEST_F(AuxCommands, CounterReadRequestsSixteenBytes) {
  uint32_t edges = 7, cycle = 7, positive = 7, negative = 7;
  EXPECT_EQ(vexdaq_counter_read(4, &edges, &cycle, &positive, &negative), 0);
  EXPECT_EQ(trace(), (Lines{"C1 C3 0000 0400 0010"}));
}

// The instrument's counter measures the pin's PWM: 250 Hz at 30 % is a 4000 us cycle, 1200 us
// high and 2800 us low, four little-endian words the export hands out in that order.
TEST_F(AuxCommands, CounterReadDecodesTheFourWords) {
  ASSERT_EQ(vexdaq_set_pwm(2, 250, 30), 0);
  uint32_t edges = 7, cycle = 7, positive = 7, negative = 7;
  EXPECT_EQ(vexdaq_counter_read(2, &edges, &cycle, &positive, &negative), 0);
  EXPECT_EQ(cycle, 4000u);
  EXPECT_EQ(positive, 1200u);
  EXPECT_EQ(negative, 2800u);
}

TEST_F(AuxCommands, AFailedCounterReadGivesZeros) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xC3:0xC0000004"), 0);
  uint32_t edges = 7, cycle = 7, positive = 7, negative = 7;
  EXPECT_EQ(vexdaq_counter_read(4, &edges, &cycle, &positive, &negative), 0);
  EXPECT_EQ(edges, 0u);
  EXPECT_EQ(cycle, 0u);
  EXPECT_EQ(positive, 0u);
  EXPECT_EQ(negative, 0u);
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xC3) failed, status = 0xC0000004.\n"));
}

TEST_F(AuxCommands, CounterReadRefusesAMissingOutput) {
  uint32_t value = 0;
  EXPECT_EQ(vexdaq_counter_read(0, &value, &value, &value, nullptr), -1);
  EXPECT_EQ(trace(), Lines{});
}

TEST_F(AuxCommands, UartLineCodeIsTheCdcRecord) {
  EXPECT_EQ(vexdaq_set_uart_line_code(115200, 0, 0, 8), 0);
  EXPECT_EQ(vexdaq_set_uart_line_code(9600, 2, 1, 7), 0);
  EXPECT_EQ(trace_after_flush(), (Lines{"21 E5 0000 0000 0007 : 00 C2 01 00 00 00 08",
                                        "21 E5 0000 0000 0007 : 80 25 00 00 02 01 07"}));
  EXPECT_TRUE(log_has("Message UART Line Code received\r\n"));
}

TEST_F(AuxCommands, I2cWriteSendsTheRegisterAsValue) {
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(vexdaq_I2C_Reg_Write(0x1234, data, 3), 0);
  EXPECT_EQ(trace(), (Lines{"21 E1 1234 0000 0003 : 01 02 03"}));
}

TEST_F(AuxCommands, I2cReadAsksForTheCallersLength) {
  std::vector<uint8_t> buffer(70000);
  EXPECT_EQ(vexdaq_I2C_Reg_Read(0x20, buffer.data(), 300), 0);
  EXPECT_EQ(vexdaq_I2C_Reg_Read(0x21, buffer.data(), 70000), 0);  // the low 16 bits go out
  EXPECT_EQ(trace(), (Lines{"A1 E2 0020 0000 012C", "A1 E2 0021 0000 1170"}));
}

TEST_F(AuxCommands, I2cReadsBackWhatWasWritten) {
  const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(vexdaq_I2C_Reg_Write(0x40, data, 4), 0);
  uint8_t back[4] = {};
  EXPECT_EQ(vexdaq_I2C_Reg_Read(0x40, back, 4), 0);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 4), std::vector<uint8_t>(data, data + 4));
}

TEST_F(AuxCommands, TheDispatcherSendsNoPosterBytesItCannotVouchFor) {
  uint8_t byte = 0;
  post_message(MSG_I2C_WRITE, 1, 0, -1, &byte);
  post_message(MSG_PWM_SET, 1, 0, 8, nullptr);
  post_message(0x4FF, 1, 0, 0, nullptr);  // unknown: dropped without a line
  EXPECT_EQ(trace_after_flush(), Lines{});
  EXPECT_TRUE(log_has("Message i2c write received\r\n"));
}

TEST_F(AuxCommands, I2cRefusesNegativeLengthsAndMissingBuffers) {
  uint8_t byte = 0;
  EXPECT_EQ(vexdaq_I2C_Reg_Write(1, &byte, -1), -1);
  EXPECT_EQ(vexdaq_I2C_Reg_Read(1, &byte, -70000), -1);
  EXPECT_EQ(vexdaq_I2C_Reg_Read(1, nullptr, 4), -1);
  EXPECT_EQ(trace(), Lines{});
}

TEST_F(AuxCommands, UartReadWithNothingToReadReturnsZero) {
  uint8_t buffer[16] = {};
  EXPECT_EQ(vexdaq_UART_Read(buffer, sizeof buffer), 0);
  // The cancelled transfer is finished: a second read works the same.
  EXPECT_EQ(vexdaq_UART_Read(buffer, sizeof buffer), 0);
}

TEST_F(AuxCommands, UartWriteIsEchoedBack) {
  const uint8_t text[5] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(vexdaq_UART_Write(text, 5), 5);
  uint8_t back[16] = {};
  int32_t got = 0;
  for (int attempt = 0; attempt < 20 && got < 5; ++attempt) {
    const int32_t n = vexdaq_UART_Read(back + got, static_cast<int32_t>(sizeof back) - got);
    ASSERT_GE(n, 0);
    got += n;
  }
  EXPECT_EQ(std::string(back, back + got), "hello");
}

TEST_F(AuxCommands, AStalledUartTransferIsCancelledBeforeTheCallReturns) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "stall=uart_in"), 0);
  uint8_t buffer[8] = {};
  EXPECT_EQ(vexdaq_UART_Read(buffer, sizeof buffer), 0);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "stall=none"), 0);
  // Bytes arriving later go to the next read, not to the abandoned one.
  const uint8_t data[3] = {7, 8, 9};
  ASSERT_EQ(vexdaq_sim_uart_inject(sim_, data, 3), 3);
  EXPECT_EQ(vexdaq_UART_Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), std::vector<uint8_t>(data, data + 3));

  ASSERT_EQ(vexdaq_sim_fault(sim_, "stall=uart_out"), 0);
  EXPECT_EQ(vexdaq_UART_Write(data, 3), 0);
}

TEST_F(AuxCommands, UartRefusesBadArguments) {
  uint8_t buffer[4] = {};
  EXPECT_EQ(vexdaq_UART_Write(nullptr, 4), -1);
  EXPECT_EQ(vexdaq_UART_Read(buffer, -1), -1);
}

TEST_F(AuxCommands, UartOnAGoneDeviceFails) {
  ASSERT_EQ(vexdaq_sim_unplug(sim_), 0);
  uint8_t buffer[4] = {};
  EXPECT_EQ(vexdaq_UART_Read(buffer, 4), -3);
  EXPECT_TRUE(log_has("usbio_data_read failed "));
}

}  // namespace
}  // namespace vexdaq::testing
