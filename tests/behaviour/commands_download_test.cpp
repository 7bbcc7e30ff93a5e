// Firmware download through the RAM loader and the serial number, against the virtual
// instrument's loader and EEPROM.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "behaviour/commands_fixture.h"
#include "firmware/loader_image.h"
#include "sim/ezusb.h"

namespace vexdaq::testing {
namespace {

// The setup packet of a trace line, without its data.
std::string setup_of(const std::string &line) {
  return line.substr(0, 20);
}

Lines setups_of(const Lines &lines) {
  Lines setups;
  for (const std::string &line : lines) setups.push_back(setup_of(line));
  return setups;
}

const Lines kLoaderSequence = {"40 A0 E600 0000 0001", "40 A0 0000 0000 0800",
                               "40 A0 0800 0000 0593", "40 A0 E600 0000 0001"};

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed;
  for (uint8_t &b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

std::string write_file(const std::vector<uint8_t> &bytes) {
  const std::string path = "firmware.bin";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return path;
}

// Expected write and read requests for a file of `size` bytes.
Lines memory_sequence(size_t size) {
  Lines writes, reads;
  size_t offset = 0;
  for (;;) {
    const size_t n = size - offset < 4096 ? size - offset : 4096;
    char setup[32];
    std::snprintf(setup, sizeof setup, "A9 %04X 0000 %04X", static_cast<unsigned>(offset & 0xFFFF),
                  static_cast<unsigned>(n));
    writes.push_back(std::string("40 ") + setup);
    reads.push_back(std::string("C0 ") + setup);
    offset += n;
    if (n < 4096) break;
  }
  writes.insert(writes.end(), reads.begin(), reads.end());
  return writes;
}

class FirmwareDownload : public CommandsTest {
 protected:
  // Downloads a file and checks the whole request sequence.
  int32_t download(const std::vector<uint8_t> &file) {
    const int32_t result = vexdaq_firmware_download(write_file(file).c_str());
    Lines lines = trace();
    Lines expected = kLoaderSequence;
    const Lines memory = memory_sequence(file.size());
    expected.insert(expected.end(), memory.begin(), memory.end());
    EXPECT_EQ(setups_of(lines), expected);
    last_trace_ = lines;
    return result;
  }

  std::vector<uint8_t> eeprom(size_t size) {
    std::vector<uint8_t> bytes(size);
    if (size == 0) return bytes;
    EXPECT_EQ(vexdaq_sim_eeprom_read(sim_, 0, bytes.data(), static_cast<int32_t>(size)),
              static_cast<int32_t>(size));
    return bytes;
  }

  Lines last_trace_;
};

TEST_F(FirmwareDownload, LoaderGoesInTwoChunksBetweenHoldAndRun) {
  EXPECT_EQ(download(pattern(100, 10)), 0);
  ASSERT_GE(last_trace_.size(), 4u);
  EXPECT_EQ(last_trace_[0], "40 A0 E600 0000 0001 : 01");
  EXPECT_EQ(last_trace_[3], "40 A0 E600 0000 0001 : 00");
  // The first loader chunk carries the image's first bytes.
  char first[16];
  std::snprintf(first, sizeof first, " : %02X %02X", loader_image[0], loader_image[1]);
  EXPECT_EQ(last_trace_[1].substr(20, 8), first);
}

// Once the loader runs, the instrument's own firmware is gone until it is replugged: a download
// that cannot succeed must be refused before anything reaches the device.
TEST_F(FirmwareDownload, AFileThatCannotBeWrittenLeavesTheInstrumentAlone) {
  int32_t out_rate = 0;
  int32_t in_rate = 0;
  std::vector<std::string> refused = {write_file({}), "no-such-file.bin"};
  {
    const auto big = pattern(65537, 3);  // one byte more than the loader can address
    std::ofstream("big.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(big.data()),
               static_cast<std::streamsize>(big.size()));
    refused.push_back("big.bin");
  }
  if (std::ifstream("/dev/zero").good()) refused.push_back("/dev/zero");  // never ends
  for (const std::string &path : refused) {
    EXPECT_EQ(vexdaq_firmware_download(path.c_str()), -1) << path;
    EXPECT_EQ(trace(), Lines{}) << path;
  }
  EXPECT_EQ(vexdaq_firmware_download(nullptr), -1);
  EXPECT_EQ(trace(), Lines{});
  EXPECT_TRUE(
      log_has("vexdaq_firmware_download: big.bin has more than 65536 bytes; the device "
              "takes 1 to 65536\r\n"));
  EXPECT_TRUE(log_has("vexdaq_firmware_download: cannot read no-such-file.bin\r\n"));
  EXPECT_EQ(vexdaq_get_sample_rate(&out_rate, &in_rate), 0) << "the instrument's firmware runs";
}

TEST_F(FirmwareDownload, AMultipleOfTheChunkEndsWithAZeroLengthRequest) {
  const auto file = pattern(8192, 1);
  EXPECT_EQ(download(file), 0);
  EXPECT_EQ(eeprom(8192), file);
}

TEST_F(FirmwareDownload, AFileIsWrittenAndReadBackInChunks) {
  const auto file = pattern(10000, 2);
  EXPECT_EQ(download(file), 0);
  EXPECT_EQ(eeprom(10000), file);
}

// The loader runs on the emulated chip and writes the EEPROM model through its I2C controller.
TEST_F(FirmwareDownload, EveryFileSizeLandsInTheEepromExactly) {
  for (size_t size : {1, 63, 64, 65, 4095, 4096, 8192, 10000, 65536}) {
    const auto file = pattern(size, static_cast<uint32_t>(size));
    EXPECT_EQ(download(file), 0) << size;
    EXPECT_EQ(eeprom(size), file) << size;
  }
}

TEST_F(FirmwareDownload, EveryCommonPageSizeWorks) {
  for (const char *part : {"eeprom_page=32", "eeprom_page=128;eeprom_write_us=10000"}) {
    ASSERT_EQ(vexdaq_sim_set(sim_, part), 0);
    const auto file = pattern(10000, 9);
    EXPECT_EQ(download(file), 0) << part;
    EXPECT_EQ(eeprom(10000), file) << part;
  }
}

TEST_F(FirmwareDownload, AStuckBusOrAMissingEepromFailsPromptly) {
  for (const char *fault : {"i2c=stuck", "i2c=no_eeprom"}) {
    ASSERT_EQ(vexdaq_sim_fault(sim_, fault), 0);
    // Each request is refused by the loader (a stall), none is left to time out: the whole
    // download costs the emulated chip less than one request's time-out budget.
    const int64_t before = vexdaq_sim_counter(sim_, "cpu_instructions");
    EXPECT_EQ(download(pattern(5000, 8)), -1) << fault;
    const int64_t used = vexdaq_sim_counter(sim_, "cpu_instructions") - before;
    EXPECT_LT(used, static_cast<int64_t>(sim::kRequestBudget)) << fault;
    EXPECT_TRUE(log_has("PIPE0_CLASS_OUT failed, status = 0xC0000004.\n")) << fault;
    EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xA9) failed, status = 0xC0000004.\n")) << fault;
    EXPECT_FALSE(log_has("status = 0x00000079")) << fault;
    ASSERT_EQ(vexdaq_sim_fault(sim_, "clear"), 0);
  }
}

TEST_F(FirmwareDownload, TheLargestFileFillsTheAddressSpaceAndEndsAtAddressZero) {
  const auto file = pattern(65536, 4);
  EXPECT_EQ(download(file), 0);  // 16 chunks, then the zero-length request at 0x10000 & 0xFFFF
  EXPECT_EQ(last_trace_[4 + 16], "40 A9 0000 0000 0000");
  EXPECT_EQ(eeprom(65536), file);
}

TEST_F(FirmwareDownload, AWrongReadBackFails) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "malformed=0xA9"), 0);
  EXPECT_EQ(download(pattern(5000, 5)), -1);
}

