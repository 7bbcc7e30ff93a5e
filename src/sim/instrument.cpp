#include "sim/instrument.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "backend/driver.h"
#include "device/usbio_records.h"

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
constexpr uint8_t kLoaderMemory = 0xA9;  // served by a loader program in RAM
constexpr uint16_t kCpucs = 0xE600;      // CPU control: 1 holds the 8051 in reset
constexpr uint32_t kLoaderMaxLength = 4096;
constexpr uint32_t kSerialMaxBytes = 32;
constexpr int kGpioPins = 8;
constexpr double kPi = 3.14159265358979323846;
// How often the clock thread looks at paced streams: it serves all that fell due meanwhile in one
// pass, while the submitters serve what is due at once themselves.
constexpr auto kClockTick = std::chrono::milliseconds(1);

// Process-wide, never reset: a device path is never reused, so a discovery table that remembers
// paths never mistakes a new instrument for an old one.
std::atomic<uint64_t> g_instances{0};

// value * multiplier / divisor, rounded down or up, without a 128-bit product (32-bit targets
// have none). Exact while multiplier and divisor are below 2^32.
uint64_t scale(uint64_t value, uint64_t multiplier, uint64_t divisor, bool round_up = false) {
  const uint64_t remainder = (value % divisor) * multiplier;
  return value / divisor * multiplier + (remainder + (round_up ? divisor - 1 : 0)) / divisor;
}

std::vector<uint8_t> string_descriptor(const std::string &text) {
  // bLength is one byte: at most 126 UTF-16 units fit.
  size_t units = std::min<size_t>(text.size(), 126);
  std::vector<uint8_t> d(2 + 2 * units);
  d[0] = static_cast<uint8_t>(d.size());
  d[1] = kDescriptorString;
  for (size_t i = 0; i < units; ++i) d[2 + 2 * i] = static_cast<uint8_t>(text[i]);
  return d;
}

std::string hex_line(const SetupPacket &s) {
  char head[32];
  std::snprintf(head, sizeof head, "%02X %02X %04X %04X %04X", s.request_type, s.request, s.value,
                s.index, s.length);
  return head;
}

uint64_t mask_bits(uint32_t bits) {
  return bits >= 64 ? ~0ull : ((1ull << bits) - 1);
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

void push_bounded(std::deque<uint8_t> &queue, const uint8_t *data, size_t n, size_t limit,
                  size_t granule) {
  queue.insert(queue.end(), data, data + n);
  if (queue.size() > limit) {
    size_t excess = queue.size() - limit;
    if (granule > 1) excess = (excess + granule - 1) / granule * granule;
    excess = std::min(excess, queue.size());
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(excess));
  }
}

}  // namespace

Instrument::Instrument(int32_t id, Profile profile)
    : id_(id),
      profile_(std::move(profile)),
      ram_(0x10000, 0),
      eeprom_(kEepromSize, 0xFF),
      i2c_(0x10000, 0) {
  std::string serial = profile_.serial.empty() ? "SIM" + std::to_string(id) : profile_.serial;
  for (size_t i = 0; i < serial.size() && i < kSerialMaxBytes / 2; ++i) {
    serial_utf16_.push_back(static_cast<uint8_t>(serial[i]));
    serial_utf16_.push_back(0);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    start_generation();
  }
  thread_ = std::thread([this] { clock_thread(); });
}

Instrument::~Instrument() {
  unplug();
}

bool Instrument::live(uint32_t generation) const {
  return present_ && generation == generation_;
}

