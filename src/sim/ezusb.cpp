#include "sim/ezusb.h"

#include <algorithm>
#include <limits>

#include "protocol/driver_types.h"

namespace vexdaq::sim {
namespace {

// The register space (xdata) as the firmware addresses it; 0xE000 .. 0xE1FF is plain RAM.
constexpr uint32_t kIoBase = 0xE200;
constexpr uint16_t kCpucs = 0xE600;
constexpr uint16_t kUsbirq = 0xE65D;
constexpr uint16_t kI2cs = 0xE678;
constexpr uint16_t kI2dat = 0xE679;
constexpr uint16_t kI2ctl = 0xE67A;
constexpr uint16_t kUsbcs = 0xE680;
constexpr uint16_t kEp0bch = 0xE68A;
constexpr uint16_t kEp0bcl = 0xE68B;
constexpr uint16_t kEp0cs = 0xE6A0;
constexpr uint16_t kSetupdat = 0xE6B8;
constexpr uint16_t kEp0buf = 0xE740;
constexpr uint32_t kEp0Packet = 64;
constexpr uint8_t kMpage = 0x92;  // the FX2's page SFR for MOVX @Ri

constexpr uint8_t kSudav = 0x01;
constexpr uint8_t kHsnak = 0x80;
constexpr uint8_t kBusy = 0x02;
constexpr uint8_t kStall = 0x01;

constexpr uint8_t kStart = 0x80;
constexpr uint8_t kStop = 0x40;
constexpr uint8_t kLastRead = 0x20;
constexpr uint8_t kBusError = 0x04;
constexpr uint8_t kAck = 0x02;
constexpr uint8_t kDone = 0x01;
constexpr uint8_t k400kHz = 0x01;  // I2CTL

// Instructions the firmware gets after its answer to return to its idle poll.
constexpr uint64_t kSettleBudget = 10'000;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

}  // namespace

// ---- Eeprom -------------------------------------------------------------------------------------

void Eeprom::start() {
  // A start inside a write transaction abandons the page: parts write only on a stop.
  pending_.clear();
  phase_ = Phase::kIdle;
  after_start_ = true;
}

bool Eeprom::write(uint8_t byte, uint64_t now_ns) {
  if (after_start_) {
    after_start_ = false;
    // During a write cycle the part ignores its address (acknowledge polling).
    if ((byte >> 1) != kEepromI2cAddress || now_ns < busy_until_ns_) {
      phase_ = Phase::kIgnored;
      return false;
    }
    phase_ = (byte & 1) != 0 ? Phase::kRead : Phase::kAddressHigh;
    return true;
  }
  switch (phase_) {
    case Phase::kAddressHigh:
      pointer_ = static_cast<uint16_t>(byte << 8);
      phase_ = Phase::kAddressLow;
      return true;
    case Phase::kAddressLow:
      pointer_ = static_cast<uint16_t>(pointer_ | byte);
      phase_ = Phase::kData;
      return true;
    case Phase::kData: {
      // Later bytes of an overlong page land on the page's first latches again.
      if (pending_.size() >= page_size_) pending_.erase(pending_.begin());
      pending_.emplace_back(pointer_, byte);
      const uint16_t page = static_cast<uint16_t>(pointer_ & ~(page_size_ - 1));
      pointer_ = static_cast<uint16_t>(page | ((pointer_ + 1) & (page_size_ - 1)));
      return true;
    }
    default:
      return false;
  }
}

uint8_t Eeprom::read() {
  if (phase_ != Phase::kRead) return 0xFF;  // nobody drives the bus
  return memory_[pointer_++];
}

void Eeprom::stop(uint64_t now_ns) {
  if (phase_ == Phase::kData && !pending_.empty()) {
    for (const auto &[address, value] : pending_) memory_[address] = value;
    busy_until_ns_ = now_ns + write_cycle_ns_;
  }
  pending_.clear();
  phase_ = Phase::kIdle;
  after_start_ = false;
}

// ---- EzUsb --------------------------------------------------------------------------------------

EzUsb::EzUsb() : ram_(0x10000, 0), cpu_(ram_.data(), ram_.data(), this, kIoBase, kMpage) {
  ram_[kCpucs] = 1;
}

void EzUsb::disconnect() {
  running_ = held_ = false;
  ram_[kCpucs] = 1;
  usbirq_ = usbcs_ = ep0cs_ = 0;
  byte_busy_ = stop_busy_ = start_pending_ = reading_ = addressed_ = false;
  done_ = ack_ = bus_error_ = false;
}

void EzUsb::load(uint16_t address, const uint8_t *data, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    const uint16_t at = static_cast<uint16_t>(address + i);
    if (at != kCpucs) {
      ram_[at] = data[i];
      continue;
    }
    ram_[at] = data[i];
    if ((data[i] & 1) != 0) {
      running_ = false;
      held_ = true;
    } else if (held_) {
      held_ = false;
      // Out of reset the code runs until it first polls for USB events, or for its start budget.
      cpu_.reset();
      running_ = true;
      usbirq_ = ep0cs_ = 0;
      stop_on_poll_ = true;
      cpu_.run(kStartupBudget);
      stop_on_poll_ = false;
    }
  }
}

