// An 8051 (MCS-51) core: the whole instruction set, 256 bytes of internal RAM, the SFR space,
// 64 KiB of program memory and 64 KiB of external data memory. The virtual instrument runs the
// EZ-USB's downloaded code on it.
//
// What it does not model: timers, the serial port, interrupts (the firmware it runs polls), and
// instruction timing; the SFRs other than ACC, B, PSW, SP, DPL/DPH are plain storage unless the
// owner hooks them.
//
// Threads: none of its own; an instance is used by one thread at a time (the instrument calls it
// under its mutex).
#pragma once

#include <array>
#include <cstdint>

namespace vexdaq::sim::mcs51 {

// Where the core's peripherals live. Called from inside Cpu::run on the running thread.
class Bus {
 public:
  // External data at or above the core's I/O base (the EZ-USB's register space).
  virtual uint8_t read_io(uint16_t address) = 0;
  virtual void write_io(uint16_t address, uint8_t value) = 0;
  // SFRs the owner hooked with Cpu::hook_sfr (address 0x80 .. 0xFF).
  virtual uint8_t read_sfr(uint8_t address, uint8_t stored) {
    (void)address;
    return stored;
  }
  virtual void write_sfr(uint8_t address, uint8_t value) {
    (void)address;
    (void)value;
  }

 protected:
  ~Bus() = default;
};

class Cpu {
 public:
  static constexpr uint8_t kAcc = 0xE0;
  static constexpr uint8_t kB = 0xF0;
  static constexpr uint8_t kPsw = 0xD0;
  static constexpr uint8_t kSp = 0x81;
  static constexpr uint8_t kDpl = 0x82;
  static constexpr uint8_t kDph = 0x83;
  static constexpr uint8_t kP2 = 0xA0;

  // `code` and `xdata` are 64 KiB each and may be the same memory (the EZ-USB's unified RAM);
  // they and `bus` are borrowed and must outlive the core. External data from `io_base` up goes
  // to the bus (0x10000: none does). MOVX @Ri takes its high address byte from SFR `xpage`
  // (P2 on a plain 8051). Starts in reset.
  Cpu(const uint8_t *code, uint8_t *xdata, Bus *bus, uint32_t io_base, uint8_t xpage = kP2);

  // Power-on state: PC 0, SP 7, ports 0xFF, every other SFR and internal RAM 0.
  void reset();

  // Executes up to `budget` instructions; returns early after the instruction during which the
  // bus called stop(). Returns the number executed.
  uint64_t run(uint64_t budget);
  // From a bus callback: ends run() after the current instruction.
  void stop() { stop_ = true; }

  // Accesses for the owner and the tests; reading PSW gives its parity bit as the core sees it.
  void hook_sfr(uint8_t address) { hooked_[(address & 0x7F) >> 5] |= 1u << (address & 31); }
  uint16_t pc() const { return pc_; }
  void set_pc(uint16_t pc) { pc_ = pc; }
  uint8_t iram(uint8_t address) const { return iram_[address]; }
  void set_iram(uint8_t address, uint8_t value) { iram_[address] = value; }
  uint8_t sfr(uint8_t address) const;
  void set_sfr(uint8_t address, uint8_t value) { sfr_[address & 0x7F] = value; }
  uint64_t instructions() const { return instructions_; }

 private:
  uint8_t &acc() { return sfr_[kAcc & 0x7F]; }
  uint8_t &psw() { return sfr_[kPsw & 0x7F]; }
  uint8_t &sp() { return sfr_[kSp & 0x7F]; }
  bool carry() { return (psw() & 0x80) != 0; }
  void set_carry(bool c) { psw() = static_cast<uint8_t>((psw() & 0x7F) | (c ? 0x80 : 0)); }
  uint8_t &reg(unsigned n) { return iram_[(psw() & 0x18) + n]; }
  uint16_t dptr() { return static_cast<uint16_t>(sfr_[kDph & 0x7F] << 8 | sfr_[kDpl & 0x7F]); }
  void set_dptr(uint16_t v) {
    sfr_[kDpl & 0x7F] = static_cast<uint8_t>(v);
    sfr_[kDph & 0x7F] = static_cast<uint8_t>(v >> 8);
  }
  bool hooked(uint8_t address) const {
    return (hooked_[(address & 0x7F) >> 5] >> (address & 31) & 1) != 0;
  }

  uint8_t fetch() { return code_[pc_++]; }
  uint8_t read_direct(uint8_t address);
  void write_direct(uint8_t address, uint8_t value);
  uint8_t read_xdata(uint16_t address) {
    return address >= io_base_ ? bus_->read_io(address) : xdata_[address];
  }
  void write_xdata(uint16_t address, uint8_t value) {
    if (address >= io_base_) {
      bus_->write_io(address, value);
    } else {
      xdata_[address] = value;
    }
  }
  bool read_bit(uint8_t bit);
  void write_bit(uint8_t bit, bool value);
  void push(uint8_t value) { iram_[++sp()] = value; }
  uint8_t pop() { return iram_[sp()--]; }
  void jump_relative(uint8_t offset) {
    pc_ = static_cast<uint16_t>(pc_ + static_cast<int8_t>(offset));
  }

  void add(uint8_t value, bool with_carry);
  void subtract_borrow(uint8_t value);
  void decimal_adjust();
  void compare_jump(uint8_t left, uint8_t right);
  void execute(uint8_t op);

  const uint8_t *code_;
  uint8_t *xdata_;
  Bus *bus_;
  uint32_t io_base_;
  uint8_t xpage_;
  uint16_t pc_ = 0;
  bool stop_ = false;
  uint64_t instructions_ = 0;
  std::array<uint8_t, 256> iram_{};
  std::array<uint8_t, 128> sfr_{};  // 0x80 .. 0xFF
  std::array<uint32_t, 4> hooked_{};
};

}  // namespace vexdaq::sim::mcs51