void Instrument::start_generation() {
  ++generation_;
  instance_ = ++g_instances;
  std::string tail = "#{4a47dbf9-3159-40ca-b83f-b14bc274cc1c}";
  char head[96];
  std::snprintf(head, sizeof head, "\\\\?\\vexdaq-sim#vid_%04x&pid_%04x#%d&%llu",
                profile_.vendor_id, profile_.product_id, id_,
                static_cast<unsigned long long>(instance_));
  std::string path = head;
  if (profile_.path_length > path.size() + tail.size()) {
    path.append(profile_.path_length - path.size() - tail.size(), 'x');
  }
  path += tail;
  path_.assign(path.begin(), path.end());
  live_generation_.store(present_ ? generation_ : 0);
  configuration_ = 0;
  cpu_ = Cpu::kFirmware;
  streaming_ = false;
  flush_ = false;
  endpoints_.clear();
  for (uint8_t address : endpoints()) endpoints_[address];
  plugged_at_ = Clock::now();
  in_rate_ = profile_.in_rates.empty() ? 0 : profile_.in_rates[0];
  out_rate_ = profile_.out_rates.empty() ? 0 : profile_.out_rates[0];
  std::memset(trigger_, 0, sizeof trigger_);
  std::memset(sample_mode_, 0, sizeof sample_mode_);
  std::memset(gear_, 0, sizeof gear_);
  std::memset(icp_, 0, sizeof icp_);
  std::memset(gpio_mode_, 0, sizeof gpio_mode_);
  std::memset(dio_, 0, sizeof dio_);
  std::memset(pwm_, 0, sizeof pwm_);
  std::memset(counter_setup_, 0, sizeof counter_setup_);
  for (auto &since : counter_since_) since = plugged_at_;
  loopback_.clear();
  uart_in_.clear();
}

uint32_t Instrument::generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

std::u16string Instrument::path() {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_ ? path_ : std::u16string();
}

bool Instrument::present(uint32_t generation) {
  // Asked before every transfer: no lock.
  return generation != 0 && live_generation_.load() == generation;
}

bool Instrument::exclusive() {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_ && profile_.exclusive;
}

void Instrument::fail_all(uint32_t status, std::vector<Done> &done) {
  for (auto &[address, ep] : endpoints_) {
    for (const Pending &p : ep.pending) done.push_back({p.completion, p.context, status, 0});
    ep.pending.clear();
  }
}

void Instrument::run_completions_and_unlock(std::unique_lock<std::mutex> &lock,
                                            std::vector<Done> &done) {
  completions_in_flight_.fetch_add(1);
  lock.unlock();
  for (const Done &d : done) d.completion(d.context, d.status, d.bytes);
  done.clear();
  completion_finished();
}

void Instrument::completion_finished() {
  // A waiter registers before it looks at the count, so either it sees 0 or it is seen here;
  // the notification under the mutex cannot fall between its look and its sleep.
  if (completions_in_flight_.fetch_sub(1) == 1 && quiet_waiters_.load() != 0) {
    std::lock_guard<std::mutex> relock(mutex_);
    quiet_.notify_all();
  }
}

void Instrument::run_completions(std::unique_lock<std::mutex> &lock, std::vector<Done> &done) {
  run_completions_and_unlock(lock, done);
  lock.lock();
}

void Instrument::wait_quiet(std::unique_lock<std::mutex> &lock) {
  quiet_waiters_.fetch_add(1);
  quiet_.wait(lock, [this] { return completions_in_flight_.load() == 0; });
  quiet_waiters_.fetch_sub(1);
}

void Instrument::unplug() {
  std::vector<Done> done;
  std::thread thread;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    present_ = false;
    live_generation_.store(0);
    fail_all(kStatusDeviceNotPresent, done);
    stop_thread_ = true;
    wake_.notify_all();
    if (!done.empty()) run_completions(lock, done);
    wait_quiet(lock);
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
}

// ---- USB side ---------------------------------------------------------------------------

