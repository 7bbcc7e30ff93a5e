// Helpers the virtual instrument's source files share; nothing outside src/sim/ includes this.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace vexdaq::sim {

inline constexpr uint32_t kSerialMaxBytes = 32;  // the serial number's UTF-16 bytes

// Appends n bytes to a queue that keeps at most `limit`: the oldest go, a whole number of
// granules (frames) at a time.
inline void push_bounded(std::deque<uint8_t> &queue, const uint8_t *data, size_t n, size_t limit,
                         size_t granule) {
  queue.insert(queue.end(), data, data + n);
  if (queue.size() > limit) {
    size_t excess = queue.size() - limit;
    if (granule > 1) excess = (excess + granule - 1) / granule * granule;
    excess = std::min(excess, queue.size());
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(excess));
  }
}

}  // namespace vexdaq::sim
