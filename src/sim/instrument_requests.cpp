// Control transfers: the standard requests and descriptors, the EZ-USB memory load, the hand-off
// to downloaded code, and the instrument's class and vendor requests with the state behind them.
#include "sim/instrument.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/sync.h"
#include "protocol/driver_types.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"
#include "sim/instrument_internal.h"

namespace vexdaq::sim {
namespace {

constexpr uint8_t kStandardGetStatus = 0x00;
constexpr uint8_t kStandardClearFeature = 0x01;
constexpr uint8_t kStandardSetFeature = 0x03;
constexpr uint8_t kStandardGetDescriptor = 0x06;
constexpr uint8_t kStandardGetConfiguration = 0x08;
constexpr uint8_t kStandardSetConfiguration = 0x09;
constexpr uint8_t kStandardSetInterface = 0x0B;
constexpr uint8_t kFirmwareLoad = 0xA0;  // the EZ-USB's own internal-memory load
constexpr int kGpioPins = 8;

std::vector<uint8_t> string_descriptor(const std::string &text) {
  // bLength is one byte: at most 126 UTF-16 units fit.
  size_t units = std::min<size_t>(text.size(), 126);
  std::vector<uint8_t> d(2 + 2 * units);
  d[0] = static_cast<uint8_t>(d.size());
  d[1] = kDescriptorString;
  for (size_t i = 0; i < units; ++i) d[2 + 2 * i] = static_cast<uint8_t>(text[i]);
  return d;
}

}  // namespace

Instrument::ClockView Instrument::clock_view() const {
  ClockView view;
  view.streaming = streaming_;
  view.flush = flush_;
  view.cpu = cpu_;
  view.configuration = configuration_;
  view.in_rate = in_rate_;
  view.out_rate = out_rate_;
  view.in_base_time = in_base_time_;
  view.out_base_time = out_base_time_;
  view.endpoints = endpoints_.size();
  for (const auto &[address, ep] : endpoints_) {
    if (ep.halted) view.halted |= 1u << ((address & 0x0F) + ((address & 0x80) != 0 ? 16 : 0));
  }
  return view;
}

uint32_t Instrument::control_transfer(uint32_t generation, const SetupPacket &setup, uint8_t *data,
                                      uint32_t *transferred) {
  *transferred = 0;
  platform::MutexLock lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  if (data == nullptr && setup.length != 0) return kStatusInvalidParameter;
  ++counters_.control_requests;
  trace_setup(setup, data);
  const int32_t fields[4] = {setup.request, setup.value, setup.index, setup.length};
  for (const auto &[rule, status] : fail_request_) {
    bool matches = true;
    for (size_t i = 0; i < rule.size(); ++i)
      matches = matches && (rule[i] < 0 || rule[i] == fields[i]);
    if (matches) return status;
  }

  std::vector<uint8_t> reply;
  uint32_t status;
  const ClockView before = clock_view();
  uint8_t type = (setup.request_type >> 5) & 0x03;
  uint8_t recipient = setup.request_type & 0x1F;
  // The chip serves its memory load always, and the standard requests until the downloaded code
  // takes them over; everything else goes to the code once it runs.
  const bool memory_load = type == 2 && recipient == 0 && setup.request == kFirmwareLoad;
  if (cpu_ == Cpu::kEmulated && !memory_load && (type != 0 || chip_.serves_standard_requests())) {
    status = firmware_request(setup, data, reply);
  } else if (type == 0) {
    status = standard_request(setup, data, reply);
  } else if (type == 2 && recipient == 0) {
    status = device_vendor_request(setup, data, reply);
  } else {
    status = instrument_request(setup, data, reply);
  }
  // Downloaded code may change anything the model serves.
  if (cpu_ == Cpu::kEmulated || !(clock_view() == before)) wake_.notify_all();
  if (status != kStatusSuccess) return status;
  if ((setup.request_type & kDirectionIn) == 0) {
    *transferred = setup.length;
    return kStatusSuccess;
  }
  if (malformed_.count(setup.request) != 0) reply.assign(setup.length, 0xFF);
  auto longer = long_reply_.find(setup.request);
  if (longer != long_reply_.end() && longer->second > reply.size()) {
    reply.resize(longer->second, 0xA5);
  }
  auto shorter = short_reply_.find(setup.request);
  if (shorter != short_reply_.end() && shorter->second < reply.size()) {
    reply.resize(shorter->second);
  }
  uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(reply.size()), setup.length);
  if (n != 0) std::memcpy(data, reply.data(), n);
  *transferred = n;
  return kStatusSuccess;
}