uint32_t Instrument::control_transfer(uint32_t generation, const SetupPacket &setup, uint8_t *data,
                                      uint32_t *transferred) {
  *transferred = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  if (data == nullptr && setup.length != 0) return kStatusInvalidParameter;
  ++counters_.control_requests;
  trace_setup(setup, data);
  auto failing = fail_request_.find(setup.request);
  if (failing != fail_request_.end()) return failing->second;

  std::vector<uint8_t> reply;
  uint32_t status;
  uint8_t type = (setup.request_type >> 5) & 0x03;
  uint8_t recipient = setup.request_type & 0x1F;
  if (type == 0) {
    status = standard_request(setup, data, reply);
  } else if (type == 2 && recipient == 0) {
    status = device_vendor_request(setup, data, reply);
  } else {
    status = instrument_request(setup, data, reply);
  }
  wake_.notify_all();
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
      for (uint32_t i = 0; i < s.length; ++i) reply.push_back(ram_[(s.value + i) & 0xFFFF]);
      return kStatusSuccess;
    }
    for (uint32_t i = 0; i < s.length; ++i) ram_[(s.value + i) & 0xFFFF] = data[i];
    if (s.value == kCpucs && s.length >= 1) {
      if ((data[0] & 1) != 0) {
        cpu_ = Cpu::kHeld;
        streaming_ = false;
      } else if (cpu_ == Cpu::kHeld) {
        // The loader image starts with an LJMP to its start-up code.
        cpu_ = ram_[0] == 0x02 ? Cpu::kLoader : Cpu::kCrashed;
      }
    }
    return kStatusSuccess;
  }
  if (s.request == kLoaderMemory) {
    if (cpu_ != Cpu::kLoader || s.length > kLoaderMaxLength) return kStatusStall;
    if (in) {
      for (uint32_t i = 0; i < s.length; ++i) reply.push_back(eeprom_[(s.value + i) & 0xFFFF]);
    } else {
      for (uint32_t i = 0; i < s.length; ++i) eeprom_[(s.value + i) & 0xFFFF] = data[i];
    }
    return kStatusSuccess;
  }
  return kStatusStall;
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
        in_rate_ = load_le32(data);
        out_rate_ = load_le32(data + 4);
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
        if (in) {
          reply.assign(line_coding_, line_coding_ + 7);
          return kStatusSuccess;
        }
        if (!needs(7)) return kStatusStall;
        std::memcpy(line_coding_, data, 7);
        return kStatusSuccess;
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
      if (in) {
        reply.assign(trigger_[side], trigger_[side] + 8);
        return kStatusSuccess;
      }
      if (!needs(8)) return kStatusStall;
      std::memcpy(trigger_[side], data, 8);
      return kStatusSuccess;
    case 0xD7:
      if (in) {
        reply.assign(sample_mode_[side], sample_mode_[side] + 3);
        return kStatusSuccess;
      }
      if (!needs(3)) return kStatusStall;
      std::memcpy(sample_mode_[side], data, 3);
      return kStatusSuccess;
    case 0x3D:
    case 0x3F: {
      // Gear and ICP exist per input channel only.
      if (side != 1 || unit >= profile_.in_channels) return kStatusStall;
      uint8_t *table = s.request == 0x3D ? gear_ : icp_;
      if (in) {
        reply.push_back(table[unit]);
        return kStatusSuccess;
      }
      if (!needs(1)) return kStatusStall;
      table[unit] = data[0];
      return kStatusSuccess;
    }
    case 0xE8:
      if (unit >= kGpioPins) return kStatusStall;
      if (in) {
        reply.push_back(gpio_mode_[unit]);
        return kStatusSuccess;
      }
      if (!needs(1)) return kStatusStall;
      gpio_mode_[unit] = data[0];
      return kStatusSuccess;
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
      pwm_[unit][0] = load_le32(data);
      pwm_[unit][1] = load_le32(data + 4);
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
  Clock::time_point now = Clock::now();
  streaming_ = true;
  flush_ = false;
  in_base_time_ = out_base_time_ = now;
  in_base_frames_ = in_produced_ = 0;
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