void EzUsb::upload(uint16_t address, uint8_t *out, uint32_t length) const {
  for (uint32_t i = 0; i < length; ++i) out[i] = ram_[static_cast<uint16_t>(address + i)];
}

uint32_t EzUsb::control(const Request &request, const uint8_t *data, std::vector<uint8_t> &reply) {
  if (!running_) return kStatusStall;
  const uint8_t setup[8] = {request.request_type,
                            request.request,
                            static_cast<uint8_t>(request.value),
                            static_cast<uint8_t>(request.value >> 8),
                            static_cast<uint8_t>(request.index),
                            static_cast<uint8_t>(request.index >> 8),
                            static_cast<uint8_t>(request.length),
                            static_cast<uint8_t>(request.length >> 8)};
  std::copy(setup, setup + 8, ram_.begin() + kSetupdat);
  // A new setup packet ends any stall and whatever the previous request left armed.
  ep0cs_ = 0;
  usbirq_ |= kSudav;
  request_ = &request;
  out_data_ = data;
  out_offset_ = 0;
  reply_ = &reply;
  outcome_ = Outcome::kPending;

  cpu_.run(kRequestBudget);
  const Outcome outcome = outcome_;
  if (outcome != Outcome::kPending) {
    // Let it finish the answer (a stall is followed by its HSNAK) and get back to its poll, so
    // the next request does not meet the rest of this one.
    stop_on_poll_ = true;
    cpu_.run(kSettleBudget);
    stop_on_poll_ = false;
  }
  request_ = nullptr;
  out_data_ = nullptr;
  reply_ = nullptr;
  outcome_ = Outcome::kPending;
  switch (outcome) {
    case Outcome::kDone:
      return kStatusSuccess;
    case Outcome::kStalled:
      return kStatusStall;
    default:
      return kStatusTimeout;
  }
}

void EzUsb::arm_ep0(uint8_t count) {
  ep0bcl_ = count;
  if (request_ == nullptr) return;
  if ((request_->request_type & 0x80) != 0) {
    // IN: the host takes the packet at once, within what it asked for.
    const uint32_t n = std::min<uint32_t>((uint32_t{ep0bch_} << 8 | count), kEp0Packet);
    const size_t room = request_->length - std::min<size_t>(reply_->size(), request_->length);
    reply_->insert(reply_->end(), ram_.begin() + kEp0buf,
                   ram_.begin() + kEp0buf + std::min<size_t>(n, room));
    ep0cs_ &= static_cast<uint8_t>(~kBusy);
    return;
  }
  // OUT: any write arms the endpoint; the host's next packet arrives at once, if it has one.
  if (out_offset_ >= request_->length) {
    ep0cs_ |= kBusy;  // the host is done sending: the endpoint stays armed
    return;
  }
  const uint32_t n = std::min<uint32_t>(request_->length - out_offset_, kEp0Packet);
  std::copy(out_data_ + out_offset_, out_data_ + out_offset_ + n, ram_.begin() + kEp0buf);
  out_offset_ += n;
  ep0bch_ = 0;
  ep0bcl_ = static_cast<uint8_t>(n);
  ep0cs_ &= static_cast<uint8_t>(~kBusy);
}

uint8_t EzUsb::read_io(uint16_t address) {
  switch (address) {
    case kUsbirq:
      if (stop_on_poll_) cpu_.stop();
      return usbirq_;
    case kUsbcs:
      return usbcs_;
    case kEp0cs:
      return ep0cs_;
    case kEp0bch:
      return ep0bch_;
    case kEp0bcl:
      return ep0bcl_;
    case kI2cs:
      return read_i2cs();
    case kI2dat:
      return read_i2dat();
    case kI2ctl:
      return i2ctl_;
    default:
      return ram_[address];
  }
}

