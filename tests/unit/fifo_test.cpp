#include "session/fifo.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "session/log.h"
#include "support/test_support.h"

namespace vexdaq {
namespace {

struct FifoDeleter {
  void operator()(fifo_record *h) const { fifo_delete(h); }
};
using Fifo = std::unique_ptr<fifo_record, FifoDeleter>;

Fifo make(int32_t capacity, int32_t item_size) {
  return Fifo(fifo_create(capacity, item_size));
}

// Writes `count` items into an empty FIFO and reads them back: both indices end at `index_after`
// and the items come back unchanged.
void expect_round_trip(fifo_handle f, const void *items, int32_t count, int32_t index_after) {
  ASSERT_EQ(fifo_write(f, items, count), count);
  EXPECT_EQ(f->write_index, index_after);
  EXPECT_EQ(f->free_count, f->capacity - count);
  std::vector<uint8_t> back(static_cast<size_t>(count * f->item_size));
  ASSERT_EQ(fifo_read(f, back.data(), count), count);
  EXPECT_EQ(f->read_index, index_after);
  EXPECT_EQ(std::memcmp(items, back.data(), back.size()), 0);
}

std::vector<uint16_t> drain16(fifo_handle h) {
  std::vector<uint16_t> out;
  while (h->capacity - h->free_count > 0) {
    uint16_t v = 0;
    fifo_read_one(h, &v);
    out.push_back(v);
  }
  return out;
}

TEST(FifoCreate, StartsEmptyAndZeroFilled) {
  auto f = make(5, 3);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->capacity, 5);
  EXPECT_EQ(f->item_size, 3);
  EXPECT_EQ(f->free_count, 5);
  EXPECT_EQ(f->write_index, 0);
  EXPECT_EQ(f->read_index, 0);
  EXPECT_EQ(f->overrun_count, 0);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(f->storage[i], 0);
}

TEST(FifoCreate, RefusesNegativeCapacityBadItemSizeAndOversizedProducts) {
  EXPECT_EQ(fifo_create(-1, 2), nullptr);
  EXPECT_EQ(fifo_create(10, 0), nullptr);
  EXPECT_EQ(fifo_create(10, -3), nullptr);
  EXPECT_EQ(fifo_create(0x40000000, 4), nullptr);  // 2^32 bytes does not fit in 32 bits
}

TEST(FifoBulk, WriteOfExactlyFreeCountFillsAndWrapsIndexToZero) {
  auto f = make(4, 2);
  const uint16_t items[4] = {1, 2, 3, 4};
  ASSERT_NO_FATAL_FAILURE(expect_round_trip(f.get(), items, 4, 0));
}

TEST(FifoBulk, BlocksCrossingTheEndComeBackInOrder) {
  auto f = make(5, 3);
  uint8_t first[3 * 3] = {1, 1, 1, 2, 2, 2, 3, 3, 3};
  ASSERT_EQ(fifo_write(f.get(), first, 3), 3);
  uint8_t sink[9];
  ASSERT_EQ(fifo_read(f.get(), sink, 3), 3);
  // write_index and read_index are 3: the next block of 4 crosses the end of the ring.
  uint8_t block[4 * 3];
  for (int i = 0; i < 12; ++i) block[i] = static_cast<uint8_t>(10 + i);
  ASSERT_NO_FATAL_FAILURE(expect_round_trip(f.get(), block, 4, 2));
}

TEST(FifoBulk, AllOrNothing) {
  auto f = make(4, 2);
  const uint16_t items[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(fifo_write(f.get(), items, 3), 3);
  EXPECT_EQ(fifo_write(f.get(), items, 2), 0);  // one larger than free_count: silent, unchanged
  EXPECT_EQ(f->free_count, 1);
  uint16_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(fifo_read(f.get(), out, 4), 0);  // more than stored
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(f->free_count, 1);
}

TEST(FifoBulk, CountAboveCapacityFailsAndIsLogged) {
  log_open();
  auto f = make(4, 2);
  uint16_t items[5] = {};
  EXPECT_EQ(fifo_write(f.get(), items, 5), -1);
  EXPECT_EQ(fifo_read(f.get(), items, 5), -1);
  f.reset();
  log_close();
  const std::string log = testing::read_log();
  EXPECT_NE(log.find("<fifo_write> item num is too big\r\r\n"), std::string::npos);
  EXPECT_NE(log.find("<fifo_read> item num is too big\r\r\n"), std::string::npos);
}

TEST(FifoBulk, ZeroAndNegativeCountsMoveNothing) {
  auto f = make(4, 2);
  uint16_t items[4] = {1, 2, 3, 4};
  EXPECT_EQ(fifo_write(f.get(), items, 0), 0);
  EXPECT_EQ(fifo_read(f.get(), items, 0), 0);
  EXPECT_EQ(fifo_write(f.get(), items, -1), -1);
  EXPECT_EQ(fifo_write(f.get(), items, INT32_MIN), -1);
  EXPECT_EQ(fifo_read(f.get(), items, -7), -1);
  EXPECT_EQ(f->free_count, 4);
  EXPECT_EQ(f->write_index, 0);
}

TEST(FifoBulk, NullHandleFailsAndLogsThePointer) {
  log_open();
  uint16_t item = 0;
  EXPECT_EQ(fifo_write(nullptr, &item, 1), -1);
  EXPECT_EQ(fifo_read(nullptr, &item, 1), -1);
  fifo_write_one(nullptr, &item);
  fifo_read_one(nullptr, &item);
  log_close();
  const std::string zeros(2 * sizeof(void *), '0');
  const std::string log = testing::read_log();
  for (const char *op : {"fifo_write", "fifo_read", "fifo_write_one", "fifo_read_one"}) {
    const std::string line =
        std::string("<") + op + "> fifo_handle (0x" + zeros + ") is null\r\r\n";
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST(FifoSingle, FullRingOverwritesOldestAndCountsOverrun) {
  auto f = make(4, 2);
  const uint16_t items[4] = {1, 2, 3, 4};
  ASSERT_EQ(fifo_write(f.get(), items, 4), 4);
  for (uint16_t v : {5, 6, 7}) fifo_write_one(f.get(), &v);
  EXPECT_EQ(f->free_count, 0);
  EXPECT_EQ(f->overrun_count, 3);
  EXPECT_EQ(drain16(f.get()), (std::vector<uint16_t>{4, 5, 6, 7}));
}

TEST(FifoSingle, OverrunCountStopsAtItsLargestValue) {
  for (int32_t capacity : {2, 0}) {
    auto f = make(capacity, 2);
    const uint16_t items[2] = {1, 2};
    ASSERT_EQ(fifo_write(f.get(), items, capacity), capacity);
    f->overrun_count = INT32_MAX;
    uint16_t v = 3;
    fifo_write_one(f.get(), &v);
    EXPECT_EQ(f->overrun_count, INT32_MAX) << capacity;
  }
}

TEST(FifoSingle, ReadsLowerTheOverrunCount) {
  auto one_by_one = make(4, 2);
  auto in_bulk = make(4, 2);
  for (auto *f : {one_by_one.get(), in_bulk.get()}) {
    for (uint16_t v = 1; v <= 7; ++v) fifo_write_one(f, &v);
    ASSERT_EQ(f->overrun_count, 3);
  }
  uint16_t sink[4];
  for (int i = 0; i < 3; ++i) fifo_read_one(one_by_one.get(), sink);
  EXPECT_EQ(one_by_one->overrun_count, 0);
  ASSERT_EQ(fifo_read(in_bulk.get(), sink, 2), 2);
  EXPECT_EQ(in_bulk->overrun_count, 1);
}

TEST(FifoSingle, ReadFromEmptyRingLeavesDestinationAlone) {
  auto f = make(3, 4);
  uint32_t out = 0xDEADBEEF;
  fifo_read_one(f.get(), &out);
  EXPECT_EQ(out, 0xDEADBEEFu);
}

TEST(FifoSingle, ThreeByteItemsKeepTheirBytes) {
  auto f = make(2, 3);
  const uint8_t item[3] = {0x56, 0x34, 0x12};
  fifo_write_one(f.get(), item);
  uint8_t out[4] = {0, 0, 0, 0xAA};
  fifo_read_one(f.get(), out);
  EXPECT_EQ(out[0], 0x56);
  EXPECT_EQ(out[1], 0x34);
  EXPECT_EQ(out[2], 0x12);
  EXPECT_EQ(out[3], 0xAA);  // exactly item_size bytes are written
}

TEST(FifoZeroCapacity, StoresNothingAndDropsSingleItems) {
  auto f = make(0, 2);
  ASSERT_NE(f, nullptr);
  uint16_t v = 7;
  fifo_write_one(f.get(), &v);
  EXPECT_EQ(f->free_count, 0);
  EXPECT_EQ(f->overrun_count, 1);
  EXPECT_EQ(f->capacity - f->free_count, 0);
  uint16_t out = 3;
  fifo_read_one(f.get(), &out);
  EXPECT_EQ(out, 3);
  EXPECT_EQ(fifo_write(f.get(), &v, 1), -1);  // above capacity
  EXPECT_EQ(fifo_read(f.get(), &out, 0), 0);
}

TEST(FifoReset, EmptiesWithoutClearingBytes) {
  auto f = make(4, 2);
  for (uint16_t v = 1; v <= 6; ++v) fifo_write_one(f.get(), &v);
  fifo_reset(f.get());
  EXPECT_EQ(f->free_count, 4);
  EXPECT_EQ(f->write_index, 0);
  EXPECT_EQ(f->read_index, 0);
  EXPECT_EQ(f->overrun_count, 0);
  uint16_t first = 0;
  std::memcpy(&first, f->storage, 2);
  EXPECT_EQ(first, 5);  // the bytes are still there
}

TEST(FifoLifecycle, CreateAndDeleteAreLoggedWithTheHandle) {
  log_open();
  fifo_handle h = fifo_create(8, 4);
  char expected[64];
  std::snprintf(expected, sizeof expected, "%0*llX", static_cast<int>(2 * sizeof(void *)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
  fifo_delete(h);
  log_close();
  const std::string log = testing::read_log();
  EXPECT_NE(
      log.find(std::string("<fifo_create> fifo_handle (0x") + expected + ") is created\r\r\n"),
      std::string::npos);
  EXPECT_NE(
      log.find(std::string("<fifo_delete> fifo_handle (0x") + expected + ") is deleting\r\r\n"),
      std::string::npos);
}

}  // namespace
}  // namespace vexdaq