bool Instrument::configuration_descriptor(uint32_t generation, std::vector<uint8_t> &out) {
  std::lock_guard<std::mutex> lock(mutex_);
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

uint32_t Instrument::claim_interface(uint32_t generation, uint8_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  return number == 0 ? kStatusSuccess : kStatusInvalidParameter;
}

uint32_t Instrument::submit_bulk(uint32_t generation, uint8_t endpoint, uint8_t *buffer,
                                 uint32_t length, BulkCompletion completion, void *context) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  auto found = endpoints_.find(endpoint);
  if (found == endpoints_.end()) return kStatusInvalidParameter;
  Endpoint &ep = found->second;
  const bool alone = ep.pending.empty();
  ep.pending.push_back({buffer, length, completion, context});
  const bool stream = endpoint == kTxStreamEndpoint || endpoint == kRxStreamEndpoint;
  // The clock is read only where a paced stream needs it.
  const bool paced = profile_.pacing == Pacing::kRealtime;
  Clock::time_point now = paced ? Clock::now() : Clock::time_point();
  if (stream && alone) serve_at_once(endpoint, ep, now, at_once_);
  if (at_once_.size() == 1) {
    // The transfer was alone on its endpoint, so it is the one served: nothing to allocate.
    const Done d = at_once_.front();
    at_once_.clear();
    completions_in_flight_.fetch_add(1);
    lock.unlock();
    d.completion(d.context, d.status, d.bytes);
    completion_finished();
    return kStatusSuccess;
  }
  if (!at_once_.empty()) {
    std::vector<Done> done;
    done.swap(at_once_);
    run_completions_and_unlock(lock, done);
    return kStatusSuccess;
  }
  if (!paced) now = Clock::now();
  // Queued. The clock thread serves a stream endpoint's whole queue on each pass, so one behind
  // others needs no wake-up, nor one alone when a pass is due within a tick anyway.
  if (!stream || (alone && clock_wake_ > now + kClockTick)) wake_.notify_all();
  return kStatusSuccess;
}

void Instrument::serve_at_once(uint8_t address, Endpoint &ep, Clock::time_point now,
                               std::vector<Done> &done) {
  // What the clock thread would do with it now; anything out of the ordinary streaming state is
  // left to it. A cancel that waits for completions to finish must not be outrun by new ones.
  if (!streaming_ || ep.hang || ep.halted || cpu_ != Cpu::kFirmware || quiet_waiters_.load() != 0) {
    return;
  }
  Clock::time_point unused = Clock::time_point::max();
  if (address == kTxStreamEndpoint) {
    // Looped-back output goes to the clock thread, which serves the reads waiting for it in the
    // same pass: written ahead of them at once, it would overflow the loopback FIFO.
    if (profile_.loopback) return;
    service_tx(now, ep, done, unused);
  } else {
    service_rx(now, ep, done, unused);
  }
}

void Instrument::cancel_endpoint(uint32_t generation, uint8_t endpoint) {
  std::vector<Done> done;
  std::unique_lock<std::mutex> lock(mutex_);
  if (generation == generation_) {
    auto ep = endpoints_.find(endpoint);
    if (ep != endpoints_.end()) {
      for (const Pending &p : ep->second.pending) {
        done.push_back({p.completion, p.context, kStatusCancelled, 0});
      }
      ep->second.pending.clear();
    }
  }
  // A completion the clock thread or a submitter has already taken finishes before we return
  // too.
  wait_quiet(lock);
  if (!done.empty()) run_completions(lock, done);
}

uint32_t Instrument::clear_halt(uint32_t generation, uint8_t endpoint) {
  SetupPacket setup{0x02, kStandardClearFeature, 0, endpoint, 0};
  uint32_t transferred = 0;
  return control_transfer(generation, setup, nullptr, &transferred);
}

uint32_t Instrument::frame_number(uint32_t generation, uint32_t *frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  if (frame_number_status_ != 0) return frame_number_status_;
  // One bus frame per millisecond since the device came up.
  *frame = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - plugged_at_).count());
  return kStatusSuccess;
}

LinkDriverInfo Instrument::driver_info() {
  std::lock_guard<std::mutex> lock(mutex_);
  LinkDriverInfo info;
  info.driver_version = profile_.driver_version;
  return info;
}