void EzUsb::write_io(uint16_t address, uint8_t value) {
  switch (address) {
    case kCpucs:
      // The firmware sets the clock; only the host holds or releases the CPU.
      ram_[kCpucs] = static_cast<uint8_t>((value & ~1) | (ram_[kCpucs] & 1));
      return;
    case kUsbirq:
      usbirq_ &= static_cast<uint8_t>(~value);  // writing 1 clears
      return;
    case kUsbcs:
      usbcs_ = value;
      return;
    case kEp0cs:
      if (request_ != nullptr && outcome_ == Outcome::kPending) {
        if ((value & kStall) != 0) {
          outcome_ = Outcome::kStalled;
          cpu_.stop();
        } else if ((value & kHsnak) != 0) {
          outcome_ = Outcome::kDone;
          cpu_.stop();
        }
      }
      if ((value & kStall) != 0) ep0cs_ |= kStall;
      return;
    case kEp0bch:
      ep0bch_ = value;
      return;
    case kEp0bcl:
      arm_ep0(value);
      return;
    case kI2cs:
      write_i2cs(value);
      return;
    case kI2dat:
      write_i2dat(value);
      return;
    case kI2ctl:
      i2ctl_ = value;
      return;
    default:
      if (address < kSetupdat || address >= kSetupdat + 8) ram_[address] = value;
      return;
  }
}

// ---- I2C controller -----------------------------------------------------------------------------

void EzUsb::set_i2c_fault(I2cFault fault) {
  if (i2c_fault_ == I2cFault::kStuckBus && fault != I2cFault::kStuckBus) {
    byte_busy_ = stop_busy_ = start_pending_ = reading_ = addressed_ = false;
    done_ = ack_ = bus_error_ = false;
  }
  i2c_fault_ = fault;
}

uint8_t EzUsb::read_i2cs() {
  const uint64_t now = now_ns();
  // A poll while the bus is busy lasts until the bus is through (see the header).
  if (byte_busy_) {
    if (byte_end_ns_ == kNever) {
      // Stuck: nothing ever finishes.
    } else if (now < byte_end_ns_) {
      skipped_ns_ += byte_end_ns_ - now;
    } else {
      byte_busy_ = false;
      done_ = true;
    }
  }
  if (stop_busy_ && stop_end_ns_ != kNever) {
    if (now < stop_end_ns_) {
      skipped_ns_ += stop_end_ns_ - now;
    } else {
      stop_busy_ = false;
    }
  }
  uint8_t status = 0;
  if (start_pending_) status |= kStart;
  if (stop_busy_) status |= kStop;
  if (last_read_) status |= kLastRead;
  if (bus_error_) status |= kBusError;
  if (ack_) status |= kAck;
  if (done_ && !byte_busy_) status |= kDone;
  return status;
}

void EzUsb::write_i2cs(uint8_t value) {
  last_read_ = (value & kLastRead) != 0;
  if (i2c_fault_ == I2cFault::kStuckBus && (value & (kStart | kStop)) != 0) bus_error_ = true;
  if ((value & kStart) != 0) {
    start_pending_ = true;
    done_ = false;
  }
  if ((value & kStop) != 0 && !stop_busy_) {
    stop_busy_ = true;
    if (i2c_fault_ == I2cFault::kStuckBus) {
      stop_end_ns_ = kNever;
      return;
    }
    // The stop goes out once the byte on the bus is through.
    const uint64_t bit_ns = (i2ctl_ & k400kHz) != 0 ? 2'500 : 10'000;
    stop_end_ns_ = std::max(now_ns(), byte_busy_ ? byte_end_ns_ : 0) + bit_ns;
    eeprom_.stop(stop_end_ns_);
    reading_ = addressed_ = false;
  }
}

void EzUsb::bus_byte(bool with_start) {
  done_ = false;
  byte_busy_ = true;
  if (i2c_fault_ == I2cFault::kStuckBus) {
    bus_error_ = true;
    ack_ = false;
    byte_end_ns_ = kNever;
    return;
  }
  const uint64_t bit_ns = (i2ctl_ & k400kHz) != 0 ? 2'500 : 10'000;
  byte_end_ns_ = now_ns() + (with_start ? 10 : 9) * bit_ns;
}

void EzUsb::write_i2dat(uint8_t value) {
  const bool with_start = start_pending_;
  bus_byte(with_start);
  if (byte_end_ns_ == kNever) return;
  if (with_start) {
    start_pending_ = false;
    last_read_ = false;
    final_byte_ = false;
    eeprom_.start();
    // The part answers as the address byte ends.
    ack_ = i2c_fault_ != I2cFault::kNoEeprom && eeprom_.write(value, byte_end_ns_);
    addressed_ = ack_;
    reading_ = (value & 1) != 0;
    return;
  }
  ack_ = addressed_ && !reading_ && eeprom_.write(value, byte_end_ns_);
}

uint8_t EzUsb::read_i2dat() {
  const uint8_t value = i2dat_;
  done_ = false;
  // In a read, taking a byte clocks in the next one, unless a stop is on its way or the last
  // byte (NAKed under LASTRD) is already in.
  if (reading_ && !stop_busy_ && !final_byte_ && !byte_busy_) {
    bus_byte(false);
    if (byte_end_ns_ != kNever) {
      i2dat_ = addressed_ ? eeprom_.read() : 0xFF;
      final_byte_ = last_read_;
    }
  }
  return value;
}

}  // namespace vexdaq::sim
