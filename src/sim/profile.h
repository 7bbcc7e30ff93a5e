// What a virtual instrument is: its descriptors, capabilities and behaviour, set from the
// "key=value;key=value" text of vexdaq_sim_plug and vexdaq_sim_set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexdaq::sim {

enum class Waveform : uint8_t { kSine, kSquare, kDc, kNoise, kCounter };
enum class Pacing : uint8_t { kRealtime, kFree };

inline constexpr uint32_t kMaxProfileChannels = 65535;  // the count replies are 16-bit
inline constexpr uint32_t kMaxSampleBits = 64;
inline constexpr uint32_t kMaxPipes = 30;        // endpoints a USB interface can have
inline constexpr size_t kMaxRateEntries = 4096;  // far beyond the 63 a reply holds
inline constexpr size_t kMaxTextLength = 4096;   // product, manufacturer, serial
inline constexpr uint32_t kMaxPathLength = 4096;
inline constexpr int32_t kMaxClockPpm = 100000;  // 10 %: far beyond any crystal

struct Profile {
  uint32_t in_channels = 8;
  uint32_t out_channels = 2;
  uint32_t in_bits = 24;
  uint32_t out_bits = 24;
  std::vector<uint32_t> in_rates = {1000,  2000,  4000,  8000,  10000, 16000, 20000,
                                    25600, 40000, 48000, 51200, 96000, 102400};
  std::vector<uint32_t> out_rates = {1000,  2000,  4000,  8000,  10000, 16000, 20000,
                                     25600, 40000, 48000, 51200, 96000, 102400};
  // Device descriptor.
  uint8_t protocol = 3;
  uint8_t subclass = 0;
  uint16_t vendor_id = 0x1209;
  uint16_t product_id = 0x7D0A;
  uint16_t bcd_device = 0x0105;
  std::string product = "VX-8 Virtual Instrument";
  std::string manufacturer = "vexdaq";
  std::string serial;  // empty: "SIM" and the instrument's id
  uint8_t fpga_version = 0x21;
  // Driver.
  uint16_t driver_version = 0x0240;
  uint32_t driver_opens = 0;         // handles the driver reports beyond this process's own
  uint32_t pipes = 4;                // endpoints of the interface, the four of the instrument first
  uint32_t path_length = 0;          // pad the device path to this many UTF-16 units (0: natural)
  uint32_t device_fifo = 64u << 10;  // bytes of input the device holds for the host (EZ-USB: 2048)
  // The instrument's clock against the host's, parts per million (a crystal is off by tens).
  int32_t clock_ppm = 0;
  // Input frames the device loses on purpose, as an overflowing FIFO would: drop_frames frames
  // drop_at_ms after the start (device time), again every drop_every_ms (0: once).
  uint32_t drop_frames = 0;
  uint32_t drop_at_ms = 0;
  uint32_t drop_every_ms = 0;
  // Behaviour.
  Waveform waveform = Waveform::kSine;
  std::vector<Waveform> channel_waveforms;  // per input channel; empty entries use `waveform`
  Pacing pacing = Pacing::kRealtime;
  bool loopback = false;
  bool exclusive = false;
  bool uart_loop = true;  // UART out comes back on UART in
  // What the samples stand for: full scale (2^(bits-1)) is this many mV on every input. Only a
  // description for tools that show volts; the samples do not depend on it.
  uint32_t full_scale_mv = 10000;
  // The EEPROM on the chip's I2C bus.
  uint32_t eeprom_page = 64;        // bytes a page write holds: 32, 64 or 128
  uint32_t eeprom_write_us = 5000;  // write cycle, during which the part does not acknowledge
};

// Applies "key=value;..." to the profile. Keys are those of vexdaq_sim.h; numbers are decimal or
// 0x hex. On an unknown key or a bad value returns false with the reason and leaves the profile
// as it was.
bool apply_profile_text(const char *text, Profile &profile, std::string &error);

// Parses a number (decimal or 0x hex) of at most `maximum`.
bool parse_number(const std::string &text, uint64_t maximum, uint64_t &out);

}  // namespace vexdaq::sim