uint32_t Instrument::extra_opens() {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_.driver_opens;
}

uint32_t Instrument::driver_call(uint32_t code, int pipe) {
  std::lock_guard<std::mutex> lock(mutex_);
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (open_countdown_ == 0) return 0;
  return --open_countdown_ == 0 ? open_fault_status_ : 0;
}

void Instrument::note_open(uint32_t access, uint32_t share, uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  char line[64];
  std::snprintf(line, sizeof line, "open %08X %X %08X", access, share, flags);
  add_trace(driver_trace_, line);
}

// ---- The clock thread ---------------------------------------------------------------------

void Instrument::clock_thread() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<Done> done;
  while (!stop_thread_) {
    clock_wake_ = Clock::time_point::min();
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = Clock::time_point::max();
    service(now, done, wake);
    if (!done.empty()) {
      run_completions(lock, done);
      continue;
    }
    // Idle: sleep until something is submitted or requested, or the next frames fall due; at a
    // high rate, until a tick's worth has.
    if (wake == Clock::time_point::max()) {
      clock_wake_ = wake;
      wake_.wait(lock);
    } else {
      clock_wake_ = std::max(wake, now + kClockTick);
      wake_.wait_until(lock, clock_wake_);
    }
  }
}

void Instrument::service(Clock::time_point now, std::vector<Done> &done, Clock::time_point &wake) {
  if (!present_) return;
  for (auto &[address, ep] : endpoints_) {
    if (ep.pending.empty() || ep.hang) continue;
    if (ep.halted) {
      for (const Pending &p : ep.pending)
        done.push_back({p.completion, p.context, kStatusStall, 0});
      ep.pending.clear();
      continue;
    }
    if (cpu_ != Cpu::kFirmware) continue;
    if (address == kTxStreamEndpoint) service_tx(now, ep, done, wake);
    if (address == kRxStreamEndpoint) service_rx(now, ep, done, wake);
  }
  flush_ = false;
  auto out = endpoints_.find(kUartOutEndpoint);
  auto in = endpoints_.find(kUartInEndpoint);
  if (cpu_ == Cpu::kFirmware && out != endpoints_.end() && !out->second.hang &&
      !out->second.halted) {
    for (const Pending &p : out->second.pending) {
      bool loop = profile_.uart_loop && in != endpoints_.end();
      push_bounded(loop ? uart_in_ : uart_out_, p.buffer, p.length, kUartBufferBytes, 1);
      counters_.uart_out_bytes += p.length;
      done.push_back({p.completion, p.context, kStatusSuccess, p.length});
    }
    out->second.pending.clear();
  }
  if (cpu_ == Cpu::kFirmware && in != endpoints_.end() && !in->second.hang && !in->second.halted) {
    auto &pending = in->second.pending;
    while (!pending.empty() && !uart_in_.empty()) {
      const Pending &p = pending.front();
      uint32_t n = std::min<uint32_t>(p.length, static_cast<uint32_t>(uart_in_.size()));
      std::copy(uart_in_.begin(), uart_in_.begin() + n, p.buffer);
      uart_in_.erase(uart_in_.begin(), uart_in_.begin() + n);
      done.push_back({p.completion, p.context, kStatusSuccess, n});
      pending.pop_front();
    }
  }
}

uint32_t Instrument::in_frame_bytes() const {
  return profile_.in_channels * (profile_.in_bits / 8);
}
uint32_t Instrument::out_frame_bytes() const {
  return profile_.out_channels * (profile_.out_bits / 8);
}

