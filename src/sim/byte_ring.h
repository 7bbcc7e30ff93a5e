// A byte queue of fixed capacity for the virtual instrument's captured output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexdaq::sim {

// Bytes kept oldest first up to a limit; the oldest go when more arrive. Its memory is taken
// by reserve(), else on first use. Not thread-safe: its owner's lock guards it.
class ByteRing {
 public:
  explicit ByteRing(size_t limit) : limit_(limit) {}
  // Takes the memory of the whole limit now, so that no push has to: the first touch of a few
  // MiB costs milliseconds, which a push from a paced stream cannot spend.
  void reserve();
  void push(const uint8_t *data, size_t n);
  // Copies up to n of the oldest bytes to `out` and drops them; returns how many.
  size_t take(uint8_t *out, size_t n);

 private:
  const size_t limit_;
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace vexdaq::sim
