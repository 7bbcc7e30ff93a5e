// The instrument's USB chip: an EZ-USB FX2 with its 8051 core, 64 KiB of unified code and data
// RAM, the register space the firmware sees from 0xE200 up, endpoint 0 as the firmware serves it,
// and the I2C controller with the board's serial EEPROM on it.
//
// The chip serves its own memory-load request (0xA0) whatever the CPU does. Once the CPU is let
// run, every other control request is handed to the downloaded code the way the chip does it: the
// setup packet in SETUPDAT, the SUDAV bit in USBIRQ, data through EP0BUF and its byte counts, the
// end through EP0CS (HSNAK completes, STALL refuses). Standard requests reach the firmware only
// once it has set RENUM; until then the chip answers them.
//
// Time: the EEPROM's write cycle and the I2C bit times run on a model clock that advances with
// the instructions executed (an FX2 at 48 MHz) and with each byte on the bus (100 or 400 kHz). A
// poll of the I2C controller while a byte is still on the bus moves the clock to the byte's end,
// so a waiting loop costs two reads, not hundreds of emulated instructions.
//
// Threads: none; the owning instrument calls it under its mutex.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/mcs51/cpu.h"

namespace vexdaq::sim {

inline constexpr uint32_t kEepromBytes = 64u << 10;  // a 24xx512: 16-bit word addresses
inline constexpr uint8_t kEepromI2cAddress = 0x51;   // 7-bit address of the boot EEPROM

// Instructions the code gets after the CPU is released, before the host's next request: the C
// start-up code clears internal RAM and initialises its variables in far fewer.
inline constexpr uint64_t kStartupBudget = 200'000;
// Instructions the firmware gets to complete one control request: about 0.3 s of a 48 MHz FX2
// and some ten times what a 4096-byte EEPROM write takes. Beyond it the request fails with the
// driver's time-out status, as on a device that never answers. On this emulator that is tens of
// milliseconds of host time.
inline constexpr uint64_t kRequestBudget = 5'000'000;

// The serial EEPROM on the I2C bus: 16-bit addressing, page writes that wrap inside their page,
// a write cycle during which the part does not acknowledge its address.
class Eeprom {
 public:
  Eeprom() : memory_(kEepromBytes, 0xFF) {}

  void configure(uint32_t page_size, uint32_t write_cycle_us) {
    page_size_ = page_size;
    write_cycle_ns_ = uint64_t{write_cycle_us} * 1000;
  }
  const std::vector<uint8_t> &memory() const { return memory_; }

  // The bus side, `now_ns` on the model clock. Each returns the part's acknowledge.
  void start();
  bool write(uint8_t byte, uint64_t now_ns);  // the byte after a start is the address byte
  uint8_t read();                             // the next byte of a sequential read
  void stop(uint64_t now_ns);                 // a write transaction's page is written now

 private:
  enum class Phase : uint8_t { kIdle, kAddressHigh, kAddressLow, kData, kRead, kIgnored };

  std::vector<uint8_t> memory_;
  uint32_t page_size_ = 64;
  uint64_t write_cycle_ns_ = 5'000'000;
  uint64_t busy_until_ns_ = 0;
  Phase phase_ = Phase::kIdle;
  bool after_start_ = false;
  uint16_t pointer_ = 0;
  std::vector<std::pair<uint16_t, uint8_t>> pending_;  // the page being written
};

enum class I2cFault : uint8_t { kNone, kStuckBus, kNoEeprom };

class EzUsb final : public mcs51::Bus {
 public:
  struct Request {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
  };

  EzUsb();

  // The chip's own memory load. Writing CPUCS (0xE600) holds the CPU (bit 0 set) or releases
  // a held CPU, which resets the core and gives it kStartupBudget instructions to start. Before
  // the first hold the instrument's own firmware runs, which is not emulated.
  void load(uint16_t address, const uint8_t *data, uint32_t length);
  void upload(uint16_t address, uint8_t *out, uint32_t length) const;

  bool running() const { return running_; }
  bool held() const { return held_; }
  // The firmware took over endpoint 0 (RENUM): standard requests are its too.
  bool serves_standard_requests() const { return running_ && (usbcs_ & kRenum) != 0; }
  // A fresh USB connection: the instrument's own firmware again, RENUM clear. RAM and the EEPROM
  // keep their contents.
  void disconnect();

  // Hands a control request to the running firmware. OUT data is `data` (request.length bytes),
  // IN data is appended to `reply` (at most request.length bytes). Returns 0, the stall status
  // or the time-out status.
  uint32_t control(const Request &request, const uint8_t *data, std::vector<uint8_t> &reply);

  Eeprom &eeprom() { return eeprom_; }
  // A bus that is let go again comes back idle, its error cleared.
  void set_i2c_fault(I2cFault fault);
  uint64_t instructions() const { return cpu_.instructions(); }

  // mcs51::Bus
  uint8_t read_io(uint16_t address) override;
  void write_io(uint16_t address, uint8_t value) override;

 private:
  static constexpr uint8_t kRenum = 0x02;
  enum class Outcome : uint8_t { kPending, kDone, kStalled };

  uint64_t now_ns() const { return cpu_.instructions() * kNsPerInstruction + skipped_ns_; }
  uint8_t read_i2cs();
  void write_i2cs(uint8_t value);
  void write_i2dat(uint8_t value);
  uint8_t read_i2dat();
  void bus_byte(bool finished_ok);  // a byte (or start) goes on the bus now
  void arm_ep0(uint8_t count);

  // Average instruction time of an FX2 at 48 MHz (4 clocks a cycle, ~2 cycles an instruction).
  static constexpr uint64_t kNsPerInstruction = 167;

  std::vector<uint8_t> ram_;
  mcs51::Cpu cpu_;
  bool running_ = false;  // downloaded code runs
  bool held_ = false;     // the host holds the CPU in reset
  uint8_t usbirq_ = 0;
  uint8_t usbcs_ = 0;
  uint8_t ep0cs_ = 0;
  uint8_t ep0bch_ = 0;
  uint8_t ep0bcl_ = 0;

  // The request the firmware is serving.
  const Request *request_ = nullptr;
  const uint8_t *out_data_ = nullptr;
  uint32_t out_offset_ = 0;
  std::vector<uint8_t> *reply_ = nullptr;
  Outcome outcome_ = Outcome::kPending;
  bool stop_on_poll_ = false;  // the next read of USBIRQ ends the run: the firmware is idle

  // I2C controller.
  Eeprom eeprom_;
  I2cFault i2c_fault_ = I2cFault::kNone;
  uint64_t skipped_ns_ = 0;     // model time a poll skipped ahead
  uint64_t byte_end_ns_ = 0;    // when the byte on the bus is through
  uint64_t stop_end_ns_ = 0;    // when the stop condition is through
  bool byte_busy_ = false;      // DONE not yet
  bool stop_busy_ = false;      // STOP not yet cleared
  bool start_pending_ = false;  // START set: the next I2DAT write is an address byte
  bool last_read_ = false;      // LASTRD
  bool reading_ = false;        // the addressed part is sending
  bool addressed_ = false;      // the EEPROM acknowledged its address in this transaction
  bool final_byte_ = false;     // the byte clocked in was NAKed: no further read
  bool ack_ = false;
  bool done_ = false;  // DONE: the last byte is through
  bool bus_error_ = false;
  uint8_t i2dat_ = 0;
  uint8_t i2ctl_ = 0;
};

}  // namespace vexdaq::sim