void Instrument::service_rx(Clock::time_point now, Endpoint &ep, std::vector<Done> &done,
                            Clock::time_point &wake) {
  uint32_t frame = in_frame_bytes();
  if (!streaming_) {
    if (flush_) {
      for (const Pending &p : ep.pending) done.push_back({p.completion, p.context, 0, 0});
      ep.pending.clear();
    }
    return;
  }
  if (frame == 0) return;  // nothing to send: reads wait, as on a device without inputs
  uint64_t due = ~0ull;
  if (profile_.loopback) {
    uint32_t out_frame = out_frame_bytes();
    due = out_frame == 0 ? in_produced_ : in_produced_ + loopback_.size() / out_frame;
  } else if (profile_.pacing == Pacing::kRealtime) {
    if (in_rate_ == 0) return;
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - in_base_time_);
    due = in_base_frames_ + scale(static_cast<uint64_t>(elapsed.count()), in_rate_, 1000000000u);
    // Frames nobody read in time overflow the instrument's FIFO and are lost.
    uint64_t capacity = std::max<uint64_t>(1, kDeviceBufferBytes / frame);
    if (due > in_produced_ + capacity) {
      uint64_t lost = due - in_produced_ - capacity;
      in_produced_ += lost;
      counters_.rx_dropped_frames += lost;
    }
  }
  while (!ep.pending.empty()) {
    const Pending &p = ep.pending.front();
    uint64_t fit = p.length / frame;
    if (fit == 0) {
      // A frame does not fit the transfer: the host sees a babble error.
      done.push_back({p.completion, p.context, kStatusTransferError, 0});
      ep.pending.pop_front();
      continue;
    }
    uint64_t frames = fit;
    if (profile_.loopback) {
      frames = std::min<uint64_t>(fit, due - in_produced_);
      if (frames == 0) return;  // waits for output frames
    } else if (in_produced_ + fit > due) {
      uint64_t target = in_produced_ + fit - in_base_frames_;
      auto ns = static_cast<int64_t>(scale(target, 1000000000u, in_rate_, true));
      wake = std::min(wake, in_base_time_ + std::chrono::nanoseconds(ns));
      return;
    }
    fill_frames(p.buffer, static_cast<uint32_t>(frames));
    done.push_back(
        {p.completion, p.context, kStatusSuccess, static_cast<uint32_t>(frames * frame)});
    ++counters_.rx_packets;
    ep.pending.pop_front();
  }
}

void Instrument::service_tx(Clock::time_point now, Endpoint &ep, std::vector<Done> &done,
                            Clock::time_point &wake) {
  uint32_t frame = out_frame_bytes();
  auto accept = [&](const Pending &p) {
    output_.push(p.buffer, p.length);
    if (profile_.loopback && frame != 0) {
      push_bounded(loopback_, p.buffer, p.length - p.length % frame, kDeviceBufferBytes, frame);
    }
    out_received_ += p.length;
    counters_.tx_bytes += p.length;
    ++counters_.tx_packets;
    done.push_back({p.completion, p.context, kStatusSuccess, p.length});
  };
  if (!streaming_) {
    if (flush_) {
      for (const Pending &p : ep.pending) accept(p);
      ep.pending.clear();
    }
    return;
  }
  if (profile_.pacing == Pacing::kFree || frame == 0) {
    for (const Pending &p : ep.pending) accept(p);
    ep.pending.clear();
    return;
  }
  // The instrument plays frames at the output rate from a FIFO of kOutputBufferBytes; a write
  // completes once it fits.
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - out_base_time_);
  uint64_t played = out_base_bytes_ +
                    scale(static_cast<uint64_t>(elapsed.count()), out_rate_, 1000000000u) * frame;
  if (played > out_received_) {
    counters_.tx_underrun_frames += (played - out_received_) / frame;
    out_base_time_ = now;
    out_base_bytes_ = played = out_received_;
  }
  while (!ep.pending.empty()) {
    const Pending &p = ep.pending.front();
    uint64_t level = out_received_ - played;
    if (level != 0 && level + p.length > kOutputBufferBytes) {
      if (out_rate_ == 0) return;
      uint64_t target_frames =
          (out_received_ + p.length - kOutputBufferBytes - out_base_bytes_ + frame - 1) / frame;
      auto ns = static_cast<int64_t>(scale(target_frames, 1000000000u, out_rate_, true));
      wake = std::min(wake, out_base_time_ + std::chrono::nanoseconds(ns));
      return;
    }
    accept(p);
    ep.pending.pop_front();
  }
}

