// The EEPROM on the virtual instrument's I2C bus, as a part behaves on the wire: page writes wrap
// inside their page, and the part ignores its address while a write cycle runs.
#include <gtest/gtest.h>

#include <string>

#include "sim/ezusb.h"
#include "sim/profile.h"

namespace vexdaq::sim {
namespace {

constexpr uint8_t kWriteAddress = kEepromI2cAddress << 1;

// A page write of `count` bytes (value = index + 1) at `address`; the stop comes at `now_ns`.
void page_write(Eeprom &eeprom, uint16_t address, int count, uint64_t now_ns) {
  eeprom.start();
  ASSERT_TRUE(eeprom.write(kWriteAddress, now_ns));
  ASSERT_TRUE(eeprom.write(static_cast<uint8_t>(address >> 8), now_ns));
  ASSERT_TRUE(eeprom.write(static_cast<uint8_t>(address), now_ns));
  for (int i = 0; i < count; ++i) ASSERT_TRUE(eeprom.write(static_cast<uint8_t>(i + 1), now_ns));
  eeprom.stop(now_ns);
}

TEST(SimEeprom, APageWriteWrapsInsideItsPage) {
  for (uint32_t page : {32u, 64u, 128u}) {
    Eeprom eeprom;
    eeprom.configure(page, 0);
    const uint16_t start = static_cast<uint16_t>(4 * page - 4);  // four bytes before the page end
    page_write(eeprom, start, 6, 0);
    const std::vector<uint8_t> &m = eeprom.memory();
    EXPECT_EQ(m[start], 1) << page;
    EXPECT_EQ(m[start + 3], 4) << page;
    EXPECT_EQ(m[3 * page], 5) << page;  // back to the start of the same page
    EXPECT_EQ(m[3 * page + 1], 6) << page;
    EXPECT_EQ(m[4 * page], 0xFF) << page;  // the next page is untouched
  }
}

TEST(SimEeprom, ItIgnoresItsAddressDuringTheWriteCycleOnly) {
  Eeprom eeprom;
  eeprom.configure(64, 5000);
  page_write(eeprom, 0x0100, 1, 1'000'000);
  eeprom.start();
  EXPECT_FALSE(eeprom.write(kWriteAddress, 1'000'000 + 4'999'000));
  eeprom.stop(1'000'000 + 4'999'000);
  eeprom.start();
  EXPECT_TRUE(eeprom.write(kWriteAddress | 1, 1'000'000 + 5'000'000));
  // A stop with no data written starts no write cycle.
  eeprom.stop(7'000'000);
  eeprom.start();
  EXPECT_TRUE(eeprom.write(kWriteAddress, 7'000'000));
  eeprom.stop(7'000'000);
  eeprom.start();
  EXPECT_TRUE(eeprom.write(kWriteAddress, 7'000'001));
  // Another address on the bus is not the EEPROM.
  eeprom.start();
  EXPECT_FALSE(eeprom.write(0x50 << 1, 9'000'000));
}

TEST(SimEeprom, TheProfileTakesCommonPageSizesAndBoundedWriteCycles) {
  Profile p;
  std::string error;
  ASSERT_TRUE(apply_profile_text("eeprom_page=128;eeprom_write_us=0", p, error)) << error;
  EXPECT_EQ(p.eeprom_page, 128u);
  EXPECT_EQ(p.eeprom_write_us, 0u);
  for (const char *bad : {"eeprom_page=48", "eeprom_page=16", "eeprom_write_us=100001"}) {
    EXPECT_FALSE(apply_profile_text(bad, p, error)) << bad;
  }
}

}  // namespace
}  // namespace vexdaq::sim
