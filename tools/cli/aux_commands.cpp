// Subcommands for the auxiliary functions: gpio, dio, pwm, counter, uart, i2c, firmware, serial.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

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

// Pins, ports and channels travel in bits 8-14 of a request's index.
constexpr int kMaxAddress = 127;

// An empty file or one the loader cannot hold is refused before the instrument is opened.
void check_firmware_size(const std::string &path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) throw CliError(kExitUsage, "cannot read '" + path + "': " + error.message());
  if (size == 0) throw CliError(kExitUsage, "'" + path + "' is empty: nothing to write");
  if (size > VEXDAQ_FIRMWARE_CAPACITY) {
    throw CliError(kExitUsage, "'" + path + "' has " + std::to_string(size) +
                                   " bytes; the instrument holds at most " +
                                   std::to_string(VEXDAQ_FIRMWARE_CAPACITY));
  }
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
    cmd->add_option("--pins", *pins, "Pin mask, bits 0-7 for pins 0-7 (1-255)")
        ->required()
        ->check(CLI::Range(1, 255));
    cmd->add_option("--mode", *mode, "Mode code 0-255 (its meaning is the instrument's)")
        ->required()
        ->check(CLI::Range(0, 255));
    with_session(cmd, global, [pins, mode](Session &) {
      check(vexdaq_set_gpio_mode(*pins, *mode), "vexdaq_set_gpio_mode");
      std::printf("gpio: pins 0x%02X set to mode %d\n", *pins, *mode);
    });
  }
  {
    auto *cmd = app.add_subcommand("dio", "Read or write the digital port");
    auto port = std::make_shared<int32_t>(0);
    auto value = std::make_shared<int>(-1);
    cmd->add_option("--port", *port, "Port number 0-127")
        ->capture_default_str()
        ->check(CLI::Range(0, kMaxAddress));
    cmd->add_option("--write", *value, "Byte to write; without it the port is read")
        ->check(CLI::Range(0, 255));
    with_session(cmd, global, [port, value](Session &) {
      uint8_t byte = static_cast<uint8_t>(*value);
      if (*value >= 0) {
        check(vexdaq_digital_io_write(*port, &byte, 1), "vexdaq_digital_io_write");
        std::printf("dio: port %d written 0x%02X\n", *port, byte);
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
    cmd->add_option("--pin", *pin, "PWM pin 0-127")
        ->capture_default_str()
        ->check(CLI::Range(0, kMaxAddress));
    cmd->add_option("--frequency", *frequency, "Frequency in Hz, 1 or more")
        ->capture_default_str()
        ->check(CLI::Range(1, INT32_MAX));
    cmd->add_option("--duty", *duty, "Duty cycle in percent, 0-100")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
    with_session(cmd, global, [pin, frequency, duty](Session &) {
      check(vexdaq_set_pwm(*pin, *frequency, *duty), "vexdaq_set_pwm");
      std::printf("pwm: pin %d at %d Hz, duty %d%%\n", *pin, *frequency, *duty);
    });
  }
  {
    auto *cmd = app.add_subcommand("counter", "Set up or read a pulse counter");
    auto pin = std::make_shared<int32_t>(0);
    auto mode = std::make_shared<int32_t>(-1);
    auto edge = std::make_shared<int32_t>(0);
    cmd->add_option("--pin", *pin, "Counter pin 0-127")
        ->capture_default_str()
        ->check(CLI::Range(0, kMaxAddress));
    cmd->add_option("--mode", *mode,
                    "Set this mode, 0-255 (its meaning is the instrument's); without it, read")
        ->check(CLI::Range(0, 255));
    cmd->add_option("--edge", *edge, "Edge code 0-255 for --mode")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    with_session(cmd, global, [pin, mode, edge](Session &) {
      if (*mode >= 0) {
        check(vexdaq_set_counter(*pin, *mode, *edge), "vexdaq_set_counter");
        std::printf("counter: pin %d set to mode %d, edge %d\n", *pin, *mode, *edge);
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
                    "Set the line coding: baud rate, 1 stop bit, no parity, 8 bits")
        ->check(CLI::Range(1, INT32_MAX));
    cmd->add_option("--send", *text, "Text to send");
    cmd->add_option("--read", *count, "Bytes to read (waits 50 ms)")->check(CLI::Range(1, 4096));
    with_session(cmd, global, [baud, text, count](Session &) {
      if (*baud > 0) {
        check(vexdaq_set_uart_line_code(*baud, 0, 0, 8), "vexdaq_set_uart_line_code");
        std::printf("uart: %d baud, 8N1\n", *baud);
      }
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
        std::printf("i2c: %zu byte(s) written to register 0x%04X\n", bytes.size(), *reg);
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
    cmd->callback([&global, path] {
      check_firmware_size(*path);
      Session session(global);
      if (vexdaq_firmware_download(path->c_str()) != 0) {
        throw CliError(kExitFailure, "the firmware could not be written or read back as '" + *path +
                                         "'" + log_hint());
      }
      std::printf("firmware written and verified\n");
      throw CliExit(kExitOk);
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
      std::printf("serial number set to '%s'\n", text->c_str());
    });
  }
}

}  // namespace vexdaq_cli