uint32_t Instrument::standard_request(const SetupPacket &s, uint8_t *data,
                                      std::vector<uint8_t> &reply) {
  bool in = (s.request_type & kDirectionIn) != 0;
  uint8_t recipient = s.request_type & 0x1F;
  switch (s.request) {
    case kStandardGetDescriptor: {
      if (!in) return kStatusStall;
      uint8_t type = static_cast<uint8_t>(s.value >> 8);
      uint8_t index = static_cast<uint8_t>(s.value);
      if (type == kDescriptorDevice && index == 0) {
        reply = {18,
                 kDescriptorDevice,
                 0x00,
                 0x02,  // USB 2.0
                 0xFF,  // vendor-specific class
                 profile_.subclass,
                 profile_.protocol,
                 64,
                 static_cast<uint8_t>(profile_.vendor_id),
                 static_cast<uint8_t>(profile_.vendor_id >> 8),
                 static_cast<uint8_t>(profile_.product_id),
                 static_cast<uint8_t>(profile_.product_id >> 8),
                 static_cast<uint8_t>(profile_.bcd_device),
                 static_cast<uint8_t>(profile_.bcd_device >> 8),
                 1,
                 2,
                 3,
                 1};
      } else if (type == kDescriptorConfiguration && index == 0) {
        reply = config_descriptor();
      } else if (type == kDescriptorString) {
        if (index == 0) {
          reply = {4, kDescriptorString, 0x09, 0x04};
        } else if (index == 1) {
          reply = string_descriptor(profile_.manufacturer);
        } else if (index == 2) {
          reply = string_descriptor(profile_.product);
        } else if (index == 3) {
          reply.assign(2, 0);
          reply.insert(reply.end(), serial_utf16_.begin(), serial_utf16_.end());
          reply[0] = static_cast<uint8_t>(reply.size());
          reply[1] = kDescriptorString;
        } else {
          return kStatusStall;
        }
      } else {
        return kStatusStall;
      }
      return kStatusSuccess;
    }
    case kStandardSetConfiguration:
      if (in || s.value > 1) return kStatusStall;
      configuration_ = static_cast<uint8_t>(s.value);
      return kStatusSuccess;
    case kStandardGetConfiguration:
      if (!in) return kStatusStall;
      reply = {configuration_};
      return kStatusSuccess;
    case kStandardGetStatus: {
      if (!in) return kStatusStall;
      uint8_t halted = 0;
      if (recipient == 2) {
        auto ep = endpoints_.find(static_cast<uint8_t>(s.index));
        if (ep == endpoints_.end()) return kStatusStall;
        halted = ep->second.halted ? 1 : 0;
      }
      reply = {halted, 0};
      return kStatusSuccess;
    }
    case kStandardClearFeature:
    case kStandardSetFeature: {
      if (in || recipient != 2 || s.value != 0) return kStatusStall;
      auto ep = endpoints_.find(static_cast<uint8_t>(s.index));
      if (ep == endpoints_.end()) return kStatusStall;
      ep->second.halted = s.request == kStandardSetFeature;
      return kStatusSuccess;
    }
    case kStandardSetInterface:
      return in ? kStatusStall : kStatusSuccess;
    default:
      (void)data;
      return kStatusStall;
  }
}

uint32_t Instrument::device_vendor_request(const SetupPacket &s, uint8_t *data,
                                           std::vector<uint8_t> &reply) {
  bool in = (s.request_type & kDirectionIn) != 0;
  if (s.request == kFirmwareLoad) {
    // Served by the chip itself, whatever its CPU does.
    if (in) {
      reply.resize(s.length);
      chip_.upload(s.value, reply.data(), s.length);
      return kStatusSuccess;
    }
    chip_.load(s.value, data, s.length);
    if (chip_.running()) {
      cpu_ = Cpu::kEmulated;
    } else if (chip_.held()) {
      cpu_ = Cpu::kHeld;
      streaming_ = false;
    }
    return kStatusSuccess;
  }
  // The instrument's firmware has no other device request; with the CPU held nobody answers.
  return kStatusStall;
}

uint32_t Instrument::firmware_request(const SetupPacket &s, uint8_t *data,
                                      std::vector<uint8_t> &reply) {
  const EzUsb::Request request{s.request_type, s.request, static_cast<uint16_t>(s.value),
                               static_cast<uint16_t>(s.index), static_cast<uint16_t>(s.length)};
  return chip_.control(request, data, reply);
}

void Instrument::configure_eeprom() {
  chip_.eeprom().configure(profile_.eeprom_page, profile_.eeprom_write_us);
}