uint64_t Instrument::sample(uint32_t channel, uint64_t n, uint32_t bits) {
  Waveform w = channel < profile_.channel_waveforms.size() ? profile_.channel_waveforms[channel]
                                                           : profile_.waveform;
  uint64_t mask = mask_bits(bits);
  if (w == Waveform::kCounter) {  // the free-running benchmarks' waveform: nothing to compute
    if (bits <= 8) return n & mask;
    return ((static_cast<uint64_t>(channel) << (bits - 8)) | (n & mask_bits(bits - 8))) & mask;
  }
  double amplitude = bits >= 2 ? std::ldexp(1.0, static_cast<int>(bits) - 2) : 0.0;
  double rate = in_rate_ != 0 ? in_rate_ : 1000.0;
  double frequency = 10.0 * (channel % 16 + 1);  // Hz
  switch (w) {
    case Waveform::kCounter:
      break;  // above
    case Waveform::kSine:
      return static_cast<uint64_t>(
                 std::llround(amplitude * std::sin(2.0 * kPi * frequency * n / rate))) &
             mask;
    case Waveform::kSquare: {
      bool high = std::fmod(n * frequency / rate, 1.0) < 0.5;
      return static_cast<uint64_t>(std::llround(high ? amplitude : -amplitude)) & mask;
    }
    case Waveform::kDc:
      return static_cast<uint64_t>(std::llround(amplitude / 8 * (channel % 8 + 1))) & mask;
    case Waveform::kNoise:
      noise_state_ ^= noise_state_ << 13;
      noise_state_ ^= noise_state_ >> 7;
      noise_state_ ^= noise_state_ << 17;
      return noise_state_ & mask;
  }
  return 0;
}

void Instrument::fill_frames(uint8_t *out, uint32_t frames) {
  uint32_t bits = profile_.in_bits;
  uint32_t bytes = bits / 8;
  if (profile_.loopback) {
    uint32_t out_bytes = profile_.out_bits / 8;
    uint32_t out_frame = out_frame_bytes();
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < profile_.in_channels; ++c) {
        for (uint32_t b = 0; b < bytes; ++b) {
          // Output channel c's sample, byte for byte; missing channels and bytes read 0.
          *out++ = c < profile_.out_channels && b < out_bytes ? loopback_[c * out_bytes + b] : 0;
        }
      }
      loopback_.erase(loopback_.begin(), loopback_.begin() + out_frame);
      ++in_produced_;
    }
    counters_.rx_frames += frames;
    return;
  }
  bool counters = bits > 8 && bits <= 64;
  for (uint32_t c = 0; c < profile_.in_channels && counters; ++c) {
    counters = (c < profile_.channel_waveforms.size() ? profile_.channel_waveforms[c]
                                                      : profile_.waveform) == Waveform::kCounter;
  }
  if (counters) {
    // The free-running benchmarks' waveform, written without a call per sample: this runs under
    // the mutex for every packet.
    const uint64_t mask = mask_bits(bits);
    const uint64_t frame_mask = mask_bits(bits - 8);
    for (uint32_t f = 0; f < frames; ++f, ++in_produced_) {
      for (uint32_t c = 0; c < profile_.in_channels; ++c) {
        const uint64_t v =
            ((static_cast<uint64_t>(c) << (bits - 8)) | (in_produced_ & frame_mask)) & mask;
        for (uint32_t b = 0; b < bytes; ++b) *out++ = static_cast<uint8_t>(v >> (8 * b));
      }
    }
    counters_.rx_frames += frames;
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < profile_.in_channels; ++c) {
      uint64_t v = sample(c, in_produced_, bits);
      for (uint32_t b = 0; b < bytes; ++b) *out++ = b < 8 ? static_cast<uint8_t>(v >> (8 * b)) : 0;
    }
    ++in_produced_;
  }
  counters_.rx_frames += frames;
}

