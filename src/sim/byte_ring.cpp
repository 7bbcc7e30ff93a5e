#include "sim/byte_ring.h"

#include <algorithm>
#include <cstring>

namespace vexdaq::sim {

void ByteRing::reserve() {
  if (bytes_.empty()) bytes_.resize(limit_);
}

void ByteRing::push(const uint8_t *data, size_t n) {
  if (n == 0) return;
  if (n >= limit_) {  // only the newest fit
    data += n - limit_;
    n = limit_;
    head_ = size_ = 0;
  }
  reserve();
  if (size_ + n > limit_) {
    const size_t dropped = size_ + n - limit_;
    head_ = (head_ + dropped) % limit_;
    size_ -= dropped;
  }
  const size_t tail = (head_ + size_) % limit_;
  const size_t first = std::min(n, limit_ - tail);
  std::memcpy(bytes_.data() + tail, data, first);
  std::memcpy(bytes_.data(), data + first, n - first);
  size_ += n;
}

size_t ByteRing::take(uint8_t *out, size_t n) {
  n = std::min(n, size_);
  if (n == 0) return 0;
  const size_t first = std::min(n, limit_ - head_);
  std::memcpy(out, bytes_.data() + head_, first);
  std::memcpy(out + first, bytes_.data(), n - first);
  head_ = (head_ + n) % limit_;
  size_ -= n;
  return n;
}

}  // namespace vexdaq::sim
