// Runs a loader image on the emulated EZ-USB and checks that it works: it takes over endpoint 0,
// answers a standard request, writes and reads the EEPROM for each common page size, and refuses
// (stalls) rather than hangs when the I2C bus is stuck or the EEPROM is missing.
//
//   loader_run_check IMAGE      exit status 0: works, 1: does not (reasons on stderr), 2: usage
//
// firmware/build_loader.sh runs it on an image built with an SDCC release other than the pinned
// one, whose bytes cannot be compared with the committed image.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "backend/driver.h"
#include "sim/ezusb.h"

namespace {

using vexdaq::sim::EzUsb;
using vexdaq::sim::I2cFault;

int g_failures = 0;

void fail(const char *what, uint32_t status) {
  std::fprintf(stderr, "loader_run_check: %s (status 0x%08X)\n", what, status);
  ++g_failures;
}

uint32_t request(EzUsb &chip, uint8_t type, uint8_t code, uint16_t value, uint16_t length,
                 const uint8_t *data, std::vector<uint8_t> &reply) {
  reply.clear();
  const EzUsb::Request setup{type, code, value, 0, length};
  return chip.control(setup, data, reply);
}

void check_eeprom(EzUsb &chip, uint32_t page_size) {
  chip.eeprom().configure(page_size, 5000);
  std::vector<uint8_t> data(4096), reply;
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + page_size);
  const uint16_t address = 0x1234;  // not page-aligned
  uint32_t status = request(chip, 0x40, 0xA9, address, 4096, data.data(), reply);
  if (status != vexdaq::kStatusSuccess) return fail("EEPROM write failed", status);
  status = request(chip, 0xC0, 0xA9, address, 4096, nullptr, reply);
  if (status != vexdaq::kStatusSuccess) return fail("EEPROM read failed", status);
  if (reply != data) fail("EEPROM read-back differs from what was written", 0);
  const std::vector<uint8_t> &memory = chip.eeprom().memory();
  if (!std::equal(data.begin(), data.end(), memory.begin() + address)) {
    fail("the EEPROM does not hold what was written", 0);
  }
}

void check_refusal(EzUsb &chip, I2cFault fault, const char *name) {
  chip.set_i2c_fault(fault);
  std::vector<uint8_t> reply;
  const uint32_t status = request(chip, 0xC0, 0xA9, 0, 64, nullptr, reply);
  if (status != vexdaq::kStatusStall) {
    std::fprintf(stderr, "loader_run_check: with %s: ", name);
    fail("an EEPROM read was not refused with a stall", status);
  }
  chip.set_i2c_fault(I2cFault::kNone);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: loader_run_check IMAGE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<uint8_t> image;
  if (in) image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (image.empty() || image.size() > 0xE000) {
    std::fprintf(stderr, "loader_run_check: cannot use %s as an image\n", argv[1]);
    return 1;
  }
  EzUsb chip;
  const uint8_t hold = 1, run = 0;
  chip.load(0xE600, &hold, 1);
  chip.load(0, image.data(), static_cast<uint32_t>(image.size()));
  chip.load(0xE600, &run, 1);
  if (!chip.serves_standard_requests()) fail("the loader did not take over endpoint 0 (RENUM)", 0);

  std::vector<uint8_t> reply;
  const uint32_t status = request(chip, 0x80, 0x06, 0x0100, 18, nullptr, reply);
  if (status != vexdaq::kStatusSuccess || reply.size() != 18 || reply[0] != 18 || reply[1] != 1) {
    fail("no device descriptor from the loader", status);
  }
  for (uint32_t page_size : {32u, 64u, 128u}) check_eeprom(chip, page_size);
  check_refusal(chip, I2cFault::kStuckBus, "a stuck I2C bus");
  check_refusal(chip, I2cFault::kNoEeprom, "no EEPROM");
  check_eeprom(chip, 64);  // and it recovers

  if (g_failures != 0) return 1;
  std::printf("%s: runs on the emulated chip (%llu instructions)\n", argv[1],
              static_cast<unsigned long long>(chip.instructions()));
  return 0;
}