TEST_F(FirmwareDownload, AShortReadBackFails) {
  // The bytes that did come back match; the missing ones are no proof of anything.
  ASSERT_EQ(vexdaq_sim_fault(sim_, "short_reply=0xA9:100"), 0);
  EXPECT_EQ(download(pattern(5000, 6)), -1);
}

TEST_F(FirmwareDownload, AFailedReadBackFailsAndIsLogged) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xA9:0xC0000004"), 0);
  EXPECT_EQ(download(pattern(100, 7)), -1);
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xA9) failed, status = 0xC0000004.\n"));
  EXPECT_TRUE(log_has("PIPE0_CLASS_OUT failed, status = 0xC0000004.\n"));
}

using SerialDownload = CommandsTest;

TEST_F(SerialDownload, CharactersGoAsUtf16) {
  EXPECT_EQ(vexdaq_serial_download("AB", 2), 0);
  EXPECT_EQ(vexdaq_serial_download("\xE9\0x", 3), 0);  // high bytes and zero bytes pass through
  EXPECT_EQ(trace(), (Lines{"21 12 0000 0000 0004 : 41 00 42 00",
                            "21 12 0000 0000 0006 : E9 00 00 00 78 00"}));
}

TEST_F(SerialDownload, AtMostSixteenCharactersGo) {
  EXPECT_EQ(vexdaq_serial_download("0123456789ABCDEFGHIJ", 20), 0);
  const Lines lines = trace();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(setup_of(lines[0]), "21 12 0000 0000 0020");
  EXPECT_EQ(lines[0].substr(lines[0].size() - 5), "46 00");  // 'F', the 16th
}

TEST_F(SerialDownload, ZeroOrNegativeCountsSendAnEmptySerial) {
  EXPECT_EQ(vexdaq_serial_download("AB", 0), 0);
  EXPECT_EQ(vexdaq_serial_download("AB", -5), 0);
  EXPECT_EQ(vexdaq_serial_download(nullptr, 0), 0);
  EXPECT_EQ(vexdaq_serial_download(nullptr, 2), -1);
  EXPECT_EQ(trace(),
            (Lines{"21 12 0000 0000 0000", "21 12 0000 0000 0000", "21 12 0000 0000 0000"}));
}

}  // namespace
}  // namespace vexdaq::testing
