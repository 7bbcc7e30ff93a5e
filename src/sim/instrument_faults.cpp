// The tests' side: injected faults, profile changes at run time, the traffic traces, and the
// accessors for counters, EEPROM, captured output and the UART.
#include "sim/instrument.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/sync.h"
#include "protocol/driver_types.h"
#include "sim/instrument_internal.h"

namespace vexdaq::sim {
namespace {

std::string hex_line(const SetupPacket &s) {
  char head[32];
  std::snprintf(head, sizeof head, "%02X %02X %04X %04X %04X", s.request_type, s.request, s.value,
                s.index, s.length);
  return head;
}

bool endpoint_name(const std::string &name, uint8_t &endpoint) {
  if (name == "tx")
    endpoint = kTxStreamEndpoint;
  else if (name == "rx")
    endpoint = kRxStreamEndpoint;
  else if (name == "uart_out")
    endpoint = kUartOutEndpoint;
  else if (name == "uart_in")
    endpoint = kUartInEndpoint;
  else
    return false;
  return true;
}

}  // namespace

// ---- Driver calls -------------------------------------------------------------------------------

uint32_t Instrument::driver_call(uint32_t code, int pipe) {
  platform::MutexLock lock(mutex_);
  char line[48];
  std::snprintf(line, sizeof line, "ioctl %08X %d", code, pipe);
  add_trace(driver_trace_, line);
  auto it = fail_ioctl_.find({code, pipe});
  // A binding happens on a handle not yet bound: "@0" names the first one.
  if (it == fail_ioctl_.end() && code == IOCTL_USBIO_BIND_PIPE) it = fail_ioctl_.find({code, 0});
  if (it == fail_ioctl_.end()) it = fail_ioctl_.find({code, -1});
  return it == fail_ioctl_.end() ? 0 : it->second;
}

uint32_t Instrument::take_open_fault() {
  platform::MutexLock lock(mutex_);
  if (open_countdown_ == 0) return 0;
  return --open_countdown_ == 0 ? open_fault_status_ : 0;
}

void Instrument::note_open(uint32_t access, uint32_t share, uint32_t flags) {
  platform::MutexLock lock(mutex_);
  char line[64];
  std::snprintf(line, sizeof line, "open %08X %X %08X", access, share, flags);
  add_trace(driver_trace_, line);
}

// ---- Tests' side --------------------------------------------------------------------------------

void Instrument::add_trace(Trace &trace, std::string line) {
  line += '\n';
  trace.bytes += line.size();
  trace.lines.push_back(std::move(line));
  while (trace.lines.size() > kTraceMaxLines || trace.bytes > kTraceMaxBytes) {
    trace.bytes -= trace.lines.front().size();
    trace.lines.pop_front();
  }
}

void Instrument::trace_setup(const SetupPacket &setup, const uint8_t *data) {
  std::string line = hex_line(setup);
  if ((setup.request_type & kDirectionIn) == 0 && setup.length != 0 && data != nullptr) {
    line += " :";
    static const char kHex[] = "0123456789ABCDEF";
    line.reserve(line.size() + 3u * setup.length);
    for (uint32_t i = 0; i < setup.length; ++i) {
      line += ' ';
      line += kHex[data[i] >> 4];
      line += kHex[data[i] & 0xF];
    }
  }
  add_trace(trace_, std::move(line));
}

int32_t Instrument::take_trace(char *buffer, int32_t size, bool driver_calls) {
  platform::MutexLock lock(mutex_);
  Trace &trace = driver_calls ? driver_trace_ : trace_;
  size_t total = trace.bytes;
  if (buffer == nullptr || size < 0 || total + 1 > static_cast<size_t>(size)) {
    return static_cast<int32_t>(total);
  }
  char *at = buffer;
  for (const std::string &line : trace.lines) {
    std::memcpy(at, line.data(), line.size());
    at += line.size();
  }
  *at = '\0';
  trace.lines.clear();
  trace.bytes = 0;
  return static_cast<int32_t>(total);
}

Counters Instrument::counters() {
  platform::MutexLock lock(mutex_);
  Counters counters = counters_;
  counters.cpu_instructions = chip_.instructions();
  return counters;
}

int32_t Instrument::read_eeprom(uint32_t address, uint8_t *out, int32_t size) {
  platform::MutexLock lock(mutex_);
  if (out == nullptr || size < 0) return -1;
  const std::vector<uint8_t> &memory = chip_.eeprom().memory();
  for (int32_t i = 0; i < size; ++i) out[i] = memory[(address + i) % memory.size()];
  return size;
}

int32_t Instrument::take_output(uint8_t *out, int32_t size) {
  platform::MutexLock lock(mutex_);
  if (out == nullptr || size < 0) return -1;
  return static_cast<int32_t>(output_.take(out, static_cast<size_t>(size)));
}

int32_t Instrument::uart_inject(const uint8_t *data, int32_t size) {
  platform::MutexLock lock(mutex_);
  if (data == nullptr || size < 0) return -1;
  push_bounded(uart_in_, data, static_cast<size_t>(size), kUartBufferBytes, 1);
  wake_.notify_all();
  return size;
}

int32_t Instrument::take_uart_output(uint8_t *out, int32_t size) {
  platform::MutexLock lock(mutex_);
  if (out == nullptr || size < 0) return -1;
  size_t n = std::min<size_t>(uart_out_.size(), static_cast<size_t>(size));
  std::copy(uart_out_.begin(), uart_out_.begin() + static_cast<std::ptrdiff_t>(n), out);
  uart_out_.erase(uart_out_.begin(), uart_out_.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<int32_t>(n);
}

bool Instrument::apply_settings(const char *text, std::string &error) {
  platform::MutexLock lock(mutex_);
  if (!apply_profile_text(text, profile_, error)) return false;
  configure_eeprom();
  // Endpoints follow a changed pipe count; transfers of endpoints that went away stay pending
  // until cancelled, as on a device that stopped answering them.
  for (uint8_t address : endpoints()) endpoints_[address];
  wake_.notify_all();
  return true;
}

bool Instrument::apply_fault(const char *text, std::string &error) {
  std::vector<Done> done;
  platform::MutexLock lock(mutex_);
  if (text == nullptr) {
    error = "no fault given";
    return false;
  }
  std::string command(text);
  size_t equals = command.find('=');
  std::string key = command.substr(0, equals);
  std::string value = equals == std::string::npos ? "" : command.substr(equals + 1);
  auto split = [](const std::string &v, char sep, std::string &a, std::string &b) {
    size_t at = v.find(sep);
    a = v.substr(0, at);
    b = at == std::string::npos ? "" : v.substr(at + 1);
    return at != std::string::npos;
  };
  auto bad = [&] {
    error = "bad fault \"" + command + "\"";
    return false;
  };
  std::string a, b;
  uint64_t n1 = 0, n2 = 0;
  if (key == "clear") {
    fail_request_.clear();
    short_reply_.clear();
    long_reply_.clear();
    malformed_.clear();
    fail_ioctl_.clear();
    frame_number_status_ = 0;
    open_countdown_ = 0;
    chip_.set_i2c_fault(I2cFault::kNone);
    for (auto &[address, ep] : endpoints_) ep.hang = ep.halted = false;
  } else if (key == "fail_request") {
    // REQ[,wValue[,wIndex[,wLength]]][:STATUS]: the fields given must all match.
    bool has_status = split(value, ':', a, b);
    std::array<int32_t, 4> rule = {-1, -1, -1, -1};
    const uint64_t limits[4] = {0xFF, 0xFFFF, 0xFFFF, 0xFFFF};
    std::string rest = a;
    for (size_t field = 0; field < rule.size(); ++field) {
      std::string part;
      const bool more = split(rest, ',', part, rest);
      uint64_t number = 0;
      if (!parse_number(part, limits[field], number)) return bad();
      rule[field] = static_cast<int32_t>(number);
      if (!more) break;
      if (field + 1 == rule.size()) return bad();
    }
    if (has_status && !parse_number(b, 0xFFFFFFFFu, n2)) return bad();
    if (!has_status) n2 = kStatusStall;
    if (n2 == 0)
      fail_request_.erase(rule);
    else
      fail_request_[rule] = static_cast<uint32_t>(n2);
  } else if (key == "short_reply" || key == "long_reply") {
    if (!split(value, ':', a, b) || !parse_number(a, 0xFF, n1) || !parse_number(b, 0xFFFF, n2)) {
      return bad();
    }
    (key == "short_reply" ? short_reply_ : long_reply_)[static_cast<uint8_t>(n1)] =
        static_cast<uint32_t>(n2);
  } else if (key == "malformed") {
    if (!parse_number(value, 0xFF, n1)) return bad();
    malformed_[static_cast<uint8_t>(n1)] = true;
  } else if (key == "stall" || key == "halt") {
    uint8_t address = 0;
    if (value == "none") {
      for (auto &[addr, ep] : endpoints_) (key == "stall" ? ep.hang : ep.halted) = false;
    } else if (endpoint_name(value, address) && endpoints_.count(address) != 0) {
      (key == "stall" ? endpoints_[address].hang : endpoints_[address].halted) = true;
    } else {
      return bad();
    }
  } else if (key == "fail_ioctl") {
    std::string code_pipe;
    if (!split(value, ':', code_pipe, b) || !parse_number(b, 0xFFFFFFFFu, n2)) return bad();
    std::string code, pipe;
    uint64_t pipe_number = 0;
    bool has_pipe = split(code_pipe, '@', code, pipe);
    if (!parse_number(code, 0xFFFFFFFFu, n1)) return bad();
    if (has_pipe && !parse_number(pipe, kMaxPipes, pipe_number)) return bad();
    std::pair<uint32_t, int> where{static_cast<uint32_t>(n1),
                                   has_pipe ? static_cast<int>(pipe_number) : -1};
    if (n2 == 0)
      fail_ioctl_.erase(where);
    else
      fail_ioctl_[where] = static_cast<uint32_t>(n2);
  } else if (key == "i2c") {
    if (value == "stuck")
      chip_.set_i2c_fault(I2cFault::kStuckBus);
    else if (value == "no_eeprom")
      chip_.set_i2c_fault(I2cFault::kNoEeprom);
    else if (value == "ok")
      chip_.set_i2c_fault(I2cFault::kNone);
    else
      return bad();
  } else if (key == "frame_number_status") {
    if (!parse_number(value, 0xFFFFFFFFu, n1)) return bad();
    frame_number_status_ = static_cast<uint32_t>(n1);
  } else if (key == "fail_open") {
    bool has_status = split(value, ':', a, b);
    if (!parse_number(a, 0xFFFFFFFFu, n1)) return bad();
    if (has_status && !parse_number(b, 0xFFFFFFFFu, n2)) return bad();
    open_countdown_ = static_cast<uint32_t>(n1);
    open_fault_status_ = has_status ? static_cast<uint32_t>(n2) : kStatusAccessDenied;
  } else if (key == "replug") {
    if (!present_) return bad();
    // Gone and back: handles of the old generation fail, the new one has a new path.
    fail_all(kStatusDeviceNotPresent, done);
    start_generation();
    if (!done.empty()) run_completions(done);
  } else {
    error = "unknown fault \"" + command + "\"";
    return false;
  }
  wake_.notify_all();
  return true;
}

}  // namespace vexdaq::sim
