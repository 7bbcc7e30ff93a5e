// The panel's control requests: JSON objects {"action": "...", ...} from the page, checked here
// as strictly as the CLI checks its options before anything reaches the instrument. A request
// that fails a check throws ControlError with a message for the user; nothing has changed then.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "display/scope_views.h"
#include "display/spectrum.h"

namespace vexdaq_panel {

class ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the checks need to know of the instrument and the stream as it is.
struct DeviceFacts {
  int in_channels = 0;
  int out_channels = 0;
  int in_bits = 24;
  int out_bits = 24;
  std::vector<int32_t> in_rates;
  std::vector<int32_t> out_rates;
  int enabled_inputs = 0;  // channels streaming now
  int32_t in_rate = 0;     // Hz, now
};

// The scope's settings; channels are the instrument's numbers.
struct ScopeSettings {
  bool triggered = false;
  double timebase_s = 0.1;  // the width of the view
  uint32_t columns = 1000;  // pixels across
  bool paused = false;
  int trigger_channel = 0;
  int32_t level = 0;
  bool rising = true;
  double pre_share = 0.25;
  SweepMode sweep = SweepMode::kAuto;
};

struct SpectrumSettings {
  int channel = -1;  // -1: off
  uint32_t size = 4096;
  SpectrumWindow window = SpectrumWindow::kHann;
  uint32_t averages = 4;
};

enum class Waveform { kOff, kSine, kSquare, kDc, kCounter };

struct GeneratorSettings {
  int channel = 0;
  Waveform waveform = Waveform::kOff;
  double frequency = 1000.0;  // Hz
  double amplitude = 0.5;     // share of full scale
};

struct SetChannels {
  std::vector<int> channels;
};
struct SetRate {
  int32_t rate;
};
struct SetGear {
  int channel;
  int gear;
};
struct SetIcp {
  int channel;
  int icp;
};
struct ArmSweep {};
struct GpioMode {
  uint32_t pins;
  int32_t mode;
};
struct DioWrite {
  int32_t port;
  uint8_t value;
};
struct DioRead {
  int32_t port;
};
struct Pwm {
  int32_t pin;
  int32_t frequency;
  int32_t duty;
};
struct CounterSet {
  int32_t pin;
  int32_t mode;
  int32_t edge;
};
struct CounterRead {
  int32_t pin;
};
struct UartConfig {
  int32_t baud;
};
struct UartWrite {
  std::vector<uint8_t> bytes;
};
struct UartRead {
  int32_t count;
};
struct I2cWrite {
  uint16_t reg;
  std::vector<uint8_t> bytes;
};
struct I2cRead {
  uint16_t reg;
  int32_t length;
};
struct RecordStart {
  std::string name;
};
struct RecordStop {};

using Control =
    std::variant<SetChannels, SetRate, SetGear, SetIcp, ScopeSettings, ArmSweep, SpectrumSettings,
                 GeneratorSettings, GpioMode, DioWrite, DioRead, Pwm, CounterSet, CounterRead,
                 UartConfig, UartWrite, UartRead, I2cWrite, I2cRead, RecordStart, RecordStop>;

// Parses and checks one request body (at most kMaxControlBytes). Throws ControlError.
Control parse_control(const std::string &body, const DeviceFacts &facts);

constexpr size_t kMaxControlBytes = 64 * 1024;
// Bytes per UART or I2C transfer from the page (the CLI reads at most 4096 UART bytes too).
constexpr int32_t kMaxTransferBytes = 4096;
// Samples the triggered sweep may hold for all its channels: 8 Mi samples, 32 MiB.
constexpr uint64_t kMaxSweepSamples = 8u << 20;

}  // namespace vexdaq_panel