uint32_t Instrument::instrument_request(const SetupPacket &s, uint8_t *data,
                                        std::vector<uint8_t> &reply) {
  if (cpu_ != Cpu::kFirmware) return kStatusStall;
  bool in = (s.request_type & kDirectionIn) != 0;
  uint8_t type = (s.request_type >> 5) & 0x03;
  int side = (s.index & 0x8000) != 0 ? 1 : 0;
  uint32_t unit = (s.index >> 8) & 0x7F;  // channel, pin or port
  auto put16 = [&](uint32_t v) {
    reply.push_back(static_cast<uint8_t>(v));
    reply.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto put32 = [&](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  auto needs = [&](uint32_t n) { return s.length >= n; };
  // State the host writes whole and reads back as it is.
  auto state_block = [&](uint8_t *state, uint32_t size) {
    if (in) {
      reply.assign(state, state + size);
      return kStatusSuccess;
    }
    if (!needs(size)) return kStatusStall;
    std::memcpy(state, data, size);
    return kStatusSuccess;
  };

  if (type == 1) {
    switch (s.request) {
      case 0xD0: {  // sample-rate list; a count beyond what the reply holds is reported as is
        if (!in) return kStatusStall;
        const std::vector<uint32_t> &rates = side ? profile_.in_rates : profile_.out_rates;
        put16(static_cast<uint32_t>(std::min<size_t>(rates.size(), 0xFFFF)));
        for (uint32_t rate : rates) put32(rate);
        return kStatusSuccess;
      }
      case 0xD1:
        if (in) {
          put32(in_rate_);
          put32(out_rate_);
          return kStatusSuccess;
        }
        if (!needs(8)) return kStatusStall;
        in_rate_ = get_le32(data);
        out_rate_ = get_le32(data + 4);
        if (streaming_) {
          // The clocks change now; frames already counted stay.
          in_base_time_ = out_base_time_ = Clock::now();
          in_base_frames_ = in_produced_;
          out_base_bytes_ = out_received_;
        }
        return kStatusSuccess;
      case 0xD3:
        if (!in) return kStatusStall;
        put16(profile_.in_bits);
        put16(profile_.out_bits);
        return kStatusSuccess;
      case 0xD5:
        if (!in) return kStatusStall;
        put16(profile_.in_channels);
        put16(profile_.out_channels);
        return kStatusSuccess;
      case 0x13:
        if (!in) return kStatusStall;
        reply.push_back(profile_.fpga_version);
        return kStatusSuccess;
      case 0x12:
        if (in || s.length > kSerialMaxBytes) return kStatusStall;
        serial_utf16_.assign(data, data + s.length);
        return kStatusSuccess;
      case 0xE1:
        if (in) return kStatusStall;
        for (uint32_t i = 0; i < s.length; ++i) i2c_[(s.value + i) & 0xFFFF] = data[i];
        return kStatusSuccess;
      case 0xE2:
        if (!in) return kStatusStall;
        for (uint32_t i = 0; i < s.length; ++i) reply.push_back(i2c_[(s.value + i) & 0xFFFF]);
        return kStatusSuccess;
      case 0xE5:
        return state_block(line_coding_, sizeof line_coding_);
      case 0xFE:
        if (in) return kStatusStall;
        start_stream();
        return kStatusSuccess;
      case 0xFD:
        if (in) return kStatusStall;
        stop_stream();
        return kStatusSuccess;
      default:
        return kStatusStall;
    }
  }
  switch (s.request) {
    case 0xD9:
      return state_block(trigger_[side], sizeof trigger_[side]);
    case 0xD7:
      return state_block(sample_mode_[side], sizeof sample_mode_[side]);
    case 0x3D:
    case 0x3F: {
      // Gear and ICP exist per input channel only.
      if (side != 1 || unit >= profile_.in_channels) return kStatusStall;
      uint8_t *table = s.request == 0x3D ? gear_ : icp_;
      return state_block(&table[unit], 1);
    }
    case 0xE8:
      if (unit >= kGpioPins) return kStatusStall;
      return state_block(&gpio_mode_[unit], 1);
    case 0xE6:
      if (in || !needs(1)) return kStatusStall;
      dio_[unit] = data[0];
      return kStatusSuccess;
    case 0xE7:
      if (!in) return kStatusStall;
      reply.push_back(dio_[unit]);  // the port reads back what was driven on it
      return kStatusSuccess;
    case 0xC5:
      if (in || !needs(8)) return kStatusStall;
      pwm_[unit][0] = get_le32(data);
      pwm_[unit][1] = get_le32(data + 4);
      return kStatusSuccess;
    case 0xC4:
      if (in || !needs(2)) return kStatusStall;
      counter_setup_[unit][0] = data[0];
      counter_setup_[unit][1] = data[1];
      counter_since_[unit] = Clock::now();
      return kStatusSuccess;
    case 0xC3: {
      if (!in) return kStatusStall;
      // The counter measures the pin's PWM output; an idle pin reads a 1 kHz x (pin + 1) clock.
      uint32_t frequency = pwm_[unit][0] != 0 ? pwm_[unit][0] : 1000 * (unit + 1);
      uint32_t duty = pwm_[unit][0] != 0 ? std::min<uint32_t>(pwm_[unit][1], 100) : 50;
      double seconds = std::chrono::duration<double>(Clock::now() - counter_since_[unit]).count();
      uint32_t edges = static_cast<uint32_t>(std::fmod(seconds * frequency, 4294967296.0));
      uint32_t cycle = 1000000u / frequency;  // microseconds
      uint32_t positive = static_cast<uint32_t>(static_cast<uint64_t>(cycle) * duty / 100);
      put32(edges);
      put32(cycle);
      put32(positive);
      put32(cycle - positive);
      return kStatusSuccess;
    }
    default:
      return kStatusStall;
  }
}

void Instrument::start_stream() {
  if (streaming_) return;
  // The capture of the output takes its memory before the clock starts: taken by the first
  // write, it held the clock thread for some 10 ms at high rates, and the input frames due
  // meanwhile overflowed the FIFO (a device has its memory from power-up).
  if (out_frame_bytes() != 0) output_.reserve();
  Clock::time_point now = Clock::now();
  streaming_ = true;
  flush_ = false;
  in_base_time_ = out_base_time_ = now;
  in_base_frames_ = in_produced_ = 0;
  next_drop_frame_ =
      profile_.drop_frames == 0 ? ~0ull : uint64_t{profile_.drop_at_ms} * in_rate_ / 1000;
  out_base_bytes_ = out_received_ = 0;
  loopback_.clear();
  ++counters_.stream_starts;
}

void Instrument::stop_stream() {
  if (streaming_) ++counters_.stream_stops;
  streaming_ = false;
  // Transfers in flight end now (short reads, accepted writes), as the firmware flushes its
  // FIFOs; later ones wait for the next start.
  flush_ = true;
}

// ---- Descriptors --------------------------------------------------------------------------------

bool Instrument::configuration_descriptor(uint32_t generation, std::vector<uint8_t> &out) {
  platform::MutexLock lock(mutex_);
  if (!live(generation)) return false;
  out = config_descriptor();
  return true;
}

std::vector<uint8_t> Instrument::endpoints() const {
  std::vector<uint8_t> list = {kTxStreamEndpoint, kRxStreamEndpoint, kUartOutEndpoint,
                               kUartInEndpoint};
  for (uint8_t number = 1; number <= 15 && list.size() < kMaxPipes; ++number) {
    for (uint8_t direction : {uint8_t{0}, kDirectionIn}) {
      uint8_t address = number | direction;
      if (std::find(list.begin(), list.end(), address) == list.end() && list.size() < kMaxPipes) {
        list.push_back(address);
      }
    }
  }
  list.resize(profile_.pipes);
  return list;
}

std::vector<uint8_t> Instrument::config_descriptor() const {
  std::vector<uint8_t> eps = endpoints();
  uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * eps.size());
  std::vector<uint8_t> d = {9,
                            kDescriptorConfiguration,
                            static_cast<uint8_t>(total),
                            static_cast<uint8_t>(total >> 8),
                            1,
                            1,
                            0,
                            0x80,
                            250,  // 500 mA
                            9,
                            kDescriptorInterface,
                            0,
                            0,
                            static_cast<uint8_t>(eps.size()),
                            0xFF,
                            0,
                            0,
                            0};
  for (uint8_t address : eps) {
    d.insert(d.end(), {7, kDescriptorEndpoint, address, 0x02, 0x00, 0x02, 0});
  }
  return d;
}

uint32_t Instrument::set_configuration(uint32_t generation, uint8_t value) {
  SetupPacket setup{0x00, kStandardSetConfiguration, value, 0, 0};
  uint32_t transferred = 0;
  return control_transfer(generation, setup, nullptr, &transferred);
}

uint32_t Instrument::clear_halt(uint32_t generation, uint8_t endpoint) {
  SetupPacket setup{0x02, kStandardClearFeature, 0, endpoint, 0};
  uint32_t transferred = 0;
  return control_transfer(generation, setup, nullptr, &transferred);
}

}  // namespace vexdaq::sim
