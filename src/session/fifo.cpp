#include "session/fifo.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "session/log.h"

namespace vexdaq {

namespace {

// Sample items are 2, 3 or 4 bytes; fixed-size copies let the compiler emit plain moves on the
// per-sample path instead of a library call.
inline void copy_item(uint8_t *to, const uint8_t *from, int32_t item_size) {
  switch (item_size) {
    case 2:
      std::memcpy(to, from, 2);
      break;
    case 3:
      std::memcpy(to, from, 3);
      break;
    case 4:
      std::memcpy(to, from, 4);
      break;
    default:
      std::memcpy(to, from, static_cast<size_t>(item_size));
  }
}

inline size_t bytes_of(const fifo_record *h, int32_t items) {
  return static_cast<size_t>(items) * static_cast<size_t>(h->item_size);
}

}  // namespace

fifo_handle fifo_create(int32_t capacity, int32_t item_size) {
  if (capacity < 0 || item_size <= 0) return nullptr;
  const uint64_t size = static_cast<uint64_t>(capacity) * static_cast<uint64_t>(item_size);
  if (size > 0xFFFFFFFFull) return nullptr;
  auto *h = new (std::nothrow) fifo_record{};
  if (h == nullptr) return nullptr;
  h->storage = new (std::nothrow) uint8_t[static_cast<size_t>(size)]();
  if (h->storage == nullptr) {
    delete h;
    return nullptr;
  }
  h->capacity = capacity;
  h->item_size = item_size;
  h->free_count = capacity;
  log_print(LogLevel::kEntry, "<fifo_create> fifo_handle (0x%p) is created\r\n", h);
  return h;
}

void fifo_delete(fifo_handle h) {
  log_print(LogLevel::kEntry, "<fifo_delete> fifo_handle (0x%p) is deleting\r\n", h);
  if (h == nullptr) return;
  delete[] h->storage;
  h->storage = nullptr;
  delete h;
}

void fifo_reset(fifo_handle h) {
  h->overrun_count = 0;
  h->free_count = h->capacity;
  h->write_index = 0;
  h->read_index = 0;
}

void fifo_write_one(fifo_handle h, const void *item) {
  if (h == nullptr) {
    log_print(LogLevel::kEntry, "<fifo_write_one> fifo_handle (0x%p) is null\r\n", h);
    return;
  }
  if (h->capacity == 0) {
    fifo_add_overrun(*h, 1);  // nowhere to keep it: the item is lost like an overwritten one
    return;
  }
  copy_item(h->storage + bytes_of(h, h->write_index), static_cast<const uint8_t *>(item),
            h->item_size);
  h->write_index = fifo_next_slot(h->write_index, h->capacity);
  fifo_note_overwriting_store(*h, 1);
}

void fifo_read_one(fifo_handle h, void *out) {
  if (h == nullptr) {
    log_print(LogLevel::kEntry, "<fifo_read_one> fifo_handle (0x%p) is null\r\n", h);
    return;
  }
  if (fifo_stored(*h) < 1) return;
  copy_item(static_cast<uint8_t *>(out), h->storage + bytes_of(h, h->read_index), h->item_size);
  h->read_index = fifo_next_slot(h->read_index, h->capacity);
  fifo_note_taken(*h, 1);
}

int32_t fifo_write(fifo_handle h, const void *source, int32_t count) {
  if (h == nullptr) {
    log_print(LogLevel::kEntry, "<fifo_write> fifo_handle (0x%p) is null\r\n", h);
    return -1;
  }
  if (count > h->capacity) {
    log_print(LogLevel::kEntry, "<fifo_write> item num is too big\r\n");
    return -1;
  }
  if (count < 0) return -1;
  if (count == 0 || count > h->free_count) return 0;
  const auto *from = static_cast<const uint8_t *>(source);
  const int32_t first = fifo_run_before_end(h->write_index, count, h->capacity);
  std::memcpy(h->storage + bytes_of(h, h->write_index), from, bytes_of(h, first));
  if (first < count) std::memcpy(h->storage, from + bytes_of(h, first), bytes_of(h, count - first));
  h->write_index = fifo_slot_after(h->write_index, count, h->capacity);
  h->free_count -= count;
  return count;
}

int32_t fifo_read(fifo_handle h, void *destination, int32_t count) {
  if (h == nullptr) {
    log_print(LogLevel::kEntry, "<fifo_read> fifo_handle (0x%p) is null\r\n", h);
    return -1;
  }
  if (count > h->capacity) {
    log_print(LogLevel::kEntry, "<fifo_read> item num is too big\r\n");
    return -1;
  }
  if (count < 0) return -1;
  if (count == 0 || count > fifo_stored(*h)) return 0;
  auto *to = static_cast<uint8_t *>(destination);
  const int32_t first = fifo_run_before_end(h->read_index, count, h->capacity);
  std::memcpy(to, h->storage + bytes_of(h, h->read_index), bytes_of(h, first));
  if (first < count) std::memcpy(to + bytes_of(h, first), h->storage, bytes_of(h, count - first));
  h->read_index = fifo_slot_after(h->read_index, count, h->capacity);
  fifo_note_taken(*h, count);
  return count;
}

}  // namespace vexdaq
