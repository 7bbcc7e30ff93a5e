// Fixed-capacity ring of equal-size items: the container for both the command queue and the
// per-channel sample streams.
//
// No lock of its own: every operation, and every direct read of free_count and capacity, runs
// while the caller holds the mutex that owns the FIFO (message_lock, out_lock or in_lock).
// Bulk operations are all-or-nothing and never overwrite; the single-item write overwrites the
// oldest item when the ring is full. Items are opaque bytes.
#pragma once

#include <cstdint>

namespace vexdaq {

struct fifo_record {
  int32_t write_index;    // slot for the next item; 0 <= write_index < capacity (0 when empty ring)
  int32_t read_index;     // slot of the oldest item
  int32_t overrun_count;  // items lost to overwriting single-item writes, lowered again by reads
  int32_t free_count;     // empty slots; stored items = capacity - free_count
  int32_t capacity;       // slots, fixed at creation
  int32_t item_size;      // bytes per item, fixed at creation
  uint8_t *storage;       // capacity * item_size bytes, owned by the record
};

using fifo_handle = fifo_record *;

// Returns a new, empty, zero-filled ring, or null when memory runs out, when capacity is negative
// or item_size is not positive, or when capacity * item_size does not fit in 32 bits. Logs its
// creation line on success. A capacity of 0 is allowed: such a ring stores nothing.
fifo_handle fifo_create(int32_t capacity, int32_t item_size);

// Logs its line and releases the ring. h must not be null.
void fifo_delete(fifo_handle h);

// Empties the ring without clearing the item bytes. Logs nothing.
void fifo_reset(fifo_handle h);

// Stores one item; on a full ring the oldest item is overwritten (overrun_count + 1). A ring of
// capacity 0 drops the item and counts it as overrun. Null h: logs, does nothing.
void fifo_write_one(fifo_handle h, const void *item);

// Takes the oldest item into out; an empty ring leaves out untouched. Null h: logs, does nothing.
void fifo_read_one(fifo_handle h, void *out);

// All-or-nothing bulk operations. Result: count when moved; 0 when there is not enough room
// (write) or data (read), or count is 0; -1 for a null h or a count above capacity (both logged)
// and for a negative count (not logged).
int32_t fifo_write(fifo_handle h, const void *source, int32_t count);
int32_t fifo_read(fifo_handle h, void *destination, int32_t count);

}  // namespace vexdaq
