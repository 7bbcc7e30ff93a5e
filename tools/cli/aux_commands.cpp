// Subcommands for the auxiliary functions: gpio, dio, pwm, counter, uart, i2c, firmware, serial.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq_cli {

namespace {

std::vector<uint8_t> parse_hex_bytes(const std::string &text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw CliError(kExitUsage, "bad hex data '" + text + "'");
    }
    digits += c;
  }
  if (digits.size() % 2 != 0) throw CliError(kExitUsage, "hex data needs two digits per byte");
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void print_hex(const uint8_t *data, size_t n) {
  for (size_t i = 0; i < n; ++i) std::printf(i ? " %02X" : "%02X", data[i]);
  std::printf("\n");
}

// Runs body with an open session, as the subcommand's callback.
template <typename Body>
void with_session(CLI::App *cmd, const GlobalOptions &global, Body body) {
  cmd->callback([&global, body] {
    Session session(global);
    body(session);
    throw CliExit(kExitOk);
  });
}

}  // namespace

void add_aux_commands(CLI::App &app, const GlobalOptions &global) {
  {
    auto *cmd = app.add_subcommand("gpio", "Set the mode of GPIO pins");
    auto pins = std::make_shared<uint32_t>(0);
    auto mode = std::make_shared<int32_t>(0);
    cmd->add_option("--pins", *pins, "Pin mask, bits 0-7")->required();
    cmd->add_option("--mode", *mode, "Mode code (device-defined)")->required();
    with_session(cmd, global, [pins, mode](Session &) {
      check(vexdaq_set_gpio_mode(*pins, *mode), "vexdaq_set_gpio_mode");
    });
  }
  {
    auto *cmd = app.add_subcommand("dio", "Read or write the digital port");
    auto port = std::make_shared<int32_t>(0);
    auto value = std::make_shared<int>(-1);
    cmd->add_option("--port", *port, "Port number")->capture_default_str();
    cmd->add_option("--write", *value, "Byte to write; without it the port is read")
        ->check(CLI::Range(0, 255));
    with_session(cmd, global, [port, value](Session &) {
      uint8_t byte = static_cast<uint8_t>(*value);
      if (*value >= 0) {
        check(vexdaq_digital_io_write(*port, &byte, 1), "vexdaq_digital_io_write");
      } else {
        check(vexdaq_digital_io_read(*port, &byte, 1), "vexdaq_digital_io_read");
        std::printf("0x%02X\n", byte);
      }
    });
  }
  {
    auto *cmd = app.add_subcommand("pwm", "Drive a PWM output");
    auto pin = std::make_shared<int32_t>(0);
    auto frequency = std::make_shared<int32_t>(1000);
    auto duty = std::make_shared<int32_t>(50);
    cmd->add_option("--pin", *pin, "PWM pin")->capture_default_str();
    cmd->add_option("--frequency", *frequency, "Frequency (device units)")->capture_default_str();
    cmd->add_option("--duty", *duty, "Duty cycle (device units)")->capture_default_str();
    with_session(cmd, global, [pin, frequency, duty](Session &) {
      check(vexdaq_set_pwm(*pin, *frequency, *duty), "vexdaq_set_pwm");
    });
  }
  {
    auto *cmd = app.add_subcommand("counter", "Set up or read a pulse counter");
    auto pin = std::make_shared<int32_t>(0);
    auto mode = std::make_shared<int32_t>(-1);
    auto edge = std::make_shared<int32_t>(0);
    cmd->add_option("--pin", *pin, "Counter pin")->capture_default_str();
    cmd->add_option("--mode", *mode, "Set this mode (device-defined); without it, read");
    cmd->add_option("--edge", *edge, "Edge for --mode")->capture_default_str();
    with_session(cmd, global, [pin, mode, edge](Session &) {
      if (*mode >= 0) {
        check(vexdaq_set_counter(*pin, *mode, *edge), "vexdaq_set_counter");
        return;
      }
      uint32_t edges = 0, cycle = 0, positive = 0, negative = 0;
      check(vexdaq_counter_read(*pin, &edges, &cycle, &positive, &negative), "vexdaq_counter_read");
      std::printf("edges %" PRIu32 ", cycle %" PRIu32 ", high %" PRIu32 ", low %" PRIu32 "\n",
                  edges, cycle, positive, negative);
    });
  }
  {
    auto *cmd = app.add_subcommand("uart", "Configure the UART, send text, read bytes");
    auto baud = std::make_shared<int32_t>(0);
    auto text = std::make_shared<std::string>();
    auto count = std::make_shared<int32_t>(0);
    cmd->add_option("--baud", *baud,
                    "Set the line coding: baud rate, 1 stop bit, no parity, 8 bits");
    cmd->add_option("--send", *text, "Text to send");
    cmd->add_option("--read", *count, "Bytes to read (waits 50 ms)")->check(CLI::Range(1, 4096));
    with_session(cmd, global, [baud, text, count](Session &) {
      if (*baud > 0) check(vexdaq_set_uart_line_code(*baud, 0, 0, 8), "vexdaq_set_uart_line_code");
      if (!text->empty()) {
        const int32_t sent = vexdaq_UART_Write(reinterpret_cast<const uint8_t *>(text->data()),
                                               static_cast<int32_t>(text->size()));
        check(sent, "vexdaq_UART_Write");
        std::printf("sent %d byte(s)\n", sent);
      }
      if (*count > 0) {
        std::vector<uint8_t> buffer(static_cast<size_t>(*count));
        const int32_t got = vexdaq_UART_Read(buffer.data(), *count);
        check(got, "vexdaq_UART_Read");
        print_hex(buffer.data(), static_cast<size_t>(got));
      }
    });
  }
  {
    auto *cmd = app.add_subcommand("i2c", "Read or write an I2C register");
    auto reg = std::make_shared<uint16_t>(0);
    auto data = std::make_shared<std::string>();
    auto length = std::make_shared<int32_t>(1);
    cmd->add_option("--reg", *reg, "Register")->required();
    cmd->add_option("--write", *data, "Hex bytes to write, e.g. 01A0FF");
    cmd->add_option("--length", *length, "Bytes to read")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    with_session(cmd, global, [reg, data, length](Session &) {
      if (!data->empty()) {
        auto bytes = parse_hex_bytes(*data);
        check(vexdaq_I2C_Reg_Write(*reg, bytes.data(), static_cast<int32_t>(bytes.size())),
              "vexdaq_I2C_Reg_Write");
        return;
      }
      std::vector<uint8_t> buffer(static_cast<size_t>(*length));
      check(vexdaq_I2C_Reg_Read(*reg, buffer.data(), *length), "vexdaq_I2C_Reg_Read");
      print_hex(buffer.data(), buffer.size());
    });
  }
  {
    auto *cmd =
        app.add_subcommand("firmware", "Write a firmware file to the instrument and verify it");
    auto path = std::make_shared<std::string>();
    cmd->add_option("file", *path, "Firmware file")->required()->check(CLI::ExistingFile);
    with_session(cmd, global, [path](Session &) {
      if (vexdaq_firmware_download(path->c_str()) != 0) {
        throw CliError(kExitFailure, "the firmware read back differs from '" + *path + "'");
      }
      std::printf("firmware written and verified\n");
    });
  }
  {
    auto *cmd =
        app.add_subcommand("serial", "Set the instrument's serial number (16 characters at most)");
    auto text = std::make_shared<std::string>();
    cmd->add_option("text", *text, "Serial number")->required();
    with_session(cmd, global, [text](Session &) {
      if (text->size() > 16)
        throw CliError(kExitUsage, "a serial number has at most 16 characters");
      check(vexdaq_serial_download(text->c_str(), static_cast<int32_t>(text->size())),
            "vexdaq_serial_download");
    });
  }
}

}  // namespace vexdaq_cli