void Instrument::ByteRing::push(const uint8_t *data, size_t n) {
  if (n == 0) return;
  if (n >= limit_) {  // only the newest fit
    data += n - limit_;
    n = limit_;
    head_ = size_ = 0;
  }
  if (bytes_.empty()) bytes_.resize(limit_);
  if (size_ + n > limit_) {
    const size_t dropped = size_ + n - limit_;
    head_ = (head_ + dropped) % limit_;
    size_ -= dropped;
  }
  const size_t tail = (head_ + size_) % limit_;
  const size_t first = std::min(n, limit_ - tail);
  std::memcpy(bytes_.data() + tail, data, first);
  std::memcpy(bytes_.data(), data + first, n - first);
  size_ += n;
}

size_t Instrument::ByteRing::take(uint8_t *out, size_t n) {
  n = std::min(n, size_);
  if (n == 0) return 0;
  const size_t first = std::min(n, limit_ - head_);
  std::memcpy(out, bytes_.data() + head_, first);
  std::memcpy(out + first, bytes_.data(), n - first);
  head_ = (head_ + n) % limit_;
  size_ -= n;
  return n;
}

// ---- Tests' side ----------------------------------------------------------------------------

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
  std::lock_guard<std::mutex> lock(mutex_);
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
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

int32_t Instrument::read_eeprom(uint32_t address, uint8_t *out, int32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (out == nullptr || size < 0) return -1;
  for (int32_t i = 0; i < size; ++i) out[i] = eeprom_[(address + i) % kEepromSize];
  return size;
}

int32_t Instrument::take_output(uint8_t *out, int32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (out == nullptr || size < 0) return -1;
  return static_cast<int32_t>(output_.take(out, static_cast<size_t>(size)));
}

int32_t Instrument::uart_inject(const uint8_t *data, int32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (data == nullptr || size < 0) return -1;
  push_bounded(uart_in_, data, static_cast<size_t>(size), kUartBufferBytes, 1);
  wake_.notify_all();
  return size;
}

int32_t Instrument::take_uart_output(uint8_t *out, int32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (out == nullptr || size < 0) return -1;
  size_t n = std::min<size_t>(uart_out_.size(), static_cast<size_t>(size));
  std::copy(uart_out_.begin(), uart_out_.begin() + static_cast<std::ptrdiff_t>(n), out);
  uart_out_.erase(uart_out_.begin(), uart_out_.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<int32_t>(n);
}

bool Instrument::apply_settings(const char *text, std::string &error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!apply_profile_text(text, profile_, error)) return false;
  // Endpoints follow a changed pipe count; transfers of endpoints that went away stay pending
  // until cancelled, as on a device that stopped answering them.
  for (uint8_t address : endpoints()) endpoints_[address];
  wake_.notify_all();
  return true;
}

bool Instrument::apply_fault(const char *text, std::string &error) {
  std::vector<Done> done;
  std::unique_lock<std::mutex> lock(mutex_);
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
    for (auto &[address, ep] : endpoints_) ep.hang = ep.halted = false;
  } else if (key == "fail_request") {
    bool has_status = split(value, ':', a, b);
    if (!parse_number(a, 0xFF, n1)) return bad();
    if (has_status && !parse_number(b, 0xFFFFFFFFu, n2)) return bad();
    if (!has_status) n2 = kStatusStall;
    if (n2 == 0)
      fail_request_.erase(static_cast<uint8_t>(n1));
    else
      fail_request_[static_cast<uint8_t>(n1)] = static_cast<uint32_t>(n2);
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
    if (!done.empty()) run_completions(lock, done);
  } else {
    error = "unknown fault \"" + command + "\"";
    return false;
  }
  wake_.notify_all();
  return true;
}

}  // namespace vexdaq::sim
