#include "sim/mcs51/cpu.h"

#include <bit>

namespace vexdaq::sim::mcs51 {
namespace {

constexpr uint8_t kCy = 0x80;
constexpr uint8_t kAc = 0x40;
constexpr uint8_t kOv = 0x04;
constexpr uint8_t kParity = 0x01;

uint8_t with_parity(uint8_t psw, uint8_t acc) {
  return static_cast<uint8_t>((psw & ~kParity) | (std::popcount(acc) & 1));
}

}  // namespace

Cpu::Cpu(const uint8_t *code, uint8_t *xdata, Bus *bus, uint32_t io_base, uint8_t xpage)
    : code_(code), xdata_(xdata), bus_(bus), io_base_(io_base), xpage_(xpage) {
  reset();
}

void Cpu::reset() {
  pc_ = 0;
  stop_ = false;
  iram_.fill(0);
  sfr_.fill(0);
  sp() = 0x07;
  for (uint8_t port : {0x80, 0x90, 0xA0, 0xB0}) sfr_[port & 0x7F] = 0xFF;
}

uint8_t Cpu::sfr(uint8_t address) const {
  uint8_t value = sfr_[address & 0x7F];
  return address == kPsw ? with_parity(value, sfr_[kAcc & 0x7F]) : value;
}

uint8_t Cpu::read_direct(uint8_t address) {
  if (address < 0x80) return iram_[address];
  if (address == kPsw) return with_parity(psw(), acc());
  uint8_t stored = sfr_[address & 0x7F];
  return hooked(address) ? bus_->read_sfr(address, stored) : stored;
}

void Cpu::write_direct(uint8_t address, uint8_t value) {
  if (address < 0x80) {
    iram_[address] = value;
    return;
  }
  sfr_[address & 0x7F] = value;
  if (hooked(address)) bus_->write_sfr(address, value);
}

bool Cpu::read_bit(uint8_t bit) {
  uint8_t address = bit < 0x80 ? static_cast<uint8_t>(0x20 + (bit >> 3)) : (bit & 0xF8);
  return (read_direct(address) >> (bit & 7) & 1) != 0;
}

void Cpu::write_bit(uint8_t bit, bool value) {
  uint8_t address = bit < 0x80 ? static_cast<uint8_t>(0x20 + (bit >> 3)) : (bit & 0xF8);
  // Read-modify-write: a port bit works on the latch, which is what is stored.
  uint8_t byte = address < 0x80 ? iram_[address] : sfr_[address & 0x7F];
  uint8_t mask = static_cast<uint8_t>(1u << (bit & 7));
  write_direct(address, static_cast<uint8_t>(value ? byte | mask : byte & ~mask));
}

void Cpu::add(uint8_t value, bool with_carry) {
  unsigned a = acc();
  unsigned c = with_carry && carry() ? 1 : 0;
  unsigned sum = a + value + c;
  uint8_t flags = 0;
  if (sum > 0xFF) flags |= kCy;
  if ((a & 0x0F) + (value & 0x0F) + c > 0x0F) flags |= kAc;
  if ((~(a ^ value) & (a ^ sum) & 0x80) != 0) flags |= kOv;
  psw() = static_cast<uint8_t>((psw() & ~(kCy | kAc | kOv)) | flags);
  acc() = static_cast<uint8_t>(sum);
}

void Cpu::subtract_borrow(uint8_t value) {
  unsigned a = acc();
  unsigned c = carry() ? 1 : 0;
  unsigned difference = a - value - c;
  uint8_t flags = 0;
  if (a < value + c) flags |= kCy;
  if ((a & 0x0F) < (value & 0x0F) + c) flags |= kAc;
  if (((a ^ value) & (a ^ difference) & 0x80) != 0) flags |= kOv;
  psw() = static_cast<uint8_t>((psw() & ~(kCy | kAc | kOv)) | flags);
  acc() = static_cast<uint8_t>(difference);
}

void Cpu::decimal_adjust() {
  // Each step may set the carry, never clears it.
  unsigned a = acc();
  bool c = carry();
  if ((a & 0x0F) > 9 || (psw() & kAc) != 0) {
    a += 0x06;
    if (a > 0xFF) c = true;
    a &= 0xFF;
  }
  if ((a & 0xF0) > 0x90 || c) {
    a += 0x60;
    if (a > 0xFF) c = true;
    a &= 0xFF;
  }
  acc() = static_cast<uint8_t>(a);
  set_carry(c);
}

void Cpu::compare_jump(uint8_t left, uint8_t right) {
  uint8_t offset = fetch();
  set_carry(left < right);
  if (left != right) jump_relative(offset);
}

uint64_t Cpu::run(uint64_t budget) {
  stop_ = false;
  // Counted as it goes: the bus reads the count to keep its clock.
  const uint64_t start = instructions_;
  const uint64_t end = start + budget;
  while (instructions_ < end) {
    execute(fetch());
    ++instructions_;
    if (stop_) break;
  }
  return instructions_ - start;
}

void Cpu::execute(uint8_t op) {
  // Operand of the low three bits: column 6/7 is @R0/@R1, columns 8..F are R0..R7.
  auto operand = [&]() -> uint8_t & { return (op & 0x08) != 0 ? reg(op & 7) : iram_[reg(op & 1)]; };
  switch (op) {
    case 0x00:  // NOP
    case 0xA5:  // undefined: does nothing
      return;
    case 0x01:
    case 0x21:
    case 0x41:
    case 0x61:
    case 0x81:
    case 0xA1:
    case 0xC1:
    case 0xE1: {
      uint8_t low = fetch();  // AJMP
      pc_ = static_cast<uint16_t>((pc_ & 0xF800) | ((op & 0xE0) << 3) | low);
      return;
    }
    case 0x11:
    case 0x31:
    case 0x51:
    case 0x71:
    case 0x91:
    case 0xB1:
    case 0xD1:
    case 0xF1: {
      uint8_t low = fetch();  // ACALL
      push(static_cast<uint8_t>(pc_));
      push(static_cast<uint8_t>(pc_ >> 8));
      pc_ = static_cast<uint16_t>((pc_ & 0xF800) | ((op & 0xE0) << 3) | low);
      return;
    }
    case 0x02: {  // LJMP
      uint8_t high = fetch();
      pc_ = static_cast<uint16_t>(high << 8 | fetch());
      return;
    }
    case 0x12: {  // LCALL
      uint8_t high = fetch();
      uint8_t low = fetch();
      push(static_cast<uint8_t>(pc_));
      push(static_cast<uint8_t>(pc_ >> 8));
      pc_ = static_cast<uint16_t>(high << 8 | low);
      return;
    }
    case 0x22:    // RET
    case 0x32: {  // RETI (no interrupt state to restore)
      uint8_t high = pop();
      pc_ = static_cast<uint16_t>(high << 8 | pop());
      return;
    }
    case 0x03:  // RR A
      acc() = static_cast<uint8_t>(acc() >> 1 | acc() << 7);
      return;
    case 0x13: {  // RRC A
      bool out = (acc() & 1) != 0;
      acc() = static_cast<uint8_t>(acc() >> 1 | (carry() ? 0x80 : 0));
      set_carry(out);
      return;
    }
    case 0x23:  // RL A
      acc() = static_cast<uint8_t>(acc() << 1 | acc() >> 7);
      return;
    case 0x33: {  // RLC A
      bool out = (acc() & 0x80) != 0;
      acc() = static_cast<uint8_t>(acc() << 1 | (carry() ? 1 : 0));
      set_carry(out);
      return;
    }
    case 0x04:
      ++acc();
      return;
    case 0x14:
      --acc();
      return;
    case 0x24:
      add(fetch(), false);
      return;
    case 0x34:
      add(fetch(), true);
      return;
    case 0x44:
      acc() |= fetch();
      return;
    case 0x54:
      acc() &= fetch();
      return;
    case 0x64:
      acc() ^= fetch();
      return;
    case 0x74:
      acc() = fetch();
      return;
    case 0x84: {  // DIV AB
      uint8_t &b = sfr_[kB & 0x7F];
      psw() &= static_cast<uint8_t>(~(kCy | kOv));
      if (b == 0) {
        psw() |= kOv;  // A and B are undefined; they are left as they are
        return;
      }
      uint8_t quotient = static_cast<uint8_t>(acc() / b);
      b = static_cast<uint8_t>(acc() % b);
      acc() = quotient;
      return;
    }
    case 0x94:
      subtract_borrow(fetch());
      return;
    case 0xA4: {  // MUL AB
      uint8_t &b = sfr_[kB & 0x7F];
      unsigned product = static_cast<unsigned>(acc()) * b;
      acc() = static_cast<uint8_t>(product);
      b = static_cast<uint8_t>(product >> 8);
      psw() = static_cast<uint8_t>((psw() & ~(kCy | kOv)) | (product > 0xFF ? kOv : 0));
      return;
    }
    case 0xB4: {
      uint8_t value = fetch();
      compare_jump(acc(), value);
      return;
    }
    case 0xC4:  // SWAP A
      acc() = static_cast<uint8_t>(acc() << 4 | acc() >> 4);
      return;
    case 0xD4:
      decimal_adjust();
      return;
    case 0xE4:
      acc() = 0;
      return;
    case 0xF4:
      acc() = static_cast<uint8_t>(~acc());
      return;

    // Direct-address operand.
    case 0x05: {
      uint8_t address = fetch();
      write_direct(address, static_cast<uint8_t>(read_direct(address) + 1));
      return;
    }
    case 0x15: {
      uint8_t address = fetch();
      write_direct(address, static_cast<uint8_t>(read_direct(address) - 1));
      return;
    }
    case 0x25:
      add(read_direct(fetch()), false);
      return;
    case 0x35:
      add(read_direct(fetch()), true);
      return;
    case 0x45:
      acc() |= read_direct(fetch());
      return;
    case 0x55:
      acc() &= read_direct(fetch());
      return;
    case 0x65:
      acc() ^= read_direct(fetch());
      return;
    case 0x75: {
      uint8_t address = fetch();
      write_direct(address, fetch());
      return;
    }
    case 0x85: {  // MOV dest, src: the source comes first in the code
      uint8_t source = fetch();
      uint8_t destination = fetch();
      write_direct(destination, read_direct(source));
      return;
    }
    case 0x95:
      subtract_borrow(read_direct(fetch()));
      return;
    case 0xB5: {
      uint8_t value = read_direct(fetch());
      compare_jump(acc(), value);
      return;
    }
    case 0xC5: {
      uint8_t address = fetch();
      uint8_t value = read_direct(address);
      write_direct(address, acc());
      acc() = value;
      return;
    }
    case 0xD5: {  // DJNZ direct, rel
      uint8_t address = fetch();
      uint8_t offset = fetch();
      uint8_t value = static_cast<uint8_t>(read_direct(address) - 1);
      write_direct(address, value);
      if (value != 0) jump_relative(offset);
      return;
    }
    case 0xE5:
      acc() = read_direct(fetch());
      return;
    case 0xF5:
      write_direct(fetch(), acc());
      return;

    // Logic on a direct address.
    case 0x42: {
      uint8_t address = fetch();
      write_direct(address, read_direct(address) | acc());
      return;
    }
    case 0x43: {
      uint8_t address = fetch();
      uint8_t value = fetch();
      write_direct(address, read_direct(address) | value);
      return;
    }
    case 0x52: {
      uint8_t address = fetch();
      write_direct(address, read_direct(address) & acc());
      return;
    }
    case 0x53: {
      uint8_t address = fetch();
      uint8_t value = fetch();
      write_direct(address, read_direct(address) & value);
      return;
    }
    case 0x62: {
      uint8_t address = fetch();
      write_direct(address, read_direct(address) ^ acc());
      return;
    }
    case 0x63: {
      uint8_t address = fetch();
      uint8_t value = fetch();
      write_direct(address, read_direct(address) ^ value);
      return;
    }

    // Jumps and bits.
    case 0x10: {  // JBC
      uint8_t bit = fetch();
      uint8_t offset = fetch();
      if (read_bit(bit)) {
        write_bit(bit, false);
        jump_relative(offset);
      }
      return;
    }
    case 0x20: {
      uint8_t bit = fetch();
      uint8_t offset = fetch();
      if (read_bit(bit)) jump_relative(offset);
      return;
    }
    case 0x30: {
      uint8_t bit = fetch();
      uint8_t offset = fetch();
      if (!read_bit(bit)) jump_relative(offset);
      return;
    }
    case 0x40: {
      uint8_t offset = fetch();
      if (carry()) jump_relative(offset);
      return;
    }
    case 0x50: {
      uint8_t offset = fetch();
      if (!carry()) jump_relative(offset);
      return;
    }
    case 0x60: {
      uint8_t offset = fetch();
      if (acc() == 0) jump_relative(offset);
      return;
    }
    case 0x70: {
      uint8_t offset = fetch();
      if (acc() != 0) jump_relative(offset);
      return;
    }
    case 0x80:
      jump_relative(fetch());
      return;
    case 0x73:  // JMP @A+DPTR
      pc_ = static_cast<uint16_t>(acc() + dptr());
      return;
    case 0x72:
      set_carry(carry() || read_bit(fetch()));
      return;
    case 0xA0:
      set_carry(carry() || !read_bit(fetch()));
      return;
    case 0x82:
      set_carry(carry() && read_bit(fetch()));
      return;
    case 0xB0:
      set_carry(carry() && !read_bit(fetch()));
      return;
    case 0x92:
      write_bit(fetch(), carry());
      return;
    case 0xA2:
      set_carry(read_bit(fetch()));
      return;
    case 0xB2: {
      uint8_t bit = fetch();
      write_bit(bit, !read_bit(bit));
      return;
    }
    case 0xC2:
      write_bit(fetch(), false);
      return;
    case 0xD2:
      write_bit(fetch(), true);
      return;
    case 0xB3:
      set_carry(!carry());
      return;
    case 0xC3:
      set_carry(false);
      return;
    case 0xD3:
      set_carry(true);
      return;

    // Data pointer, code and external memory, stack.
    case 0x90: {
      uint8_t high = fetch();
      set_dptr(static_cast<uint16_t>(high << 8 | fetch()));
      return;
    }
    case 0xA3:
      set_dptr(static_cast<uint16_t>(dptr() + 1));
      return;
    case 0x83:  // MOVC A,@A+PC (PC of the next instruction)
      acc() = code_[static_cast<uint16_t>(acc() + pc_)];
      return;
    case 0x93:
      acc() = code_[static_cast<uint16_t>(acc() + dptr())];
      return;
    case 0xE0:
      acc() = read_xdata(dptr());
      return;
    case 0xF0:
      write_xdata(dptr(), acc());
      return;
    case 0xE2:
    case 0xE3:
      acc() = read_xdata(static_cast<uint16_t>(sfr_[xpage_ & 0x7F] << 8 | reg(op & 1)));
      return;
    case 0xF2:
    case 0xF3:
      write_xdata(static_cast<uint16_t>(sfr_[xpage_ & 0x7F] << 8 | reg(op & 1)), acc());
      return;
    case 0xC0:
      push(read_direct(fetch()));
      return;
    case 0xD0: {
      uint8_t address = fetch();
      write_direct(address, pop());
      return;
    }
    default:
      break;
  }

  // Columns 6..F: the same operation on @Ri or Rn, chosen by the high nibble.
  switch (op & 0xF0) {
    case 0x00:
      ++operand();
      return;
    case 0x10:
      --operand();
      return;
    case 0x20:
      add(operand(), false);
      return;
    case 0x30:
      add(operand(), true);
      return;
    case 0x40:
      acc() |= operand();
      return;
    case 0x50:
      acc() &= operand();
      return;
    case 0x60:
      acc() ^= operand();
      return;
    case 0x70:
      operand() = fetch();
      return;
    case 0x80:
      write_direct(fetch(), operand());
      return;
    case 0x90:
      subtract_borrow(operand());
      return;
    case 0xA0:
      operand() = read_direct(fetch());
      return;
    case 0xB0: {
      uint8_t value = fetch();
      compare_jump(operand(), value);
      return;
    }
    case 0xC0: {
      uint8_t value = operand();
      operand() = acc();
      acc() = value;
      return;
    }
    case 0xD0: {
      if ((op & 0x08) == 0) {  // XCHD A,@Ri: low nibbles
        uint8_t &cell = operand();
        uint8_t value = cell;
        cell = static_cast<uint8_t>((cell & 0xF0) | (acc() & 0x0F));
        acc() = static_cast<uint8_t>((acc() & 0xF0) | (value & 0x0F));
        return;
      }
      uint8_t offset = fetch();  // DJNZ Rn, rel
      if (--operand() != 0) jump_relative(offset);
      return;
    }
    case 0xE0:
      acc() = operand();
      return;
    case 0xF0:
      operand() = acc();
      return;
  }
}

}  // namespace vexdaq::sim::mcs51
