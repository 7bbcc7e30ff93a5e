// The input stream's timing as the library fits it (vexdaq_get_stream_timing and
// vexdaq_get_stream_gaps): when each delivered frame was taken, where frames are missing.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cli/capture.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq_cli {

class StreamClock {
 public:
  // Reads the library's fit and gaps as they stand; cheap enough for every block.
  void refresh();

  // Seconds from frame 0 to delivered frame k: the device's frame number (k plus the frames
  // missing before it) over the fitted rate.
  double seconds(int64_t k) const;

  const vexdaq_stream_timing &timing() const { return timing_; }
  const vexdaq_gap_totals &totals() const { return totals_; }
  const std::vector<vexdaq_stream_gap> &gaps() const { return gaps_; }

  // UTC, ISO 8601 with microseconds: the start request, and frame 0 by the fit. Empty before a
  // stream was started.
  std::string start_utc() const;
  std::string first_frame_utc() const;

 private:
  vexdaq_stream_timing timing_{};
  vexdaq_gap_totals totals_{};
  std::vector<vexdaq_stream_gap> gaps_;
};

// Frames on their way to a capture whose time column comes from the fit: held until the library
// has judged them (frames_settled), so that a gap found a window or two later still moves the
// times of the rows after it. At most kMaxHeldBytes are held: a stream the library does not
// judge (a free-running virtual instrument) is written a little later, not kept in memory.
class SettlingWriter {
 public:
  static constexpr size_t kMaxHeldBytes = 32u << 20;
  // hold false: every block goes straight through.
  SettlingWriter(CaptureWriter &writer, size_t frame_bytes, bool hold)
      : writer_(writer), frame_bytes_(frame_bytes), hold_(hold) {}
  // Takes count frames and writes every held frame below `settled` (a frame count since the
  // start), and the oldest beyond the bound.
  void write(const uint8_t *frames, int64_t count, int64_t settled);
  // Writes everything held (the stream has ended: nothing will move any more).
  void flush();

 private:
  CaptureWriter &writer_;
  const size_t frame_bytes_;
  const bool hold_;
  std::deque<std::vector<uint8_t>> blocks_;
  int64_t written_ = 0;  // frames handed to the writer
  size_t held_bytes_ = 0;
};

// ns since 1970-01-01 UTC as ISO 8601 ("2026-01-31T12:00:00.000000Z").
std::string iso8601_utc(int64_t ns);
// Now, the same way.
std::string utc_now_iso8601();

}  // namespace vexdaq_cli
