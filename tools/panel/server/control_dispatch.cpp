#include "server/control_dispatch.h"

#include <nlohmann/json.hpp>

#include "acquisition/acquisition.h"
#include "control/controls.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq_panel {

namespace {

using nlohmann::json;

void need(int32_t result, const char *call) {
  if (result < 0)
    throw ControlError(std::string(call) + " failed (" + std::to_string(result) + ")");
}

std::string hex(const uint8_t *data, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    if (i) text += ' ';
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xF];
  }
  return text;
}

struct Carry {
  Acquisition &acquisition;
  json &reply;

  void operator()(const SetChannels &c) { acquisition.set_channels(c.channels); }
  void operator()(const SetRate &c) { acquisition.set_rate(c.rate); }
  void operator()(const SetGear &c) { acquisition.set_gear(c.channel, c.gear); }
  void operator()(const SetIcp &c) { acquisition.set_icp(c.channel, c.icp); }
  void operator()(const ScopeSettings &c) { acquisition.set_scope(c); }
  void operator()(const ArmSweep &) { acquisition.arm_sweep(); }
  void operator()(const SpectrumSettings &c) { acquisition.set_spectrum(c); }
  void operator()(const GeneratorSettings &c) { acquisition.set_generator(c); }
  void operator()(const GpioMode &c) {
    need(vexdaq_set_gpio_mode(c.pins, c.mode), "vexdaq_set_gpio_mode");
  }
  void operator()(const DioWrite &c) {
    uint8_t byte = c.value;
    need(vexdaq_digital_io_write(c.port, &byte, 1), "vexdaq_digital_io_write");
  }
  void operator()(const DioRead &c) {
    uint8_t byte = 0;
    need(vexdaq_digital_io_read(c.port, &byte, 1), "vexdaq_digital_io_read");
    reply["value"] = byte;
  }
  void operator()(const Pwm &c) {
    need(vexdaq_set_pwm(c.pin, c.frequency, c.duty), "vexdaq_set_pwm");
  }
  void operator()(const CounterSet &c) {
    need(vexdaq_set_counter(c.pin, c.mode, c.edge), "vexdaq_set_counter");
  }
  void operator()(const CounterRead &c) {
    uint32_t edges = 0, cycle = 0, high = 0, low = 0;
    need(vexdaq_counter_read(c.pin, &edges, &cycle, &high, &low), "vexdaq_counter_read");
    reply["edges"] = edges;
    reply["cycle"] = cycle;
    reply["high"] = high;
    reply["low"] = low;
  }
  void operator()(const UartConfig &c) {
    need(vexdaq_set_uart_line_code(c.baud, 0, 0, 8), "vexdaq_set_uart_line_code");
  }
  void operator()(const UartWrite &c) {
    const int32_t sent = vexdaq_UART_Write(c.bytes.data(), static_cast<int32_t>(c.bytes.size()));
    need(sent, "vexdaq_UART_Write");
    reply["sent"] = sent;
  }
  void operator()(const UartRead &c) {
    std::vector<uint8_t> buffer(static_cast<size_t>(c.count));
    const int32_t got = vexdaq_UART_Read(buffer.data(), c.count);
    need(got, "vexdaq_UART_Read");
    buffer.resize(static_cast<size_t>(got));
    std::string text;
    for (uint8_t b : buffer)
      text += (b >= 0x20 && b < 0x7F) || b == '\n' ? static_cast<char>(b) : '.';
    reply["text"] = text;
    reply["hex"] = hex(buffer.data(), buffer.size());
  }
  void operator()(const I2cWrite &c) {
    need(vexdaq_I2C_Reg_Write(c.reg, c.bytes.data(), static_cast<int32_t>(c.bytes.size())),
         "vexdaq_I2C_Reg_Write");
  }
  void operator()(const I2cRead &c) {
    std::vector<uint8_t> buffer(static_cast<size_t>(c.length));
    need(vexdaq_I2C_Reg_Read(c.reg, buffer.data(), c.length), "vexdaq_I2C_Reg_Read");
    reply["hex"] = hex(buffer.data(), buffer.size());
  }
  void operator()(const RecordStart &c) { reply["path"] = acquisition.start_recording(c.name); }
  void operator()(const RecordStop &) {
    const RecordResult r = acquisition.stop_recording();
    reply["path"] = r.path;
    reply["frames"] = r.frames;
    reply["lost"] = r.lost;
  }
};

}  // namespace

std::pair<int, std::string> dispatch_control(Acquisition &acquisition, const std::string &body) {
  json reply{{"ok", true}};
  try {
    const Control control = parse_control(body, acquisition.facts());
    std::visit(Carry{acquisition, reply}, control);
  } catch (const ControlError &e) {
    return {400, json{{"ok", false}, {"error", e.what()}}.dump()};
  } catch (const std::exception &e) {
    // A fault of ours must not take the panel down with it.
    return {500, json{{"ok", false}, {"error", e.what()}}.dump()};
  }
  return {200, reply.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace vexdaq_panel
