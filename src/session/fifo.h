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

// ---- Ring arithmetic ---------------------------------------------------------------------------
// Written once, for the operations below and for the packers (stream/packing.cpp), which move a
// channel's samples as one block rather than one call per sample. Caller holds the FIFO's lock.

inline int32_t fifo_stored(const fifo_record &fifo) {
  return fifo.capacity - fifo.free_count;
}

// The slot after index. capacity > 0.
inline int32_t fifo_next_slot(int32_t index, int32_t capacity) {
  return index + 1 == capacity ? 0 : index + 1;
}

// The slot count slots after index, 0 <= count <= capacity.
inline int32_t fifo_slot_after(int32_t index, int32_t count, int32_t capacity) {
  const int32_t to_end = capacity - index;
  return count < to_end ? index + count : count - to_end;
}

// Of count items from slot index on, how many lie before the ring's end; the rest continue from
// slot 0. 0 <= count <= capacity.
inline int32_t fifo_run_before_end(int32_t index, int32_t count, int32_t capacity) {
  return capacity - index < count ? capacity - index : count;
}

// Counts n more items lost to overwriting, stopping at the largest count rather than wrapping to
// a negative one.
inline void fifo_add_overrun(fifo_record &fifo, int32_t n) {
  fifo.overrun_count = fifo.overrun_count > INT32_MAX - n ? INT32_MAX : fifo.overrun_count + n;
}

// Books count items taken at the read side (read_index already past them): their slots are free
// again, and as many overwritten items no longer count as overrun.
inline void fifo_note_taken(fifo_record &fifo, int32_t count) {
  fifo.free_count += count;
  fifo.overrun_count = fifo.overrun_count > count ? fifo.overrun_count - count : 0;
}

// Books count items stored by overwriting writes (write_index already past them) and returns how
// many older items they overwrote: those count as overrun, and the oldest item kept is the one
// after the newest. capacity > 0.
inline int32_t fifo_note_overwriting_store(fifo_record &fifo, int32_t count) {
  const int32_t lost = count > fifo.free_count ? count - fifo.free_count : 0;
  fifo.free_count -= count - lost;
  if (lost > 0) {
    fifo_add_overrun(fifo, lost);
    fifo.read_index = fifo.write_index;
  }
  return lost;
}

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
